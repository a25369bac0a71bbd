// The movie engine driven with real clips, and its frame choice with the real clock and pool.
// Frames are identified by the colour code the clip writer paints, so checks are about pixels.
//
// Most tests run the clock slowly (rate 1/16) and compute host times from it: the worker is
// never late then, so the frame chosen at a host time depends only on correctness, not on how
// fast this machine (or a sanitizer build) is. Tests about lateness use the real clock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QTest>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media/DecodeWorker.h"
#include "media/FFmpegLog.h"
#include "media/FramePool.h"
#include "media/LoopRules.h"
#include "media/Movie.h"
#include "media/MovieClock.h"
#include "media/MovieShared.h"
#include "media/PassTiming.h"
#include "media/PictureConverter.h"
#include "platform/HostTime.h"
#include "stallfs/StalledShare.h"
#include "support/BadInputs.h"
#include "support/LogCapture.h"
#include "support/Support.h"

namespace loopstage::media {
using platform::hostTimeNow;
namespace {

using clips::ClipSpec;
using std::chrono::milliseconds;

constexpr int32_t kSlowRate = kFixed1 / 16;
constexpr int64_t kSecond = 1'000'000'000;

ClipSpec clipRecipe(int frames, ClipSpec::Codec codec = ClipSpec::Codec::H264,
                    const char* container = "mp4") {
    ClipSpec s;
    s.frames = frames, s.codec = codec, s.container = container;
    return s;
}

// Opens a clip (written once per process), looping unless told otherwise.
std::unique_ptr<Movie> openClip(const std::string& name, const ClipSpec& recipe,
                                FrameSink* sink = nullptr, bool loop = true) {
    std::unique_ptr<Movie> movie;
    const std::string path = test::clip(name + "." + recipe.container, recipe);
    EXPECT_EQ(Movie::open({path, true, sink}, movie), 0) << name;
    if (movie && loop) movie->setTimeBaseFlags(kLoopTimeBase);
    return movie;
}

// Starts the clock at movie time 0 with `rate`; returns the host time of movie time 0 (or a
// moment after it).
int64_t startClock(Movie& movie, int32_t rate) {
    movie.setRate(rate);
    movie.goToBeginning();
    return hostTimeNow();
}

int indexOf(const DecodedFrame& f) {
    return test::frameAtCentre(f.pixels, f.width, f.height, f.strideBytes);
}

int64_t toNs(double seconds) { return std::llround(seconds * 1e9); }

// The movie's own reports, which are off unless a developer asks for them.
struct MovieReports : test::LogCapture {
    MovieReports() { QLoggingCategory::setFilterRules("loopstage.movie.info=true"); }
    ~MovieReports() { QLoggingCategory::setFilterRules(QString()); }
};

// ---------------------------------------------------------------- opening

// Mirrors the GL side: a render thread takes frames from attachment until detachment, which
// comes while the movie still works.
struct RenderThreadSink : FrameSink {
    std::thread render;
    std::atomic<bool> running{false};
    size_t attached = 0, detached = 0;
    void attachMovie(Movie* m) override {
        ++attached;
        running = true;
        render = std::thread([this, m] {
            FrameRef onScreen;
            while (running.load()) {
                if (FrameRef f = m->takeNewestFrameAt(hostTimeNow())) onScreen = std::move(f);
                (void)m->newestSerialAt(hostTimeNow() + 5'000'000);
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
    }
    void detachMovie(Movie* m) override {
        ++detached;
        EXPECT_EQ(m->isActive(), m->hasVideo()) << "detached after its worker stopped";
        running = false;
        render.join();
    }
};

// Over every broken input, each opened with its worker and a render thread while the one before
// goes (destroyed mid-decode, blocked or given up): probe and open agree, a refused open leaves
// `out` empty even when it held a movie, the sink hears only of movies that opened, and the
// inputs whose trouble is plain are refused for that reason. A pipe or a device must be refused
// without being opened: reading one may never end.
TEST(MovieOpen, BrokenFilesAreRefusedForTheirReasonAndProbeAgreesWithOpen) {
    const std::map<std::string, ProbeRefusal> reasons = {
        {"missing file", ProbeRefusal::NotFound},
        {"a folder", ProbeRefusal::Folder},
        {"a named pipe", ProbeRefusal::NotRegularFile},
        {"a device that never ends", ProbeRefusal::NotRegularFile},
        {"empty file", ProbeRefusal::Empty},
        {"text with a movie extension", ProbeRefusal::NotAMovie},
        {"claims 17000x2", ProbeRefusal::PictureTooLarge},
        {"decoder set-up data corrupt", ProbeRefusal::CannotDecode},
        {"sound only", ProbeRefusal::None},
        {"spaces and non-ASCII in the path", ProbeRefusal::None},
    };
    size_t withReason = 0, opened = 0;
    RenderThreadSink sink;
    std::unique_ptr<Movie> movie;
    for (const test::BadInput& input : test::makeBadInputs(clips::tempClipPath("bad-inputs"))) {
        SCOPED_TRACE(input.name);
        const ProbeResult probe = probeMovie(QString::fromStdString(input.path));
        const int status = Movie::open({input.path, true, &sink}, movie);
        EXPECT_EQ(status == 0, probe.status == 0);
        EXPECT_EQ(status == 0, movie != nullptr);
        opened += status == 0;
        if (const auto reason = reasons.find(input.name); reason != reasons.end()) {
            EXPECT_EQ(probe.refusal, reason->second);
            ++withReason;
        }
        if (input.name == "sound only" && movie) {
            EXPECT_FALSE(movie->hasVideo());
            EXPECT_EQ(movie->trackMediaType(1), kSoundMediaType);
        }
    }
    movie.reset();
    EXPECT_EQ(withReason, reasons.size());
    EXPECT_EQ(sink.attached, opened);
    EXPECT_EQ(sink.detached, opened);
}

// Playlists, lists of files and picture sequences name other things to open: a pipe that would
// never answer, an address on the network. Each is refused at once for what it is, and nothing
// it names is opened: the pipe never had a reader, the listening socket no connection.
TEST(MovieOpen, ListsOfFilesAreRefusedWithoutOpeningWhatTheyName) {
    const std::string dir = clips::tempClipPath("lists");
    std::filesystem::create_directories(dir);
    const std::string pipe = dir + "/named.ts";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string http =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a.ts";
    const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n";
    const std::pair<const char*, std::string> lists[] = {
        {"pipe.m3u8", hls + pipe + "\n#EXT-X-ENDLIST\n"},
        {"address.m3u8", hls + http + "\n#EXT-X-ENDLIST\n"},
        {"pipe.ffconcat", "ffconcat version 1.0\nfile named.ts\n"},
        {"picture%03d.png", "a name that numbers pictures"},
    };
    for (const auto& [name, text] : lists) {
        SCOPED_TRACE(name);
        std::ofstream(dir + "/" + name) << text;
        const int64_t start = hostTimeNow();
        EXPECT_EQ(probeMovie(dir + "/" + name).refusal, ProbeRefusal::ListOfFiles);
        EXPECT_LT(hostTimeNow() - start, kSecond / 2);
        // Opening a pipe's writing end fails while it has no reader (one would wait for it).
        EXPECT_LT(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK), 0) << "the pipe was opened";
        EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "the address was connected to";
    }
    ::close(listener);
}

// Played from the share: pictures like a camera's, so every one takes reads of its own.
std::string sharedClip() {
    ClipSpec recipe = clipRecipe(30, ClipSpec::Codec::Ffv1, "mkv");
    recipe.width = 320, recipe.height = 240, recipe.cameraLike = true;
    return test::clip("from a share.mkv", recipe);
}

// Plays `path` looping, at its rate; null unless it decodes.
std::unique_ptr<Movie> playing(const std::string& path, FrameSink* sink) {
    std::unique_ptr<Movie> movie;
    if (Movie::open({path, true, sink}, movie) != 0) return nullptr;
    movie->setTimeBaseFlags(kLoopTimeBase);
    startClock(*movie, kFixed1);
    return QTest::qWaitFor([&] { return movie->counters().framesDecoded > 5; }) ? std::move(movie)
                                                                                : nullptr;
}

// Waits until `movie`'s worker, playing at its rate, decodes nothing for a while, as when it
// is blocked in a read.
bool blocksInARead(const Movie& movie) {
    return QTest::qWaitFor([&] {
        const int64_t before = movie.counters().framesDecoded;
        QTest::qWait(300);
        return movie.counters().framesDecoded == before;
    });
}

// A share that stops answering. Reads that answer slowly give up at the probe's deadline and
// its thread returns then. Probes blocked in the kernel are left, but only a few: past them a
// file on that share is refused at once until they return, and a file elsewhere is not. A worker
// blocked in a read when its movie closes holds up no other worker's freeing, and is freed itself
// once the read returns.
TEST(StalledShare, NothingWaitsForAReadThatNeverReturns) {
    auto share = std::make_optional<clips::StalledShare>(sharedClip());
    if (!share->mounted()) GTEST_SKIP() << "no FUSE here";
    const int probes = MovieEngine::probesRunning();
    EXPECT_EQ(probeMovie(share->slowFile()).refusal, ProbeRefusal::NotAnswering);
    EXPECT_TRUE(QTest::qWaitFor([&] { return MovieEngine::probesRunning() == probes; }, 1000))
        << "reads went on past the deadline";

    RenderThreadSink sink;
    std::unique_ptr<Movie> stuck = playing(share->playing(), &sink);
    ASSERT_TRUE(stuck);
    share->stallNow();
    ASSERT_TRUE(blocksInARead(*stuck));
    stuck.reset();
    (void)openClip("good", clipRecipe(30));  // opened and closed
    EXPECT_TRUE(QTest::qWaitFor([] { return MovieEngine::workersBeingDisposed() == 1; }, 2000));

    int left = 0;
    ProbeRefusal refusal;
    while ((refusal = probeMovie(share->file()).refusal) == ProbeRefusal::NotAnswering)
        ASSERT_LT(++left, 20) << "stalled probes are left without bound";
    EXPECT_EQ(refusal, ProbeRefusal::StillWaiting);
    EXPECT_GT(left, 0);
    const int64_t start = hostTimeNow();
    EXPECT_EQ(probeMovie(share->file()).refusal, ProbeRefusal::StillWaiting);
    EXPECT_LT(hostTimeNow() - start, kSecond / 10) << "refused at once";
    EXPECT_EQ(probeMovie(test::clip("good.mp4", clipRecipe(30))).status, 0)
        << "a file elsewhere waited for the share";
    share.reset();  // the reads fail now, so every thread returns
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return MovieEngine::workersBeingDisposed() == 0 && MovieEngine::probesRunning() == probes;
    }));
    EXPECT_EQ(probeMovie(test::clip("good.mp4", clipRecipe(30))).status, 0);
}

// Quitting while a worker is blocked in a read of a share that stopped answering ends the
// process at once: nothing waits for a thread stuck in the kernel. The program is this test
// binary, run again below on a movie it plays from the share.
TEST(StalledShare, DISABLED_PlaysUntilToldThenQuits) {
    RenderThreadSink sink;
    const auto movie = playing(qEnvironmentVariable("LOOPSTAGE_PLAYING").toStdString(), &sink);
    ASSERT_TRUE(movie);
    std::cout << "playing" << std::endl;
    std::cin.get();
    ASSERT_TRUE(blocksInARead(*movie));
    std::cout << "stuck" << std::endl;
}

TEST(StalledShare, QuittingWithAWorkerStuckInAReadEndsAtOnce) {
    clips::StalledShare share(sharedClip());
    if (!share.mounted()) GTEST_SKIP() << "no FUSE here";
    QProcess program;
    qputenv("LOOPSTAGE_PLAYING", share.playing().c_str());
    program.start(QCoreApplication::applicationFilePath(),
                  {"--gtest_also_run_disabled_tests",
                   "--gtest_filter=StalledShare.DISABLED_PlaysUntilToldThenQuits"});
    QByteArray said;
    auto says = [&](const char* what) {
        return QTest::qWaitFor(
            [&] { return (said += program.readAllStandardOutput()).contains(what); }, 20000);
    };
    ASSERT_TRUE(says("playing"));
    share.stallNow();
    program.write("quit\n");
    ASSERT_TRUE(says("stuck"));
    EXPECT_TRUE(program.waitForFinished(2000)) << "quitting waited for the stuck worker";
    EXPECT_EQ(program.exitCode(), 0);
}

TEST(FFmpegLogging, SilentByDefaultAndWhenAskedErrorsOnlyWithFloodsCut) {
    installFFmpegLogging();
    test::LogCapture log;
    av_log(nullptr, AV_LOG_ERROR, "loopstage-test unasked error\n");
    EXPECT_TRUE(log.lines().filter("unasked error").isEmpty()) << "users see the program's lines";
    QLoggingCategory::setFilterRules(QStringLiteral("loopstage.ffmpeg.info=true"));
    // A fresh one-second window, so that earlier lines do not count against this one.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log.clear();
    av_log(nullptr, AV_LOG_WARNING, "loopstage-test warning line\n");
    av_log(nullptr, AV_LOG_ERROR, "loopstage-test error %d\n", 42);
    EXPECT_TRUE(log.lines().filter("warning line").isEmpty());
    EXPECT_EQ(log.lines().filter("loopstage-test error 42").size(), 1);
    // A flood from several threads at once, as decode workers log.
    std::thread threads[4];
    for (auto& t : threads)
        t = std::thread([] {
            for (int i = 0; i < 100; ++i) av_log(nullptr, AV_LOG_ERROR, "loopstage-test flood\n");
        });
    for (auto& t : threads) t.join();
    const auto flood = log.lines().filter("loopstage-test flood").size();
    // At most a burst a second, and the flood may straddle two seconds.
    EXPECT_TRUE(flood >= 1 && flood <= 20) << flood;
    QLoggingCategory::setFilterRules(QString());
}

// ---------------------------------------------------------------- frame choice

// A tick's frame, chosen with the real clock arithmetic and frame pool from a queue that a
// stand-in decoder keeps full as the worker does. Over three passes of a two-second clip every
// tick shows the frame due at its output time (the last one whose start has come), of the pass
// the clock is in; a tick that finds no new frame is one where none was due. Ticks the display
// link skipped lose nothing up to the queue's depth (three frames ahead).
TEST(FrameChoice, EveryTickShowsTheFrameDueAtItsOutputTime) {
    struct Cadence {
        int fps, refreshHz;
        std::vector<int> lateTicks;  // ticks whose refresh the display link skipped
    };
    std::vector<Cadence> cadences = {{30, 60, {5, 6, 119, 120, 121, 239}}, {60, 60, {59, 60, 300}}};
    for (int fps : {24, 25, 30, 50, 60})
        for (int refreshHz : {60, 75}) cadences.push_back({fps, refreshHz, {}});
    for (const Cadence& c : cadences) {
        SCOPED_TRACE(testing::Message() << c.fps << " fps on " << c.refreshHz << " Hz");
        const int frames = 2 * c.fps;
        const int64_t durationNs = 2 * kSecond;
        auto frameTime = [&](int64_t i) { return i * kSecond / c.fps; };
        auto pool = std::make_shared<FramePool>(4, 4, 6, 3);
        const uint64_t generation = pool->control().generation;
        int64_t pass = 0, next = 0;
        auto decodeAhead = [&] {
            for (int slot; (slot = pool->acquire(generation)) >= 0;) {
                const int64_t time = unwrappedFrameTime(pass, durationNs, frameTime(next));
                ASSERT_TRUE(pool->publish(slot, time, pass, generation, 4, 4));
                if (++next == frames) next = 0, ++pass;
            }
        };

        int64_t shownIndex = -1;
        size_t late = 0;
        for (int tick = 0; tick < 6 * c.refreshHz + 7; ++tick) {
            if (late < c.lateTicks.size() && c.lateTicks[late] == tick) {
                ++late;  // this refresh never got a tick
                continue;
            }
            SCOPED_TRACE(tick);
            decodeAhead();
            const int64_t movieTime =
                movieTimeAfter(0, (tick + 1) * kSecond / c.refreshHz, kFixed1);
            const int64_t wrapped = wrappedMovieTime(movieTime, durationNs);
            int64_t due = 0;
            while (due + 1 < frames && frameTime(due + 1) <= wrapped) ++due;
            if (pool->newestSerial(movieTime) == 0) {
                ASSERT_EQ(due, shownIndex) << "no new frame although one was due";
                continue;
            }
            FrameRef frame = pool->takeNewest(movieTime);
            ASSERT_TRUE(frame);
            const int64_t relative = frame->timeNs - frame->loopIteration * durationNs;
            shownIndex = (relative * c.fps + kSecond / 2) / kSecond;
            ASSERT_EQ(shownIndex, due);
            ASSERT_EQ(frame->loopIteration, movieTime / durationNs);
        }
    }
}

TEST(MovieClock, RatesDoNotOverflowAndWrappingHandlesNegativeTimes) {
    const int64_t day = 86'400 * kSecond;
    EXPECT_EQ(movieTimeAfter(500, day, 2 * kFixed1), 500 + 2 * day);
    EXPECT_EQ(wrappedMovieTime(-1, 1'000), 999);
    EXPECT_EQ(wrappedMovieTime(42, 0), 42);
}

// Times in a pass of frames lasting 40 ms, from their timestamps: trusted from the first one on,
// played at the cadence through a cut or a missing timestamp, never going back (broken muxers
// write timestamps that step back a little), and without overflow on crafted extremes.
TEST(PassTiming, TimesFollowTimestampsAtTheCadenceAndNeverGoBack) {
    constexpr int64_t ms = 1'000'000, none = PassTiming::kNoTimestamp;
    const std::vector<std::pair<std::vector<int64_t>, std::vector<int64_t>>> table = {
        {{500 * ms, 540 * ms, 580 * ms}, {0, 40 * ms, 80 * ms}},
        {{0, 40 * ms, 80 * ms, 70 * ms, 120 * ms}, {0, 40 * ms, 80 * ms, 80 * ms, 120 * ms}},
        {{0, 40 * ms, 300'000 * ms, 300'040 * ms}, {0, 40 * ms, 80 * ms, 120 * ms}},
        {{0, none, 80 * ms}, {0, 40 * ms, 80 * ms}},
        {{INT64_MIN + 1, INT64_MAX}, {0, 40 * ms}},
    };
    for (const auto& [timestamps, times] : table) {
        PassTiming timing;
        timing.startPass();
        for (size_t i = 0; i < timestamps.size(); ++i) {
            bool jumped = false;
            EXPECT_EQ(timing.timeOf(timestamps[i], 40 * ms, true, &jumped), times[i])
                << "frame " << i << " of " << testing::PrintToString(timestamps);
        }
    }
}

// A decoder in pass 2 of 2-second passes, far enough behind (over a second, and over one and
// a half key intervals), seeks into the clock's pass at its time; never from the drain at a
// pass's end, where the wrap would throw the seek away and start the pass after.
TEST(LoopRules, CatchUpsGoToTheClocksPassButNotFromTheDrain) {
    constexpr int64_t s = 1'000'000'000;
    // clock, frame, key interval, draining; seek, pass, time in the pass
    for (const auto& [clock, frame, key, draining, seek, pass, relative] :
         std::vector<std::array<int64_t, 7>>{{15 * s / 2, 4 * s, 0, 0, 1, 3, 3 * s / 2},
                                             {15 * s / 2, 4 * s, 0, 1, 0, 0, 0},
                                             {7 * s, 13 * s / 2, 0, 0, 0, 0, 0},
                                             {7 * s, 21 * s / 4, s, 0, 1, 3, s},
                                             {7 * s, 21 * s / 4, 2 * s, 0, 0, 0, 0}}) {
        const loopRules::CatchUp c =
            loopRules::catchUp(clock, frame, key, {2, 2 * s, true, true, draining != 0});
        EXPECT_EQ(std::tuple(c.seek, c.pass, c.relativeNs), std::tuple(seek != 0, pass, relative));
    }
}

// ---------------------------------------------------------------- conversion

// Pictures shown far smaller than they are skip source rows before swscale scales down. The
// picture must stay where it was: a white top half over a black bottom half, in odd heights
// (where a 4:2:0 plane's last chroma row is half used) and with rows kept 2 and 4 apart, meets
// at the middle of the result, as it does converted from every row; nothing is read past a
// plane (ASan).
TEST(PictureConverterRows, LargeReductionsKeepThePictureInPlace) {
    for (const int sourceHeight : {1081, 1080, 541, 300}) {
        SCOPED_TRACE(sourceHeight);
        ffmpeg::FramePtr frame(av_frame_alloc());
        frame->format = AV_PIX_FMT_YUV420P, frame->width = 640, frame->height = sourceHeight;
        frame->color_range = AVCOL_RANGE_MPEG, frame->colorspace = AVCOL_SPC_BT709;
        ASSERT_GE(av_frame_get_buffer(frame.get(), 1), 0);
        for (int y = 0; y < sourceHeight; ++y)
            std::fill_n(frame->data[0] + y * frame->linesize[0], 640,
                        y < sourceHeight / 2 ? 235 : 16);
        for (int plane : {1, 2})
            for (int y = 0; y < (sourceHeight + 1) / 2; ++y)
                std::fill_n(frame->data[plane] + y * frame->linesize[plane], 320, 128);
        for (const int height : {135, 270}) {
            std::vector<uint8_t> pixels(static_cast<size_t>(160 * 4 * height));
            PictureConverter converter;
            ASSERT_EQ(converter.convert(frame.get(), pixels.data(), 160 * 4, 160, height), 0);
            int firstDark = height;
            for (int y = 0; y < height && firstDark == height; ++y)
                if (pixels[static_cast<size_t>(y * 160 * 4 + 80 * 4)] < 128) firstDark = y;
            const double middle = height * (sourceHeight / 2) / static_cast<double>(sourceHeight);
            EXPECT_NEAR(firstDark, middle, 1.5) << height;
            EXPECT_GE(pixels[0], 250) << height;
            EXPECT_LE(pixels[pixels.size() - 4], 5) << height;
        }
    }
}

// ---------------------------------------------------------------- frame choice across wraps

struct SequenceCase {
    const char* name;
    ClipSpec recipe;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

std::vector<SequenceCase> sequenceCases() {
    using C = ClipSpec::Codec;
    using PF = ClipSpec::PixelFormat;
    using Tweak = std::function<void(ClipSpec&)>;
    std::vector<SequenceCase> cases;
    auto add = [&](const char* name, C codec, const char* container, int frames,
                   const Tweak& tweak = {}) {
        ClipSpec s = clipRecipe(frames, codec, container);
        if (tweak) tweak(s);
        cases.push_back({name, s});
    };
    add("H264LongGopBFrames", C::H264, "mp4", 24, [](ClipSpec& s) { s.gop = 24; });
    add("H264StartOffsetMkv", C::H264, "mkv", 24, [](ClipSpec& s) { s.startTimeSeconds = 1.5; });
    add("H264StartOffsetMp4", C::H264, "mp4", 24, [](ClipSpec& s) { s.startTimeSeconds = 0.5; });
    add("H264VariableFrameRate", C::H264, "mp4", 21,
        [](ClipSpec& s) { s.variableFrameRate = true; });
    add("Mpeg4BFramesAviTimestampsMissing", C::Mpeg4, "avi", 24);
    // Broadcast recordings: 33-bit timestamps of 90 kHz that wrap during the clip (36 frames
    // so that it does, muxer delay or not), start hours from zero, or jump where it was cut.
    add("H264TsAcrossTheTimestampWrap", C::H264, "mpegts", 36, [](ClipSpec& s) {
        s.startTimeSeconds = static_cast<double>(int64_t{1} << 33) / 90000.0 - 0.6;
    });
    add("H264TsTenHoursFromZero", C::H264, "mpegts", 24,
        [](ClipSpec& s) { s.startTimeSeconds = 36000; });
    add("H264TsClockJumpsMidway", C::H264, "mpegts", 24, [](ClipSpec& s) {
        s.bFrames = false, s.timestampJumpAtFrame = 12, s.timestampJumpSeconds = 300;
    });
    // A raw stream has no index to seek back by: each wrap reopens the file.
    add("H264RawStreamThatCannotSeek", C::H264, "h264", 24, [](ClipSpec& s) { s.bFrames = false; });
    add("MjpegCorruptFrames", C::Mjpeg, "avi", 16, [](ClipSpec& s) {
        s.corruptFrames = {5, 6, 7};
    });
    // Pixel formats and sizes: cropping, chroma layouts, depth, alpha.
    auto format = [&](const char* name, C codec, const char* container, int w, int h, PF pf) {
        add(name, codec, container, 6,
            [=](ClipSpec& s) { s.width = w, s.height = h, s.pixelFormat = pf; });
    };
    format("H264CroppedHeight", C::H264, "mp4", 100, 60, PF::Yuv420p);
    format("H264Yuv444", C::H264, "mp4", 64, 48, PF::Yuv444p);
    format("H264TenBit", C::H264, "mkv", 64, 48, PF::Yuv420p10);
    format("MjpegYuv422", C::Mjpeg, "avi", 64, 48, PF::Yuv422p);
    format("Ffv1TenBitOdd", C::Ffv1, "mkv", 65, 49, PF::Yuv420p10);
    format("Ffv1Alpha", C::Ffv1, "mkv", 64, 48, PF::Yuva420p);
    format("PngRgbaMov", C::Png, "mov", 37, 29, PF::Rgba);
    return cases;
}

class MovieFrameSequence : public ::testing::TestWithParam<SequenceCase> {};

// Every frame is taken at its time, upright, uncropped and with its alpha, in four passes, while
// the frame before is still held as a sink holds it; the pass is measured at the end of the
// first; going back to the beginning starts from the first frame again; every frame goes back to
// the pool, and one may outlive its movie.
TEST_P(MovieFrameSequence, EveryFrameAtItsTimeAcrossThreeWraps) {
    const ClipSpec& recipe = GetParam().recipe;
    const MovieReports log;
    auto movie = openClip(std::string("seq-") + GetParam().name, recipe);
    ASSERT_TRUE(movie);
    const int64_t zero = startClock(*movie, kSlowRate);
    const std::vector<double> times = clips::framePresentationSeconds(recipe);
    const int64_t clipNs = toNs(clips::clipDurationSeconds(recipe));
    const bool alpha = recipe.pixelFormat == ClipSpec::PixelFormat::Yuva420p ||
                       recipe.pixelFormat == ClipSpec::PixelFormat::Rgba;
    int64_t lastSerial = 0;
    FrameRef previous;  // a sink holds the frame on screen while it takes the next
    for (int pass = 0; pass < 4; ++pass) {
        for (int i = 0; i < recipe.frames; ++i) {
            if (std::ranges::count(recipe.corruptFrames, i)) continue;
            SCOPED_TRACE(testing::Message() << "pass " << pass << " frame " << i);
            const int64_t startNs = pass * clipNs + toNs(times[static_cast<size_t>(i)]);
            ASSERT_TRUE(QTest::qWaitFor([&] {
                return movie->decodedAheadUntilNs() >= startNs - 1'000'000;
            })) << movie->framesInUse()
                << " frames out";
            FrameRef f =
                movie->takeNewestFrameAt(zero + (startNs + 1'000'000) * (kFixed1 / kSlowRate));
            ASSERT_TRUE(f);
            EXPECT_GT(f->serial, lastSerial);
            lastSerial = f->serial;
            EXPECT_EQ(indexOf(*f), i);
            EXPECT_EQ(f->loopIteration, pass);
            EXPECT_NEAR(static_cast<double>(f->timeNs), static_cast<double>(startNs), 1e6);
            ASSERT_EQ(std::pair(f->width, f->height), std::pair(recipe.width, recipe.height));
            EXPECT_NEAR(clips::centreColour(f->pixels, f->width, f->height, f->strideBytes).a,
                        alpha ? clips::kClipBodyAlpha : 255, 2);
            const clips::Rgba top = clips::topRowColour(f->pixels, f->width, f->strideBytes);
            EXPECT_GE(std::min({top.r, top.g, top.b}), 235) << "the white band must be on top";
            // The bottom right is picture, not decoder padding. One pixel in from the corner: the
            // last row and column of an odd-sized 4:2:0 picture have chroma of their own, which
            // the clip writer's conversion does not always fill.
            const uint8_t* end = f->pixels + (f->height - 2) * f->strideBytes + (f->width - 2) * 4;
            EXPECT_EQ(clips::frameIndexOfColour({end[0], end[1], end[2]}, 20), i);
            if (pass == 0 && i == recipe.frames - 1) {
                // Measured before any frame of the second pass exists.
                ASSERT_TRUE(QTest::qWaitFor([&] { return movie->durationIsMeasured(); }));
                EXPECT_NEAR(static_cast<double>(movie->durationNs()), static_cast<double>(clipNs),
                            1e6);
            }
            movie->task();
            previous = std::move(f);
        }
    }
    const MovieCounters c = movie->counters();
    EXPECT_EQ(c.framesSkippedLate, 0);
    // A raw stream cannot seek back: each wrap reopens it. Troubles are reported once a movie.
    const bool raw = recipe.container == "h264", corrupt = !recipe.corruptFrames.empty();
    EXPECT_EQ(c.reopens > 0, raw) << c.reopens;
    EXPECT_EQ(c.decodeErrors > 0, corrupt) << c.decodeErrors;
    const QStringList reported = log.startingWith(QStringLiteral("movie "));
    EXPECT_EQ(reported.size(), raw + corrupt) << reported.join('\n').toStdString();
    EXPECT_EQ(reported.filter("cannot seek back to the start").size(), raw);
    EXPECT_EQ(reported.filter("corrupt video data").size(), corrupt);

    const int64_t zero2 = startClock(*movie, kSlowRate);
    FrameRef first;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return bool(first = movie->takeNewestFrameAt(zero2 + 1'000'000)); }));
    EXPECT_EQ(indexOf(*first), 0);
    EXPECT_GT(first->serial, lastSerial);
    previous.reset();
    movie->setActive(false);
    EXPECT_LE(movie->framesInUse(), 4) << "only the queue and the frame held may be out";
    movie.reset();
    EXPECT_EQ(indexOf(*first), 0) << "a frame may outlive its movie";
}

INSTANTIATE_TEST_SUITE_P(Clips, MovieFrameSequence, ::testing::ValuesIn(sequenceCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- lateness

// The render thread took nothing while the clock ran on (clips dropped before Play, a stall).
// Far behind, the decoder seeks to the key frame before the clock instead of decoding every
// picture it missed; a little behind, it decodes on but converts only what is still due.
TEST(MovieBehind, CatchesUpWithTheClock) {
    for (const bool far : {true, false}) {
        SCOPED_TRACE(far ? "far behind" : "a little behind");
        ClipSpec recipe = clipRecipe(far ? 240 : 60);
        recipe.gop = far ? 15 : 60;
        auto movie = openClip(far ? "far-behind" : "a-little-behind", recipe);
        ASSERT_TRUE(movie);
        startClock(*movie, kFixed1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return movie->decodedAheadUntilNs() != INT64_MIN; }));
        // The clock at its own rate, so the decoder knows it can outrun it: behind only for
        // the pictures nobody took meanwhile.
        std::this_thread::sleep_for(milliseconds(far ? 3000 : 900));
        movie->setRate(0);
        const double clock = static_cast<double>(movie->movieTimeAt(hostTimeNow())) / 1e9;
        const int due = clips::expectedFrameAt(recipe, clock);
        int shown = -1;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow())) shown = indexOf(*f);
            return shown == due;
        })) << shown;
        const MovieCounters c = movie->counters();
        if (far) {
            EXPECT_GE(c.catchUpSeeks, 1);
            EXPECT_LT(c.framesDecoded, due / 2) << "decoded its way through the missed pictures";
        } else {
            EXPECT_GE(c.framesSkippedLate, 10) << "late pictures should not be converted";
        }
    }
}

