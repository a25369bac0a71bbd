// The decode worker, frame pool, clock and loop, driven with real clips. Frames are identified
// by the colour code the clip generator paints, so every check is about real pixels.
//
// Most tests run the clock slowly (rate 1/16) and compute host times from it: the worker is
// never late then, so the frame chosen at a host time depends only on correctness, not on how
// fast this machine (or a sanitizer build) is. Tests about lateness use the real clock.
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostTime.h"
#include "platform/Movie.h"
#include "clips/Clips.h"

namespace loopstage::platform {
namespace {

using clips::ClipSpec;
using namespace std::chrono_literals;

constexpr int32_t kSlowRate = kFixed1 / 16;

bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return done();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string clipPath(const std::string& name, const ClipSpec& recipe) {
    return clips::tempClipPath(name + "." + recipe.container);
}

std::unique_ptr<Movie> openWritten(const std::string& name, const ClipSpec& recipe,
                                   FrameSink* sink = nullptr) {
    const std::string path = clipPath(name, recipe);
    std::string error;
    if (!clips::writeClip(path, recipe, &error)) {
        ADD_FAILURE() << "writeClip " << name << ": " << error;
        return nullptr;
    }
    std::unique_ptr<Movie> movie;
    const int status = Movie::open({path, true, sink}, movie);
    EXPECT_EQ(status, 0) << name;
    return movie;
}

// Starts the clock at movie time 0 with `rate`; returns the host time of movie time 0, read
// back through movieTimeAt (the host time setRate recorded is not exposed otherwise).
int64_t startClock(Movie& movie, int32_t rate) {
    movie.goToBeginning();
    movie.setRate(rate);
    const int64_t probe = hostTimeNow();
    const int64_t movieNs = movie.movieTimeAt(probe);
    return probe - static_cast<int64_t>(static_cast<double>(movieNs) * kFixed1 / rate);
}

int64_t hostAt(int64_t hostZero, int64_t movieNs, int32_t rate) {
    return hostZero +
           static_cast<int64_t>(std::llround(static_cast<double>(movieNs) * kFixed1 / rate));
}

int indexOf(const DecodedFrame& f) {
    const clips::Rgba c = clips::centreColour(f.pixels, f.width, f.height, f.strideBytes);
    return clips::frameIndexOfColour(clips::Rgb{c.r, c.g, c.b});
}

int64_t secondsToNs(double s) { return std::llround(s * 1e9); }

// ---------------------------------------------------------------- catching up

// A decoder whose clock ran on while nothing took its frames (clips dropped before Play) goes
// to the key frame before the clock instead of decoding every picture it missed.
TEST(MovieCatchUp, DecoderFarBehindItsClockSeeksAheadInsteadOfDecodingEverything) {
    ClipSpec recipe;
    recipe.frames = 240;
    recipe.gop = 15;
    auto movie = openWritten("far-behind", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    startClock(*movie, kFixed1 * 8);
    ASSERT_TRUE(pollUntil([&] { return movie->decodedAheadUntilNs() != INT64_MIN; }));
    std::this_thread::sleep_for(600ms);
    movie->setRate(0);  // the clock stops about 4.8 s into the clip
    const int64_t clockNs = movie->movieTimeAt(hostTimeNow());
    const int due = clips::expectedFrameAt(recipe, static_cast<double>(clockNs) / 1e9);
    ASSERT_GT(due, 100);

    int shown = -1;
    EXPECT_TRUE(pollUntil([&] {
        if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow())) shown = indexOf(*f);
        return shown == due;
    })) << "shows "
        << shown << ", due " << due;
    const MovieCounters c = movie->counters();
    EXPECT_GE(c.catchUpSeeks, 1);
    EXPECT_LT(c.framesDecoded, due / 2) << "decoded its way through the missed pictures";
}

// ---------------------------------------------------------------- frame choice across wraps

struct SequenceCase {
    const char* name;
    ClipSpec recipe;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

std::vector<SequenceCase> sequenceCases() {
    using C = ClipSpec::Codec;
    std::vector<SequenceCase> cases;
    auto add = [&](const char* name, auto tweak) {
        ClipSpec s;
        s.frames = 24;
        tweak(s);
        cases.push_back({name, s});
    };
    add("H264LongGopBFrames", [](ClipSpec& s) { s.gop = 24; });
    add("MjpegAvi", [](ClipSpec& s) {
        s.codec = C::Mjpeg;
        s.container = "avi";
    });
    add("H264StartOffsetMkv", [](ClipSpec& s) {
        s.container = "mkv";
        s.startTimeSeconds = 1.5;
    });
    add("H264StartOffsetMp4", [](ClipSpec& s) { s.startTimeSeconds = 0.5; });
    add("H264VariableFrameRate", [](ClipSpec& s) {
        s.variableFrameRate = true;
        s.frames = 21;
    });
    add("Mpeg4BFramesAviTimestampsMissing", [](ClipSpec& s) {
        s.codec = C::Mpeg4;
        s.container = "avi";
    });
    // Broadcast recordings: 33-bit timestamps of 90 kHz that wrap during the clip, start hours
    // from zero, or jump where the recording was cut.
    add("H264TsAcrossTheTimestampWrap", [](ClipSpec& s) {
        s.container = "mpegts";
        s.frames = 36;  // the wrap falls inside the clip, muxer delay or not
        s.startTimeSeconds = static_cast<double>(int64_t{1} << 33) / 90000.0 - 0.6;
    });
    add("H264TsTenHoursFromZero", [](ClipSpec& s) {
        s.container = "mpegts";
        s.startTimeSeconds = 36000;
    });
    add("H264TsClockJumpsMidway", [](ClipSpec& s) {
        s.container = "mpegts";
        s.bFrames = false;
        s.timestampJumpAtFrame = 12;
        s.timestampJumpSeconds = 300;
    });
    add("Ffv1OddSizeMkv", [](ClipSpec& s) {
        s.codec = C::Ffv1;
        s.container = "mkv";
        s.width = 33;
        s.height = 25;
    });
    return cases;
}

class MovieFrameSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(MovieFrameSequence, EveryFrameAtItsTimeAcrossThreeWraps) {
    const ClipSpec& recipe = GetParam().recipe;
    auto movie = openWritten(std::string("seq-") + GetParam().name, recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kSlowRate);

