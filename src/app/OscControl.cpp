#include "app/OscControl.h"

#include <arpa/inet.h>
#include <lo/lo_lowlevel.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QMetaObject>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace loopstage::app {
namespace {

constexpr int kMaxDatagram = 65536;
constexpr float kMaxCoordinate = 1e6f;

struct MessageDeleter {
    void operator()(lo_message m) const { lo_message_free(m); }
};
using MessagePtr = std::unique_ptr<std::remove_pointer_t<lo_message>, MessageDeleter>;

bool numberAt(lo_message m, int i, double* out) {
    const char* types = lo_message_get_types(m);
    const lo_type type = static_cast<lo_type>(types[i]);
    if (!lo_is_numerical_type(type)) return false;
    *out = static_cast<double>(lo_hires_val(type, lo_message_get_argv(m)[i]));
    return std::isfinite(*out);
}

bool flagAt(lo_message m, int i, bool* out) {
    const char type = lo_message_get_types(m)[i];
    if (type == LO_TRUE || type == LO_FALSE) {
        *out = type == LO_TRUE;
        return true;
    }
    double v = 0;
    if (!numberAt(m, i, &v)) return false;
    *out = v != 0;
    return true;
}

}  // namespace

OscControl::OscControl(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

OscControl::~OscControl() { stop(); }

bool OscControl::start(const QHostAddress& address, int port, QString* error) {
    stop();
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    sockaddr_storage where{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&where);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&where);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *a;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), length) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0)
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
    socket_ = fd;
    stopping_.store(false);
    try {
        thread_ = std::thread([this] { receive(); });
    } catch (const std::system_error& e) {
        *error = QString::fromLocal8Bit(e.what());
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    return true;
}

void OscControl::stop() {
    if (thread_.joinable()) {
        stopping_.store(true);
        thread_.join();
    }
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

OscControl::Counts OscControl::counts() const {
    return {received_.load(), applied_.load(), ignored_.load(), dropped_.load()};
}

void OscControl::receive() {
    // Below the render tick and the window: a flood must not take their time.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    (void)pthread_setname_np(pthread_self(), "loopstage-osc");
    std::unique_ptr<char[]> buffer(new char[kMaxDatagram]);
    while (!stopping_.load()) {
        pollfd p{socket_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(socket_, buffer.get(), kMaxDatagram, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) continue;
        received_.fetch_add(1, std::memory_order_relaxed);
        const QHostAddress address(reinterpret_cast<const sockaddr*>(&from));
        const uint16_t fromPort =
            ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&from)->sin_port);
        const uint32_t sender =
            senderIndex(address.toString() + QLatin1Char(':') + QString::number(fromPort));
        parse(buffer.get(), static_cast<int>(size), sender);
    }
}

