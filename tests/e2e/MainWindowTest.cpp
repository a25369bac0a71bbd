#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>
#include <fstream>

#include "app/HelpDialog.h"
#include "app/MainWindow.h"
#include "app/StatusReadout.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/Displays.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/ScriptedDisplayLink.h"
#include "support/Support.h"

namespace loopstage::app {

// A key as the keyboard gives it: to the widget that has the focus.
void press(QKeyCombination key) {
    QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
}

bool show(MainWindow& window) {
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window) &&
           QTest::qWaitForWindowExposed(window.openGLView());
}

// The menus hold their actions; keys and buttons act through the same actions, on the real
// window and also while the stage alone fills the screen, where the display link follows it;
// Esc and F11 bring the window back as it was, the table focused. The stage takes the keys from
// the table by a click or Esc; the slider keeps its arrows, a button tabbed to its Space. The
// slider's changes redraw the stopped stage; F1 shows help without blocking.
TEST(MainWindow, MenusKeysButtonsSliderFullScreenStageAndHelp) {
    test::ScriptedDisplayLinks links;
    platform::DisplayId shownOn = platform::mainDisplayId();
    platform::setWindowDisplayLookupForTesting([&](const QWindow*) { return shownOn; });
    auto window = std::make_unique<MainWindow>();
    QStringList menus;
    for (QAction* menu : window->menuBar()->actions())
        for (QAction* item : menu->menu()->actions()) menus << menu->text() + item->objectName();
    EXPECT_EQ(menus,
              (QStringList{"&FileopenShow", "&File", "&FilesaveShow", "&FilesaveShowAs", "&File",
                           "&FileaddClips", "&File", "&Filequit", "&Editundo", "&Editredo", "&Edit",
                           "&EditremoveMusician", "&Edit", "&EditarrangeRow", "&EditarrangeGrid",
                           "&ViewfullScreenStage", "&Helphelp"}));
    ASSERT_TRUE(show(*window));
    const QRect normal = window->geometry();
    const stage::OpenGLView* view = window->openGLView();
    const int64_t frames = view->framesOutput();
    window->cameraHeightSlider()->setFloatValue(1.25f);
    window->cameraHeightSlider()->setFocus();
    press(Qt::Key_Up);
    EXPECT_GT(window->cameraHeightSlider()->floatValue(), 1.25f);
    EXPECT_EQ(view->cameraPosAt(2), -5.0f);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->framesOutput() > frames; })) << "no redraw";
    QTableView* table = window->musicianView();
    auto focused = [] { return QApplication::focusWidget(); };
    for (int i = 0; i < 20 && focused() && focused()->objectName() != "goForwardButton"; ++i)
        press(Qt::Key_Tab);
    ASSERT_TRUE(focused() && focused()->objectName() == "goForwardButton");
    press(Qt::Key_Space);
    EXPECT_FALSE(window->orchestra()->isPlaying());
    EXPECT_FLOAT_EQ(view->cameraPosAt(2), -4.9f) << "Space did not click the focused button";
    window->openGLView()->setCameraPosAt(2, -5);
    table->setFocus();
    press(Qt::Key_Escape);
    EXPECT_TRUE(window->stageContainer()->hasFocus()) << "Esc in the table";
    table->setFocus();
    QTest::mouseClick(window->openGLView(), Qt::LeftButton);
    EXPECT_TRUE(window->stageContainer()->hasFocus()) << "a click on the stage";
    // The camera's x, z and turn after each key. Sideways steps while turned go along the
    // turned axis: 0.1 * (cos 2°, sin 2°).
    const struct {
        QKeyCombination key;
        float x, z, turn;
    } steps[] = {{Qt::Key_Up, 0, -4.9f, 0},
                 {Qt::Key_Down, 0, -5, 0},
                 {Qt::Key_D, -0.1f, -5, 0},
                 {Qt::SHIFT | Qt::Key_Left, 0, -5, 0},
                 {Qt::Key_A, 0.1f, -5, 0},
                 {Qt::Key_Right, 0.1f, -5, 2},
                 {Qt::Key_F11, 0.1f, -5, 2},
                 {Qt::Key_A, 0.19993908f, -4.99651f, 2},
                 {Qt::Key_Left, 0.19993908f, -4.99651f, 0}};
    for (const auto& s : steps) {
        SCOPED_TRACE(QKeySequence(s.key).toString().toStdString());
        QTest::keyClick(window.get(), s.key.key(), s.key.keyboardModifiers());
        const QVector3D camera(view->cameraPosAt(0), view->cameraPosAt(2), view->cameraDirAt(1));
        EXPECT_LT(camera.distanceToPoint({s.x, s.z, s.turn}), 1e-5);
    }
    EXPECT_TRUE(window->windowState() & Qt::WindowFullScreen);
    QTRY_COMPARE(window->geometry(), window->screen()->geometry());
    QWidget* stage = window->stageContainer();
    QTRY_COMPARE(QRect(stage->mapTo(window.get(), QPoint()), stage->size()), window->rect());
    QTest::keyClick(window.get(), Qt::Key_Space);
    EXPECT_TRUE(window->orchestra()->isPlaying() && window->action("togglePlayback")->isChecked());
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->windowState() & Qt::WindowFullScreen);
    EXPECT_TRUE(table->isVisible() && table->hasFocus());
    QTRY_COMPARE(window->geometry(), normal);
    shownOn = 7;
    QTest::keyClick(window.get(), Qt::Key_F11);
    EXPECT_EQ(links.script->currentDisplayCalls, std::vector<platform::DisplayId>{7});
    QTest::keyClick(window.get(), Qt::Key_F11);
    EXPECT_FALSE(window->isStageFullScreen());

    window->findChild<QToolButton*>("togglePlaybackButton")->click();
    EXPECT_FALSE(window->orchestra()->isPlaying() || window->action("togglePlayback")->isChecked());
    QTest::keyClick(window.get(), Qt::Key_F1);
    auto* help = window->findChild<HelpDialog*>();
    EXPECT_TRUE(help && help->isVisible() && !help->isModal());
    window.reset();
    platform::setWindowDisplayLookupForTesting({});
}

