#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QMimeData>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <random>

#include "app/MainWindow.h"
#include "musician/Musician.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/BadInputs.h"
#include "clips/Clips.h"

namespace loopstage {
namespace {

// For a while (LOOPSTAGE_STRESS_SECONDS, 10 s by default; the TSan run uses 30): random drops
// of good and bad files, edits of every column, resizes, toggles, camera actions and window
// moves, all from the main thread, while the display link ticks. ThreadSanitizer watches the
// sharing; afterwards the table, the list and the stage must agree.
TEST(Stress, RandomUseWhilePlayingLeavesTableListAndStageInAgreement) {
    const int seconds = qEnvironmentVariableIsSet("LOOPSTAGE_STRESS_SECONDS")
                            ? qEnvironmentVariableIntValue("LOOPSTAGE_STRESS_SECONDS")
                            : 10;
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
        clips::ClipSpec recipe;
        recipe.frames = 10 + 10 * i;
        recipe.width = 64 + 32 * i;
        files.push_back(clips::tempClipPath("stress" + std::to_string(i) + ".mp4"));
        ASSERT_TRUE(clips::writeClip(files.back(), recipe));
    }
    const auto bad = test::makeBadInputs(clips::tempClipPath("stress-bad"));
    for (size_t i = 0; i < bad.size(); i += 23) files.push_back(bad[i].path);

    app::MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    orchestra::Orchestra& orchestra = *window.orchestra();
    QAbstractItemModel* model = window.musicianView()->model();
    const QStringList actions{"goForward", "goBackward", "goLeft", "goRight", "turnLeft", "turnRight"};
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    orchestra.togglePlayback();

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int operations = 0;
    while (std::chrono::steady_clock::now() < end) {
        ++operations;
        const int rows = model->rowCount();
        switch (pick(8)) {
            case 0: {
                if (rows > 24) break;  // enough decoders for a 2-core machine
                QMimeData data;
                data.setUrls({QUrl::fromLocalFile(QString::fromStdString(files[pick(static_cast<int>(files.size()))]))});
                const int row = pick(3) == 0 && rows ? pick(rows) : -1;
                orchestra.acceptDrop(&data, row, orchestra::DropOperation::On);
                break;
            }
            case 1:
            case 2:
                if (rows) {
                    const int row = pick(rows), column = pick(6);
                    const QModelIndex index = model->index(row, column);
                    if (column == 1) model->setData(index, pick(2) ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
                    else if (column == 0) model->setData(index, QStringLiteral("m%1").arg(operations), Qt::EditRole);
                    else model->setData(index, (pick(400) - 200) / 100.0, Qt::EditRole);
                }
                break;
            case 3:
                window.resize(760 + pick(400), 420 + pick(300));
                break;
            case 4:
                if (pick(4) == 0) orchestra.togglePlayback();
                break;
            case 5:
                window.action(actions[pick(static_cast<int>(actions.size()))])->trigger();
                window.cameraHeightSlider()->setFloatValue((pick(300) - 50) / 100.0f);
                break;
            case 6:
                window.move(pick(200), pick(200));
                break;
            default:
                break;
        }
        QTest::qWait(pick(4));
    }
    if (!orchestra.isPlaying()) orchestra.togglePlayback();
    QTest::qWait(200);

    // The table shows exactly the list, row by row.
    ASSERT_EQ(model->rowCount(), static_cast<int>(orchestra.musicianCount()));
    for (int row = 0; row < model->rowCount(); ++row) {
        const musician::Musician* m = orchestra.musicianList()->at(static_cast<size_t>(row));
        EXPECT_EQ(model->index(row, 0).data().toString(), m->musicianName());
        EXPECT_EQ(model->index(row, 2).data().toString(), m->videoFilename());
        EXPECT_EQ(model->index(row, 3).data().toFloat(), m->position()->x);
        EXPECT_EQ(model->index(row, 4).data().toFloat(), m->position()->y);
        EXPECT_EQ(model->index(row, 5).data().toFloat(), m->position()->z);
    }
    // And the stage still outputs frames.
    const int64_t frames = window.openGLView()->framesOutput();
    QTRY_VERIFY_WITH_TIMEOUT(window.openGLView()->framesOutput() > frames + 10, 5000);
    orchestra.togglePlayback();
    std::printf("stress: %d operations, %d musicians\n", operations, model->rowCount());
}

}  // namespace
}  // namespace loopstage