void OscControl::parse(const char* data, int size, uint32_t sender) {
    int result = 0;
    // liblo reads the bytes only, but takes them as writable.
    MessagePtr m(
        lo_message_deserialise(const_cast<char*>(data), static_cast<size_t>(size), &result));
    if (!m) return ignore(sender, QStringLiteral("not an OSC message (%1)").arg(result));
    // A message's path is its first string, which deserialising has checked.
    const QLatin1String path(data, static_cast<qsizetype>(qstrnlen(data, static_cast<uint>(size))));
    const int argc = lo_message_get_argc(m.get());
    OscCommand c;
    c.sender = sender;
    static const struct {
        const char* path;
        OscCommand::Kind kind;
    } plain[] = {{"/loopstage/play", OscCommand::Play},
                 {"/loopstage/stop", OscCommand::Stop},
                 {"/loopstage/toggle", OscCommand::Toggle},
                 {"/loopstage/camera/forward", OscCommand::Forward},
                 {"/loopstage/camera/backward", OscCommand::Backward},
                 {"/loopstage/camera/left", OscCommand::Left},
                 {"/loopstage/camera/right", OscCommand::Right},
                 {"/loopstage/camera/turnleft", OscCommand::TurnLeft},
                 {"/loopstage/camera/turnright", OscCommand::TurnRight}};
    for (const auto& p : plain) {
        if (path != QLatin1String(p.path)) continue;
        if (argc != 0) return ignore(sender, path + QStringLiteral(": takes no arguments"));
        c.kind = p.kind;
        return push(c);
    }
    double v[4] = {};
    if (path == QLatin1String("/loopstage/camera/height")) {
        if (argc != 1 || !numberAt(m.get(), 0, &v[0]))
            return ignore(sender, path + QStringLiteral(": one number expected"));
        c.kind = OscCommand::Height;
        c.values[0] = static_cast<float>(v[0]);
        return push(c);
    }
    if (path == QLatin1String("/loopstage/musician/position")) {
        if (argc != 4 || !numberAt(m.get(), 0, &v[0]) || !numberAt(m.get(), 1, &v[1]) ||
            !numberAt(m.get(), 2, &v[2]) || !numberAt(m.get(), 3, &v[3]))
            return ignore(sender, path + QStringLiteral(": a row and three numbers expected"));
        if (v[0] < 0 || v[0] > INT32_MAX || std::fabs(v[1]) > kMaxCoordinate ||
            std::fabs(v[2]) > kMaxCoordinate || std::fabs(v[3]) > kMaxCoordinate)
            return ignore(sender, path + QStringLiteral(": out of range"));
        c.kind = OscCommand::Position;
        c.row = static_cast<int>(v[0]);
        for (int i = 0; i < 3; ++i) c.values[i] = static_cast<float>(v[i + 1]);
        return push(c);
    }
    if (path == QLatin1String("/loopstage/musician/visible")) {
        if (argc != 2 || !numberAt(m.get(), 0, &v[0]) || !flagAt(m.get(), 1, &c.flag))
            return ignore(sender, path + QStringLiteral(": a row and a flag expected"));
        if (v[0] < 0 || v[0] > INT32_MAX) return ignore(sender, path + QStringLiteral(": no row"));
        c.kind = OscCommand::Visible;
        c.row = static_cast<int>(v[0]);
        return push(c);
    }
    ignore(sender, QStringLiteral("unknown address %1").arg(path));
}

uint32_t OscControl::senderIndex(const QString& address) {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < senderCount_; ++i)
        if (senders_[i] == address) return i;
    if (senderCount_ < kSenders) {
        senders_[senderCount_] = address;
        return senderCount_++;
    }
    return kSenders - 1;
}

void OscControl::ignore(uint32_t sender, const QString& why) {
    ignored_.fetch_add(1, std::memory_order_relaxed);
    QString address;
    {
        std::lock_guard lock(mutex_);
        const uint64_t bit = uint64_t{1} << sender;
        if (loggedSenders_ & bit) return;
        loggedSenders_ |= bit;
        address = senders_[sender];
    }
    qInfo("OSC message from %s ignored: %s (later ones from there are ignored silently)",
          qUtf8Printable(address), qUtf8Printable(why));
}

void OscControl::push(const OscCommand& command) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (count_ == kQueueSize) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        queue_[static_cast<size_t>((head_ + count_) % kQueueSize)] = command;
        ++count_;
        wake = !std::exchange(wakePending_, true);
    }
    if (wake) QMetaObject::invokeMethod(this, &OscControl::drain, Qt::QueuedConnection);
}

void OscControl::drain() {
    OscCommand batch[kBatch];
    int n = 0;
    bool more = false;
    {
        std::lock_guard lock(mutex_);
        while (n < kBatch && count_ > 0) {
            batch[n++] = queue_[static_cast<size_t>(head_)];
            head_ = (head_ + 1) % kQueueSize;
            --count_;
        }
        more = count_ > 0;
        wakePending_ = more;
    }
    for (int i = 0; i < n; ++i) {
        if (handler_(batch[i]))
            applied_.fetch_add(1, std::memory_order_relaxed);
        else
            ignore(batch[i].sender, QStringLiteral("out of range"));
    }
    // The rest after the events already waiting, so a flood never starves the window.
    if (more) QMetaObject::invokeMethod(this, &OscControl::drain, Qt::QueuedConnection);
}

}  // namespace loopstage::app
