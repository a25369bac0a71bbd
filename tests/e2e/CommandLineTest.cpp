// The real program started as a service manager starts it, on the test's own X display.
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include "orchestra/ShowFile.h"
#include "support/Support.h"

namespace {

struct Outcome {
    int status = -1;
    QString out, err;
};

Outcome runToEnd(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(LOOPSTAGE_BINARY), arguments);
    Outcome r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// The generated frame at the centre of the whole screen, or -1.
int frameAtScreenCentre() {
    QImage s = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    s.convertTo(QImage::Format_RGBA8888);
    return loopstage::test::frameAtCentre(s.constBits(), s.width(), s.height(),
                                          static_cast<int>(s.bytesPerLine()));
}

TEST(CommandLine, AnswersHelpAndRefusesWhatItCannotDoWithAStatus) {
    const Outcome help = runToEnd({QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains(QLatin1String("--osc-port"))) << help.out.toStdString();

    QTemporaryDir folder;
    const QString foreign = folder.filePath("foreign.json");
    QFile f(foreign);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("{\"format\": \"other\"}") > 0);
    f.close();
    struct Case {
        QStringList arguments;
        const char* saying;
    };
    const Case refused[] = {
        {{QStringLiteral("--bogus")}, "bogus"},
        {{QStringLiteral("--screen"), QStringLiteral("9")}, "--screen 9"},
        {{QStringLiteral("--osc-port"), QStringLiteral("0")}, "--osc-port"},
        {{QStringLiteral("--osc-bind"), QStringLiteral("nowhere"), QStringLiteral("--osc-port"),
          QStringLiteral("9000")},
         "--osc-bind"},
        {{QStringLiteral("a.loopstage"), QStringLiteral("b.mp4")}, "not both"},
        {{QStringLiteral("/nowhere/a.loopstage")}, "a.loopstage"},
        {{foreign}, "not a show of this program"},
    };
    for (const Case& c : refused) {
        const Outcome r = runToEnd(c.arguments);
        EXPECT_EQ(r.status, 2) << c.arguments.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.saying))) << r.err.toStdString();
    }
}

// Started for an installation from a saved show: the stage alone fills the screen and the
// show's clip plays, with no one at the keyboard. How soon is left to benchmarks: a loaded
// machine can take seconds just to start a process.
TEST(CommandLine, PlayFullScreenShowsTheClipPlayingOnTheWholeScreen) {
    loopstage::orchestra::Show show;
    show.musicians.append({"cli", loopstage::test::qclip("cli.mp4"), true, 0, 0, 0});
    QTemporaryDir folder;
    const QString path = folder.filePath("installation.loopstage");
    QString error;
    ASSERT_TRUE(loopstage::orchestra::writeShow(path, show, &error)) << error.toStdString();
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(LOOPSTAGE_BINARY),
                  {QStringLiteral("--play"), QStringLiteral("--fullscreen"), path});
    int first = -1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return (first = frameAtScreenCentre()) >= 0; }, 30000));
    EXPECT_TRUE(first >= 0 && QTest::qWaitFor(
                                  [&] {
                                      const int now = frameAtScreenCentre();
                                      return now >= 0 && now != first;
                                  },
                                  10000));
    program.terminate();
    EXPECT_TRUE(program.waitForFinished(5000));
}

}  // namespace