// A file manager's drag of one file, delivered where the platform delivers it: to the window's
// native window, at the centre of `target`. True when the drop was taken.
bool dragAndDrop(MainWindow& window, QWidget* target, const QString& path) {
    auto data = test::filesDrag({path});
    const QPoint at = target->mapTo(&window, target->rect().center());
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(at, offered, data.get(), Qt::LeftButton, {});
    QDragMoveEvent move(at, offered, data.get(), Qt::LeftButton, {});
    QDropEvent drop(at, offered, data.get(), Qt::LeftButton, {});
    for (QEvent* e : std::initializer_list<QEvent*>{&enter, &move, &drop}) {
        QApplication::sendEvent(window.windowHandle(), e);
    }
    return move.isAccepted() && move.dropAction() == Qt::CopyAction && drop.isAccepted();
}

// Where the stage is lit.
QRect litRect(MainWindow& window) {
    window.openGLView()->flushOutput();
    const QImage shot = window.screen()->grabWindow(window.openGLView()->winId()).toImage();
    QRect lit;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (shot.pixel(x, y) & 0xffffff) lit |= QRect(x, y, 1, 1);
    return lit;
}

// Which generated frame the stage shows at a scene point, as last presented; -1 for none.
int frameShownAt(MainWindow& window, const QVector3D& scenePoint) {
    QPointF at;
    if (!window.openGLView()->project(scenePoint, &at)) return -1;
    const QImage shot = window.screen()->grabWindow(window.openGLView()->winId()).toImage();
    const QColor c = shot.pixelColor((at * window.openGLView()->devicePixelRatio()).toPoint());
    return clips::frameIndexOfColour({uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())});
}

