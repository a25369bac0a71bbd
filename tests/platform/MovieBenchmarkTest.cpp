// Measurements, not tests: disabled by default; run with
//   movie_tests --gtest_also_run_disabled_tests --gtest_filter='MovieBenchmark.*'
// They print the worker's decode+convert cost per frame and the memory an open movie holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostTime.h"
#include "platform/Movie.h"
#include "support/TestClips.h"

namespace loopstage::platform {
namespace {

using test::ClipSpec;
using namespace std::chrono_literals;

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs the clock so far ahead that nothing is ever late, and drains frames as fast as the
// worker converts them: the wall time per frame is the worker's decode + convert cost.
void measureThroughput(const char* name, int width, int height, int frames) {
    ClipSpec spec;
    spec.width = width;
    spec.height = height;
    spec.frames = frames;
    spec.gop = 30;
    const std::string path = test::tempClipPath(std::string("bench-") + name + ".mp4");
    std::string error;
    ASSERT_TRUE(test::writeClip(path, spec, &error)) << error;
    std::unique_ptr<Movie> movie;
    ASSERT_EQ(Movie::open({path, true, nullptr}, movie), 0);
    // A clock 1024 times slower than real time: no frame is ever late, and host times far in
    // the future address the newest decoded frame.
    constexpr int32_t kCrawl = kFixed1 / 1024;
    movie->goToBeginning();
    movie->setRate(kCrawl);
    const int64_t probe = hostTimeNow();
    const int64_t zero = probe - movie->movieTimeAt(probe) * 1024;
    const auto start = std::chrono::steady_clock::now();
    while (movie->counters().framesConverted < frames &&
           std::chrono::steady_clock::now() - start < 60s) {
        const int64_t ahead = movie->decodedAheadUntilNs();
        if (ahead == INT64_MIN) {
            std::this_thread::yield();
            continue;
        }
        movie->takeNewestFrameAt(zero + (ahead + 1) * 1024).reset();  // frames go straight back
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const MovieCounters c = movie->counters();
    std::printf(
        "[bench] %-6s %dx%d: %lld frames decoded, %lld converted in %.3f s: %.2f ms/frame\n", name,
        width, height, static_cast<long long>(c.framesDecoded),
        static_cast<long long>(c.framesConverted), seconds,
        1000.0 * seconds / static_cast<double>(std::max<int64_t>(1, c.framesConverted)));
    EXPECT_EQ(c.framesSkippedLate, 0);
}

TEST(MovieBenchmark, DISABLED_DecodeAndConvertPerFrame) {
    measureThroughput("360p", 640, 360, 90);
    measureThroughput("720p", 1280, 720, 90);
    measureThroughput("1080p", 1920, 1080, 60);
}

TEST(MovieBenchmark, DISABLED_MemoryPerOpenMovie) {
    ClipSpec spec;
    spec.width = 1280;
    spec.height = 720;
    spec.frames = 240;  // 8 s: the pool, not the clip length, bounds memory
    const std::string path = test::tempClipPath("bench-mem.mp4");
    std::string error;
    ASSERT_TRUE(test::writeClip(path, spec, &error)) << error;
    constexpr int kMovies = 8;
    const long before = residentKiB();
    std::vector<std::unique_ptr<Movie>> movies(kMovies);
    for (auto& m : movies) {
        ASSERT_EQ(Movie::open({path, true, nullptr}, m), 0);
        m->setTimeBaseFlags(kLoopTimeBase);
        m->goToBeginning();
        m->setRate(kFixed1 * 4);
    }
    // Let every movie loop a few times with a render-like taker so all buffers get touched.
    const auto until = std::chrono::steady_clock::now() + 3s;
    std::vector<FrameRef> onScreen(kMovies);
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < kMovies; ++i)
            if (FrameRef f = movies[static_cast<size_t>(i)]->takeNewestFrameAt(hostTimeNow()))
                onScreen[static_cast<size_t>(i)] = std::move(f);
        std::this_thread::sleep_for(5ms);
    }
    const long after = residentKiB();
    std::printf(
        "[bench] %d open 1280x720 movies: %ld KiB resident growth, %.1f MiB per movie "
        "(pool of %d RGBA frames = %.1f MiB)\n",
        kMovies, after - before, static_cast<double>(after - before) / 1024.0 / kMovies,
        movies[0]->poolSize(), movies[0]->poolSize() * 1280.0 * 720.0 * 4.0 / (1024.0 * 1024.0));
    for (auto& m : movies) EXPECT_GE(m->counters().loopWraps, 1);
}

}  // namespace
}  // namespace loopstage::platform
