// The real display link (a paced thread) on the real screen: its stamps, its grid of deadlines,
// what it does when a callback overruns or the display's refresh rate changes, and stopping.
#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DisplayLink.h"
#include "platform/HostTime.h"

namespace loopstage::platform {
namespace {

struct Tick {
    VideoTimeStamp now, output;
    int64_t calledAt;
};

// A link on the main display that records every tick; its callback can be made to overrun.
struct Recorder {
    std::mutex mutex;
    std::vector<Tick> ticks;
    std::atomic<int64_t> workNs{0};
    std::unique_ptr<DisplayLink> link;

    Recorder() {
        EXPECT_EQ(createDisplayLinkWithDisplayMask(displayMaskOf(mainDisplayId()), &link), 0);
        if (link) link->setOutputCallback(&Recorder::callback, this);
    }
    static int callback(DisplayLink*, const VideoTimeStamp* now, const VideoTimeStamp* output,
                        uint64_t, uint64_t*, void* context) {
        auto* self = static_cast<Recorder*>(context);
        {
            std::lock_guard guard(self->mutex);
            self->ticks.push_back({*now, *output, hostTimeNow()});
        }
        std::this_thread::sleep_for(std::chrono::nanoseconds(self->workNs.load()));
        return 0;
    }
    std::vector<Tick> copy() {
        std::lock_guard guard(mutex);
        return ticks;
    }
    bool waitFor(size_t count) {
        return QTest::qWaitFor([&] { return copy().size() >= count; });
    }
};

// One running link through three phases: plain ticks, the display's refresh period changing
// under it, and a callback that overruns. Every tick's output stamp is the next refresh, no
// tick comes before its deadline, deadlines stay on the grid of the period in force, and
// missed refreshes are skipped rather than fired late in a burst.
TEST(DisplayLink, TicksFollowTheGridThroughAPeriodChangeAndSkipMissedRefreshes) {
    Recorder recorder;
    auto* link = dynamic_cast<ThreadedDisplayLink*>(recorder.link.get());
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->start(), 0);
    ASSERT_TRUE(recorder.waitFor(10));

    const int64_t newPeriod = 25'000'000;
    ASSERT_NE(link->refreshPeriodNs(), newPeriod);
    // Xvfb has one screen at one rate: the display the link moves to reports another rate
    // through the test lookup.
    setRefreshPeriodLookupForTesting([&](DisplayId) { return newPeriod; });
    const int moved = link->setCurrentDisplay(mainDisplayId());
    setRefreshPeriodLookupForTesting({});
    ASSERT_EQ(moved, 0);
    const size_t changedAt = recorder.copy().size();
    ASSERT_TRUE(recorder.waitFor(changedAt + 10));

    recorder.workNs = newPeriod * 5 / 2;
    const size_t slowFrom = recorder.copy().size() + 1;  // the first slow tick may be under way
    ASSERT_TRUE(recorder.waitFor(slowFrom + 5));
    link->stop();

    const auto t = recorder.copy();
    for (size_t i = 0; i < t.size(); ++i) {
        SCOPED_TRACE(i);
        const VideoTimeStamp& now = t[i].now;
        EXPECT_EQ(t[i].output.hostTime, now.hostTime + now.videoRefreshPeriod);
        EXPECT_EQ(t[i].output.videoTime, now.videoTime + 1);
        EXPECT_GE(t[i].calledAt, now.hostTime) << "tick came early";
        if (i == 0) continue;
        const VideoTimeStamp& before = t[i - 1].now;
        const int64_t missed = now.videoTime - before.videoTime - 1;
        EXPECT_EQ(now.hostTime - before.hostTime,
                  before.videoRefreshPeriod + missed * now.videoRefreshPeriod)
            << "deadline left the grid";
        EXPECT_TRUE(i <= changedAt || now.videoRefreshPeriod == newPeriod)
            << "the running link kept the old display's period";
        EXPECT_TRUE(i < slowFrom || missed >= 1) << "a missed refresh was fired late";
    }
    EXPECT_GT(link->skippedRefreshes(), 0);
}

TEST(DisplayLink, RefusesNoDisplayAndNoCallbackAfterStopOrDestructionAndRestarts) {
    std::unique_ptr<DisplayLink> none;
    EXPECT_NE(createDisplayLinkWithDisplayMask(displayMaskOf(31), &none), 0);
    EXPECT_EQ(none, nullptr);
    Recorder recorder;
    ASSERT_NE(recorder.link, nullptr);
    DisplayLink& link = *recorder.link;
    EXPECT_NE(link.setCurrentDisplay(31), 0);
    EXPECT_EQ(link.currentDisplay(), mainDisplayId());
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(link.start(), 0);
        ASSERT_TRUE(recorder.waitFor(recorder.copy().size() + 3));
        EXPECT_EQ(link.stop(), 0);
        const size_t atStop = recorder.copy().size();
        QTest::qWait(60);
        EXPECT_EQ(recorder.copy().size(), atStop);
    }
    ASSERT_EQ(link.start(), 0);
    ASSERT_TRUE(recorder.waitFor(recorder.copy().size() + 1));
    recorder.link.reset();  // destroying a running link stops it first
    const size_t atDestroy = recorder.copy().size();
    QTest::qWait(60);
    EXPECT_EQ(recorder.copy().size(), atDestroy);
}

}  // namespace
}  // namespace loopstage::platform
