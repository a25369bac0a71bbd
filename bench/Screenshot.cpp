// Stages three generated clips in the real main window, plays them for a moment and saves a
// screenshot of the window: the picture in the README and a quick look for developers.
//   loopstage_screenshot OUTPUT.png [seconds] [--dialog] [--full-screen]
// --dialog adds the clips through File > Add clips' dialog instead of drops; --full-screen
// shows the stage full screen (F11). "ready" on stdout says when the picture stands, for a
// screenshot taken from outside.
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Application.h"
#include "app/MainWindow.h"
#include "clips/Clips.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/OpenGLView.h"

using namespace loopstage;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [seconds] [--dialog] [--full-screen]\n",
                     argv[0]);
        return 2;
    }
    double seconds = 1.5;
    bool viaDialog = false, fullScreen = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dialog")
            viaDialog = true;
        else if (arg == "--full-screen")
            fullScreen = true;
        else
            seconds = std::atof(argv[i]);
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
    QStringList chosen;
    for (const Placement& p : placements) {
        clips::ClipSpec recipe;
        recipe.width = 320;
        recipe.height = 240;
        recipe.frames = p.frames;
        const std::string path = clips::tempClipPath(p.name);
        std::string error;
        if (!clips::writeClip(path, recipe, &error)) {
            std::fprintf(stderr, "cannot write %s: %s\n", p.name, error.c_str());
            return 1;
        }
        chosen << QString::fromStdString(path);
        if (viaDialog) continue;
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(chosen.back())});
        if (!window.orchestra()->acceptDrop(&data, -1, orchestra::DropOperation::Above)) return 1;
    }
    if (viaDialog) {
        // As a user does it: Ctrl+O, the three names in the dialog's file field, Open.
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window)) return 1;
        QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
        auto* dialog = window.findChild<QFileDialog*>(QStringLiteral("addClipsDialog"));
        if (!dialog) {
            std::fprintf(stderr, "no Add clips dialog\n");
            return 1;
        }
        dialog->setDirectory(QFileInfo(chosen.first()).absolutePath());
        QTest::qWait(300);
        QStringList names;
        for (const QString& path : chosen)
            names << QLatin1Char('"') + QFileInfo(path).fileName() + QLatin1Char('"');
        auto* fileNames = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!fileNames) return 1;
        fileNames->setText(names.join(QLatin1Char(' ')));
        QTest::qWait(300);
        QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open),
                          Qt::LeftButton);
    }
    if (model->rowCount() != 3) {
        std::fprintf(stderr, "%d clips on stage, not 3\n", model->rowCount());
        return 1;
    }
    for (int row = 0; row < 3; ++row) {
        model->setData(model->index(row, 3), placements[row].x, Qt::EditRole);
        model->setData(model->index(row, 4), placements[row].y, Qt::EditRole);
        model->setData(model->index(row, 5), placements[row].z, Qt::EditRole);
    }
    window.orchestra()->togglePlayback();
    if (fullScreen) {
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window)) return 1;
        QTest::keyClick(&window, Qt::Key_F11);
        if (!window.isStageFullScreen()) {
            std::fprintf(stderr, "F11 did not show the stage full screen\n");
            return 1;
        }
    }
    QTest::qWait(300);
    std::printf("ready\n");
    std::fflush(stdout);
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