// A clock far faster than the decoder (as a 4K clip is on a small machine): the decoder leaves
// out the loop filter, and then pictures nothing refers to, and the pictures keep coming; none
// holds while it catches up. Back at a rate it can keep up with, it decodes everything again.
TEST(MovieBehind, TooSlowForItsClockLeavesWorkOutAndTakesItBack) {
    ClipSpec recipe = clipRecipe(240);
    recipe.width = 640, recipe.height = 360, recipe.gop = 24;
    auto movie = openClip("too-slow", recipe);
    ASSERT_TRUE(movie);
    startClock(*movie, 200 * kFixed1);
    int64_t lastChange = hostTimeNow(), longestHoldNs = 0;
    int shown = -1, changes = 0;
    const int64_t until = hostTimeNow() + toNs(3.0);
    while (hostTimeNow() < until) {
        if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow())) {
            if (const int index = indexOf(*f); index != shown) {
                const int64_t now = hostTimeNow();
                if (shown >= 0) longestHoldNs = std::max(longestHoldNs, now - lastChange);
                shown = index, lastChange = now, ++changes;
            }
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_GE(movie->counters().discardLevel, 1);
    EXPECT_GE(changes, 20);
    // A seek ahead and the decoding up to the clock from a key frame would hold the picture.
    EXPECT_LT(longestHoldNs, toNs(0.5)) << "a picture held while the decoder caught up";

    movie->setRate(kFixed1);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            movie->takeNewestFrameAt(hostTimeNow());
            return movie->counters().discardLevel == 0;
        },
        20'000))
        << "still leaving work out at a rate it keeps up with";
}

