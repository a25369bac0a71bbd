// libFuzzer target: one movie from bytes through probe, open, decode and the reads an upload
// makes. Built with clang (-fsanitize=fuzzer,address,undefined) by `scripts/test fuzz`.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "media/Movie.h"
#include "platform/HostTime.h"

using namespace loopstage::media;
using loopstage::platform::hostTimeNow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The movie engine opens files by path; an in-memory file gives the bytes one.
    const int fd = memfd_create("loopstage-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) return close(fd), 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::unique_ptr<Movie> movie;
    // The probe must agree with opening, or drops would accept files musicians cannot open.
    if (canOpenMovie(path) != (Movie::open({path, true, nullptr}, movie) == 0)) __builtin_trap();
    if (movie) {
        movie->setTimeBaseFlags(kLoopTimeBase);
        movie->setRate(kFixed1 * 16);  // through the clip and its loop quickly
        movie->setPictureSizeLimit(64, 64);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
        uint32_t sum = 0;
        while (std::chrono::steady_clock::now() < end) {
            // Exactly the bytes an upload reads: width x 4 of every row at the stride.
            if (FrameRef f = movie->takeNewestFrameAt(hostTimeNow()))
                for (int row = 0; row < f->height; ++row)
                    for (int x = 0; x < f->width * 4; ++x)
                        sum += f->pixels[row * f->strideBytes + x];
            movie->task();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        asm volatile("" : : "r"(sum));
    }
    movie.reset();
    close(fd);
    return 0;
}
