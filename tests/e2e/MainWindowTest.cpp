#include "app/MainWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include "musician/Musician.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/LogCapture.h"
#include "support/TestClips.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <cmath>
#include <set>

namespace loopstage::app {
namespace {

// A generated clip dropped below the last row, as a file manager drops it.
bool dropNewClip(MainWindow& window, const std::string& name) {
    const std::string path = test::tempClipPath(name);
    if (!test::writeClip(path, test::ClipSpec{})) return false;
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    return window.orchestra()->acceptDrop(&data, -1, orchestra::DropOperation::Above);
}

bool showWindow(MainWindow& window) {
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window) &&
           QTest::qWaitForWindowExposed(window.openGLView());
}

TEST(MainWindow, HoldsTheTableControlsSliderAndStageWired) {
    MainWindow window;
    QTableView* table = window.musicianView();
    ASSERT_NE(table, nullptr);
    QStringList identifiers;
    for (int c = 0; c < table->model()->columnCount(); ++c) {
        identifiers << table->model()
                           ->headerData(c, Qt::Horizontal, orchestra::MusicianTableModel::IdentifierRole)
                           .toString();
        EXPECT_FALSE(table->model()->headerData(c, Qt::Horizontal).toString().isEmpty());
    }
    EXPECT_EQ(identifiers, (QStringList{"colName", "colVisible", "colVideo", "colX", "colY", "colZ"}));
    EXPECT_EQ(table->model()->rowCount(), 0);

    for (const char* name : {"togglePlaybackButton", "goForwardButton", "goBackwardButton",
                             "goLeftButton", "goRightButton", "turnLeftButton", "turnRightButton"}) {
        EXPECT_NE(window.findChild<QToolButton*>(QString::fromLatin1(name)), nullptr) << name;
    }
    stage::HeightSlider* slider = window.cameraHeightSlider();
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->orientation(), Qt::Vertical);
    EXPECT_FLOAT_EQ(slider->floatValue(), stage::HeightSlider::kStartHeight);

    EXPECT_EQ(window.openGLView()->anOrchestra, window.orchestra());
    EXPECT_EQ(window.openGLView()->cameraHeightSlider, slider);
    EXPECT_EQ(window.orchestra()->openGLView, window.openGLView());
    EXPECT_EQ(window.orchestra()->musicianView, table);
    EXPECT_EQ(window.openGLView()->cameraPosAt(2), -5.0f) << "the view's awakeFromNib ran";
    EXPECT_NE(window.orchestra()->musicianList(), nullptr) << "the orchestra's awakeFromNib ran";
}

// The keys act through the same actions as the buttons, on the real window.
TEST(MainWindow, KeysDriveCameraAndPlaybackLikeTheButtons) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    stage::OpenGLView* view = window.openGLView();
    window.musicianView()->setFocus();

    QTest::keyClick(&window, Qt::Key_Up);
    EXPECT_FLOAT_EQ(view->cameraPosAt(2), -4.9f);
    QTest::keyClick(&window, Qt::Key_Down);
    EXPECT_NEAR(view->cameraPosAt(2), -5.0f, 1e-6);
    QTest::keyClick(&window, Qt::Key_Right);
    EXPECT_EQ(view->cameraDirAt(1), 2.0f);
    QTest::keyClick(&window, Qt::Key_Left);
    EXPECT_EQ(view->cameraDirAt(1), 0.0f);
    QTest::keyClick(&window, Qt::Key_D);
    EXPECT_FLOAT_EQ(view->cameraPosAt(0), -0.1f);
    QTest::keyClick(&window, Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_NEAR(view->cameraPosAt(0), 0.0f, 1e-6);
    QTest::keyClick(&window, Qt::Key_A);
    EXPECT_FLOAT_EQ(view->cameraPosAt(0), 0.1f);

    window.findChild<QToolButton*>(QStringLiteral("goForwardButton"))->click();
    EXPECT_FLOAT_EQ(view->cameraPosAt(2), -4.9f);

    test::LogCapture log;
    QTest::keyClick(&window, Qt::Key_Space);
    EXPECT_TRUE(window.orchestra()->isPlaying());
    EXPECT_TRUE(window.action(QStringLiteral("togglePlayback"))->isChecked());
    const int64_t frames = view->framesOutput();
    QTRY_VERIFY_WITH_TIMEOUT(view->framesOutput() > frames + 5, 5000);
    window.findChild<QToolButton*>(QStringLiteral("togglePlaybackButton"))->click();
    EXPECT_FALSE(window.orchestra()->isPlaying());
    EXPECT_FALSE(window.action(QStringLiteral("togglePlayback"))->isChecked());
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Starting"), QStringLiteral("Stopping")}));
}

