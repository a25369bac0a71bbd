// Test entry: GoogleTest inside a real QApplication, set up as the program sets up its own, so
// widgets, windows and GL contexts are the real ones (under Xvfb in the test command).
#include <gtest/gtest.h>

#include <QApplication>
#include <QSurfaceFormat>
#include <chrono>
#include <thread>

// After Qt: Xlib defines macros (Status, Bool) that Qt's headers must not see.
#include <X11/Xlib.h>

namespace {

// Under load the shared Xvfb can turn a connection away for a moment; Qt would then abort the
// whole test program. Wait for the display to answer first.
void waitForDisplay() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (Display* display = XOpenDisplay(nullptr)) {
            XCloseDisplay(display);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest does it to discover them) needs no application.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    QCoreApplication::setAttribute(Qt::AA_DontCheckOpenGLContextThreadAffinity);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // Without a display the GL tests skip themselves; the rest still runs.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        waitForDisplay();
    }
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
