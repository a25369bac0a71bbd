#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QtTest>
#include <QtWidgets>

#include "app/MainWindow.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"
#include "support/LogCapture.h"
#include "support/ScriptedDisplayLink.h"
#include "support/Support.h"

namespace loopstage::orchestra {

// The controller wired to a real table and a real stage view, in the window that hosts them.
struct Wiring {
    app::MainWindow window;
    Orchestra* orchestra = window.orchestra();
    MusicianTableModel& model = *window.tableModel();
    stage::OpenGLView& view = *window.openGLView();
    QTableView& table = *window.musicianView();
    // Fatal: any inconsistency in the adapter aborts the run.
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};

    QModelIndex index(int row, const QString& column) {
        return model.index(row, model.columnOfIdentifier(column));
    }
    QVariant cell(int row, const QString& column, int role = Qt::DisplayRole) {
        return index(row, column).data(role);
    }
    bool set(const QString& column, const QVariant& value, int role = Qt::EditRole) {
        return model.setData(index(0, column), value, role);
    }
    // Files dropped on the table as Qt hands them over: above `row` (-1: below the last row)
    // or onto the item `on`.
    bool drop(const QStringList& paths, int row = -1, const QModelIndex& on = {}) {
        return model.dropMimeData(test::filesDrag(paths).get(), Qt::CopyAction, row, 0, on);
    }
    // Ticks for a moment as the display link would (a decoder left idle needs a few to catch
    // up), then grabs the stage.
    QImage tickAndShoot() {
        QElapsedTimer clock;
        for (clock.start(); clock.elapsed() < 150; QTest::qSleep(8)) {
            const platform::VideoTimeStamp ts{platform::hostTimeNow() + 16'000'000, 0, 16'666'667,
                                              1.0};
            orchestra->render(&ts);
        }
        return view.screen()->grabWindow(view.winId()).toImage();
    }
};

// The generated frame shown at the centre of a picture, or -1.
int centre(QImage s) {
    s.convertTo(QImage::Format_RGBA8888);
    return test::frameAtCentre(s.constBits(), s.width(), s.height(), int(s.bytesPerLine()));
}

// A link that starts, one that refuses to start, and one that cannot be made: a refused toggle
// only tries again. Without a link, set-up ends before the list and the contexts and the table
// takes no drops.
TEST(OrchestraPlayback, ToggleStartsAndStopsTheLinkAndTheTimerOrOnlyTriesAgain) {
    for (const int failing : {0, 1, 2}) {  // nothing, the start, the creation
        SCOPED_TRACE(failing);
        test::ScriptedDisplayLinks links;
        links.script->startStatus = failing == 1 ? -6662 : 0;
        links.script->createStatus = failing == 2 ? -6661 : 0;
        test::LogCapture log;
        Wiring w;
        const std::vector<bool> setUp{w.orchestra->musicianList() != nullptr,
                                      w.view.sharedContext() != nullptr, w.table.acceptDrops()};
        EXPECT_EQ(setUp, std::vector<bool>(3, failing != 2)) << "list, contexts, drops";
        w.orchestra->togglePlayback();
        const QTimer* timer = w.orchestra->qtHousekeepingTimer();
        EXPECT_EQ(w.orchestra->isPlaying() && links.script->running && timer && timer->isActive(),
                  failing == 0);
        w.orchestra->togglePlayback();
        EXPECT_FALSE(w.orchestra->isPlaying() || links.script->running ||
                     w.orchestra->qtHousekeepingTimer());
        EXPECT_EQ(links.script->starts, failing == 2 ? 0 : 2 - !failing) << "toggles try again";
        QStringList expected{"Starting", failing ? "Starting" : "Stopping"};
        if (failing == 2) expected.prepend("DisplayLink created with error:-6661");
        EXPECT_EQ(log.lines(), expected);
    }
}

// Where the driver cannot draw from a second thread, the link's thread hands its ticks to the
// main thread, which draws the newest of those waiting once; the log says so once.
TEST(OrchestraPlayback, WithoutThreadedOpenGLTheMainThreadDrawsTheNewestTick) {
    test::ScriptedDisplayLinks links;
    Orchestra::setThreadedOpenGLForTesting(false);
    test::LogCapture log;
    Wiring w;
    Orchestra::setThreadedOpenGLForTesting({});
    w.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.view));
    w.orchestra->togglePlayback();
    const int64_t frames = w.view.framesOutput();
    // Only the last stamp is not yet past: drawn from an older one, the tick counts as late.
    const int64_t future = platform::hostTimeNow() + 10'000'000'000;
    std::thread([&] {
        for (const int64_t at : {int64_t{1}, int64_t{2}, future}) links.script->fire({}, {at});
    }).join();
    EXPECT_EQ(w.orchestra->tickStats().ticks(), 0) << "drawn on the link's thread";
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.orchestra->tickStats().ticks() > 0; }));
    QTest::qWait(50);
    EXPECT_EQ(w.orchestra->tickStats().ticks(), 1);
    EXPECT_EQ(w.orchestra->tickStats().lateTicks(), 0);
    EXPECT_EQ(w.view.framesOutput(), frames + 1);
    EXPECT_EQ(log.startingWith("OpenGL cannot draw from a second thread").size(), 1);
}

