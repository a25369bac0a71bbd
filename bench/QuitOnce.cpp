// One quit while playing, the way the program quits: the real window in the real event loop,
// CLIPS clips (0 to 2, default 2) added through File > Add clips' path, playback on, then Ctrl+Q
// after a random moment; the window goes when the event loop has returned. scripts/quit-loop
// runs it again and again in new processes and counts the runs that did not end cleanly. An
// empty stage matters: its ticks spend nearly all their time in frame output, where a surface
// that goes away hurts.
//   loopstage_quit_once CLIP_FOLDER [CLIPS]
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "clips/Clips.h"
#include "orchestra/Orchestra.h"

using namespace loopstage;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP_FOLDER [CLIPS]\n", argv[0]);
        return 2;
    }
    app::prepareApplication();
    QApplication application(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const int count = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 2) : 2;
    QStringList clips;
    for (const char* name : {"quit-a.mp4", "quit-b.mp4"}) {
        if (clips.size() == count) break;
        clips << folder.filePath(QString::fromLatin1(name));
        if (QFileInfo::exists(clips.back())) continue;
        clips::ClipSpec recipe;
        recipe.width = 320;
        recipe.height = 240;
        recipe.frames = 60;
        if (!clips::writeClip(clips.back().toStdString(), recipe)) return 3;
    }

    app::MainWindow window;
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) return 4;
    window.addClipFiles(clips);  // probed off the window's thread: they join in a moment
    const auto added = [&] {
        return window.orchestra()->musicianCount() == static_cast<std::size_t>(count);
    };
    if (!QTest::qWaitFor(added)) return 5;
    window.orchestra()->togglePlayback();
    if (!window.orchestra()->isPlaying()) return 6;
    // Anywhere from the first ticks to well into playback.
    const int delayMs = QRandomGenerator::global()->bounded(400);
    QTimer::singleShot(delayMs, &window, [&window] {
        QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
        // The show was never saved: the window asks, and is told to discard.
        if (auto* ask = window.findChild<QMessageBox*>("saveChanges"))
            ask->button(QMessageBox::Discard)->click();
    });
    return QApplication::exec();
}
