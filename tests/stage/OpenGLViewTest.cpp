#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QMatrix4x4>
#include <QThread>
#include <array>
#include <cmath>
#include <semaphore>
#include <thread>

#include "stage/OpenGLView.h"
#include "support/GlTestWindow.h"
#include "support/LogCapture.h"

namespace loopstage::stage {
namespace {

using namespace std::chrono_literals;
using Matrix = std::array<float, 16>;

// What a frame output left in the drawing context, and on which thread.
struct FrameState {
    std::array<GLint, 4> viewport{};
    Matrix projection{}, modelview{};
    Qt::HANDLE thread = nullptr;
};

// Against the same transform made with Qt's matrix arithmetic (column-major, as GL's).
void expectNear(const Matrix& actual, const QMatrix4x4& expected) {
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(actual[i], expected.constData()[i], 1e-5) << i;
}

QMatrix4x4 projectionFor(float width, float height) {
    QMatrix4x4 projection;
    projection.perspective(45.0f, width / height, 0.1f, 100.0f);
    return projection;
}

class OpenGLViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!window.open()) GTEST_SKIP() << "no OpenGL context on this display";
        window.probe.onDraw = [this] {
            glGetIntegerv(GL_VIEWPORT, last.viewport.data());
            glGetFloatv(GL_PROJECTION_MATRIX, last.projection.data());
            glGetFloatv(GL_MODELVIEW_MATRIX, last.modelview.data());
            last.thread = QThread::currentThreadId();
        };
    }
    // Declared first: it must see the frames that the window's first exposure outputs.
    test::LogCapture log;
    FrameState last;  // of the last frame output
    test::GlTestWindow window;
};

// On any thread a frame sets the viewport in device pixels, a 45 degree projection of the
// window's aspect, and the camera: turned about the vertical by its heading, then moved by its
// position at the slider's height. The drawing context goes with the frame and is released after
// it; making it is logged once. A resize outputs a frame at once, on the main thread.
TEST_F(OpenGLViewTest, FramesOnAnyThreadApplyViewportProjectionAndCamera) {
    OpenGLView& view = *window.view;
    const double dpr = qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble();  // of the screen
    view.flushOutput();
    const FrameState onMain = last;
    window.slider.setFloatValue(0.75f);
    for (int i = 0; i < 5; ++i) view.turnRight();
    view.goForward();
    view.setCameraPosAt(1, 42.0f);  // read by nothing: the slider gives the height
    std::thread([&] {
        view.flushOutput();
        EXPECT_EQ(QOpenGLContext::currentContext(), nullptr) << "the last unlock must release it";
    }).join();
    const FrameState onWorker = last;
    EXPECT_EQ(QOpenGLContext::currentContext(), nullptr);
    EXPECT_NE(onWorker.thread, onMain.thread) << "the worker's frame was never drawn";
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("contextInitialisation")});
    for (const FrameState& frame : {onMain, onWorker}) {
        EXPECT_EQ(frame.viewport, (std::array<GLint, 4>{0, 0, int(320 * dpr), int(240 * dpr)}));
        expectNear(frame.projection, projectionFor(320, 240));
    }
    QMatrix4x4 camera;
    camera.rotate(10.0f, 0, 1, 0);
    camera.translate(view.cameraPosAt(0), -0.75f, view.cameraPosAt(2));
    expectNear(onWorker.modelview, camera);

    view.resize(200, 150);
    EXPECT_TRUE(QTest::qWaitFor([&] { return last.viewport[2] == int(200 * dpr); }));
    EXPECT_EQ(last.viewport[3], int(150 * dpr));
    EXPECT_EQ(last.thread, QThread::currentThreadId()) << "reshape draws on the main thread";
    expectNear(last.projection, projectionFor(200, 150));
}

// Whatever comes while a frame is in progress on another thread waits for it: a second frame,
// an update, and the end of the native surface (an accepted close destroys it on the main thread
// while a tick may be drawing). Frames leave a surface that is gone alone and come back with it.
TEST_F(OpenGLViewTest, WorkOnTheViewWaitsForTheFrameInProgressOnAnotherThread) {
    OpenGLView& view = *window.view;
    std::counting_semaphore<> entered{0}, gate{0};
    std::atomic<int> finished{0}, done{0};
    window.probe.onDraw = [&] {
        entered.release();
        gate.acquire();
        ++finished;
    };
    std::jthread first([&] { view.flushOutput(); });
    EXPECT_TRUE(entered.try_acquire_for(5s));
    std::jthread second([&] { view.flushOutput(), ++done; }),
        updater([&] { view.update(), ++done; });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(done.load(), 0) << "a frame or an update went ahead of the frame in progress";
    gate.release(2);
    first.join(), second.join(), updater.join();
    EXPECT_TRUE(entered.try_acquire_for(5s)) << "the second frame was never drawn";

    std::jthread tick([&] { view.flushOutput(); });
    EXPECT_TRUE(entered.try_acquire_for(5s));
    std::jthread releaser([&] { std::this_thread::sleep_for(100ms), gate.release(); });
    view.destroy();
    EXPECT_EQ(finished.load(), 3) << "the surface went while a frame was drawn into it";
    tick.join();
    window.probe.onDraw = nullptr;
    const int64_t gone = view.framesOutput();
    std::jthread([&] { view.flushOutput(); }).join();
    EXPECT_EQ(view.framesOutput(), gone) << "a frame into a surface that is gone";
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const int64_t back = view.framesOutput();
    std::jthread([&] { view.flushOutput(); }).join();
    EXPECT_EQ(view.framesOutput(), back + 1);
}

// Steps from a heading, against values worked out by hand in double and rounded to float.
TEST(Camera, StepFromHeadingLandsOnTheRoundedSum) {
    auto walk = [](int turnsRight, void (OpenGLView::*step)()) {  // turns of 2 degrees
        OpenGLView view;
        view.awakeFromNib();
        for (int i = 0; i < turnsRight; ++i) view.turnRight();
        (view.*step)();
        return std::pair{view.cameraPosAt(0), view.cameraPosAt(2)};
    };
    auto at = [](double x, double z) { return std::pair{float(x), float(z)}; };
    EXPECT_EQ(walk(0, &OpenGLView::goForward), at(0, -5.0 + 0.1));
    EXPECT_EQ(walk(0, &OpenGLView::goBackward), at(0, -5.0 - 0.1));
    EXPECT_EQ(walk(0, &OpenGLView::goRight), at(-0.1, -5));
    EXPECT_EQ(walk(0, &OpenGLView::goLeft), at(0.1, -5));
    EXPECT_EQ(walk(45, &OpenGLView::goForward), at(-0.1, -5));
    EXPECT_EQ(walk(45, &OpenGLView::goRight), at(std::cos(M_PI / 2) * -0.1, -5.0 - 0.1));
}

}  // namespace
}  // namespace loopstage::stage
