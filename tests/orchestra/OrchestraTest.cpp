#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include "orchestra/Orchestra.h"
#include "orchestra/Wiring.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "support/LogCapture.h"
#include "support/ScriptedDisplayLink.h"

namespace loopstage::orchestra {
namespace {

bool hasScreen() { return QGuiApplication::primaryScreen() != nullptr; }

// The real link ticks only between the two toggles, and the timer exists only between them.
// Ticks are counted by the orchestra: frames alone would also count the reshapes that other
// windows on the shared display cause.
TEST(OrchestraPlayback, ToggleStartsAndStopsTicksAndTheHousekeepingTimer) {
    if (!hasScreen()) GTEST_SKIP();
    Wiring w;
    if (!w.show()) GTEST_SKIP() << "no OpenGL window";
    test::LogCapture log;
    const TickStats& ticks = w.orchestra->tickStats();
    QTest::qWait(50);
    EXPECT_EQ(ticks.ticks(), 0) << "ticks without playback";

    const int64_t framesBefore = w.view.framesOutput();
    w.orchestra->togglePlayback();
    EXPECT_TRUE(w.orchestra->isPlaying());
    QTimer* timer = w.orchestra->qtHousekeepingTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_FALSE(timer->isSingleShot());
    EXPECT_EQ(timer->interval(), 15);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.ticks() >= 10, 5000);
    EXPECT_GE(w.view.framesOutput() - framesBefore, 10) << "every tick outputs a frame";

    w.orchestra->togglePlayback();
    EXPECT_FALSE(w.orchestra->isPlaying());
    EXPECT_EQ(w.orchestra->qtHousekeepingTimer(), nullptr);
    EXPECT_FALSE(w.orchestra->displayLink()->isRunning());
    const int64_t ticksAtStop = ticks.ticks();
    QTest::qWait(60);
    EXPECT_EQ(ticks.ticks(), ticksAtStop) << "a tick came after Stopping";
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Starting"), QStringLiteral("Stopping")}));
}

TEST(OrchestraPlayback, RefusedStartLogsOnlyStartingAndLeavesPlaybackOff) {
    if (!hasScreen()) GTEST_SKIP();
    test::ScriptedDisplayLinks links;
    links.script->startStatus = -6662;
    Wiring w;
    test::LogCapture log;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        w.orchestra->togglePlayback();
        EXPECT_FALSE(w.orchestra->isPlaying());
        EXPECT_EQ(w.orchestra->qtHousekeepingTimer(), nullptr);
        EXPECT_EQ(links.script->starts, attempt) << "each toggle tries again";
    }
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Starting"), QStringLiteral("Starting")}));
    EXPECT_EQ(links.script->stops, 0);
}

TEST(OrchestraSetup, FailedLinkCreationEndsSetUpAndLeavesEveryToggleWithoutEffect) {
    if (!hasScreen()) GTEST_SKIP();
    test::ScriptedDisplayLinks links;
    links.script->createStatus = -6661;
    int lookups = 0;
    platform::setWindowDisplayLookupForTesting([&](const QWindow*) {
        ++lookups;
        return platform::DisplayId{9};
    });
    test::LogCapture log;
    {
        Wiring w;
        EXPECT_EQ(log.lines(), QStringList{QStringLiteral("DisplayLink created with error:-6661")});
        EXPECT_EQ(w.orchestra->displayLink(), nullptr);
        EXPECT_EQ(w.orchestra->musicianList(), nullptr);
        EXPECT_EQ(w.orchestra->musicianCount(), 0u);
        EXPECT_EQ(w.view.sharedContext(), nullptr) << "set-up must stop before the contexts";
        EXPECT_FALSE(w.table.acceptDrops());

        log.clear();
        w.orchestra->togglePlayback();
        w.orchestra->togglePlayback();
        EXPECT_FALSE(w.orchestra->isPlaying());
        EXPECT_EQ(w.orchestra->qtHousekeepingTimer(), nullptr);
        EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Starting"), QStringLiteral("Starting")}));

        // No window-moved subscription either.
        QWindow other;
        other.resize(50, 50);
        other.show();
        other.setPosition(120, 90);
        QTest::qWait(100);
        EXPECT_EQ(lookups, 0);
        EXPECT_EQ(w.orchestra->mainViewDisplayID(), platform::mainDisplayId());
    }
    platform::setWindowDisplayLookupForTesting({});
}

// A second display is stood in for by the window-display lookup; the moves themselves are real
// window moves reaching the application's event filter.
TEST(OrchestraScreens, FollowsTheStageToAnotherDisplayOnceAndIgnoresNoScreen) {
    if (!hasScreen()) GTEST_SKIP();
    test::ScriptedDisplayLinks links;
    platform::DisplayId shownOn = platform::mainDisplayId();
    int lookups = 0;
    platform::setWindowDisplayLookupForTesting([&](const QWindow*) {
        ++lookups;
        return shownOn;
    });
    {
        Wiring w;
        QWindow mover;
        mover.resize(40, 40);
        mover.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&mover));
        int x = 10;
        auto moveWindow = [&] {
            const int before = lookups;
            x += 17;
            mover.setPosition(x, 30);
            QTRY_VERIFY_WITH_TIMEOUT(lookups > before, 3000);
        };

        moveWindow();
        EXPECT_TRUE(links.script->currentDisplayCalls.empty()) << "same display";

        shownOn = 7;
        moveWindow();
        EXPECT_EQ(links.script->currentDisplayCalls, std::vector<platform::DisplayId>{7});
        EXPECT_EQ(w.orchestra->mainViewDisplayID(), 7u);
        moveWindow();
        EXPECT_EQ(links.script->currentDisplayCalls.size(), 1u) << "already on display 7";

        w.orchestra->togglePlayback();
        ASSERT_TRUE(w.orchestra->isPlaying());
        shownOn = 0;
        moveWindow();
        EXPECT_EQ(links.script->currentDisplayCalls.size(), 1u) << "no screen changes nothing";
        EXPECT_EQ(w.orchestra->mainViewDisplayID(), 7u);
        shownOn = 3;
        moveWindow();
        EXPECT_EQ(links.script->currentDisplayCalls, (std::vector<platform::DisplayId>{7, 3}));
    }
    // After teardown a move reaches nobody.
    const int atTeardown = lookups;
    QWindow late;
    late.resize(30, 30);
    late.show();
    late.setPosition(200, 200);
    QTest::qWait(100);
    EXPECT_EQ(lookups, atTeardown);
    platform::setWindowDisplayLookupForTesting({});
}

TEST(OrchestraTick, EmptyListStillOutputsOneCleanFramePerTick) {
    if (!hasScreen()) GTEST_SKIP();
    test::ScriptedDisplayLinks links;
    Wiring w;
    if (!w.show()) GTEST_SKIP() << "no OpenGL window";
    w.view.setDirty(true);
    const int64_t before = w.view.framesOutput();
    const platform::VideoTimeStamp now{1'000'000, 1, 16'666'666, 1.0};
    const platform::VideoTimeStamp output{now.hostTime + now.videoRefreshPeriod, 2, 16'666'666, 1.0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(links.script->fire(now, output), 0);
    EXPECT_EQ(w.view.framesOutput(), before + 3);
    EXPECT_FALSE(w.view.isDirty());
}

}  // namespace
}  // namespace loopstage::orchestra
