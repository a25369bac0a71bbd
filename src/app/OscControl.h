#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace loopstage::app {

// One remote-control request, as read from an OSC message.
struct OscCommand {
    enum Kind : uint8_t {
        Play,
        Stop,
        Toggle,
        Forward,
        Backward,
        Left,
        Right,
        TurnLeft,
        TurnRight,
        Height,    // values[0]
        Position,  // row, values[0..2] = x, y, z
        Visible,   // row, flag
    };
    Kind kind = Toggle;
    int row = 0;
    float values[3] = {0, 0, 0};
    bool flag = false;
    uint32_t sender = 0;  // index into the senders seen, for logging once per address
};

// Takes OSC messages over UDP and hands them to the window's thread. The addresses:
//   /loopstage/play  /loopstage/stop  /loopstage/toggle
//   /loopstage/camera/forward  /backward  /left  /right  /turnleft  /turnright
//   /loopstage/camera/height  f              (scene units)
//   /loopstage/musician/position  i f f f    (row from 0, x, y, z)
//   /loopstage/musician/visible   i T|F|i    (row from 0, flag)
// Numbers may come as any OSC number type. Nothing names or opens a file.
//
// Threads: made, started and destroyed on the window's thread. A receiver thread of its own
// reads and parses the datagrams (liblo) and puts the commands into a fixed queue; the
// window's thread takes them in batches and calls the handler. A flood fills the queue and the
// rest is dropped and counted: memory stays fixed and the window's thread does a bounded
// amount of work per event. Malformed, unknown and refused messages are counted and logged
// once per sender address.
class OscControl final : public QObject {
    Q_OBJECT

public:
    static constexpr int kQueueSize = 1024;
    static constexpr int kBatch = 256;
    // The handler applies a command; false when it is out of range (a row that does not
    // exist, a height the slider does not have).
    using Handler = std::function<bool(const OscCommand&)>;

    explicit OscControl(Handler handler, QObject* parent = nullptr);
    ~OscControl() override;

    // False, with the reason in `error`, when the address and port cannot be had.
    bool start(const QHostAddress& address, int port, QString* error);
    void stop();
    int port() const { return port_; }

    struct Counts {
        int64_t received = 0, applied = 0, ignored = 0, dropped = 0;
    };
    Counts counts() const;

private:
    void receive();
    void parse(const char* data, int size, uint32_t sender);
    void push(const OscCommand& command);
    void drain();
    void ignore(uint32_t sender, const QString& why);
    uint32_t senderIndex(const QString& address);

    Handler handler_;
    int socket_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::array<OscCommand, kQueueSize> queue_{};  // guarded by mutex_
    int head_ = 0, count_ = 0;                    // guarded by mutex_
    bool wakePending_ = false;                    // guarded by mutex_
    // The first addresses seen; later ones share the last index. Guarded by mutex_.
    static constexpr uint32_t kSenders = 64;
    std::array<QString, kSenders> senders_{};
    uint32_t senderCount_ = 0;
    uint64_t loggedSenders_ = 0;  // bit per index
    std::atomic<int64_t> received_{0}, applied_{0}, ignored_{0}, dropped_{0};
};

}  // namespace loopstage::app