    const std::vector<double> times = clips::framePresentationSeconds(recipe);
    const int64_t clipNs = secondsToNs(clips::clipDurationSeconds(recipe));
    int64_t lastSerial = 0;
    for (int pass = 0; pass < 4; ++pass) {
        for (int i = 0; i < recipe.frames; ++i) {
            const int64_t startNs = pass * clipNs + secondsToNs(times[static_cast<size_t>(i)]);
            const double periods = (i + 1 < recipe.frames ? times[static_cast<size_t>(i) + 1]
                                                          : clips::clipDurationSeconds(recipe)) -
                                   times[static_cast<size_t>(i)];
            const int64_t sampleNs = startNs + secondsToNs(periods / 2);
            ASSERT_TRUE(pollUntil([&] {
                return movie->decodedAheadUntilNs() >= startNs - 1'000'000;
            })) << "frame "
                << i << " of pass " << pass << " never decoded";
            const int64_t host = hostAt(zero, sampleNs, kSlowRate);
            const int64_t announced = movie->newestSerialAt(host);
            FrameRef f = movie->takeNewestFrameAt(host);
            ASSERT_TRUE(f) << "frame " << i << " of pass " << pass;
            EXPECT_EQ(f->serial, announced);
            EXPECT_GT(f->serial, lastSerial);
            lastSerial = f->serial;
            EXPECT_EQ(indexOf(*f), i) << "pass " << pass;
            EXPECT_EQ(f->loopIteration, pass) << "frame " << i;
            EXPECT_NEAR(static_cast<double>(f->timeNs), static_cast<double>(startNs), 1e6)
                << "frame " << i << " pass " << pass;
            EXPECT_EQ(f->width, recipe.width);
            EXPECT_EQ(f->height, recipe.height);
            if (pass == 0 && i == recipe.frames - 1) {
                // The end of the first pass is measured before any frame of the second exists.
                ASSERT_TRUE(pollUntil([&] { return movie->durationIsMeasured(); }));
                EXPECT_NEAR(static_cast<double>(movie->durationNs()), static_cast<double>(clipNs),
                            1e6);
            }
        }
    }
    const MovieCounters c = movie->counters();
    EXPECT_GE(c.loopWraps, 3);
    EXPECT_EQ(c.framesSkippedLate, 0);
    EXPECT_EQ(c.decodeErrors, 0);