TEST(MainWindow, SliderMovesTheCameraHeightSeenByTheNextFrame) {
    MainWindow window;
    window.cameraHeightSlider()->setFloatValue(1.25f);
    EXPECT_FLOAT_EQ(window.cameraHeightSlider()->floatValue(), 1.25f);
    QTest::keyClick(window.cameraHeightSlider(), Qt::Key_Up);
    EXPECT_GT(window.cameraHeightSlider()->floatValue(), 1.25f);
    EXPECT_EQ(window.openGLView()->framesOutput(), 0) << "a height change outputs no frame";
}

TEST(MainWindow, StageShowsBlackBesideTheWidgets) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    QTRY_VERIFY_WITH_TIMEOUT(window.openGLView()->framesOutput() > 0, 5000);
    stage::OpenGLView* view = window.openGLView();
    const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const QPoint stageCentre =
        window.mapFromGlobal(view->mapToGlobal(QPoint(view->width() / 2, view->height() / 2))) *
        window.devicePixelRatio();
    EXPECT_EQ(QColor(shot.pixel(stageCentre)).rgb() & 0xffffff, 0u) << "stage not black";
    const QPoint tableCentre = window.musicianView()->mapTo(&window, window.musicianView()->rect().center()) *
                               window.devicePixelRatio();
    EXPECT_NE(QColor(shot.pixel(tableCentre)).rgb() & 0xffffff, 0u) << "table drawn black";
}

TEST(MainWindow, QuitKeyClosesWhilePlaying) {
    auto window = std::make_unique<MainWindow>();
    if (!showWindow(*window)) GTEST_SKIP() << "window not shown";
    window->orchestra()->togglePlayback();
    ASSERT_TRUE(window->orchestra()->isPlaying());
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
    window.reset();
}

int stageCentreIndex(MainWindow& window) {
    stage::OpenGLView* view = window.openGLView();
    const QImage shot = view->screen()->grabWindow(view->winId()).toImage();
    const QColor c = shot.pixelColor(shot.width() / 2, shot.height() / 2);
    return test::frameIndexOfColour(
        test::Rgb{uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())});
}

// The whole path as a user takes it: a file manager's drop on the table's viewport, Space to
// play, and the clip's frames changing on the stage.
TEST(MainWindow, DroppedFileBecomesABillboardThatPlaysAfterSpace) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    test::ClipSpec recipe;
    recipe.frames = 45;
    const std::string path = test::tempClipPath("dropped on the table.mp4");
    ASSERT_TRUE(test::writeClip(path, recipe));

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QWidget* viewport = window.musicianView()->viewport();
    const QPoint below = viewport->rect().center();
    QDragEnterEvent enter(below, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent move(below, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    EXPECT_TRUE(move.isAccepted());
    EXPECT_EQ(move.dropAction(), Qt::CopyAction);
    QDropEvent drop(below, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    ASSERT_EQ(window.musicianView()->model()->rowCount(), 1);
    EXPECT_EQ(window.musicianView()->model()->index(0, 0).data().toString(),
              QStringLiteral("dropped on the table.mp4"));

    QTest::keyClick(&window, Qt::Key_Space);
    ASSERT_TRUE(window.orchestra()->isPlaying());
    std::set<int> seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < 4 && std::chrono::steady_clock::now() < end) {
        QTest::qWait(40);
        const int index = stageCentreIndex(window);
        if (index >= 0) seen.insert(index);
    }
    EXPECT_GE(seen.size(), 4u) << "the stage did not show the clip playing";
    QTest::keyClick(&window, Qt::Key_Space);
    EXPECT_FALSE(window.orchestra()->isPlaying());
}

TEST(MainWindow, KeysTypedIntoACellEditorDoNotReachTheActions) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    ASSERT_TRUE(dropNewClip(window, "edit_me.mp4"));

    QTableView* table = window.musicianView();
    table->setFocus();
    table->edit(table->model()->index(0, 0));
    QTRY_VERIFY(window.isEditingCell());
    QWidget* editor = QApplication::focusWidget();
    QTest::keyClick(editor, Qt::Key_Space);
    QTest::keyClick(editor, Qt::Key_Up);
    QTest::keyClick(editor, Qt::Key_A);
    EXPECT_FALSE(window.orchestra()->isPlaying());
    EXPECT_EQ(window.openGLView()->cameraPosAt(2), -5.0f);
    EXPECT_EQ(window.openGLView()->cameraPosAt(0), 0.0f);
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY(!window.isEditingCell());
    QTest::keyClick(&window, Qt::Key_Up);
    EXPECT_FLOAT_EQ(window.openGLView()->cameraPosAt(2), -4.9f);
}

