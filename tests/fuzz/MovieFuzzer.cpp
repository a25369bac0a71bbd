// libFuzzer target: one movie from bytes through probe, open, decode and the reads an upload
// makes. Built with clang (-fsanitize=fuzzer,address,undefined) by `scripts/test fuzz`.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/HostTime.h"
#include "platform/Movie.h"

using namespace loopstage::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The movie engine opens files by path; an in-memory file gives the bytes one.
    const int fd = memfd_create("loopstage-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    for (size_t written = 0; written < size;) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    const bool probed = canOpenMovie(path);
    std::unique_ptr<Movie> movie;
    const int status = Movie::open({path, true, nullptr}, movie);
    // The probe must agree with opening, or drops would accept files musicians cannot open.
    if (probed != (status == 0)) __builtin_trap();
    if (movie) {
        movie->setTimeBaseFlags(kLoopTimeBase);
        movie->goToBeginning();
        movie->setRate(kFixed1 * 16);  // through the clip and its loop quickly
        for (int track = 1; track <= movie->trackCount(); ++track) {
            if (movie->trackMediaType(track) != kVideoMediaType) movie->setTrackEnabled(track, false);
        }
        movie->setPictureSizeLimit(64, 64);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
        uint32_t sum = 0;
        while (std::chrono::steady_clock::now() < end) {
            FrameRef frame = movie->takeNewestFrameAt(hostTimeNow());
            if (frame) {
                // Exactly the bytes an upload reads: width x 4 of every row at the stride.
                for (int row = 0; row < frame->height; ++row) {
                    const uint8_t* line = frame->pixels + static_cast<ptrdiff_t>(row) * frame->strideBytes;
                    for (int x = 0; x < frame->width * 4; ++x) sum += line[x];
                }
            }
            movie->task();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        asm volatile("" : : "r"(sum));
    }
    movie.reset();
    close(fd);
    return 0;
}
