#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include "app/HelpDialog.h"
#include "app/MainWindow.h"
#include "app/StatusReadout.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/Movie.h"
#include "stage/OpenGLView.h"
#include "clips/Clips.h"

namespace loopstage::app {
namespace {

QString makeClip(const std::string& name, clips::ClipSpec recipe = {}) {
    const std::string path = clips::tempClipPath(name);
    EXPECT_TRUE(clips::writeClip(path, recipe));
    return QString::fromStdString(path);
}

bool drop(MainWindow& window, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    return window.orchestra()->acceptDrop(&data, -1, orchestra::DropOperation::Above);
}

// The readout's figures come from the tick's counters: a clip that loops counts its loops, a
// clip the decoder cannot keep up with counts late frames, and both reach the status text.
TEST(StatusReadout, CountsLoopsAndLateFramesWhilePlaying) {
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    clips::ClipSpec shortClip;
    shortClip.frames = 6;  // a fifth of a second: it wraps often
    ASSERT_TRUE(drop(window, makeClip("short.mp4", shortClip)));
    clips::ClipSpec heavy;
    heavy.width = 1920;
    heavy.height = 1080;
    heavy.frames = 30;
    ASSERT_TRUE(drop(window, makeClip("heavy.mp4", heavy)));
    // Forty times normal speed: no decoder keeps up with that.
    window.orchestra()->musicianList()->at(1)->channelMovie()->setRate(platform::kFixed1 * 40);

    const ReadoutSample start = sampleReadout(*window.orchestra(), *window.openGLView());
    window.orchestra()->togglePlayback();
    QTRY_VERIFY_WITH_TIMEOUT(
        sampleReadout(*window.orchestra(), *window.openGLView()).musicians[0].loops >= 2, 8000);
    QTRY_VERIFY_WITH_TIMEOUT(
        sampleReadout(*window.orchestra(), *window.openGLView()).musicians[1].late > 0, 8000);
    const ReadoutSample now = sampleReadout(*window.orchestra(), *window.openGLView());
    EXPECT_GT(now.ticks, start.ticks);

    const QString text = readoutText(start, now, true);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Playing"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("2 clips"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("%1 loops").arg(now.musicians[0].loops + now.musicians[1].loops)))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral(" 0 late"))) << text.toStdString();
    // The window's own label follows within a few refreshes of the readout.
    QTRY_VERIFY_WITH_TIMEOUT(window.readout()->text().startsWith(QStringLiteral("Playing")), 3000);
    window.orchestra()->togglePlayback();
}

TEST(StatusReadout, RatesComeFromTheDifferenceOfTwoSamples) {
    ReadoutSample before{1'000'000'000, 100, 90, {{10, 0, 0}, {20, 1, 2}}};
    ReadoutSample after{3'000'000'000, 220, 210, {{70, 0, 1}, {80, 4, 3}, {5, 0, 0}}};
    const QString text = readoutText(before, after, false);
    // 120 ticks in 2 s; 60 + 60 + 5 frames over 3 clips in 2 s.
    EXPECT_EQ(text, QStringLiteral("Stopped · 60.0 ticks/s · 3 clips, 20.8 frames/s each · 4 late · "
                                   "4 loops · 210 frames output"));
}

// A refused file is named with its reason in the status bar and nothing is added for it, dropped
// or chosen in the Add clips dialog (Ctrl+O), whose files join in their order as drops would.
TEST(DropMessages, RefusedFilesAreNamedWithTheirReasonDroppedOrChosen) {
    MainWindow window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QString text = QString::fromStdString(clips::tempClipPath("notes.mp4"));
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not frames\n");
    }
    EXPECT_FALSE(drop(window, text));
    EXPECT_EQ(window.statusBar()->currentMessage(), QStringLiteral("notes.mp4: not a movie file"));

    EXPECT_FALSE(drop(window, QString::fromStdString(clips::tempClipPath("gone.mov"))));
    EXPECT_EQ(window.statusBar()->currentMessage(), QStringLiteral("gone.mov: file not found"));

    clips::ClipSpec audioOnly;
    audioOnly.videoStream = false;
    audioOnly.audioStream = true;
    EXPECT_TRUE(drop(window, makeClip("voice.mp4", audioOnly)));
    EXPECT_EQ(window.statusBar()->currentMessage(),
              QStringLiteral("voice.mp4: no video track; it will show nothing"));
    EXPECT_EQ(window.musicianView()->model()->rowCount(), 1);

    const QString tip = window.musicianView()->model()->index(0, 0).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("no video track"))) << tip.toStdString();

    makeClip("second.mp4");
    makeClip("first.mp4");
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QFileDialog* dialog = nullptr;
    QTRY_VERIFY((dialog = window.findChild<QFileDialog*>(QStringLiteral("addClipsDialog"))));
    EXPECT_TRUE(dialog->nameFilters().value(0).contains(QStringLiteral("*.mp4")));
    dialog->setDirectory(QFileInfo(text).absolutePath());
    // The names as typed into the dialog's file field.
    auto* fileNames = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(fileNames, nullptr);
    fileNames->setText(QStringLiteral("\"second.mp4\" \"notes.mp4\" \"first.mp4\""));
    QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open),
                      Qt::LeftButton);
    QAbstractItemModel* model = window.musicianView()->model();
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(model->index(1, 0).data().toString(), QStringLiteral("second.mp4"));
    EXPECT_EQ(model->index(2, 0).data().toString(), QStringLiteral("first.mp4"));
    EXPECT_EQ(window.statusBar()->currentMessage(), QStringLiteral("notes.mp4: not a movie file"));
}

TEST(RowToolTip, GivesTheClipsFacts) {
    MainWindow window;
    clips::ClipSpec recipe;
    recipe.width = 96;
    recipe.height = 64;
    recipe.frames = 45;
    ASSERT_TRUE(drop(window, makeClip("facts.mp4", recipe)));
    const QString tip = window.musicianView()->model()->index(0, 2).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("96 x 64"))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("30.00 frames/s"))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("1.50 s"))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QString::fromStdString(
        window.orchestra()->musicianList()->at(0)->channelMovie()->codecName())));
}

TEST(Help, F1OpensTheKeysWithoutBlockingAndTheWindowHasItsLooks) {
    MainWindow window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("loopstage"));
    EXPECT_FALSE(window.windowIcon().pixmap(32, 32).isNull()) << "the icon did not load";

    QTest::keyClick(&window, Qt::Key_F1);
    auto* help = window.findChild<HelpDialog*>(QStringLiteral("helpDialog"));
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_FALSE(help->isModal());
    for (const char* key :
         {"Space", "Up", "Left", "Shift+Left", "Ctrl+Q", "F11", "Esc", "Ctrl+O"}) {
        EXPECT_TRUE(HelpDialog::helpText().contains(QString::fromLatin1(key))) << key;
    }
    const QString forwardTip = window.findChild<QWidget*>(QStringLiteral("goForwardButton"))->toolTip();
    EXPECT_TRUE(forwardTip.contains(QStringLiteral("Up"))) << forwardTip.toStdString();
}

}  // namespace
}  // namespace loopstage::app
