#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace loopstage::app {

// What the program was asked to do when started:
//   loopstage [--play] [--fullscreen] [--screen N] [--osc-port PORT] [--osc-bind ADDR]
//             [SHOW | MOVIE...]
struct CommandLine {
    bool play = false;
    bool fullScreen = false;
    int screen = -1;  // -1: wherever the window system puts the window
    int oscPort = 0;  // 0: no remote control
    QHostAddress oscBind{QHostAddress::LocalHost};
    QString show;        // a show file to open, or empty
    QStringList movies;  // movie files to add, in order
};

enum class CommandLineOutcome { Run, ExitSuccess, ExitFailure };

// Reads the arguments (the program's name first). --help and --version put their text in
// `message` and ask for a successful exit; a bad option or value puts what is wrong there and
// asks for a failed exit, so a service manager sees it. Needs a QCoreApplication.
CommandLineOutcome parseCommandLine(const QStringList& arguments, CommandLine* out,
                                    QString* message);

// A show file rather than a movie: by its name, as the Save show dialog names them.
bool looksLikeShowFile(const QString& path);

}  // namespace loopstage::app