// A second display is stood in for by the window-display lookup. The link follows the stage on
// a window move (through the application's event filter, until teardown), on the stage's
// screen change and, to the same display, on that screen's rate change; a move the link
// refuses is not taken as done and is tried again at the next event.
TEST(OrchestraScreens, FollowsEveryScreenEventRetriesARefusedMoveAndIgnoresNoScreen) {
    test::ScriptedDisplayLinks links;
    platform::DisplayId shownOn = 7;
    int lookups = 0;
    platform::setWindowDisplayLookupForTesting([&](const QWindow*) { return ++lookups, shownOn; });
    QWindow mover;
    mover.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&mover));
    {
        Wiring w;
        mover.setPosition(mover.position() + QPoint(17, 0));
        ASSERT_TRUE(QTest::qWaitFor([&] { return lookups > 0; }));
        QScreen* screen = w.view.screen();
        const std::function<void()> screenChange = [&] { emit w.view.screenChanged(screen); },
                                    rateChange = [&] { emit screen->refreshRateChanged(75.0); };
        const struct {
            platform::DisplayId shown;
            int status;
            const std::function<void()>& event;
            platform::DisplayId followed;
        } steps[] = {{3, 0, screenChange, 3},
                     {0, 0, screenChange, 3},
                     {5, -6661, screenChange, 3},
                     {5, 0, screenChange, 5},
                     {5, 0, rateChange, 5}};
        for (const auto& step : steps) {
            shownOn = step.shown;
            links.script->currentDisplayStatus = step.status;
            step.event();
            EXPECT_EQ(w.orchestra->mainViewDisplayID(), step.followed);
        }
        EXPECT_EQ(links.script->currentDisplayCalls,
                  (std::vector<platform::DisplayId>{7, 3, 5, 5, 5}));
    }
    const int atTeardown = lookups;
    mover.setPosition(mover.position() + QPoint(17, 0));
    QTest::qWait(100);
    EXPECT_EQ(lookups, atTeardown) << "a move after teardown reached the controller";
    platform::setWindowDisplayLookupForTesting({});
}

// Several files dropped below the rows add one musician, for the first; a drop between two
// rows replaces the lower one's clip; a text drag is not even offered, a remote file refused.
// Edits change only their field; the video column is read-only; non-numbers are refused.
TEST(OrchestraTable, DropsAppendReplaceOrAreRefusedAndEditsChangeOnlyTheirField) {
    Wiring w;
    const QString a = test::qclip("first clip.mp4"), b = test::qclip("second.mp4");
    ASSERT_TRUE(w.drop({a, b}));
    ASSERT_EQ(w.model.rowCount(), 1);
    EXPECT_EQ(w.cell(0, ID_COL_NAME), "first clip.mp4");
    EXPECT_EQ(w.cell(0, ID_COL_VISIBLE, Qt::CheckStateRole), Qt::Checked);
    ASSERT_TRUE(w.drop({b}));     // below the last row
    ASSERT_TRUE(w.drop({a}, 1));  // between the rows: onto the lower one
    ASSERT_EQ(w.model.rowCount(), 2);
    EXPECT_EQ(w.cell(0, ID_COL_VIDEO), a);
    EXPECT_EQ(w.cell(1, ID_COL_VIDEO), a);

    test::LogCapture log;
    QMimeData words, remote;
    words.setText(a);
    remote.setUrls({QUrl(QStringLiteral("https://example.invalid/clip.mp4"))});
    EXPECT_FALSE(w.model.canDropMimeData(&words, Qt::CopyAction, -1, 0, {}));
    EXPECT_FALSE(w.model.dropMimeData(&words, Qt::CopyAction, -1, 0, {}));
    EXPECT_FALSE(w.model.dropMimeData(&remote, Qt::CopyAction, -1, 0, {}));
    EXPECT_EQ(w.model.rowCount(), 2);
    EXPECT_TRUE(log.lines().isEmpty()) << "the refusal is the window's to tell";

    musician::Musician* m = w.orchestra->musicianList()->at(0);
    const graphics::Vector4& p = *m->position();
    EXPECT_TRUE(w.set(ID_COL_Y, 2.5));
    EXPECT_EQ(std::vector(p.pVec, p.pVec + 3), (std::vector{0.0f, 2.5f, 0.0f}));
    EXPECT_TRUE(w.set(ID_COL_X, "0.1") && w.set(ID_COL_Z, -3));
    EXPECT_EQ(std::vector(p.pVec, p.pVec + 3), (std::vector{0.1f, 2.5f, -3.0f}));
    // Read out as the cell shows it, not as 0.10000000149011612.
    EXPECT_EQ(w.cell(0, ID_COL_X, Qt::AccessibleTextRole), QLocale().toString(0.1));
    for (const Qt::CheckState state : {Qt::Unchecked, Qt::Checked}) {
        EXPECT_TRUE(w.set(ID_COL_VISIBLE, state, Qt::CheckStateRole));
        EXPECT_EQ(m->visible(), state == Qt::Checked);
    }
    EXPECT_TRUE(w.set(ID_COL_NAME, "lead"));
    EXPECT_EQ(m->musicianName(), "lead");
    EXPECT_FALSE(w.model.flags(w.index(0, ID_COL_VIDEO)) & Qt::ItemIsEditable);
    EXPECT_FALSE(w.set(ID_COL_VIDEO, "/x.mp4"));
    EXPECT_EQ(w.cell(0, ID_COL_VIDEO), a);

    // "inf", "nan" and "-inf" read as numbers but place a billboard nowhere: typed into a
    // coordinate's cell editor they leave the coordinate as it was, as a word does.
    for (const QString& column : {ID_COL_X, ID_COL_Y, ID_COL_Z}) {
        for (const char* typed : {"1.5", "inf", "nan", "-inf", "abc"}) {
            SCOPED_TRACE(column.toStdString() + " " + typed);
            w.table.edit(w.index(0, column));
            QWidget* editor = w.table.indexWidget(w.index(0, column));
            ASSERT_NE(editor, nullptr);
            QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(editor, typed);
            QTest::keyClick(editor, Qt::Key_Return);
            ASSERT_TRUE(QTest::qWaitFor([&] { return !w.table.indexWidget(w.index(0, column)); }));
            EXPECT_EQ(w.cell(0, column).toFloat(), 1.5f);
        }
        EXPECT_FALSE(w.set(column, "inf")) << "refused, yet reported as taken";
    }
}

