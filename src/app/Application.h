#pragma once

namespace loopstage::app {

class MainWindow;
struct OscCommand;

// Process-wide settings every QApplication of the program needs, set before it is created:
// the drawing context moves between the main thread and the display link's thread.
void prepareApplication();

// The application entry: creates the application and the main window, runs the event loop and
// returns its result.
int applicationMain(int argc, char** argv);

// A remote-control request carried out on the window's thread, as the window's own controls
// would; false when it names a row or a height that does not exist.
bool applyRemoteCommand(MainWindow& window, const OscCommand& command);

}  // namespace loopstage::app
