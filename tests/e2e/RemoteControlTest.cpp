// OSC remote control of the real window, with real UDP packets sent by liblo's client to the
// loopback address only.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtTest>
#include <QtWidgets>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/OscControl.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/LogCapture.h"
#include "support/Support.h"

namespace loopstage::app {
namespace {

struct Remote {
    MainWindow window;
    OscControl osc{[this](const OscCommand& c) { return applyRemoteCommand(window, c); }};
    lo_address to = nullptr;

    Remote() {
        QString error;
        EXPECT_TRUE(osc.start(QHostAddress(QHostAddress::LocalHost), 0, &error))
            << error.toStdString();
        to = lo_address_new("127.0.0.1", std::to_string(osc.port()).c_str());
    }
    ~Remote() { lo_address_free(to); }

    // Waits until every datagram that arrived has been dealt with.
    bool settled(int64_t atLeast) {
        return QTest::qWaitFor([&] {
            const OscControl::Counts c = osc.counts();
            return c.received >= atLeast && c.received == c.applied + c.ignored + c.dropped;
        });
    }
    QVariant cell(const QString& column, int role = Qt::DisplayRole) {
        orchestra::MusicianTableModel& m = *window.tableModel();
        return m.index(0, m.columnOfIdentifier(column)).data(role);
    }
};

void sendRaw(int port, const QByteArray& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, bytes.constData(), static_cast<size_t>(bytes.size()), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
}

// Every address acts as the window's own controls do; what is malformed, unknown or out of
// range changes nothing and is logged once for its sender.
TEST(RemoteControl, MessagesSteerTheShowAndBadOnesAreCountedAndLoggedOnce) {
    Remote r;
    r.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&r.window));
    ASSERT_TRUE(r.window.orchestra()->acceptDrop(test::filesDrag({test::qclip("osc.mp4")}).get(),
                                                 -1, orchestra::DropOperation::Above));
    stage::OpenGLView& view = *r.window.openGLView();
    test::LogCapture log;

    lo_send(r.to, "/loopstage/play", "");
    lo_send(r.to, "/loopstage/camera/forward", "");
    lo_send(r.to, "/loopstage/camera/turnleft", "");
    lo_send(r.to, "/loopstage/camera/height", "f", 2.5f);
    lo_send(r.to, "/loopstage/musician/position", "ifdi", 0, 1.5f, -0.25, 3);
    lo_send(r.to, "/loopstage/musician/visible", "iF", 0);
    ASSERT_TRUE(r.settled(6));
    EXPECT_TRUE(r.window.orchestra()->isPlaying());
    EXPECT_NE(view.cameraPosAt(2), -5.0f);
    EXPECT_NE(view.cameraDirAt(1), 0.0f);
    EXPECT_FLOAT_EQ(r.window.cameraHeightSlider()->floatValue(), 2.5f);
    EXPECT_EQ(r.cell(orchestra::ID_COL_X).toFloat(), 1.5f);
    EXPECT_EQ(r.cell(orchestra::ID_COL_Y).toFloat(), -0.25f);
    EXPECT_EQ(r.cell(orchestra::ID_COL_Z).toFloat(), 3.0f);
    EXPECT_EQ(r.cell(orchestra::ID_COL_VISIBLE, Qt::CheckStateRole), Qt::Unchecked);
    EXPECT_EQ(r.osc.counts().ignored, 0);

    lo_send(r.to, "/loopstage/stop", "");
    lo_send(r.to, "/loopstage/musician/position", "ifff", 7, 1.f, 1.f, 1.f);  // no such row
    lo_send(r.to, "/loopstage/camera/height", "f", 50.f);                     // beyond the slider
    lo_send(r.to, "/loopstage/musician/visible", "is", 0, "yes");
    lo_send(r.to, "/loopstage/open", "s", "/etc/passwd");
    lo_send(r.to, "/loopstage/play", "i", 1);
    sendRaw(r.osc.port(), QByteArray("\x01\x02garbage", 9));
    sendRaw(r.osc.port(), QByteArray("/loopstage/play\0,i\0\0", 20));  // argument missing
    ASSERT_TRUE(r.settled(14));
    const OscControl::Counts c = r.osc.counts();
    EXPECT_EQ(c.applied, 7);
    EXPECT_EQ(c.ignored, 7);
    EXPECT_FALSE(r.window.orchestra()->isPlaying());
    EXPECT_EQ(r.cell(orchestra::ID_COL_X).toFloat(), 1.5f);
    EXPECT_FLOAT_EQ(r.window.cameraHeightSlider()->floatValue(), 2.5f);
    // liblo's client sends every message from one socket: one sender, one line; the raw
    // packets came from two more.
    EXPECT_EQ(log.startingWith(QStringLiteral("OSC message from")).size(), 3)
        << log.lines().join('\n').toStdString();
}

// A flood neither grows the queue nor loses track: every packet that arrived was applied,
// ignored or dropped, and the camera turned exactly as often as turns were applied. The
// server listens on 127.0.0.1 alone: another loopback address reaches nothing.
TEST(RemoteControl, FloodStaysBoundedAndOnlyTheBoundAddressListens) {
    Remote r;
    stage::OpenGLView& view = *r.window.openGLView();
    constexpr int kPackets = 20000;
    QElapsedTimer sending;
    sending.start();
    for (int i = 0; i < kPackets && sending.elapsed() < 5000; ++i)
        lo_send(r.to, "/loopstage/camera/turnleft", "");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const OscControl::Counts c = r.osc.counts();
            return c.received > 0 && c.received == c.applied + c.ignored + c.dropped;
        },
        10000));
    const OscControl::Counts c = r.osc.counts();
    EXPECT_LE(c.received, kPackets);
    EXPECT_EQ(c.ignored, 0);
    // Turns add up in float: the same number of turns on a fresh camera gives the same sum.
    stage::OpenGLView fresh;
    fresh.awakeFromNib();
    for (int64_t i = 0; i < c.applied; ++i) fresh.turnLeft();
    EXPECT_EQ(view.cameraDirAt(1), fresh.cameraDirAt(1));

    lo_address other = lo_address_new("127.0.0.2", std::to_string(r.osc.port()).c_str());
    lo_send(other, "/loopstage/play", "");
    lo_address_free(other);
    QTest::qWait(300);
    EXPECT_EQ(r.osc.counts().received, c.received);
    EXPECT_FALSE(r.window.orchestra()->isPlaying());
}

}  // namespace
}  // namespace loopstage::app
