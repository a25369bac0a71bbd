#pragma once

namespace loopstage::app {

// Process-wide settings every QApplication of the program needs, set before it is created:
// the drawing context moves between the main thread and the display link's thread.
void prepareApplication();

// The application entry: creates the application and the main window, runs the event loop and
// returns its result.
int applicationMain(int argc, char** argv);

}  // namespace loopstage::app
