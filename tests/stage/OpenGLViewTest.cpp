#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QThread>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <future>
#include <thread>

#include "stage/OpenGLView.h"
#include "support/GlTestWindow.h"
#include "support/LogCapture.h"

namespace loopstage::stage {
namespace {

using test::GlTestWindow;
using Matrix = std::array<float, 16>;

Matrix perspective(double fovyDegrees, double aspect, double zNear, double zFar) {
    const double f = 1.0 / std::tan(fovyDegrees * 3.141592653589793 / 360.0);
    Matrix m{};
    m[0] = static_cast<float>(f / aspect);
    m[5] = static_cast<float>(f);
    m[10] = static_cast<float>((zFar + zNear) / (zNear - zFar));
    m[11] = -1.0f;
    m[14] = static_cast<float>(2.0 * zFar * zNear / (zNear - zFar));
    return m;
}

// Column-major Ry(degrees) * T(x, y, z), the camera transform.
Matrix cameraMatrix(double headingDegrees, double x, double y, double z) {
    const double r = headingDegrees * 3.141592653589793 / 180.0;
    const double c = std::cos(r), s = std::sin(r);
    Matrix m{};
    m[0] = float(c), m[2] = float(-s), m[5] = 1, m[8] = float(s), m[10] = float(c), m[15] = 1;
    m[12] = float(c * x + s * z);
    m[13] = float(y);
    m[14] = float(-s * x + c * z);
    return m;
}

void expectNear(const Matrix& actual, const Matrix& expected, const char* what) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR(actual[i], expected[i], 1e-5 * std::max(1.0f, std::fabs(expected[i])))
            << what << " element " << i;
    }
}

struct FrameState {
    std::array<GLint, 4> viewport{};
    Matrix projection{}, modelview{};
    std::array<GLubyte, 4> centre{};
    GLenum error = GL_NO_ERROR;
    Qt::HANDLE thread = nullptr;
};

FrameState readFrameState(const OpenGLView& view) {
    FrameState state;
    glGetIntegerv(GL_VIEWPORT, state.viewport.data());
    glGetFloatv(GL_PROJECTION_MATRIX, state.projection.data());
    glGetFloatv(GL_MODELVIEW_MATRIX, state.modelview.data());
    const int w = static_cast<int>(view.width() * view.devicePixelRatio());
    const int h = static_cast<int>(view.height() * view.devicePixelRatio());
    glReadPixels(w / 2, h / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, state.centre.data());
    state.error = glGetError();
    state.thread = QThread::currentThreadId();
    return state;
}

class OpenGLViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!window.open()) GTEST_SKIP() << "no OpenGL context on this display";
    }
    FrameState outputFrame() {
        FrameState state;
        window.probe.onDraw = [&] { state = readFrameState(*window.view); };
        window.view->flushOutput();
        window.probe.onDraw = nullptr;
        return state;
    }
    // Declared first: it must see the frames that the window's first exposure outputs.
    test::LogCapture log;
    GlTestWindow window;
};

TEST_F(OpenGLViewTest, FrameAppliesViewportProjectionAndCameraFromBoundsSliderAndHeading) {
    OpenGLView& view = *window.view;
    window.slider.setFloatValue(0.75f);
    FrameState frame = outputFrame();
    EXPECT_EQ(frame.error, static_cast<GLenum>(GL_NO_ERROR));

    const qreal dpr = view.devicePixelRatio();
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        EXPECT_DOUBLE_EQ(dpr, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    }
    EXPECT_EQ(frame.viewport[0], 0);
    EXPECT_EQ(frame.viewport[1], 0);
    EXPECT_EQ(frame.viewport[2], static_cast<int>(320 * dpr));
    EXPECT_EQ(frame.viewport[3], static_cast<int>(240 * dpr));
    expectNear(frame.projection, perspective(45.0, double(320.0f / 240.0f), 0.1, 100.0), "projection");
    expectNear(frame.modelview, cameraMatrix(0.0, 0.0, -0.75, -5.0), "camera at start");
    EXPECT_EQ(frame.centre[0], 0);
    EXPECT_EQ(frame.centre[1], 0);
    EXPECT_EQ(frame.centre[2], 0) << "cleared to black";

    // Element 1 of the position is read by nothing; the heading turns the scene about the camera.
    view.setCameraPosAt(1, 42.0f);
    for (int i = 0; i < 5; ++i) view.turnRight();
    view.goForward();
    frame = outputFrame();
    expectNear(frame.modelview,
               cameraMatrix(10.0, view.cameraPosAt(0), -0.75, view.cameraPosAt(2)), "turned camera");
}