// The worker stopped (setActive(false)) in the last frames of a pass while the clock runs on
// for longer than a catch-up needs: whatever it was doing (decoding, draining the decoder,
// wrapping), after the restart the clock's pass shows, and no pass is skipped for the next.
TEST(MovieSeam, StoppedInTheLastFramesThenStartedSkipsNoPass) {
    const ClipSpec recipe = clipRecipe(60);
    auto movie = openClip("seam", recipe);
    ASSERT_TRUE(movie);
    startClock(*movie, kFixed1);
    const int64_t clipNs = toNs(clips::clipDurationSeconds(recipe));
    FrameRef shown;
    auto take = [&] {
        FrameRef f = movie->takeNewestFrameAt(hostTimeNow());
        if (!f) return false;
        const int64_t before = shown ? shown->loopIteration : f->loopIteration;
        EXPECT_LE(f->loopIteration, before + 1) << "a pass was skipped";
        shown = std::move(f);
        return true;
    };
    for (int stopAt = recipe.frames - 8; stopAt < recipe.frames; stopAt += 2) {
        SCOPED_TRACE(stopAt);
        ASSERT_TRUE(QTest::qWaitFor([&] { return take() && indexOf(*shown) >= stopAt; }, 10000));
        const int64_t stoppedIn = shown->loopIteration;
        movie->setActive(false);
        QTest::qWait(1400);
        movie->setActive(true);
        const int64_t clockPass = movie->movieTimeAt(hostTimeNow()) / clipNs;
        ASSERT_TRUE(QTest::qWaitFor([&] { return take() && shown->loopIteration > stoppedIn; }));
        EXPECT_EQ(shown->loopIteration, clockPass);
    }
}

