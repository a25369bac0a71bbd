#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <cmath>
#include <set>

#include "app/MainWindow.h"
#include "musician/Musician.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "platform/Displays.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/ScriptedDisplayLink.h"
#include "clips/Clips.h"

namespace loopstage::app {
namespace {

// A generated clip dropped below the last row, as a file manager drops it.
bool dropNewClip(MainWindow& window, const std::string& name) {
    const std::string path = clips::tempClipPath(name);
    if (!clips::writeClip(path, clips::ClipSpec{})) return false;
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

TEST(MainWindow, HoldsTheTableByIdentifiersAndTheFileViewHelpMenus) {
    MainWindow window;
    QAbstractItemModel* model = window.musicianView()->model();
    QStringList identifiers;
    for (int c = 0; c < model->columnCount(); ++c) {
        identifiers << model
                           ->headerData(c, Qt::Horizontal,
                                        orchestra::MusicianTableModel::IdentifierRole)
                           .toString();
        EXPECT_FALSE(model->headerData(c, Qt::Horizontal).toString().isEmpty());
    }
    EXPECT_EQ(identifiers,
              (QStringList{"colName", "colVisible", "colVideo", "colX", "colY", "colZ"}));

    QStringList menus;
    for (QAction* menu : window.menuBar()->actions()) {
        menus << menu->text().remove(QLatin1Char('&'));
        for (QAction* item : menu->menu()->actions()) {
            if (!item->isSeparator()) menus << QStringLiteral("  ") + item->objectName();
        }
    }
    EXPECT_EQ(menus, (QStringList{"File", "  addClips", "  quit", "View", "  fullScreenStage",
                                  "Help", "  help"}));
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

    QTest::keyClick(&window, Qt::Key_Space);
    EXPECT_TRUE(window.orchestra()->isPlaying());
    EXPECT_TRUE(window.action(QStringLiteral("togglePlayback"))->isChecked());
    window.findChild<QToolButton*>(QStringLiteral("togglePlaybackButton"))->click();
    EXPECT_FALSE(window.orchestra()->isPlaying());
    EXPECT_FALSE(window.action(QStringLiteral("togglePlayback"))->isChecked());
}

TEST(MainWindow, SliderMovesTheCameraHeightSeenByTheNextFrameAndIsNamed) {
    MainWindow window;
    QAccessibleInterface* spoken =
        QAccessible::queryAccessibleInterface(window.cameraHeightSlider());
    ASSERT_NE(spoken, nullptr);
    EXPECT_EQ(spoken->text(QAccessible::Name), QStringLiteral("Camera height"));
    window.cameraHeightSlider()->setFloatValue(1.25f);
    EXPECT_FLOAT_EQ(window.cameraHeightSlider()->floatValue(), 1.25f);
    QTest::keyClick(window.cameraHeightSlider(), Qt::Key_Up);
    EXPECT_GT(window.cameraHeightSlider()->floatValue(), 1.25f);
    EXPECT_EQ(window.openGLView()->framesOutput(), 0) << "a height change outputs no frame";
}

// Even when set-up ends for want of a display link, the stage shows black beside the widgets
// and a resize outputs a frame at once.
TEST(MainWindow, StageShowsBlackBesideTheWidgetsAlsoWithoutADisplayLink) {
    test::ScriptedDisplayLinks links;
    links.script->createStatus = -6661;
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    stage::OpenGLView* view = window.openGLView();
    QTRY_VERIFY_WITH_TIMEOUT(view->framesOutput() > 0, 5000);
    const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const QPoint stageCentre =
        window.mapFromGlobal(view->mapToGlobal(QPoint(view->width() / 2, view->height() / 2))) *
        window.devicePixelRatio();
    EXPECT_EQ(QColor(shot.pixel(stageCentre)).rgb() & 0xffffff, 0u) << "stage not black";
    const QPoint tableCentre = window.musicianView()->mapTo(&window, window.musicianView()->rect().center()) *
                               window.devicePixelRatio();
    EXPECT_NE(QColor(shot.pixel(tableCentre)).rgb() & 0xffffff, 0u) << "table drawn black";

    const int64_t frames = view->framesOutput();
    window.resize(window.width() + 40, window.height());
    QTRY_VERIFY_WITH_TIMEOUT(view->framesOutput() > frames, 5000);
}

// Ctrl+Q while the real link ticks: the close destroys the stage's native surface while ticks
// run, and they leave it alone from then on; the window then goes with the ticks still running.
TEST(MainWindow, QuitKeyClosesWhilePlaying) {
    auto window = std::make_unique<MainWindow>();
    if (!showWindow(*window)) GTEST_SKIP() << "window not shown";
    ASSERT_TRUE(dropNewClip(*window, "quit.mp4"));
    window->orchestra()->togglePlayback();
    ASSERT_TRUE(window->orchestra()->isPlaying());
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
    const int64_t frames = window->openGLView()->framesOutput();
    const int64_t ticks = window->orchestra()->tickStats().ticks();
    QTRY_VERIFY_WITH_TIMEOUT(window->orchestra()->tickStats().ticks() > ticks + 2, 5000);
    EXPECT_EQ(window->openGLView()->framesOutput(), frames)
        << "a frame into a surface that is gone";
    window.reset();
}

int stageCentreIndex(MainWindow& window) {
    stage::OpenGLView* view = window.openGLView();
    const QImage shot = view->screen()->grabWindow(view->winId()).toImage();
    const QColor c = shot.pixelColor(shot.width() / 2, shot.height() / 2);
    return clips::frameIndexOfColour(
        clips::Rgb{uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())});
}

// A file manager's drag of one file, delivered where the platform delivers it: to the window's
// native window, at the centre of `target`. True when the drop was taken.
bool dragAndDrop(MainWindow& window, QWidget* target, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QWindow* native = window.windowHandle();
    const QPoint at = target->mapTo(&window, target->rect().center());
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(native, &enter);
    QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(native, &move);
    if (!move.isAccepted() || move.dropAction() != Qt::CopyAction) return false;
    QDropEvent drop(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(native, &drop);
    return drop.isAccepted();
}

// The whole path as a user takes it: Space plays, and drops below the table's rows, on the strip
// below a full table and on the stage each add a musician at the end that joins the show.
TEST(MainWindow, FilesDroppedBelowTheRowsOnTheStripAndOnTheStageJoinAtTheEndAndPlay) {
    MainWindow window;
    if (!showWindow(window)) GTEST_SKIP() << "window not shown";
    clips::ClipSpec recipe;
    recipe.frames = 45;
    QStringList paths;
    for (const char* name : {"below the rows.mp4", "on the strip.mp4", "on the stage.mp4"}) {
        paths << QString::fromStdString(clips::tempClipPath(name));
        ASSERT_TRUE(clips::writeClip(paths.back().toStdString(), recipe));
    }
    QTest::keyClick(&window, Qt::Key_Space);
    ASSERT_TRUE(window.orchestra()->isPlaying());
    QTableView* table = window.musicianView();
    ASSERT_TRUE(dragAndDrop(window, table->viewport(), paths[0]));
    // One row as tall as the table: no empty place is left below it.
    table->verticalHeader()->resizeSection(0, table->viewport()->height());
    ASSERT_TRUE(table->indexAt(QPoint(2, table->viewport()->height() - 2)).isValid());
    ASSERT_TRUE(dragAndDrop(window, window.dropArea(), paths[1]));
    ASSERT_TRUE(dragAndDrop(window, window.stageContainer(), paths[2]));
    ASSERT_EQ(table->model()->rowCount(), 3);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(table->model()->index(row, 2).data().toString(), paths[row]);
    }

    // Appended while the ticks walk the list (ThreadSanitizer watches), and all take frames.
    for (std::size_t i = 0; i < 3; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(window.orchestra()->musicianList()->at(i)->currentTexture(), 5000);
    }
    std::set<int> seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < 4 && std::chrono::steady_clock::now() < end) {
        QTest::qWait(40);
        const int index = stageCentreIndex(window);
        if (index >= 0) seen.insert(index);
    }
    EXPECT_GE(seen.size(), 4u) << "the stage did not show the clips playing";
    QTest::keyClick(&window, Qt::Key_Space);
    EXPECT_FALSE(window.orchestra()->isPlaying());
}

// F11: the stage alone fills the screen that shows the window, the display link follows that
// screen, the keys still act; Esc and F11 bring the window back as it was.
TEST(MainWindow, FullScreenStageKeepsTheKeysFollowsTheScreenAndEscReturns) {
    test::ScriptedDisplayLinks links;
    platform::DisplayId shownOn = platform::mainDisplayId();
    platform::setWindowDisplayLookupForTesting([&](const QWindow*) { return shownOn; });
    {
        MainWindow window;
        if (!showWindow(window)) GTEST_SKIP() << "window not shown";
        const QRect normal = window.geometry();
        shownOn = 7;
        QTest::keyClick(&window, Qt::Key_F11);
        EXPECT_TRUE(window.windowState() & Qt::WindowFullScreen);
        QTRY_COMPARE(window.geometry(), window.screen()->geometry());
        QWidget* stage = window.stageContainer();
        QTRY_COMPARE(QRect(stage->mapTo(&window, QPoint()), stage->size()), window.rect());
        EXPECT_EQ(links.script->currentDisplayCalls, std::vector<platform::DisplayId>{7});

        QTest::keyClick(&window, Qt::Key_Up);
        EXPECT_FLOAT_EQ(window.openGLView()->cameraPosAt(2), -4.9f);
        QTest::keyClick(&window, Qt::Key_Space);
        EXPECT_TRUE(window.orchestra()->isPlaying());

        QTest::keyClick(&window, Qt::Key_Escape);
        EXPECT_FALSE(window.windowState() & Qt::WindowFullScreen);
        QTRY_COMPARE(window.geometry(), normal);
        EXPECT_TRUE(window.musicianView()->isVisible());
        QTest::keyClick(&window, Qt::Key_F11);
        EXPECT_TRUE(window.isStageFullScreen());
        QTest::keyClick(&window, Qt::Key_F11);
        EXPECT_FALSE(window.isStageFullScreen());
    }
    platform::setWindowDisplayLookupForTesting({});
}

// Keys typed into a cell editor are the editor's; a click on a button ends the edit as a focus
// change does (the value committed), then the button acts.
TEST(MainWindow, CellEditorKeepsItsKeysAndAButtonClickCommitsItThenActs) {
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

    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor, QStringLiteral("lead violin"));
    QTest::mouseClick(window.findChild<QToolButton*>(QStringLiteral("goForwardButton")),
                      Qt::LeftButton);
    EXPECT_FALSE(window.isEditingCell());
    EXPECT_EQ(window.orchestra()->musicianList()->at(0)->musicianName(),
              QStringLiteral("lead violin"));
    EXPECT_FLOAT_EQ(window.openGLView()->cameraPosAt(2), -4.9f) << "the click did not act";
    QTest::keyClick(&window, Qt::Key_Up);
    EXPECT_FLOAT_EQ(window.openGLView()->cameraPosAt(2), -4.8f);
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
}

}  // namespace
}  // namespace loopstage::app