// Stopped, with nothing ticking, clips dropped or replaced show their first pictures, and an
// edit and the camera's steps redraw them where the projection now puts them.
TEST(MainWindow, StoppedStageShowsFirstPicturesAndRedrawsOnChanges) {
    MainWindow window;
    ASSERT_TRUE(show(window));
    for (const char* name : {"still-a.mp4", "still-b.mp4"})
        ASSERT_TRUE(dragAndDrop(window, window.stageContainer(), test::qclip(name)));
    QAbstractItemModel* model = window.musicianView()->model();
    ASSERT_TRUE(model->setData(model->index(1, 3), 1.5));
    const QVector3D a(0, 0.5f, 0), b(1.5f, 0.5f, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return frameShownAt(window, a) == 0; }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return frameShownAt(window, b) == 0; }));
    clips::ClipSpec red;  // every picture in the colour of frame 7
    red.flatColour = clips::colourOfFrame(7);
    ASSERT_TRUE(model->dropMimeData(test::filesDrag({test::qclip("still-red.mp4", red)}).get(),
                                    Qt::CopyAction, -1, 0, model->index(0, 0)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return frameShownAt(window, a) == 7; })) << "replaced";
    for (int i = 0; i < 10; ++i) QTest::keyClick(&window, Qt::Key_D);  // the scene moves left
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return frameShownAt(window, b + QVector3D(1, 0, 0)) == -1; }));
    EXPECT_EQ(frameShownAt(window, b), 0);
    EXPECT_EQ(window.orchestra()->tickStats().ticks(), 0);

    // Picking with the pointer: b, nearer and drawn later, covers part of a.
    ASSERT_TRUE(model->setData(model->index(1, 3), 0.5) && model->setData(model->index(1, 5), 1));
    stage::OpenGLView* view = window.openGLView();
    auto at = [&](QVector3D p) {
        QPointF w;
        EXPECT_TRUE(view->project(p, &w));
        return w;
    };
    auto selected = [&] { return window.musicianView()->selectionModel()->selectedRows(); };
    const QVector3D bCentre(0.5f, 0.5f, 1);
    for (const auto& [point, row] : {std::pair{bCentre, 1},
                                     {QVector3D(-0.4f, 0.5f, 0), 0},
                                     {QVector3D(-2, 0.5f, 0), -1},
                                     {bCentre, 1}}) {
        QTest::mouseClick(view, Qt::LeftButton, {}, at(point).toPoint());
        EXPECT_EQ(selected().value(0).row(), row) << point.x();
        EXPECT_EQ(selected().size(), row < 0 ? 0 : 1);
    }
    // A drag across moves b so that its centre follows the pointer, in one undo step; Esc in
    // the middle of another puts it back.
    const QPoint from = at(bCentre).toPoint();
    const int n = 40;
    QUndoStack& undo = *window.undoStack();
    const int steps = undo.count();
    auto moveTo = [&](QPoint p, Qt::KeyboardModifiers keys) {
        QMouseEvent move(QEvent::MouseMove, p, view->mapToGlobal(p), Qt::NoButton, Qt::LeftButton,
                         keys);
        QApplication::sendEvent(view, &move);
    };
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    for (int i = 1; i <= 4; ++i) moveTo(from + QPoint(n * i / 4, 0), {});
    EXPECT_NE(model->index(1, 3).data().toFloat(), 0.5f) << "the table did not follow";
    QTest::mouseRelease(view, Qt::LeftButton, {}, from + QPoint(n, 0));
    const orchestra::MusicianRecord moved = window.orchestra()->recordOf(1);
    const QPointF now = at({moved.x, moved.y + 0.5f, moved.z});
    EXPECT_NEAR(now.x() - from.x(), n, 1);
    EXPECT_NEAR(now.y(), from.y(), 1);
    EXPECT_EQ(undo.count(), steps + 1);
    QTest::mousePress(view, Qt::LeftButton, Qt::ShiftModifier, now.toPoint());
    moveTo(now.toPoint() - QPoint(0, 30), Qt::ShiftModifier);
    EXPECT_GT(window.orchestra()->recordOf(1).y, 0.1f);
    QTest::keyClick(window.stageContainer(), Qt::Key_Escape);
    QTest::mouseRelease(view, Qt::LeftButton, {}, now.toPoint() - QPoint(0, 30));
    EXPECT_EQ(window.orchestra()->recordOf(1).y, 0.0f);
    EXPECT_EQ(undo.count(), steps + 1);
    undo.undo();
    EXPECT_EQ(model->index(1, 3).data().toFloat(), 0.5f);
    EXPECT_EQ(model->index(1, 5).data().toFloat(), 1.0f);

    // Arranged, turned away a little: each seen whole and clear of the others, in one step.
    ASSERT_TRUE(dragAndDrop(window, window.stageContainer(), test::qclip("still-a.mp4")));
    for (int i = 0; i < 10; ++i) QTest::keyClick(&window, Qt::Key_Right);
    window.musicianView()->clearSelection();
    const orchestra::Show was = window.currentShow();
    for (const char* arrange : {"arrangeRow", "arrangeGrid"}) {
        window.action(arrange)->trigger();
        std::vector<QRectF> shown;
        for (int row = 0; row < 3; ++row) {
            const orchestra::MusicianRecord r = window.orchestra()->recordOf(row);
            QRectF quad;
            for (const float dx : {-0.5f, 0.5f})
                for (const float dy : {0.0f, 1.0f})
                    quad |= QRectF(at({r.x + dx, r.y + dy, r.z}), QSizeF(1e-3, 1e-3));
            shown.push_back(quad);
            EXPECT_TRUE(QRectF(QPointF(), view->size()).contains(shown.back())) << arrange << row;
            for (int other = 0; other < row; ++other)
                EXPECT_FALSE(shown[other].intersects(shown[row])) << arrange << row << other;
        }
        undo.undo();
        EXPECT_EQ(window.currentShow(), was) << arrange;
    }
    // Full screen, Esc during a drag is the drag's: the billboard goes back, the screen stays.
    QTest::keyClick(&window, Qt::Key_F11);
    QTRY_COMPARE(view->size(), window.screen()->size());
    const QPoint held = at(bCentre).toPoint();
    QTest::mousePress(view, Qt::LeftButton, {}, held);
    EXPECT_GE(selected().value(0).row(), 1);
    moveTo(held + QPoint(25, 10), {});
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::mouseRelease(view, Qt::LeftButton, {}, held + QPoint(25, 10));
    EXPECT_TRUE(window.isStageFullScreen());
    EXPECT_EQ(window.currentShow(), was);
}

