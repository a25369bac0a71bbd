#include "app/Application.h"

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "app/OscControl.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "platform/Logging.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"

namespace loopstage::app {

void prepareApplication() {
    QCoreApplication::setAttribute(Qt::AA_DontCheckOpenGLContextThreadAffinity);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
    platform::installLogFormat();
}

bool applyRemoteCommand(MainWindow& window, const OscCommand& command) {
    orchestra::Orchestra& controller = *window.orchestra();
    stage::OpenGLView& view = *window.openGLView();
    orchestra::MusicianTableModel& model = *window.tableModel();
    auto playing = [&](bool on) {
        if (controller.isPlaying() != on)
            window.action(QStringLiteral("togglePlayback"))->trigger();
        return true;
    };
    auto cell = [&](const QString& column) {
        return model.index(command.row, model.columnOfIdentifier(column));
    };
    switch (command.kind) {
        case OscCommand::Play:
            return playing(true);
        case OscCommand::Stop:
            return playing(false);
        case OscCommand::Toggle:
            return playing(!controller.isPlaying());
        case OscCommand::Forward:
            return view.goForward(), true;
        case OscCommand::Backward:
            return view.goBackward(), true;
        case OscCommand::Left:
            return view.goLeft(), true;
        case OscCommand::Right:
            return view.goRight(), true;
        case OscCommand::TurnLeft:
            return view.turnLeft(), true;
        case OscCommand::TurnRight:
            return view.turnRight(), true;
        case OscCommand::Height: {
            const float h = command.values[0];
            if (!(h >= stage::HeightSlider::kMinimumHeight &&
                  h <= stage::HeightSlider::kMaximumHeight))
                return false;
            window.cameraHeightSlider()->setFloatValue(h);
            return true;
        }
        case OscCommand::Position:
            if (command.row >= model.rowCount({})) return false;
            return model.setData(cell(orchestra::ID_COL_X), QVariant(command.values[0]),
                                 Qt::EditRole) &&
                   model.setData(cell(orchestra::ID_COL_Y), QVariant(command.values[1]),
                                 Qt::EditRole) &&
                   model.setData(cell(orchestra::ID_COL_Z), QVariant(command.values[2]),
                                 Qt::EditRole);
        case OscCommand::Visible:
            if (command.row >= model.rowCount({})) return false;
            return model.setData(cell(orchestra::ID_COL_VISIBLE),
                                 command.flag ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }
    return false;
}

int applicationMain(int argc, char** argv) {
    prepareApplication();
    CommandLine line;
    {
        // Read before any window system is reached: --help, --version and a bad option answer
        // on a machine without a display too.
        QCoreApplication reading(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("loopstage"));
        QCoreApplication::setApplicationVersion(QStringLiteral(LOOPSTAGE_VERSION));
        QString message;
        switch (parseCommandLine(QCoreApplication::arguments(), &line, &message)) {
            case CommandLineOutcome::ExitSuccess:
                std::fprintf(stdout, "%s\n", qUtf8Printable(message));
                return 0;
            case CommandLineOutcome::ExitFailure:
                std::fprintf(stderr, "loopstage: %s\n", qUtf8Printable(message));
                return 2;
            case CommandLineOutcome::Run:
                break;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("loopstage"));
    QApplication::setApplicationVersion(QStringLiteral(LOOPSTAGE_VERSION));
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (line.screen >= static_cast<int>(screens.size())) {
        std::fprintf(stderr, "loopstage: --screen %d: there are %d screens, counted from 0\n",
                     line.screen, static_cast<int>(screens.size()));
        return 2;
    }

    MainWindow window;
    if (line.screen >= 0) {
        const QRect area = screens[line.screen]->availableGeometry();
        window.move(area.topLeft());
        window.resize(window.size().boundedTo(area.size()));
    }
    if (!line.show.isEmpty()) {
        QString error;
        if (!window.openShowFile(line.show, &error)) {
            std::fprintf(stderr, "loopstage: %s: %s\n", qUtf8Printable(line.show),
                         qUtf8Printable(error));
            return 2;
        }
    }
    window.show();
    if (!line.movies.isEmpty()) window.addClipFiles(line.movies);
    if (line.fullScreen) window.setStageFullScreen(true);
    if (line.play) applyRemoteCommand(window, {OscCommand::Play});

    OscControl remote([&window](const OscCommand& c) { return applyRemoteCommand(window, c); });
    if (line.oscPort) {
        QString error;
        if (!remote.start(line.oscBind, line.oscPort, &error)) {
            std::fprintf(stderr, "loopstage: --osc-port %d on %s: %s\n", line.oscPort,
                         qUtf8Printable(line.oscBind.toString()), qUtf8Printable(error));
            return 2;
        }
        qInfo("Taking OSC messages on %s port %d", qUtf8Printable(line.oscBind.toString()),
              remote.port());
    }
    return QApplication::exec();
}

}  // namespace loopstage::app