TEST(MovieNoLoop, StopsAtTheEndShowingTheLastFrameAndLoopingLaterFollowsTheClock) {
    const ClipSpec recipe = clipRecipe(10);
    auto movie = openClip("noloop", recipe, nullptr, false);
    ASSERT_TRUE(movie);
    const int64_t zero = startClock(*movie, kFixed1);
    const int64_t clipNs = toNs(clips::clipDurationSeconds(recipe));
    // Nothing taken until well past the end: every frame but the first few is late.
    std::this_thread::sleep_for(std::chrono::nanoseconds(clipNs * 3 / 2));
    FrameRef last;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow())) last = std::move(f);
        return last && indexOf(*last) == recipe.frames - 1;
    })) << "the last frame must be shown at the end";
    EXPECT_EQ(last->loopIteration, 0);
    QTest::qWait(100);
    EXPECT_EQ(movie->newestSerialAt(hostTimeNow() + 10 * kSecond), 0) << "nothing after the end";
    // Looping turned on later resumes at the clock's pass, not at pass 1.
    movie->setTimeBaseFlags(kLoopTimeBase);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        FrameRef f = movie->takeNewestFrameAt(hostTimeNow());
        return f && f->loopIteration >= (hostTimeNow() - zero) / clipNs - 1;
    }));
}

