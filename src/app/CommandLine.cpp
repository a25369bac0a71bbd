#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace loopstage::app {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("CommandLine", text); }

}  // namespace

bool looksLikeShowFile(const QString& path) {
    return path.endsWith(QLatin1String(".loopstage"), Qt::CaseInsensitive) ||
           path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive);
}

CommandLineOutcome parseCommandLine(const QStringList& arguments, CommandLine* out,
                                    QString* message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(tr("Plays looping video clips side by side on one 3D stage."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption play(QStringLiteral("play"), tr("Start playing at once."));
    const QCommandLineOption fullScreen(QStringLiteral("fullscreen"),
                                        tr("Show the stage alone, full screen."));
    const QCommandLineOption screen(QStringLiteral("screen"),
                                    tr("Open the window on screen <n>, counted from 0."),
                                    QStringLiteral("n"));
    const QCommandLineOption oscPort(
        QStringLiteral("osc-port"),
        tr("Take OSC remote control messages on UDP port <port> (off unless given)."),
        QStringLiteral("port"));
    const QCommandLineOption oscBind(
        QStringLiteral("osc-bind"),
        tr("Take OSC messages on address <address> only (default 127.0.0.1)."),
        QStringLiteral("address"));
    parser.addOptions({play, fullScreen, screen, oscPort, oscBind});
    // Qt's own window-system options (-platform offscreen, -display :1, ...) are the
    // application's to take; they pass through here unnamed in the help.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry",
          "qwindowgeometry", "qwindowicon", "qwindowtitle", "style", "stylesheet", "session"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "nograb", "dograb", "sync", "widgetcount"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    parser.addPositionalArgument(QStringLiteral("show-or-movies"),
                                 tr("A show file (.loopstage), or movie files to add."),
                                 QStringLiteral("[SHOW | MOVIE...]"));

    auto fail = [&](const QString& what) {
        *message = what + QLatin1Char('\n') +
                   tr("Try '%1 --help'.").arg(QCoreApplication::applicationName());
        return CommandLineOutcome::ExitFailure;
    };
    if (!parser.parse(arguments)) return fail(parser.errorText());
    if (parser.isSet(help)) {
        *message = parser.helpText();
        return CommandLineOutcome::ExitSuccess;
    }
    if (parser.isSet(version)) {
        *message = QCoreApplication::applicationName() + QLatin1Char(' ') +
                   QCoreApplication::applicationVersion();
        return CommandLineOutcome::ExitSuccess;
    }

    CommandLine line;
    line.play = parser.isSet(play);
    line.fullScreen = parser.isSet(fullScreen);
    bool ok = true;
    if (parser.isSet(screen)) {
        line.screen = parser.value(screen).toInt(&ok);
        if (!ok || line.screen < 0) return fail(tr("--screen: a screen number from 0 is expected"));
    }
    if (parser.isSet(oscPort)) {
        line.oscPort = parser.value(oscPort).toInt(&ok);
        if (!ok || line.oscPort < 1 || line.oscPort > 65535)
            return fail(tr("--osc-port: a port from 1 to 65535 is expected"));
    }
    if (parser.isSet(oscBind)) {
        if (!line.oscBind.setAddress(parser.value(oscBind)))
            return fail(tr("--osc-bind: an IP address is expected"));
        if (!line.oscPort) return fail(tr("--osc-bind needs --osc-port"));
    }
    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty() && looksLikeShowFile(files.first())) {
        if (files.size() > 1) return fail(tr("give one show, or movies, not both"));
        line.show = files.first();
    } else {
        for (const QString& file : files) {
            if (looksLikeShowFile(file)) return fail(tr("give one show, or movies, not both"));
            line.movies.append(file);
        }
    }
    *out = std::move(line);
    return CommandLineOutcome::Run;
}

}  // namespace loopstage::app