// The row's clip itself changes: after the drop the stage shows the new clip from its start,
// not the old clip's later frames; a replacement that cannot open keeps the clip. A billboard at
// a typed 3.4e38, or at a coordinate that is no number (the data source itself takes any), draws
// nothing, asks for no more picture than the stage shows, and comes back when moved back.
TEST(OrchestraStage, ADropReplacesTheRowsClipAndAFarBillboardDrawsNothing) {
    Wiring w;
    w.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.view));
    // Even with no musician each tick outputs a frame, cleaned of the dirty mark.
    w.view.setDirty(true);
    const int64_t frames = w.view.framesOutput();
    w.tickAndShoot();
    EXPECT_EQ(w.view.framesOutput() - frames, w.orchestra->tickStats().ticks());
    EXPECT_FALSE(w.view.isDirty());

    // Long clips, so that on a loaded machine the new clip's first frames still differ from
    // wherever the old clip would be by then.
    clips::ClipSpec recipe;
    recipe.frames = 200;
    const QString newClip = test::qclip("new.mp4", recipe);
    ASSERT_TRUE(w.drop({test::qclip("old.mp4", recipe)}));
    musician::Musician* m = w.orchestra->musicianList()->at(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return centre(w.tickAndShoot()) >= 60; }, 20000))
        << "the old clip should be well into its frames";
    QElapsedTimer sinceDrop;
    sinceDrop.start();
    ASSERT_TRUE(w.drop({newClip}, -1, w.model.index(0, 0)));
    EXPECT_EQ(w.model.rowCount(), 1);
    EXPECT_EQ(w.orchestra->musicianList()->at(0), m) << "the musician stays; only its clip changes";
    const int shown = centre(w.tickAndShoot());
    // The new clip counts from the drop; a tick shows the frame one refresh ahead.
    const int fromItsStart = int(sinceDrop.elapsed() * recipe.fpsNum / 1000) + 3;
    ASSERT_LT(fromItsStart, 60) << "the drop took too long to tell the clips apart";
    EXPECT_TRUE(shown >= 0 && shown <= fromItsStart)
        << "the stage shows frame " << shown << ", the new clip is at " << fromItsStart;
    EXPECT_FALSE(m->replaceMovie(QString::fromStdString(clips::tempClipPath("gone.mp4")), &w.view));
    EXPECT_EQ(m->videoFilename(), newClip);
    EXPECT_EQ(m->channelMovie()->path(), newClip.toStdString());

    const int stageWidth = int(w.view.width() * w.view.devicePixelRatio());
    QImage black = w.tickAndShoot();
    black.fill(Qt::black);
    for (const char* far : {"3.4e38", "-3.4e38", "inf", "nan", "-inf"}) {
        SCOPED_TRACE(far);
        EXPECT_TRUE(w.set(ID_COL_X, 0));
        ASSERT_GE(centre(w.tickAndShoot()), 0) << "the clip is not on stage";
        ASSERT_LT(m->wantedPictureWidth() * 2, stageWidth);
        const bool typed = w.set(ID_COL_X, far);
        if (!typed) w.orchestra->setObjectValue(QString::fromLatin1(far), ID_COL_X, 0);
        EXPECT_EQ(w.tickAndShoot(), black);
        EXPECT_EQ(m->wantedPictureWidth(), stageWidth) << "nowhere on stage: no more than it";
    }
}

}  // namespace loopstage::orchestra