TEST(MovieOneFrame, ShowsItsOnlyFrameWithoutDecodingItAgain) {
    auto movie = openClip("one-frame", clipRecipe(1));
    ASSERT_TRUE(movie);
    for (int start = 1; start <= 2; ++start) {  // and again after going back to the beginning
        const int64_t zero = startClock(*movie, kFixed1);
        FrameRef f;
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return bool(f = movie->takeNewestFrameAt(zero + 1'000'000)); }));
        QTest::qWait(300);  // passes go by
        const int64_t decoded = movie->counters().framesDecoded;
        QTest::qWait(200);
        EXPECT_EQ(movie->counters().framesDecoded, decoded) << "the worker must idle";
        EXPECT_LE(decoded, 2 * start);
        EXPECT_EQ(indexOf(*f), 0) << "the frame held on screen stays valid";
    }
}

// ---------------------------------------------------------------- threads

TEST(MovieThreads, TracksAreListedAndChangeWithTheRateWhileRunning) {
    ClipSpec recipe = clipRecipe(15);
    recipe.audioStream = true, recipe.dataStream = true;
    RenderThreadSink sink;
    auto movie = openClip("tracks", recipe, &sink);
    ASSERT_TRUE(movie);
    const std::vector<uint32_t> types = {0, kVideoMediaType, kSoundMediaType, kDataMediaType, 0};
    for (int track = 0; track <= 4; ++track)
        EXPECT_EQ(movie->trackMediaType(track), types[static_cast<size_t>(track)]) << track;
    movie->setRate(kFixed1 * 4);
    auto passes = [&](int64_t n) {
        const int64_t wraps = movie->counters().loopWraps + n;
        return QTest::qWaitFor([&] { return movie->counters().loopWraps >= wraps; });
    };
    ASSERT_TRUE(passes(1));
    EXPECT_GT(movie->trackPacketsRead(2), 0);
    movie->setTrackEnabled(2, false);
    ASSERT_TRUE(passes(2));  // a whole pass since the change
    const int64_t audio = movie->trackPacketsRead(2), video = movie->trackPacketsRead(1);
    for (int i = 0; i < 20; ++i) {
        movie->setRate(i % 2 ? kFixed1 * 4 : kFixed1 * 3);  // clock changes race the worker
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_TRUE(passes(2));
    EXPECT_EQ(movie->trackPacketsRead(2), audio) << "disabled audio must not be demuxed";
    EXPECT_GT(movie->trackPacketsRead(1), video);

    // Disabling video parks the worker; enabling it resumes.
    movie->setTrackEnabled(1, false);
    QTest::qWait(50);
    const int64_t parked = movie->counters().framesDecoded;
    QTest::qWait(100);
    EXPECT_EQ(movie->counters().framesDecoded, parked);
    movie->setTrackEnabled(1, true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return movie->counters().framesDecoded > parked; }));
    movie->setRate(0);
    QTest::qWait(50);  // the worker blocks on a full queue: the movie goes while it waits
}