    // Back to the beginning: the first frame of pass 0 again, whatever was decoded ahead.
    const int64_t zero2 = startClock(*movie, kSlowRate);
    ASSERT_TRUE(pollUntil([&] { return movie->newestSerialAt(zero2 + 1'000'000) != 0; }));
    FrameRef first = movie->takeNewestFrameAt(zero2 + 1'000'000);
    ASSERT_TRUE(first);
    EXPECT_EQ(indexOf(*first), 0);
    EXPECT_EQ(first->loopIteration, 0);
    EXPECT_GT(first->serial, lastSerial);
}

INSTANTIATE_TEST_SUITE_P(Clips, MovieFrameSequence, ::testing::ValuesIn(sequenceCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- pixel formats

struct FormatCase {
    const char* name;
    ClipSpec recipe;
};
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

std::vector<FormatCase> formatCases() {
    using C = ClipSpec::Codec;
    using PF = ClipSpec::PixelFormat;
    auto make = [](C codec, const char* container, int w, int h, PF pf) {
        ClipSpec s;
        s.codec = codec;
        s.container = container;
        s.width = w;
        s.height = h;
        s.pixelFormat = pf;
        s.frames = 6;
        return s;
    };
    return {
        {"H264CroppedHeight", make(C::H264, "mp4", 100, 60, PF::Yuv420p)},
        {"H264Yuv444", make(C::H264, "mp4", 64, 48, PF::Yuv444p)},
        {"H264TenBit", make(C::H264, "mkv", 64, 48, PF::Yuv420p10)},
        {"MjpegYuv422", make(C::Mjpeg, "avi", 64, 48, PF::Yuv422p)},
        {"Ffv1OddWidth", make(C::Ffv1, "mkv", 63, 47, PF::Yuv420p)},
        {"Ffv1TenBitOdd", make(C::Ffv1, "mkv", 65, 49, PF::Yuv420p10)},
        {"Ffv1Yuv444", make(C::Ffv1, "mkv", 64, 48, PF::Yuv444p)},
        {"Ffv1Alpha", make(C::Ffv1, "mkv", 64, 48, PF::Yuva420p)},
        {"PngRgbaMov", make(C::Png, "mov", 37, 29, PF::Rgba)},
    };
}

class MovieFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(MovieFormats, SizeOrientationColourAndAlpha) {
    const ClipSpec& recipe = GetParam().recipe;
    const std::string path = clipPath(std::string("fmt-") + GetParam().name, recipe);
    std::string error;
    if (!clips::writeClip(path, recipe, &error))
        GTEST_SKIP() << "cannot write this clip here: " << error;
    std::unique_ptr<Movie> movie;
    ASSERT_EQ(Movie::open({path, true, nullptr}, movie), 0);
    EXPECT_EQ(movie->width(), recipe.width);
    EXPECT_EQ(movie->height(), recipe.height);
    const int64_t zero = startClock(*movie, kSlowRate);
    const bool alpha = recipe.pixelFormat == ClipSpec::PixelFormat::Yuva420p ||
                       recipe.pixelFormat == ClipSpec::PixelFormat::Rgba;
    const auto times = clips::framePresentationSeconds(recipe);
    for (int i = 0; i < 3; ++i) {
        const int64_t t = secondsToNs(times[static_cast<size_t>(i)]) + 1'000'000;
        ASSERT_TRUE(pollUntil([&] { return movie->decodedAheadUntilNs() >= t - 2'000'000; }));
        FrameRef f = movie->takeNewestFrameAt(hostAt(zero, t, kSlowRate));
        ASSERT_TRUE(f);
        ASSERT_EQ(f->width, recipe.width);
        ASSERT_EQ(f->height, recipe.height);
        EXPECT_GE(f->strideBytes, f->width * 4);
        EXPECT_EQ(indexOf(*f), i);
        const clips::Rgba centre =
            clips::centreColour(f->pixels, f->width, f->height, f->strideBytes);
        EXPECT_NEAR(centre.a, alpha ? clips::kClipBodyAlpha : 255, 2);
        const clips::Rgba top = clips::topRowColour(f->pixels, f->width, f->strideBytes);
        EXPECT_GE(top.r, 235) << "top row must be the white band (picture upright)";
        EXPECT_GE(top.g, 235);
        EXPECT_GE(top.b, 235);
        // The last pixel of the last row is inside the picture: no decoder padding, no garbage.
        const uint8_t* last =
            f->pixels + static_cast<ptrdiff_t>(f->height - 1) * f->strideBytes + (f->width - 1) * 4;
        EXPECT_EQ(clips::frameIndexOfColour(clips::Rgb{last[0], last[1], last[2]}, 20), i);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MovieFormats, ::testing::ValuesIn(formatCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- loop timing in real time

TEST(MovieLoop, FramesAfterEachWrapAreDecodedBeforeTheyAreDue) {
    ClipSpec recipe;
    recipe.frames = 12;  // 0.4 s a pass
    auto movie = openWritten("wrap-realtime", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kFixed1);
    const int64_t clipNs = secondsToNs(clips::clipDurationSeconds(recipe));
    bool readyEarly[4] = {};
    FrameRef onScreen;  // what a sink would hold
    const int64_t end = zero + 3 * clipNs + clipNs / 2;
    while (hostTimeNow() < end) {
        const int64_t now = hostTimeNow();
        for (int w = 1; w <= 3; ++w) {
            const int64_t due = zero + w * clipNs;
            if (now >= due - 30'000'000 && now < due - 2'000'000 && !readyEarly[w]) {
                DecodedFrame peek;
                if (movie->peekNewestFrameAt(due + 1'000'000, peek) && peek.loopIteration == w &&
                    std::llabs(peek.timeNs - w * clipNs) < 1'000'000)
                    readyEarly[w] = true;
            }
        }
        if (FrameRef f = movie->takeNewestFrameAt(now)) onScreen = std::move(f);
        std::this_thread::sleep_for(3ms);
    }
    for (int w = 1; w <= 3; ++w) EXPECT_TRUE(readyEarly[w]) << "wrap " << w;
    ASSERT_TRUE(onScreen);
    EXPECT_EQ(onScreen->loopIteration, 3);
}

// ---------------------------------------------------------------- late frames

TEST(MovieLate, WorkerSkipsSupersededFramesAndCatchesUp) {
    ClipSpec recipe;
    recipe.frames = 60;  // 2 s
    recipe.gop = 60;
    auto movie = openWritten("late", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kFixed1);
    // The render thread stalls: nothing is taken while the clock runs for 0.9 s.
    std::this_thread::sleep_for(900ms);
    ASSERT_TRUE(pollUntil([&] {
        const int64_t now = hostTimeNow();
        FrameRef f = movie->takeNewestFrameAt(now);
        if (!f) return false;
        const int expected = clips::expectedFrameAt(recipe, static_cast<double>(now - zero) / 1e9);
        return std::abs(indexOf(*f) - expected) <= 1;
    })) << "never caught up with the clock";
    const MovieCounters c = movie->counters();
    EXPECT_GE(c.framesSkippedLate, 10) << "late frames should not be converted";
    EXPECT_LT(c.framesConverted, c.framesDecoded);
}

// ---------------------------------------------------------------- no loop

TEST(MovieNoLoop, StopsAtTheEndShowingTheLastFrameEvenWhenLate) {
    ClipSpec recipe;
    recipe.frames = 10;
    auto movie = openWritten("noloop", recipe);
    ASSERT_TRUE(movie);
    ASSERT_EQ(movie->timeBaseFlags(), 0u);
    const int64_t zero = startClock(*movie, kFixed1);
    // Nothing taken until well past the end: every frame but the first few is late.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(static_cast<int>(clips::clipDurationSeconds(recipe) * 1500)));
    FrameRef last;
    ASSERT_TRUE(pollUntil([&] {
        if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow())) last = std::move(f);
        return last && indexOf(*last) == recipe.frames - 1;
    })) << "the last frame must be shown at the end";
    EXPECT_EQ(last->loopIteration, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(movie->newestSerialAt(hostTimeNow() + 10'000'000'000), 0) << "nothing after the end";
    EXPECT_EQ(movie->counters().loopWraps, 0);

    // Turning looping on later resumes at the clock's pass, not at pass 1.
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t clipNs = secondsToNs(clips::clipDurationSeconds(recipe));
    ASSERT_TRUE(pollUntil([&] {
        FrameRef f = movie->takeNewestFrameAt(hostTimeNow());
        return f && f->loopIteration >= (hostTimeNow() - zero) / clipNs - 1;
    }));
    EXPECT_GE(movie->counters().loopWraps, 1);
}

// ---------------------------------------------------------------- one frame

TEST(MovieOneFrame, LoopsShowingItsOnlyFrameWithoutSpinning) {
    ClipSpec recipe;
    recipe.frames = 1;
    auto movie = openWritten("one-frame", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kFixed1);
    FrameRef f;
    ASSERT_TRUE(pollUntil([&] { return bool(f = movie->takeNewestFrameAt(zero + 1'000'000)); }));
    EXPECT_EQ(indexOf(*f), 0);
    // Several passes' worth of time: no other picture, and the worker is idle.
    std::this_thread::sleep_for(300ms);
    const MovieCounters before = movie->counters();
    std::this_thread::sleep_for(200ms);
    const MovieCounters after = movie->counters();
    EXPECT_EQ(after.framesDecoded, before.framesDecoded);
    EXPECT_LE(after.framesDecoded, 2);
    DecodedFrame peek;
    if (movie->peekNewestFrameAt(hostTimeNow(), peek)) {
        FrameRef again = movie->takeNewestFrameAt(hostTimeNow());
        ASSERT_TRUE(again);
        EXPECT_EQ(indexOf(*again), 0);
    }
    EXPECT_EQ(indexOf(*f), 0) << "the frame held on screen stays valid";
    // Back to the beginning shows it again.
    const int64_t zero2 = startClock(*movie, kFixed1);
    FrameRef g;
    ASSERT_TRUE(pollUntil([&] { return bool(g = movie->takeNewestFrameAt(zero2 + 1'000'000)); }));
    EXPECT_EQ(indexOf(*g), 0);
}

// ---------------------------------------------------------------- pool and ownership

TEST(MoviePool, BoundedWhileASinkHoldsFramesAndNothingLeaks) {
    ClipSpec recipe;
    recipe.frames = 30;
    auto movie = openWritten("pool", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kSlowRate);
    const int64_t periodNs = secondsToNs(1.0 / recipe.fpsNum);
    FrameRef held[2];  // the frame on screen and the one replacing it
    int maxInUse = 0;
    for (int k = 0; k < 200; ++k) {
        const int64_t t = k * periodNs + periodNs / 2;
        ASSERT_TRUE(pollUntil([&] { return movie->decodedAheadUntilNs() >= t - periodNs; }))
            << "stalled at take " << k << " with " << movie->framesInUse() << " frames out";
        FrameRef f = movie->takeNewestFrameAt(hostAt(zero, t, kSlowRate));
        ASSERT_TRUE(f);
        EXPECT_EQ(indexOf(*f), k % recipe.frames);
        held[k % 2] = std::move(f);
        maxInUse = std::max(maxInUse, movie->framesInUse());
    }
    EXPECT_LE(maxInUse, movie->poolSize());
    held[0].reset();
    held[1].reset();
    movie->setActive(false);
    // With nothing lent out and the worker gone, only frames waiting in the queue are out.
    EXPECT_LE(movie->framesInUse(), 3);
    movie->setActive(true);
    ASSERT_TRUE(pollUntil([&] { return movie->decodedAheadUntilNs() >= 200 * periodNs; }));
}

TEST(MoviePool, FrameRefOutlivesItsMovie) {
    ClipSpec recipe;
    recipe.frames = 5;
    auto movie = openWritten("outlive", recipe);
    ASSERT_TRUE(movie);
    const int64_t zero = startClock(*movie, kSlowRate);
    FrameRef f;
    ASSERT_TRUE(pollUntil([&] { return bool(f = movie->takeNewestFrameAt(zero + 1'000'000)); }));
    FrameRef moved = std::move(f);
    EXPECT_FALSE(f);
    movie.reset();
    ASSERT_TRUE(moved);
    EXPECT_EQ(indexOf(*moved), 0);  // pixels still readable (ASan checks)
    moved.reset();
    EXPECT_FALSE(moved);
}

// ---------------------------------------------------------------- threads

// Mirrors the GL side: a render thread takes frames until the sink is detached.
struct RenderThreadSink : FrameSink {
    std::thread render;
    std::atomic<bool> running{false};
    std::atomic<int64_t> taken{0};
    void attachMovie(Movie* m) override {
        running = true;
        render = std::thread([this, m] {
            FrameRef onScreen;
            while (running.load()) {
                if (FrameRef f = m->takeNewestFrameAt(hostTimeNow())) {
                    onScreen = std::move(f);
                    taken.fetch_add(1);
                }
                (void)m->newestSerialAt(hostTimeNow() + 5'000'000);
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    void detachMovie(Movie*) override {
        running = false;
        render.join();
    }
};

TEST(MovieThreads, DestroyWhileDecodingOrBlockedJoinsCleanly) {
    ClipSpec recipe;
    recipe.width = 160;
    recipe.height = 120;
    recipe.frames = 45;
    recipe.audioStream = true;
    const std::string path = clipPath("busy", recipe);
    std::string error;
    ASSERT_TRUE(clips::writeClip(path, recipe, &error)) << error;
    for (int round = 0; round < 12; ++round) {
        RenderThreadSink sink;
        std::unique_ptr<Movie> movie;
        ASSERT_EQ(Movie::open({path, true, &sink}, movie), 0);
        movie->setTimeBaseFlags(kLoopTimeBase);
        // Alternate: fast clock (worker skipping and seeking), paused clock (worker blocked on a
        // full queue), and destruction right after open (worker mid-decode).
        if (round % 3 == 0) movie->setRate(kFixed1 * 8);
        if (round % 3 == 1) movie->setRate(0);
        if (round % 3 != 2) std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
        if (round % 4 == 0) movie->setTrackEnabled(2, false);
        movie->task();
        movie.reset();
    }
}

TEST(MovieThreads, RateAndTrackChangesWhileRunningAndAudioNotDemuxedWhenDisabled) {
    ClipSpec recipe;
    recipe.frames = 15;
    recipe.audioStream = true;
    recipe.dataStream = true;
    RenderThreadSink sink;
    auto movie = openWritten("tracks-running", recipe, &sink);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    movie->goToBeginning();
    movie->setRate(kFixed1 * 4);
    auto wrapsAtLeast = [&](int64_t n) {
        return pollUntil([&] { return movie->counters().loopWraps >= n; });
    };
    ASSERT_TRUE(wrapsAtLeast(1));
    EXPECT_GT(movie->trackPacketsRead(2), 0);

    movie->setTrackEnabled(2, false);
    const int64_t w = movie->counters().loopWraps;
    ASSERT_TRUE(wrapsAtLeast(w + 2));  // a whole pass has run since the change
    const int64_t audio = movie->trackPacketsRead(2);
    const int64_t video = movie->trackPacketsRead(1);
    for (int i = 0; i < 20; ++i) {
        movie->setRate(i % 2 ? kFixed1 * 4 : kFixed1 * 3);  // clock changes race the worker
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(wrapsAtLeast(movie->counters().loopWraps + 2));
    EXPECT_EQ(movie->trackPacketsRead(2), audio) << "disabled audio must not be demuxed";
    EXPECT_GT(movie->trackPacketsRead(1), video);

    // Disabling video parks the worker; enabling it resumes.
    movie->setTrackEnabled(1, false);
    std::this_thread::sleep_for(50ms);
    const int64_t parked = movie->counters().framesDecoded;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(movie->counters().framesDecoded, parked);
    movie->setTrackEnabled(1, true);
    EXPECT_TRUE(pollUntil([&] { return movie->counters().framesDecoded > parked; }));
}

// ---------------------------------------------------------------- bad data inside a clip

struct MessageCounter {
    static inline std::mutex mutex;
    static inline std::vector<std::string> messages;
    QtMessageHandler previous = nullptr;
    MessageCounter() {
        std::lock_guard lock(mutex);
        messages.clear();
        previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
                std::lock_guard l(mutex);
                messages.push_back(m.toStdString());
            });
    }
    ~MessageCounter() { qInstallMessageHandler(previous); }
    int count(const std::string& needle) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& m : messages) n += m.find(needle) != std::string::npos;
        return n;
    }
};

// The movie's own reports are off unless a developer asks for them.
struct DetailedMovieLog {
    DetailedMovieLog() {
        QLoggingCategory::setFilterRules(QStringLiteral("loopstage.movie.info=true"));
    }
    ~DetailedMovieLog() { QLoggingCategory::setFilterRules(QString()); }
};

TEST(MovieCorrupt, BadFramesAreSkippedAndTheClipKeepsLooping) {
    ClipSpec recipe;
    recipe.codec = ClipSpec::Codec::Mjpeg;
    recipe.container = "avi";
    recipe.frames = 16;
    recipe.corruptFrames = {5, 6, 7};
    const DetailedMovieLog details;
    MessageCounter log;
    auto movie = openWritten("corrupt", recipe);
    ASSERT_TRUE(movie);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startClock(*movie, kSlowRate);
    const auto times = clips::framePresentationSeconds(recipe);
    const int64_t clipNs = secondsToNs(clips::clipDurationSeconds(recipe));
    for (int pass = 0; pass < 4; ++pass) {
        for (int i = 0; i < recipe.frames; ++i) {
            if (i >= 5 && i <= 7) continue;
            const int64_t startNs = pass * clipNs + secondsToNs(times[static_cast<size_t>(i)]);
            ASSERT_TRUE(pollUntil([&] {
                return movie->decodedAheadUntilNs() >= startNs - 1'000'000;
            })) << "frame "
                << i << " pass " << pass;
            FrameRef f = movie->takeNewestFrameAt(hostAt(zero, startNs + 1'000'000, kSlowRate));
            ASSERT_TRUE(f);
            EXPECT_EQ(indexOf(*f), i);
            EXPECT_EQ(f->loopIteration, pass);
            movie->task();
        }
    }
    EXPECT_GE(movie->counters().decodeErrors, 9);
    EXPECT_EQ(log.count("corrupt video data"), 1) << "one line per movie, not one per frame";
}

TEST(MovieCorrupt, ClipThatNeverDecodesGivesUpAndGoesIdle) {
    ClipSpec recipe;
    recipe.codec = ClipSpec::Codec::Mjpeg;
    recipe.container = "avi";
    recipe.frames = 8;
    for (int i = 0; i < recipe.frames; ++i) recipe.corruptFrames.push_back(i);
    const DetailedMovieLog details;
    MessageCounter log;
    auto movie = openWritten("all-corrupt", recipe);
    ASSERT_TRUE(movie) << "the container is fine, so it opens";
    movie->setTimeBaseFlags(kLoopTimeBase);
    startClock(*movie, kFixed1);
    // The restart that startClock asks for may land after a first give-up; wait it out.
    ASSERT_TRUE(pollUntil([&] { return movie->counters().gaveUp; }));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(pollUntil([&] { return movie->counters().gaveUp; }));
    const MovieCounters a = movie->counters();
    // Three failed passes in a row give up; the worker may have failed one pass before
    // startClock's goToBeginning restarted the count.
    EXPECT_GE(a.failedPasses, 3);
    EXPECT_LE(a.failedPasses, 6);
    EXPECT_EQ(a.framesDecoded, 0);
    std::this_thread::sleep_for(200ms);
    const MovieCounters b = movie->counters();
    EXPECT_EQ(b.decodeErrors, a.decodeErrors) << "idle after giving up, not spinning";
    EXPECT_EQ(b.loopWraps, a.loopWraps);
    MovieEngine::task();
    MovieEngine::task();
    EXPECT_EQ(log.count("no picture could be decoded"), 1);
    EXPECT_FALSE(movie->takeNewestFrameAt(hostTimeNow()));
}

}  // namespace
}  // namespace loopstage::platform
