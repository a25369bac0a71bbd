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

#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/LogCapture.h"

namespace loopstage::app {
namespace {

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

}  // namespace
}  // namespace loopstage::app