// Pauses (setActive(false)) at any moment, also while a wrap reopens a file that cannot seek
// back, are no failures: each start plays on.
TEST(MoviePause, PausesAtAnyMomentOfWrapsAreNoFailure) {
    ClipSpec recipe = clipRecipe(6, ClipSpec::Codec::H264, "h264");
    recipe.bFrames = false;
    RenderThreadSink sink;
    auto movie = openClip("pause-raw", recipe, &sink);
    ASSERT_TRUE(movie);
    movie->setRate(kFixed1 * 8);
    for (int i = 0; i < 150; ++i) {
        movie->setActive(false);
        movie->setActive(true);
        std::this_thread::sleep_for(milliseconds(i % 5));
    }
    const int64_t wraps = movie->counters().loopWraps;
    EXPECT_TRUE(QTest::qWaitFor([&] { return movie->counters().loopWraps > wraps + 2; }));
    EXPECT_FALSE(movie->counters().gaveUp);
}

// A worker whose decoder cannot be opened ends by itself and says so (its movie is no longer
// active); a later start tries again.
TEST(DecodeWorkerAlone, EndsByItselfWhenNoDecoderOpens) {
    const std::string path = test::clip("no-decoder.mp4", clipRecipe(6));
    const ProbeResult probed = probeMovie(path);
    ASSERT_EQ(probed.status, 0);
    auto shared = std::make_shared<MovieShared>(probed.probe->facts(), hostTimeNow());
    shared->pool = std::make_shared<FramePool>(64, 48, 6, 3);
    Demuxer demuxer = probed.probe->takeDemuxer();
    demuxer.format->streams[shared->facts.videoStream]->codecpar->codec_id = AV_CODEC_ID_NONE;
    DecodeWorker worker(shared, std::move(demuxer), path);
    for (int start = 0; start < 2; ++start) {
        ASSERT_TRUE(worker.start());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !worker.running(); }));
        EXPECT_TRUE(shared->counters.gaveUp.load());
    }
}

