#include "support/BadInputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

#include "clips/Clips.h"

namespace loopstage::test {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A raw-video header claiming whatever it is given, then small pictures: claimed sizes can be
// absurd, and the file need not hold what they would take.
std::string y4m(const std::string& size, const char* rate, int frames) {
    std::string bytes = "YUV4MPEG2 " + size + " F" + rate + " Ip A1:1 C420jpeg\n";
    for (int f = 0; f < frames; ++f)
        bytes += "FRAME\n" + std::string(64 * 48 * 3 / 2, static_cast<char>(16 * f));
    return bytes;
}

}  // namespace

std::vector<BadInput> makeBadInputs(const std::string& directory) {
    std::filesystem::create_directories(directory);
    std::vector<BadInput> inputs;
    auto add = [&](const std::string& name, const std::string& file, const std::string& bytes) {
        inputs.push_back({name, directory + "/" + file});
        std::ofstream(inputs.back().path, std::ios::binary | std::ios::trunc) << bytes;
    };
    auto addClip = [&](const std::string& name, const std::string& file,
                       const clips::ClipSpec& recipe) {
        if (clips::writeClip(directory + "/" + file, recipe))
            inputs.push_back({name, directory + "/" + file});
    };

    // Damaged copies of an mp4 with sound, an avi of JPEG pictures and an mkv.
    clips::ClipSpec sources[3];
    sources[0].frames = 20, sources[0].audioStream = true;
    sources[1].codec = clips::ClipSpec::Codec::Mjpeg, sources[1].container = "avi";
    sources[2].frames = 16, sources[2].container = "mkv";
    std::mt19937 random(20261206);
    for (const clips::ClipSpec& source : sources) {
        const std::string ext = "." + source.container, clean = directory + "/clean" + ext;
        if (!clips::writeClip(clean, source)) continue;
        const std::string bytes = readAll(clean);
        // Cuts, single bit flips and runs of 0x00 or 0xff, every other one in the header where
        // a demuxer decides what it reads.
        const char* kinds[] = {"cut", "bit flip", "byte run"};
        for (int i = 0; i < 66; ++i) {
            const size_t span = i % 2 ? bytes.size() : std::min<size_t>(bytes.size(), 512);
            const size_t at = 1 + random() % (span - 1), run = 1 + random() % 64;
            std::string changed = bytes;
            if (i % 3 == 0) changed.resize(at);
            if (i % 3 == 1) changed[at] = static_cast<char>(changed[at] ^ (1 << (random() % 8)));
            if (i % 3 == 2)
                changed.replace(at, run, std::min(run, bytes.size() - at), "\xff\0"[i % 2]);
            add(source.container + " " + kinds[i % 3] + " at " + std::to_string(at),
                "damaged" + std::to_string(inputs.size()) + ext, changed);
        }
        // Noise over the whole payload after an intact header.
        std::string noisy = bytes;
        for (size_t at = std::min<size_t>(bytes.size(), 1024); at < bytes.size(); at += 7)
            noisy[at] = static_cast<char>(random());
        add(source.container + " noisy payload", "noisy" + ext, noisy);
    }

    clips::ClipSpec allCorrupt = sources[1];
    for (int i = 0; i < allCorrupt.frames; ++i) allCorrupt.corruptFrames.push_back(i);
    addClip("every packet corrupt", "all_corrupt.avi", allCorrupt);
    clips::ClipSpec badSetup = sources[2];
    badSetup.codec = clips::ClipSpec::Codec::Ffv1, badSetup.corruptCodecSetup = true;
    addClip("decoder set-up data corrupt", "bad_setup.mkv", badSetup);
    clips::ClipSpec oneFrame, soundOnly;
    oneFrame.frames = 1;
    addClip("one frame", "one_frame.mp4", oneFrame);
    soundOnly.videoStream = false, soundOnly.audioStream = true;
    addClip("sound only", "sound_only.mp4", soundOnly);
    addClip("spaces and non-ASCII in the path", "ein Stück mit Leerzeichen — ノ.mp4", {});
    addClip("no read permission", "no_permission.mp4", {});
    std::filesystem::permissions(inputs.back().path, std::filesystem::perms::owner_write);

    add("claims 30000x30000", "huge.y4m", y4m("W30000 H30000", "30:1", 2));
    add("claims 17000x2", "wide.y4m", y4m("W17000 H2", "30:1", 2));
    add("zero frame rate", "zero_rate.y4m", y4m("W64 H48", "0:1", 3));
    add("zero rate denominator", "zero_den.y4m", y4m("W64 H48", "30:0", 3));
    add("negative frame rate", "negative_rate.y4m", y4m("W64 H48", "-30:1", 3));
    add("negative size", "negative_size.y4m", y4m("W-64 H48", "30:1", 3));
    add("header only", "header_only.y4m", y4m("W64 H48", "30:1", 0));
    add("empty file", "empty.mp4", "");
    add("text with a movie extension", "notes.mp4", "these are not the frames you want\n");
    add("mp4 signature then nothing", "ftyp_only.mp4", std::string("\0\0\0\x18", 4) + "ftypisom");
    for (int n : {1, 2, 3, 7, 16})
        add(std::to_string(n) + " bytes", "bytes" + std::to_string(n) + ".mov", std::string(n, 1));

    clips::ClipSpec still = oneFrame;
    still.codec = clips::ClipSpec::Codec::Png, still.container = "image2";
    still.pixelFormat = clips::ClipSpec::PixelFormat::Rgba;
    addClip("still image", "picture.png", still);
    add("image with a movie extension", "picture.mov", readAll(directory + "/picture.png"));

    std::filesystem::create_directories(directory + "/folder.mp4");
    inputs.push_back({"a folder", directory + "/folder.mp4"});
    inputs.push_back({"missing file", directory + "/missing.mp4"});
    // Opening a pipe for reading waits for a writer that never comes.
    const std::string pipe = directory + "/pipe.mp4";
    if (::mkfifo(pipe.c_str(), 0644) == 0 || errno == EEXIST)
        inputs.push_back({"a named pipe", pipe});
    inputs.push_back({"a device that never ends", "/dev/zero"});
    return inputs;
}

}  // namespace loopstage::test
