// Frame choice at the tick's output time, with the real clock arithmetic and the real frame
// pool, fed by a stand-in decoder that keeps the queue full as the worker does.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/FramePool.h"
#include "platform/MovieClock.h"

namespace loopstage::platform {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

struct Cadence {
    int fps;
    int refreshHz;
    int64_t firstPtsNs;  // where the clip's timestamps start (the choice must not care)
    std::vector<int> lateTicks;  // ticks whose refresh the display link skipped
};

std::string nameOf(const ::testing::TestParamInfo<Cadence>& info) {
    const Cadence& c = info.param;
    return std::to_string(c.fps) + "fpsOn" + std::to_string(c.refreshHz) + "Hz" +
           (c.firstPtsNs ? "Offset" : "") + (c.lateTicks.empty() ? "" : "WithLateTicks");
}

class FrameChoice : public ::testing::TestWithParam<Cadence> {};

// Over three loop passes every tick shows the frame due at its output time: frame
// floor(wrapped time x fps). No frame is skipped unless the ticks are further apart than the
// frames, and none repeats beyond what the refresh rate dictates.
TEST_P(FrameChoice, EveryTickShowsTheFrameDueAtItsOutputTime) {
    const Cadence& c = GetParam();
    const int frames = 2 * c.fps;  // a two-second clip
    const int64_t durationNs = frames * kSecond / c.fps;
    auto frameTime = [&](int i) { return i * kSecond / c.fps; };
    auto pool = std::make_shared<FramePool>(4, 4, 6, 3);
    const uint64_t generation = pool->control().generation;

    // The decoder: next frame to publish, as pass and index, its timestamps relative to the
    // first one (firstPtsNs is subtracted by the decoder before the pool sees a time).
    int64_t pass = 0;
    int next = 0;
    auto decodeAhead = [&] {
        for (int slot; (slot = pool->acquire(generation)) >= 0;) {
            const int64_t pts = c.firstPtsNs + frameTime(next);
            const int64_t time = unwrappedFrameTime(pass, durationNs, pts - c.firstPtsNs);
            ASSERT_TRUE(pool->publish(slot, time, pass, generation, 4, 4));
            if (++next == frames) next = 0, ++pass;
        }
    };

    const int64_t periodNs = kSecond / c.refreshHz;
    const int64_t hostAtRateSet = 123'456'789;  // the host clock's zero means nothing
    const int ticks = 3 * 2 * c.refreshHz + 7;
    int64_t shownSerial = 0;
    int64_t lastShownIndex = -1, lastShownTick = -1;
    int late = 0;
    std::vector<int> shown;
    for (int tick = 0; tick < ticks; ++tick) {
        if (late < static_cast<int>(c.lateTicks.size()) && c.lateTicks[late] == tick) {
            ++late;  // this refresh never got a tick
            continue;
        }
        decodeAhead();
        const int64_t outputHost = hostAtRateSet + (tick + 1) * periodNs;
        const int64_t movieTime = movieTimeAfter(0, outputHost - hostAtRateSet, 0x00010000);
        // The last frame whose (nanosecond-truncated) start has come.
        const int64_t wrapped = wrappedMovieTime(movieTime, durationNs);
        int64_t dueIndex = wrapped * c.fps / kSecond;
        if (dueIndex + 1 < frames && frameTime(static_cast<int>(dueIndex + 1)) <= wrapped) ++dueIndex;
        if (pool->newestSerial(movieTime) != 0) {
            FrameRef frame = pool->takeNewest(movieTime);
            ASSERT_TRUE(frame);
            EXPECT_GT(frame->serial, shownSerial);
            shownSerial = frame->serial;
            const int64_t index =
                ((frame->timeNs - frame->loopIteration * durationNs) * c.fps + kSecond / 2) / kSecond;
            ASSERT_EQ(index, dueIndex) << "tick " << tick;
            ASSERT_EQ(frame->loopIteration, movieTime / durationNs) << "tick " << tick;
            if (lastShownIndex >= 0) {
                const int64_t advanced = (index - lastShownIndex + frames) % frames;
                const int64_t ticksApart = tick - lastShownTick;
                // Frames that fell between two ticks may be passed over, never more.
                const int64_t mostAdvance = (ticksApart * periodNs) * c.fps / kSecond + 1;
                EXPECT_LE(advanced, mostAdvance) << "skipped frames at tick " << tick;
                EXPECT_GE(advanced, 1);
            }
            lastShownIndex = index;
            lastShownTick = tick;
            shown.push_back(static_cast<int>(index));
        } else {
            ASSERT_EQ(dueIndex, lastShownIndex) << "no new frame although one was due, tick " << tick;
        }
    }
    // The frame rate of what reached the screen: every frame, three times over, when ticks
    // come at least as often as frames.
    if (c.refreshHz >= c.fps && c.lateTicks.empty()) {
        EXPECT_GE(static_cast<int>(shown.size()), 3 * frames);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cadences, FrameChoice,
    ::testing::Values(Cadence{24, 60, 0, {}}, Cadence{25, 60, 0, {}}, Cadence{30, 60, 0, {}},
                      Cadence{50, 60, 0, {}}, Cadence{60, 60, 0, {}}, Cadence{24, 75, 0, {}},
                      Cadence{25, 75, 0, {}}, Cadence{30, 75, 0, {}}, Cadence{50, 75, 0, {}},
                      Cadence{60, 75, 0, {}}, Cadence{30, 60, 1001 * kSecond / 30, {}},
                      Cadence{30, 60, 0, {5, 6, 119, 120, 121, 239}},
                      // Stalls up to the queue's depth (three frames ahead) lose nothing.
                      Cadence{60, 60, 37 * kSecond, {59, 60, 300}}),
    nameOf);

TEST(MovieClock, RateArithmeticAndWrapping) {
    EXPECT_EQ(movieTimeAfter(0, kSecond, 0x00010000), kSecond);
    EXPECT_EQ(movieTimeAfter(500, kSecond, 0x00008000), 500 + kSecond / 2);
    EXPECT_EQ(movieTimeAfter(7, 3 * kSecond, 0), 7) << "rate 0 stands still";
    EXPECT_EQ(movieTimeAfter(0, -kSecond, 0x00010000), -kSecond) << "before the rate was set";
    // A day at double speed does not overflow.
    const int64_t day = 86'400 * kSecond;
    EXPECT_EQ(movieTimeAfter(0, day, 0x00020000), 2 * day);
    EXPECT_EQ(wrappedMovieTime(2'500, 1'000), 500);
    EXPECT_EQ(wrappedMovieTime(-1, 1'000), 999);
    EXPECT_EQ(wrappedMovieTime(42, 0), 42);
    EXPECT_EQ(unwrappedFrameTime(3, 1'000, 250), 3'250);
}

}  // namespace
}  // namespace loopstage::platform
