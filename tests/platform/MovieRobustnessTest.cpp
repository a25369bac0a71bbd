// Damaged files that still open, streams without timestamps, and FFmpeg's own log output.
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QtGlobal>

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FFmpegLog.h"
#include "platform/HostTime.h"
#include "platform/Movie.h"
#include "clips/Clips.h"

namespace loopstage::platform {
namespace {

using clips::ClipSpec;
using namespace std::chrono_literals;

constexpr int32_t kSlowRate = kFixed1 / 16;

int indexOf(const DecodedFrame& f) {
    const clips::Rgba c = clips::centreColour(f.pixels, f.width, f.height, f.strideBytes);
    return clips::frameIndexOfColour(clips::Rgb{c.r, c.g, c.b});
}

int64_t startSlowClock(Movie& movie) {
    movie.goToBeginning();
    movie.setRate(kSlowRate);
    const int64_t probe = hostTimeNow();
    return probe - movie.movieTimeAt(probe) * (kFixed1 / kSlowRate);
}

// Takes every frame in order, stepping the slow clock by 1 ms of movie time (frames here are
// 33 ms apart, so no frame is stepped over) and never past what the worker has decoded, until
// `passes` loop iterations were seen; returns the frame indices taken, by pass.
std::vector<std::vector<int>> takeFrames(Movie& movie, int64_t zero, int passes) {
    std::vector<std::vector<int>> seen(static_cast<size_t>(passes));
    int64_t t = 0;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
        const int64_t ahead = movie.decodedAheadUntilNs();
        if (ahead == INT64_MIN || t > ahead) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        if (FrameRef f = movie.takeNewestFrameAt(zero + t * (kFixed1 / kSlowRate))) {
            if (f->loopIteration >= passes) break;
            seen[static_cast<size_t>(f->loopIteration)].push_back(indexOf(*f));
        }
        t += 1'000'000;
    }
    return seen;
}

TEST(MovieRobustness, TruncatedMkvThatStillOpensLoopsOverWhatIsThere) {
    ClipSpec recipe;
    recipe.codec = ClipSpec::Codec::Mjpeg;
    recipe.container = "mkv";
    recipe.frames = 30;
    const std::string full = clips::tempClipPath("trunc-full.mkv");
    std::string error;
    ASSERT_TRUE(clips::writeClip(full, recipe, &error)) << error;
    std::ifstream in(full, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string path = clips::tempClipPath("trunc-60.mkv");
    std::ofstream(path, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);

    std::unique_ptr<Movie> movie;
    ASSERT_EQ(Movie::open({path, true, nullptr}, movie), 0) << "mkv headers come first";
    EXPECT_TRUE(canOpenMovie(path));
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startSlowClock(*movie);
    const auto seen = takeFrames(*movie, zero, 3);
    for (size_t pass = 0; pass < seen.size(); ++pass) {
        ASSERT_GE(seen[pass].size(), 10u) << "pass " << pass;
        EXPECT_LT(seen[pass].size(), 30u) << "pass " << pass;
        for (size_t i = 0; i < seen[pass].size(); ++i)
            EXPECT_EQ(seen[pass][i], static_cast<int>(i)) << "pass " << pass;
    }
    // The measured span is what could be read, so the next pass follows without a gap.
    EXPECT_TRUE(movie->durationIsMeasured());
    EXPECT_NEAR(static_cast<double>(movie->durationNs()) / 1e9,
                static_cast<double>(seen[0].size()) / recipe.fpsNum, 0.002);
}

TEST(MovieRobustness, RawH264WithoutContainerTimestampsCountsFrames) {
    ClipSpec recipe;
    recipe.container = "h264";
    recipe.bFrames = false;
    recipe.frames = 20;
    const std::string path = clips::tempClipPath("raw.h264");
    std::string error;
    if (!clips::writeClip(path, recipe, &error)) GTEST_SKIP() << error;
    std::unique_ptr<Movie> movie;
    ASSERT_EQ(Movie::open({path, true, nullptr}, movie), 0);
    movie->setTimeBaseFlags(kLoopTimeBase);
    const int64_t zero = startSlowClock(*movie);
    const auto seen = takeFrames(*movie, zero, 3);
    for (size_t pass = 0; pass < seen.size(); ++pass) {
        ASSERT_EQ(seen[pass].size(), 20u) << "pass " << pass;
        for (size_t i = 0; i < seen[pass].size(); ++i)
            EXPECT_EQ(seen[pass][i], static_cast<int>(i));
    }
    EXPECT_GT(movie->durationNs(), 0);
}

// ---------------------------------------------------------------- FFmpeg log routing

struct Capture {
    static inline std::mutex mutex;
    static inline std::vector<std::pair<QtMsgType, std::string>> lines;
    QtMessageHandler previous;
    Capture() {
        std::lock_guard lock(mutex);
        lines.clear();
        previous =
            qInstallMessageHandler([](QtMsgType t, const QMessageLogContext&, const QString& m) {
                std::lock_guard l(mutex);
                lines.emplace_back(t, m.toStdString());
            });
    }
    ~Capture() { qInstallMessageHandler(previous); }
    int count(const std::string& needle, QtMsgType* type = nullptr) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& [t, m] : lines)
            if (m.find(needle) != std::string::npos) {
                ++n;
                if (type) *type = t;
            }
        return n;
    }
};

TEST(FFmpegLogging, SilentByDefaultAndWhenAskedErrorsOnlyWithFloodsCut) {
    installFFmpegLogging();
    installFFmpegLogging();  // idempotent
    {
        Capture quiet;
        av_log(nullptr, AV_LOG_ERROR, "loopstage-test unasked error\n");
        EXPECT_EQ(quiet.count("unasked error"), 0) << "users see the program's lines only";
    }
    QLoggingCategory::setFilterRules(QStringLiteral("loopstage.ffmpeg.info=true"));
    // Start in a fresh one-second window so earlier tests' errors do not count against this one.
    std::this_thread::sleep_for(1100ms);
    Capture capture;
    av_log(nullptr, AV_LOG_INFO, "loopstage-test info line\n");
    av_log(nullptr, AV_LOG_WARNING, "loopstage-test warning line\n");
    av_log(nullptr, AV_LOG_ERROR, "loopstage-test error %d\n", 42);
    QtMsgType type = QtDebugMsg;
    EXPECT_EQ(capture.count("loopstage-test error 42", &type), 1);
    EXPECT_EQ(type, QtInfoMsg);
    EXPECT_EQ(capture.count("info line"), 0);
    EXPECT_EQ(capture.count("warning line"), 0);
    // A flood from several threads at once (decode workers log concurrently).
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) av_log(nullptr, AV_LOG_ERROR, "loopstage-test flood\n");
        });
    for (auto& t : threads) t.join();
    const int flood = capture.count("loopstage-test flood");
    EXPECT_GE(flood, 1);
    EXPECT_LE(flood, 20) << "at most a burst per second (the flood may straddle two seconds)";
    QLoggingCategory::setFilterRules(QString());
}

}  // namespace
}  // namespace loopstage::platform
