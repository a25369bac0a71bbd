// Writes the fuzzer's seed corpus: good clips of several kinds and the bad-input collection.
//   loopstage_fuzz_seeds DIR
#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/BadInputs.h"
#include "clips/Clips.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    QCoreApplication application(argc, argv);
    using loopstage::clips::ClipSpec;
    const std::string dir = argv[1];
    int written = 0;
    auto clip = [&](const char* name, ClipSpec recipe) {
        recipe.width = 48;
        recipe.height = 32;
        recipe.frames = 6;
        written += loopstage::clips::writeClip(dir + "/" + name, recipe) ? 1 : 0;
    };
    clip("h264.mp4", ClipSpec{});
    ClipSpec mjpeg;
    mjpeg.codec = ClipSpec::Codec::Mjpeg;
    mjpeg.container = "avi";
    clip("mjpeg.avi", mjpeg);
    ClipSpec mkv;
    mkv.container = "mkv";
    mkv.audioStream = true;
    clip("av.mkv", mkv);
    ClipSpec ffv1;
    ffv1.codec = ClipSpec::Codec::Ffv1;
    ffv1.container = "mkv";
    ffv1.pixelFormat = ClipSpec::PixelFormat::Yuva420p;
    clip("ffv1.mkv", ffv1);
    // The bad inputs go into a folder of their own; only files are seeds.
    auto bad = loopstage::test::makeBadInputs(dir + "/bad");
    // A pipe among the seeds would hang the fuzzer's own reading of its corpus.
    std::erase_if(bad, [](const loopstage::test::BadInput& input) {
        std::error_code error;
        if (std::filesystem::is_regular_file(input.path, error)) return false;
        if (std::filesystem::is_fifo(input.path, error)) std::filesystem::remove(input.path, error);
        return true;
    });
    std::printf("%d clips and %zu bad inputs written to %s\n", written, bad.size(), dir.c_str());
    return 0;
}
