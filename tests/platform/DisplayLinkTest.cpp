#include "platform/DisplayLink.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/HostTime.h"

namespace loopstage::platform {
namespace {

using namespace std::chrono_literals;

struct Recorder {
    std::mutex mutex;
    std::vector<VideoTimeStamp> now;
    std::vector<VideoTimeStamp> output;
    std::vector<int64_t> calledAt;
    std::atomic<int> calls{0};
    std::chrono::nanoseconds workPerTick{0};

    static int callback(DisplayLink*, const VideoTimeStamp* n, const VideoTimeStamp* o, uint64_t,
                        uint64_t*, void* context) {
        auto* self = static_cast<Recorder*>(context);
        {
            std::lock_guard guard(self->mutex);
            self->now.push_back(*n);
            self->output.push_back(*o);
            self->calledAt.push_back(hostTimeNow());
        }
        if (self->workPerTick.count() > 0) std::this_thread::sleep_for(self->workPerTick);
        self->calls.fetch_add(1);
        return 0;
    }
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::unique_ptr<DisplayLink> mainDisplayLink() {
    std::unique_ptr<DisplayLink> link;
    EXPECT_EQ(createDisplayLinkWithDisplayMask(displayMaskOf(mainDisplayId()), &link), 0);
    return link;
}

TEST(DisplayLink, CreationNeedsADisplayInTheMask) {
    if (!QGuiApplication::primaryScreen()) GTEST_SKIP() << "no screen";
    std::unique_ptr<DisplayLink> link;
    EXPECT_NE(createDisplayLinkWithDisplayMask(0, &link), 0);
    EXPECT_EQ(link, nullptr);
    EXPECT_NE(createDisplayLinkWithDisplayMask(displayMaskOf(31), &link), 0);
    EXPECT_EQ(link, nullptr);

    link = mainDisplayLink();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->currentDisplay(), mainDisplayId());
    EXPECT_NE(link->setCurrentDisplay(0), 0);
    EXPECT_NE(link->setCurrentDisplay(31), 0);
    EXPECT_EQ(link->currentDisplay(), mainDisplayId());
    EXPECT_FALSE(link->isRunning());
}

// Output stamps lie one period after the refresh they follow, on one grid of deadlines, and
// no callback is ever made before its refresh has come.
TEST(DisplayLink, TicksOnAGridOfDeadlinesWithOutputOnePeriodAhead) {
    if (!QGuiApplication::primaryScreen()) GTEST_SKIP() << "no screen";
    auto link = mainDisplayLink();
    ASSERT_NE(link, nullptr);
    Recorder recorder;
    link->setOutputCallback(&Recorder::callback, &recorder);
    ASSERT_EQ(link->start(), 0);
    ASSERT_TRUE(waitFor([&] { return recorder.calls.load() >= 12; }));
    link->stop();

    std::lock_guard guard(recorder.mutex);
    const int64_t period = recorder.now.front().videoRefreshPeriod;
    ASSERT_GT(period, 0);
    for (size_t i = 0; i < recorder.now.size(); ++i) {
        EXPECT_EQ(recorder.output[i].hostTime, recorder.now[i].hostTime + period);
        EXPECT_EQ(recorder.output[i].videoTime, recorder.now[i].videoTime + 1);
        EXPECT_GE(recorder.calledAt[i], recorder.now[i].hostTime) << "tick " << i << " came early";
        if (i > 0) {
            const int64_t gap = recorder.now[i].hostTime - recorder.now[i - 1].hostTime;
            EXPECT_GT(gap, 0);
            EXPECT_EQ(gap % period, 0) << "deadline left the grid at tick " << i;
            EXPECT_EQ(recorder.now[i].videoTime - recorder.now[i - 1].videoTime, gap / period);
        }
    }
}

// A callback that overruns makes the link skip the refreshes it missed rather than fire a
// burst of late ticks to catch up.
TEST(DisplayLink, SlowCallbackSkipsMissedRefreshesInsteadOfBursting) {
    if (!QGuiApplication::primaryScreen()) GTEST_SKIP() << "no screen";
    auto link = mainDisplayLink();
    ASSERT_NE(link, nullptr);
    auto* threaded = dynamic_cast<ThreadedDisplayLink*>(link.get());
    ASSERT_NE(threaded, nullptr);
    Recorder recorder;
    recorder.workPerTick = std::chrono::nanoseconds(threaded->refreshPeriodNs() * 5 / 2);
    link->setOutputCallback(&Recorder::callback, &recorder);
    ASSERT_EQ(link->start(), 0);
    ASSERT_TRUE(waitFor([&] { return recorder.calls.load() >= 6; }));
    link->stop();

    EXPECT_GT(threaded->skippedRefreshes(), 0);
    std::lock_guard guard(recorder.mutex);
    for (size_t i = 1; i < recorder.now.size(); ++i) {
        EXPECT_GE(recorder.now[i].videoTime - recorder.now[i - 1].videoTime, 2)
            << "tick " << i << " was a catch-up burst";
    }
}

TEST(DisplayLink, NoCallbackAfterStopReturnsAndItRestarts) {
    if (!QGuiApplication::primaryScreen()) GTEST_SKIP() << "no screen";
    auto link = mainDisplayLink();
    ASSERT_NE(link, nullptr);
    Recorder recorder;
    link->setOutputCallback(&Recorder::callback, &recorder);
    for (int round = 0; round < 3; ++round) {
        const int before = recorder.calls.load();
        ASSERT_EQ(link->start(), 0);
        EXPECT_TRUE(link->isRunning());
        ASSERT_TRUE(waitFor([&] { return recorder.calls.load() >= before + 3; }));
        EXPECT_EQ(link->stop(), 0);
        EXPECT_FALSE(link->isRunning());
        const int atStop = recorder.calls.load();
        std::this_thread::sleep_for(60ms);
        EXPECT_EQ(recorder.calls.load(), atStop) << "callback after stop in round " << round;
    }
    // Destroying a running link stops it first.
    ASSERT_EQ(link->start(), 0);
    ASSERT_TRUE(waitFor([&] { return recorder.calls.load() > 0; }));
    link.reset();
    const int atDestroy = recorder.calls.load();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(recorder.calls.load(), atDestroy);
}

}  // namespace
}  // namespace loopstage::platform
