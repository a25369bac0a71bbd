// Drops while clips play: how long a drop holds the window's thread (a 720p clip, a 4K clip, a
// file that stops answering), and what a one-frame 16000 x 8000 picture costs the clips that
// play meanwhile (memory, late ticks).
//   loopstage_drop_bench [--clips N] [--repeats R] [--clip-dir DIR]
// Prints its figures, then one JSON line.

#include <QApplication>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "app/Application.h"
#include "app/MainWindow.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"
#include "stallfs/StalledShare.h"

using namespace loopstage;

namespace {

struct Options {
    int clips = 8;
    int repeats = 3;
    std::string clipDir = "bench-clips";
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clips")) o.clips = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--repeats")) o.repeats = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--clip-dir")) o.clipDir = argv[i + 1];
    }
    return o;
}

double msSince(int64_t startNs) {
    return static_cast<double>(platform::hostTimeNow() - startNs) / 1e6;
}

// Milliseconds the drop of `path` held the calling (window's) thread.
double timedDrop(orchestra::Orchestra& orchestra, const std::string& path, int row,
                 orchestra::DropOperation operation, bool* accepted) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    const int64_t start = platform::hostTimeNow();
    *accepted = orchestra.acceptDrop(&data, row, operation);
    return msSince(start);
}

std::string ensureHugePicture(const std::string& directory) {
    const std::string path = directory + "/huge_16000x8000_gray_ffv1.mkv";
    if (std::filesystem::exists(path)) return path;
    clips::ClipSpec recipe;
    recipe.codec = clips::ClipSpec::Codec::Ffv1;
    recipe.container = "mkv";
    recipe.pixelFormat = clips::ClipSpec::PixelFormat::Gray;
    recipe.width = 16000;
    recipe.height = 8000;
    recipe.frames = 1;
    std::string error;
    if (!clips::writeClip(path, recipe, &error)) {
        std::fprintf(stderr, "cannot write the huge picture: %s\n", error.c_str());
        return {};
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    app::prepareApplication();
    QApplication application(argc, argv);
    const std::string hd = bench::ensureClip(o.clipDir, 1280, 720, 30, 2.0);
    const std::string uhd = bench::ensureClip(o.clipDir, 3840, 2160, 30, 1.0);
    const std::string huge = ensureHugePicture(o.clipDir);
    if (hd.empty() || uhd.empty() || huge.empty()) return 1;

    app::MainWindow window;
    window.resize(1180, 640);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    orchestra::Orchestra& orchestra = *window.orchestra();
    orchestra.togglePlayback();
    bool accepted = false;
    for (int i = 0; i < o.clips; ++i) {
        timedDrop(orchestra, hd, -1, orchestra::DropOperation::Above, &accepted);
        if (!accepted) return 1;
        QTest::qWait(100);
    }
    QTest::qWait(1000);

    // Each measured drop replaces the last clip, so the number playing stays the same.
    auto blocks = [&](const std::string& path, bool expectAccepted) {
        std::vector<double> ms;
        for (int r = 0; r < o.repeats; ++r) {
            ms.push_back(
                timedDrop(orchestra, path, o.clips - 1, orchestra::DropOperation::On, &accepted));
            if (accepted != expectAccepted)
                std::fprintf(stderr, "unexpected verdict for %s\n", path.c_str());
            QTest::qWait(700);
        }
        return bench::percentile(ms, 0.5);
    };
    const double hdBlock = blocks(hd, true);
    const double uhdBlock = blocks(uhd, true);
    double stalledBlock = -1;
    {
        clips::StalledShare share;
        if (share.mounted()) stalledBlock = blocks(share.file(), false);
    }
    std::printf(
        "main thread blocked per drop (median of %d): 720p %.1f ms, 4K %.1f ms, stalled %.1f ms\n",
        o.repeats, hdBlock, uhdBlock, stalledBlock);

    // The huge picture as a new clip beside the others, memory sampled all along.
    const long residentBefore = bench::residentKiB();
    std::atomic<long> peak{residentBefore};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling.load()) {
            const long now = bench::residentKiB();
            if (now > peak.load()) peak.store(now);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const int64_t ticksBefore = orchestra.tickStats().ticks();
    const int64_t lateBefore = orchestra.tickStats().lateTicks();
    const int64_t dropStart = platform::hostTimeNow();
    const double hugeBlock =
        timedDrop(orchestra, huge, -1, orchestra::DropOperation::Above, &accepted);
    double hugeFirstFrameMs = -1;
    if (accepted) {
        const musician::Musician* big = orchestra.musicianList()->at(static_cast<size_t>(o.clips));
        while (!big->currentTexture() && msSince(dropStart) < 60000) QTest::qWait(5);
        if (big->currentTexture()) hugeFirstFrameMs = msSince(dropStart);
    }
    QTest::qWait(2000);
    sampling.store(false);
    sampler.join();
    const int64_t ticks = orchestra.tickStats().ticks() - ticksBefore;
    const int64_t late = orchestra.tickStats().lateTicks() - lateBefore;
    double maxWorkMs = 0;
    for (int64_t t = ticksBefore;
         t < ticksBefore + ticks && ticks < orchestra::TickStats::kWorkSamples; ++t)
        maxWorkMs = std::max(maxWorkMs, orchestra.tickStats().workUs(t) / 1000.0);
    const double extraMiB = static_cast<double>(peak.load() - residentBefore) / 1024.0;
    std::printf(
        "16000x8000 picture beside %d clips: taken %s, first frame after %.0f ms, window held "
        "%.1f ms, %lld of %lld ticks late, longest tick %.1f ms, memory peak +%.0f MiB\n",
        o.clips, accepted ? "yes" : "no", hugeFirstFrameMs, hugeBlock, static_cast<long long>(late),
        static_cast<long long>(ticks), maxWorkMs, extraMiB);
    orchestra.togglePlayback();

    std::printf(
        "{\"main_thread_block_p50_ms\": %.1f, \"main_thread_block_4k_p50_ms\": %.1f, "
        "\"main_thread_block_stalled_p50_ms\": %.1f, \"huge_picture_first_frame_ms\": %.0f, "
        "\"huge_picture_late_ticks\": %lld, \"huge_picture_ticks\": %lld, "
        "\"huge_picture_longest_tick_ms\": %.1f, \"huge_picture_extra_mib\": %.0f}\n",
        hdBlock, uhdBlock, stalledBlock, hugeFirstFrameMs, static_cast<long long>(late),
        static_cast<long long>(ticks), maxWorkMs, extraMiB);
    return 0;
}
