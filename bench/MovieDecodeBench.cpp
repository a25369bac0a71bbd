// Decode benchmark: the worker's decode + convert cost per frame at three sizes, and the memory
// an open movie holds. Prints its figures and one JSON summary line.
//   loopstage_decode_bench
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "clips/Clips.h"
#include "media/Movie.h"
#include "platform/HostTime.h"

namespace loopstage::media {
using platform::hostTimeNow;
namespace {

// Where a measurement cannot be taken the program says why and stops.
#define REQUIRE(condition, message)                                \
    do {                                                           \
        if (!(condition)) {                                        \
            std::fprintf(stderr, "decode bench: %s\n", (message)); \
            std::exit(1);                                          \
        }                                                          \
    } while (0)

using clips::ClipSpec;
using namespace std::chrono_literals;

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs the clock so far ahead that nothing is ever late, and drains frames as fast as the
// worker converts them: the wall time per frame is the worker's decode + convert cost.
double measureThroughput(const char* name, int width, int height, int frames) {
    ClipSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.frames = frames;
    recipe.gop = 30;
    const std::string path = clips::tempClipPath(std::string("bench-") + name + ".mp4");
    std::string error;
    REQUIRE(clips::writeClip(path, recipe, &error), error.c_str());
    std::unique_ptr<Movie> movie;
    REQUIRE(Movie::open({path, true, nullptr}, movie) == 0, "cannot open the clip");
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
    const double msPerFrame =
        1000.0 * seconds / static_cast<double>(std::max<int64_t>(1, c.framesConverted));
    std::printf("%-6s %dx%d: %lld frames decoded, %lld converted in %.3f s: %.2f ms/frame\n", name,
                width, height, static_cast<long long>(c.framesDecoded),
                static_cast<long long>(c.framesConverted), seconds, msPerFrame);
    return msPerFrame;
}

double measureMemoryPerMovie() {
    ClipSpec recipe;
    recipe.width = 1280;
    recipe.height = 720;
    recipe.frames = 240;  // 8 s: the pool, not the clip length, bounds memory
    const std::string path = clips::tempClipPath("bench-mem.mp4");
    std::string error;
    REQUIRE(clips::writeClip(path, recipe, &error), error.c_str());
    constexpr int kMovies = 8;
    const long before = residentKiB();
    std::vector<std::unique_ptr<Movie>> movies(kMovies);
    for (auto& m : movies) {
        REQUIRE(Movie::open({path, true, nullptr}, m) == 0, "cannot open the clip");
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
    const double perMovie = static_cast<double>(after - before) / 1024.0 / kMovies;
    std::printf(
        "%d open 1280x720 movies: %ld KiB resident growth, %.1f MiB per movie "
        "(pool of %d RGBA frames = %.1f MiB)\n",
        kMovies, after - before, perMovie, movies[0]->poolSize(),
        movies[0]->poolSize() * 1280.0 * 720.0 * 4.0 / (1024.0 * 1024.0));
    for (auto& m : movies) REQUIRE(m->counters().loopWraps >= 1, "a movie did not loop");
    return perMovie;
}

}  // namespace
}  // namespace loopstage::media

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    using namespace loopstage::media;
    const double ms360 = measureThroughput("360p", 640, 360, 90);
    const double ms720 = measureThroughput("720p", 1280, 720, 90);
    const double ms1080 = measureThroughput("1080p", 1920, 1080, 60);
    const double mib = measureMemoryPerMovie();
    std::printf(
        "{\"decode_convert_ms_per_frame_360p\": %.2f, \"decode_convert_ms_per_frame_720p\": %.2f, "
        "\"decode_convert_ms_per_frame_1080p\": %.2f, \"resident_mib_per_720p_movie\": %.1f}\n",
        ms360, ms720, ms1080, mib);
    return 0;
}