// The whole path as a user takes it while the real link ticks: drops below the table's rows, on
// the strip below a full table and on the stage each add a musician at the end that joins the
// show; a cell editor keeps its keys until a button click commits it; a table edit and a camera
// step move the billboards by what the projection says; Ctrl+Q closes.
TEST(MainWindow, DropsEditsAndCameraStepsWhilePlayingThenQuit) {
    auto window = std::make_unique<MainWindow>();
    ASSERT_TRUE(show(*window));
    QTest::keyClick(window.get(), Qt::Key_Space);
    ASSERT_TRUE(window->orchestra()->isPlaying());
    QTableView* table = window->musicianView();
    QAbstractItemModel* model = table->model();
    const QString clip = test::qclip("drop me.mp4");
    ASSERT_TRUE(dragAndDrop(*window, table->viewport(), clip));
    // One row as tall as the table: no empty place is left below it.
    table->verticalHeader()->resizeSection(0, table->viewport()->height());
    ASSERT_TRUE(table->indexAt(QPoint(2, table->viewport()->height() - 2)).isValid());
    ASSERT_TRUE(dragAndDrop(*window, window->dropArea(), clip));
    ASSERT_TRUE(dragAndDrop(*window, window->stageContainer(), clip));
    ASSERT_EQ(model->rowCount(), 3);
    const orchestra::MusicianList& list = *window->orchestra()->musicianList();
    auto allShown = [&] {
        for (std::size_t i = 0; i < list.count(); ++i)
            if (!list.at(i)->currentTexture()) return false;
        return true;
    };
    EXPECT_TRUE(QTest::qWaitFor(allShown));

    // The focused table keeps the keys it uses: the arrows move the current cell, Space ticks
    // Visible, a name typed over keeps every letter, x's editor steps with Up.
    stage::OpenGLView* view = window->openGLView();
    table->setFocus();
    table->setCurrentIndex(model->index(0, 0));
    for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Right, Qt::Key_Space}) press(key);
    EXPECT_EQ(table->currentIndex(), model->index(1, 1));
    EXPECT_EQ(model->index(1, 1).data(Qt::CheckStateRole), Qt::Unchecked);
    press(Qt::Key_Left);
    // The delegate commits an editor's value on Return a moment later.
    auto commit = [&] {
        press(Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isEditingCell(); }));
    };
    for (const char c : std::string("drums")) QTest::keyClick(QApplication::focusWidget(), c);
    commit();
    EXPECT_EQ(model->index(1, 0).data(), "drums");
    table->setCurrentIndex(model->index(1, 3));
    for (const Qt::Key key : {Qt::Key_F2, Qt::Key_Up}) press(key);
    commit();
    EXPECT_EQ(model->index(1, 3).data().toFloat(), 0.1f);
    EXPECT_TRUE(window->orchestra()->isPlaying() && view->cameraPosAt(2) == -5.0f &&
                view->cameraPosAt(0) == 0.0f && view->cameraDirAt(1) == 0.0f);

    // A drop below the rows and one onto a row keep the selection and a half-typed name.
    table->setCurrentIndex(model->index(0, 0));
    table->edit(model->index(0, 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isEditingCell(); }));
    QWidget* editor = QApplication::focusWidget();
    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor, QStringLiteral("lead vio"));
    ASSERT_TRUE(dragAndDrop(*window, window->stageContainer(), clip));
    ASSERT_TRUE(model->dropMimeData(test::filesDrag({clip}).get(), Qt::CopyAction, -1, 0,
                                    model->index(1, 0)));
    ASSERT_EQ(model->rowCount(), 4);
    ASSERT_EQ(QApplication::focusWidget(), editor);
    EXPECT_EQ(table->selectionModel()->selectedIndexes(), QModelIndexList{model->index(0, 0)});
    QTest::keyClicks(editor, QStringLiteral("lin"));
    QTest::mouseClick(window->findChild<QToolButton*>("goForwardButton"), Qt::LeftButton);
    EXPECT_FALSE(window->isEditingCell());
    EXPECT_EQ(model->index(0, 0).data(), "lead violin");
    EXPECT_FLOAT_EQ(view->cameraPosAt(2), -4.9f) << "the click did not act";
    view->setCameraPosAt(2, -5.0f);
    ASSERT_TRUE(model->setData(model->index(1, 3), 0));
    EXPECT_TRUE(QTest::qWaitFor(allShown));

    // At distance 5 with a 45 degree field of view, one scene unit is H / (10 tan 22.5°) pixels,
    // across as well as up.
    const QRect before = litRect(*window);
    const double unit = view->height() * view->devicePixelRatio() / (10 * std::tan(M_PI / 8));
    EXPECT_NEAR(before.height(), unit, 3);
    EXPECT_NEAR(before.width(), unit, 3);
    for (int row = 0; row < 4; ++row) ASSERT_TRUE(model->setData(model->index(row, 4), 0.25));
    const QRect raised = litRect(*window);
    EXPECT_NEAR(before.y() - raised.y(), 0.25 * unit, 2);
    EXPECT_NEAR(before.bottom() - raised.bottom(), 0.25 * unit, 2);
    EXPECT_EQ(raised.x(), before.x());
    QTest::keyClick(window.get(), Qt::Key_D);  // one step to the right: the scene moves left
    const QRect stepped = litRect(*window);
    EXPECT_NEAR(raised.x() - stepped.x(), 0.1 * unit, 2);
    EXPECT_NEAR(raised.right() - stepped.right(), 0.1 * unit, 2);

    // Closing destroys the stage's native surface while ticks run; they leave it alone from then
    // on, and the window goes with the ticks still running.
    // Unsaved: the window asks first, and goes when told to discard.
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    auto* ask = window->findChild<QMessageBox*>(QStringLiteral("saveChanges"));
    ASSERT_TRUE(ask && window->isVisible());
    ask->button(QMessageBox::Discard)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }));
    const int64_t frames = view->framesOutput();
    const orchestra::TickStats& ticks = window->orchestra()->tickStats();
    const int64_t ticksAtClose = ticks.ticks();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks.ticks() > ticksAtClose + 2; }));
    EXPECT_EQ(view->framesOutput(), frames) << "a frame into a surface now gone";
    window.reset();
}

