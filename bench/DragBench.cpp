// What moving a billboard with the pointer costs on a stopped stage: three generated 720p clips
// shown side by side, the middle one held and moved back and forth a pixel at a time. For each
// mouse move, the time from the event to the presented frame that shows it.
//   loopstage_drag_bench [moves]
// Prints one JSON line: the moves, the median, 90th percentile and worst in ms, and the frames
// output per move (1 when every move is one redraw and no more).
#include <QApplication>
#include <QElapsedTimer>
#include <QMimeData>
#include <QMouseEvent>
#include <QTest>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

#include "BenchSupport.h"
#include "app/Application.h"
#include "app/MainWindow.h"
#include "orchestra/Orchestra.h"
#include "stage/OpenGLView.h"

using namespace loopstage;

int main(int argc, char** argv) {
    const int moves = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
    app::prepareApplication();
    QApplication application(argc, argv);
    app::MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    const std::string clip =
        bench::ensureClip(QDir::tempPath().toStdString() + "/loopstage-bench", 1280, 720, 30, 2);
    if (clip.empty()) return 1;
    orchestra::Orchestra& orchestra = *window.orchestra();
    for (int i = 0; i < 3; ++i) {
        QMimeData drag;
        drag.setUrls({QUrl::fromLocalFile(QString::fromStdString(clip))});
        if (!orchestra.acceptDrop(&drag, -1, orchestra::DropOperation::Above)) return 1;
    }
    window.arrangeMusicians(false);
    stage::OpenGLView* view = window.openGLView();
    // Shown once the middle one can be taken.
    QPointF centre;
    const orchestra::MusicianRecord middle = orchestra.recordOf(1);
    view->project({middle.x, middle.y + 0.5f, middle.z}, &centre);
    if (!QTest::qWaitFor([&] { return orchestra.musicianAt(centre) == 1; }, 10000)) return 1;
    QTest::qWait(500);

    QTest::mousePress(view, Qt::LeftButton, {}, centre.toPoint());
    std::vector<double> ms;
    const int64_t framesBefore = view->framesOutput();
    for (int i = 1; i <= moves; ++i) {
        const int step = i % 40 < 20 ? i % 40 : 40 - i % 40;
        const QPointF at = centre + QPointF(step, 0);
        const int64_t frames = view->framesOutput();
        QElapsedTimer clock;
        clock.start();
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                         {});
        QApplication::sendEvent(view, &move);
        while (view->framesOutput() == frames && clock.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    const double framesPerMove =
        static_cast<double>(view->framesOutput() - framesBefore) / static_cast<double>(moves);
    QTest::mouseRelease(view, Qt::LeftButton, {}, centre.toPoint());
    std::printf(
        "{\"moves\": %d, \"move_to_frame_p50_ms\": %.3f, \"move_to_frame_p90_ms\": %.3f, "
        "\"move_to_frame_max_ms\": %.3f, \"frames_per_move\": %.3f}\n",
        moves, bench::percentile(ms, 0.5), bench::percentile(ms, 0.9), bench::percentile(ms, 1.0),
        framesPerMove);
    return 0;
}
