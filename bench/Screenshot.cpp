// Stages three generated clips in the real main window, plays them for a moment and saves a
// screenshot of the window: the picture in the README and a quick look for developers.
//   loopstage_screenshot OUTPUT.png [seconds]
#include <QApplication>
#include <QElapsedTimer>
#include <QMimeData>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <cstdio>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/OpenGLView.h"
#include "support/TestClips.h"

using namespace loopstage;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [seconds]\n", argv[0]);
        return 2;
    }
    app::prepareApplication();
    QApplication application(argc, argv);
    app::MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;

    struct Placement {
        const char* name;
        int frames;
        double x, y, z;
    };
    const Placement placements[] = {{"violin.mp4", 90, -1.3, 0.0, -1.0},
                                    {"cello.mp4", 60, 0.0, 0.0, 0.0},
                                    {"drums.mp4", 45, 1.3, 0.2, -0.5}};
    QAbstractItemModel* model = window.musicianView()->model();
    int row = 0;
    for (const Placement& p : placements) {
        test::ClipSpec recipe;
        recipe.width = 320;
        recipe.height = 240;
        recipe.frames = p.frames;
        const std::string path = test::tempClipPath(p.name);
        std::string error;
        if (!test::writeClip(path, recipe, &error)) {
            std::fprintf(stderr, "cannot write %s: %s\n", p.name, error.c_str());
            return 1;
        }
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        if (!window.orchestra()->acceptDrop(&data, -1, orchestra::DropOperation::Above)) return 1;
        model->setData(model->index(row, 3), p.x, Qt::EditRole);
        model->setData(model->index(row, 4), p.y, Qt::EditRole);
        model->setData(model->index(row, 5), p.z, Qt::EditRole);
        ++row;
    }
    window.orchestra()->togglePlayback();
    const double seconds = argc > 2 ? std::atof(argv[2]) : 1.5;
    const int64_t framesBefore = window.openGLView()->framesOutput();
    QElapsedTimer played;
    played.start();
    QTest::qWait(static_cast<int>(seconds * 1000));
    const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const double elapsed = static_cast<double>(played.nsecsElapsed()) / 1e9;
    const int64_t frames = window.openGLView()->framesOutput() - framesBefore;
    window.orchestra()->togglePlayback();
    std::printf("played %.2f s: %lld frames output, %.1f per second\n", elapsed,
                static_cast<long long>(frames), static_cast<double>(frames) / elapsed);
    return shot.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