// A refused file is named with its reason in the status bar and nothing is added for it, dropped
// or chosen in the Add clips dialog (Ctrl+O), whose files join in their order as drops would. A
// row's tool tip gives the clip's facts. The readout counts the loops of a clip that wraps and
// the late frames of one the decoder cannot keep up with. A clip that gives up on decoding says
// so in its tool tip and, once, in the status bar.
TEST(MainWindow, RefusalsToolTipsAndTheReadout) {
    MainWindow window;
    ASSERT_TRUE(show(window));
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);
    const QString text = QString::fromStdString(clips::tempClipPath("notes.mp4"));
    std::ofstream(text.toStdString()) << "not frames\n";
    clips::ClipSpec audioOnly, shortClip, heavy, badSetup, noise;
    audioOnly.videoStream = false;
    audioOnly.audioStream = true;
    shortClip.frames = 6;  // a fifth of a second: it wraps often
    heavy.width = 1920;
    heavy.height = 1080;
    badSetup.codec = clips::ClipSpec::Codec::Ffv1, badSetup.container = "mkv";
    badSetup.corruptCodecSetup = true;
    noise.codec = clips::ClipSpec::Codec::Mjpeg, noise.container = "avi";
    for (int i = 0; i < noise.frames; ++i) noise.corruptFrames.push_back(i);
    // The last, taken, leaves the message before it standing.
    const std::pair<QString, const char*> drops[] = {
        {text, "notes.mp4: not a movie file"},
        {QString::fromStdString(clips::tempClipPath("gone.mov")), "gone.mov: file not found"},
        {test::qclip("setup.mkv", badSetup),
         "setup.mkv: cannot decode its pictures (damaged or unsupported settings)"},
        {test::qclip("voice.mp4", audioOnly), "voice.mp4: no video track; it will show nothing"},
        {test::qclip("short.mp4", shortClip), "voice.mp4: no video track; it will show nothing"}};
    for (const auto& [path, message] : drops) {
        window.orchestra()->acceptDrop(test::filesDrag({path}).get(), -1,
                                       orchestra::DropOperation::Above);
        EXPECT_EQ(window.statusBar()->currentMessage(), message);
    }
    QAbstractItemModel* model = window.musicianView()->model();
    ASSERT_EQ(model->rowCount(), 2);
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog = window.findChild<QFileDialog*>(); }));
    emit dialog->filesSelected({test::qclip("heavy.mp4", heavy), text, test::qclip("first.mp4")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->rowCount() == 4; }));
    EXPECT_EQ(model->index(2, 0).data(), "heavy.mp4");
    EXPECT_EQ(model->index(3, 0).data(), "first.mp4");
    EXPECT_EQ(window.statusBar()->currentMessage(), "notes.mp4: not a movie file");
    EXPECT_TRUE(model->index(0, 0).data(Qt::ToolTipRole).toString().contains("no video track"));
    const QString tip = model->index(2, 2).data(Qt::ToolTipRole).toString();
    for (const char* fact : {"1920 x 1080", "30.00 frames/s", "1.00 s"})
        EXPECT_TRUE(tip.contains(fact)) << fact;

    // Forty times normal speed: no decoder keeps up with that.
    window.orchestra()->musicianList()->at(2)->channelMovie()->setRate(media::kFixed1 * 40);
    auto sample = [&] { return sampleReadout(*window.orchestra(), *window.openGLView()); };
    const ReadoutSample start = sample();
    window.orchestra()->togglePlayback();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sample().musicians[1].loops >= 2; }, 8000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sample().musicians[2].late > 0; }, 8000));
    const QString readout = readoutText(start, sample(), true);
    EXPECT_TRUE(readout.startsWith("Playing · ") && readout.contains("4 clips") &&
                !readout.contains(" 0 loops") && !readout.contains(" 0 late"))
        << readout.toStdString();
    // The window's own label follows within a few refreshes.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.readout()->text().startsWith("Playing"); }));
    // Its container is fine, so it is taken; no picture comes out of it.
    ASSERT_TRUE(
        window.orchestra()->acceptDrop(test::filesDrag({test::qclip("noise.avi", noise)}).get(), -1,
                                       orchestra::DropOperation::Above));
    const QString gaveUp = "noise.avi: no picture could be decoded; it shows nothing";
    EXPECT_TRUE(QTest::qWaitFor([&] { return messages.contains({gaveUp}); }));
    window.statusBar()->clearMessage();  // a message shown again now would count again
    QTest::qWait(3 * MainWindow::kReadoutIntervalMs);
    EXPECT_EQ(messages.count({gaveUp}), 1);
    EXPECT_TRUE(model->index(4, 0).data(Qt::ToolTipRole).toString().contains(gaveUp.mid(11)));

    // 120 ticks in 2 s; 60 + 60 + 5 frames over 3 clips in 2 s; the late frames and loops of now.
    EXPECT_EQ(readoutText({1'000'000'000, 100, 90, {{10, 0, 0}, {20, 1, 2}}},
                          {3'000'000'000, 220, 210, {{70, 0, 1}, {80, 4, 3}, {5, 0, 0}}}, false),
              "Stopped · 60.0 ticks/s · 3 clips, 20.8 frames/s each · 4 late · 4 loops · 210 "
              "frames output");
}

}  // namespace loopstage::app