struct Extent {
    int left = -1, right = -1, top = -1, bottom = -1;
};

// Where the lit pixels of the stage lie along its middle row and middle column.
Extent litExtent(const QImage& shot) {
    Extent e;
    const int row = shot.height() / 2, column = shot.width() / 2;
    auto lit = [&](int x, int y) { return (shot.pixel(x, y) & 0xffffff) != 0; };
    for (int x = 0; x < shot.width(); ++x) {
        if (lit(x, row)) {
            if (e.left < 0) e.left = x;
            e.right = x;
        }
    }
    for (int y = 0; y < shot.height(); ++y) {
        if (lit(column, y)) {
            if (e.top < 0) e.top = y;
            e.bottom = y;
        }
    }
    return e;
}

// A table edit and a camera step move the billboard on screen by what the projection says:
// at distance 5 with a 45 degree field of view, one scene unit is H / (2 * 5 * tan 22.5) pixels.
TEST(MainWindow, EditedHeightAndCameraStepMoveTheBillboardByTheProjectedAmount) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    ASSERT_TRUE(dropNewClip(window, "moves.mp4"));
    window.orchestra()->togglePlayback();
    QTRY_VERIFY_WITH_TIMEOUT(window.orchestra()->musicianList()->at(0)->currentTexture() != nullptr, 5000);
    window.orchestra()->togglePlayback();

    stage::OpenGLView* view = window.openGLView();
    auto shoot = [&] {
        view->flushOutput();
        return litExtent(view->screen()->grabWindow(view->winId()).toImage());
    };
    const Extent before = shoot();
    ASSERT_GT(before.right - before.left, 10);
    ASSERT_GT(before.bottom - before.top, 10);
    const double h = view->height() * view->devicePixelRatio();
    const double w = view->width() * view->devicePixelRatio();
    const double pixelsPerUnitY = h / (2 * 5 * std::tan(22.5 * 3.141592653589793 / 180));
    const double pixelsPerUnitX = pixelsPerUnitY;  // the projection keeps units square on screen
    EXPECT_NEAR(before.bottom - before.top, pixelsPerUnitY, 3);

    QAbstractItemModel* model = window.musicianView()->model();
    ASSERT_TRUE(model->setData(model->index(0, 4), 0.25, Qt::EditRole));  // colY
    const Extent raised = shoot();
    EXPECT_NEAR(before.bottom - raised.bottom, 0.25 * pixelsPerUnitY, 2);
    EXPECT_NEAR(before.top - raised.top, 0.25 * pixelsPerUnitY, 2);
    EXPECT_EQ(raised.left, before.left);

    QTest::keyClick(&window, Qt::Key_D);  // one step to the right: the scene moves left
    const Extent stepped = shoot();
    EXPECT_NEAR(raised.left - stepped.left, 0.1 * pixelsPerUnitX, 2);
    EXPECT_NEAR(raised.right - stepped.right, 0.1 * pixelsPerUnitX, 2);
    EXPECT_GT(w, 0);
}

}  // namespace
}  // namespace loopstage::app