// Clips coming and going (a drop that replaces one changes the thread budget twice) leave a
// playing clip's decoder alone; a new share that holds still is taken once, at a wrap.
TEST(MovieBudget, ChurnLeavesDecodersAloneAndASettledShareIsTakenOnce) {
    RenderThreadSink sink;
    auto playing = openClip("budget-playing", clipRecipe(15), &sink);
    ASSERT_TRUE(playing);
    playing->setRate(kFixed1 * 4);
    for (int i = 0; i < 12; ++i) {
        auto other = openClip("budget-other", clipRecipe(15));
        QTest::qWait(80);
        other.reset();
        QTest::qWait(80);
    }
    EXPECT_EQ(playing->counters().decoderRebuilds, 0);
    auto other = openClip("budget-other", clipRecipe(15));
    playing->setRate(kFixed1);  // well ahead of its clock, even on a busy machine
    const bool halves = std::thread::hardware_concurrency() >= 2;
    EXPECT_EQ(QTest::qWaitFor([&] { return playing->counters().decoderRebuilds == 1; }), halves);
}

// Three passes in a row without a picture give up: the worker idles, and says so once.
TEST(MovieCorrupt, ClipThatNeverDecodesGivesUpAndGoesIdle) {
    ClipSpec recipe = clipRecipe(8, ClipSpec::Codec::Mjpeg, "avi");
    for (int i = 0; i < recipe.frames; ++i) recipe.corruptFrames.push_back(i);
    const MovieReports log;
    auto movie = openClip("all-corrupt", recipe);
    ASSERT_TRUE(movie) << "the container is fine, so it opens";
    ASSERT_TRUE(QTest::qWaitFor([&] { return movie->counters().gaveUp; }));
    const MovieCounters a = movie->counters();
    EXPECT_EQ(a.failedPasses, 3);
    EXPECT_EQ(a.framesDecoded, 0);
    QTest::qWait(200);
    EXPECT_EQ(movie->counters().decodeErrors, a.decodeErrors) << "idle after giving up";
    MovieEngine::task();
    MovieEngine::task();
    EXPECT_EQ(log.lines().filter("no picture could be decoded").size(), 1);
}

}  // namespace
}  // namespace loopstage::media