TEST_F(OpenGLViewTest, ContextInitialisationIsLoggedOnceAndTheContextMovesBetweenThreads) {
    OpenGLView& view = *window.view;
    const int64_t framesBefore = view.framesOutput();
    const FrameState onMain = outputFrame();
    EXPECT_EQ(QOpenGLContext::currentContext(), nullptr) << "outermost unlock must release the context";

    FrameState onWorker;
    std::thread worker([&] {
        window.probe.onDraw = [&] { onWorker = readFrameState(view); };
        view.flushOutput();
        window.probe.onDraw = nullptr;
        EXPECT_EQ(QOpenGLContext::currentContext(), nullptr);
    });
    worker.join();
    const FrameState again = outputFrame();

    EXPECT_EQ(log.count(QStringLiteral("contextInitialisation")), 1);
    EXPECT_EQ(log.lines().size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_NE(onWorker.thread, onMain.thread) << "the worker's frame was never drawn";
    EXPECT_EQ(onWorker.error, static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(onWorker.viewport, onMain.viewport);
    EXPECT_EQ(again.error, static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(view.framesOutput() - framesBefore, 3);
}

// Whatever comes while a frame is in progress on another thread waits for it: a second frame,
// an update, and the end of the native surface (an accepted close destroys it on the main thread
// while a tick may be drawing). Frames leave a surface that is gone alone and come back with it.
TEST_F(OpenGLViewTest, WorkOnTheViewWaitsForTheFrameInProgressOnAnotherThread) {
    OpenGLView& view = *window.view;
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0, finished = 0;
    bool release = false;
    window.probe.onDraw = [&] {
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        ++finished;
    };
    auto waitUntilEntered = [&](int frames) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return entered == frames; });
    };
    auto setRelease = [&](bool value) {
        std::lock_guard lock(mutex);
        release = value;
        changed.notify_all();
    };

    std::jthread first([&] { view.flushOutput(); });
    EXPECT_TRUE(waitUntilEntered(1));
    std::atomic<bool> secondDone{false}, updateDone{false};
    std::jthread second([&] {
        view.flushOutput();
        secondDone = true;
    });
    std::jthread updater([&] {
        view.update();
        updateDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(secondDone.load());
    EXPECT_FALSE(updateDone.load());
    setRelease(true);
    first.join();
    second.join();
    updater.join();
    EXPECT_EQ(entered, 2) << "a second frame output drew while the first was in progress";

    setRelease(false);
    std::jthread tick([&] { view.flushOutput(); });
    EXPECT_TRUE(waitUntilEntered(3));
    std::jthread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        setRelease(true);
    });
    view.destroy();
    EXPECT_EQ(finished, 3) << "the surface went while a frame was drawn into it";
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

TEST_F(OpenGLViewTest, ResizeOutputsAFrameAtOnceWithTheNewViewport) {
    OpenGLView& view = *window.view;
    FrameState last;
    window.probe.onDraw = [&] { last = readFrameState(view); };
    const int64_t before = view.framesOutput();
    view.resize(200, 150);
    QTRY_VERIFY_WITH_TIMEOUT(view.framesOutput() > before && last.viewport[2] != 0 &&
                                 last.viewport[2] == static_cast<int>(200 * view.devicePixelRatio()),
                             5000);
    EXPECT_EQ(last.viewport[3], static_cast<int>(150 * view.devicePixelRatio()));
    EXPECT_EQ(last.thread, QThread::currentThreadId()) << "reshape draws on the main thread";
    expectNear(last.projection, perspective(45.0, double(200.0f / 150.0f), 0.1, 100.0), "projection");
    window.probe.onDraw = nullptr;
}

TEST(OpenGLViewContexts, SharedContextComesOnlyWithSetupAndSharesObjects) {
    OpenGLView view;
    view.awakeFromNib();
    EXPECT_EQ(view.sharedContext(), nullptr);
    view.setupSharedContext();
    ASSERT_NE(view.sharedContext(), nullptr);
    if (!view.sharedContext()->isValid()) GTEST_SKIP() << "no OpenGL context on this display";
    EXPECT_TRUE(QOpenGLContext::areSharing(view.sharedContext(), view.openGLContext()));
    EXPECT_EQ(view.sharedContext()->format().profile(), view.openGLContext()->format().profile());
    // Before the window exists there is nothing to present into: no frame, no failure.
    view.flushOutput();
    EXPECT_EQ(view.framesOutput(), 0);
    EXPECT_FALSE(view.contextIsInitialized());
}

}  // namespace
}  // namespace loopstage::stage
