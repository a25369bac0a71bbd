// Test entry: GoogleTest inside a real QApplication, set up as the program sets up its own, so
// widgets, windows and GL contexts are the real ones (under Xvfb in the test command).
#include <gtest/gtest.h>

#include <QApplication>
#include <QSurfaceFormat>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest does it to discover them) needs no application.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    QCoreApplication::setAttribute(Qt::AA_DontCheckOpenGLContextThreadAffinity);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // Without a display the GL tests skip themselves; the rest still runs.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
