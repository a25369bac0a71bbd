#include "support/BadInputs.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <random>

#include "clips/Clips.h"

namespace loopstage::test {

using clips::ClipSpec;
using clips::writeClip;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string y4m(int width, int height, const char* rate, int frames) {
    std::string bytes = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) +
                        " F" + rate + " Ip A1:1 C420jpeg\n";
    const size_t frameBytes = static_cast<size_t>(std::max(width, 0)) * std::max(height, 0) * 3 / 2;
    for (int f = 0; f < frames; ++f) {
        bytes += "FRAME\n";
        // Claimed sizes can be absurd: write only what a small picture would hold.
        bytes +=
            std::string(std::min<size_t>(frameBytes, 64 * 48 * 3 / 2), static_cast<char>(16 * f));
    }
    return bytes;
}

}  // namespace

std::vector<BadInput> makeBadInputs(const std::string& directory) {
    QDir().mkpath(QString::fromStdString(directory));
    std::vector<BadInput> inputs;
    auto add = [&](const std::string& name, const std::string& file, const std::string& bytes) {
        const std::string path = directory + "/" + file;
        writeAll(path, bytes);
        inputs.push_back({name, path});
    };

    struct Source {
        const char* name;
        ClipSpec recipe;
    };
    ClipSpec h264;
    h264.frames = 20;
    h264.audioStream = true;
    ClipSpec mjpeg;
    mjpeg.codec = ClipSpec::Codec::Mjpeg;
    mjpeg.container = "avi";
    mjpeg.frames = 12;
    ClipSpec mkv;
    mkv.container = "mkv";
    mkv.frames = 16;
    const Source sources[] = {{"mp4", h264}, {"avi", mjpeg}, {"mkv", mkv}};

    std::mt19937 random(20261206);
    for (const Source& source : sources) {
        const std::string clean = directory + "/clean." + source.recipe.container;
        if (!writeClip(clean, source.recipe)) continue;
        const std::string bytes = readAll(clean);
        const std::string ext = "." + source.recipe.container;
        const size_t size = bytes.size();

        // Truncated at many offsets, densest in the header.
        for (size_t cut : {size_t{1}, size_t{4}, size_t{8}, size_t{12}, size_t{32}, size_t{64},
                           size_t{100}, size_t{200}, size_t{400}, size_t{800}}) {
            if (cut < size)
                add(std::string(source.name) + " cut at " + std::to_string(cut),
                    "cut" + std::to_string(cut) + ext, bytes.substr(0, cut));
        }
        for (int i = 1; i <= 10; ++i) {
            const size_t cut = size * i / 11;
            add(std::string(source.name) + " cut at " + std::to_string(cut),
                "cutp" + std::to_string(i) + ext, bytes.substr(0, cut));
        }
        // Single bit flips, then runs of 0x00 and 0xff, header first, then payload.
        for (int i = 0; i < 28; ++i) {
            std::string flipped = bytes;
            const size_t at = i < 14 ? random() % std::min<size_t>(size, 512) : random() % size;
            flipped[at] = static_cast<char>(flipped[at] ^ (1 << (random() % 8)));
            add(std::string(source.name) + " bit flip at " + std::to_string(at),
                "flip" + std::to_string(i) + ext, flipped);
        }
        for (int i = 0; i < 14; ++i) {
            std::string run = bytes;
            const size_t at = i < 7 ? random() % std::min<size_t>(size, 512) : random() % size;
            const size_t length = std::min<size_t>(1 + random() % 64, size - at);
            run.replace(at, length, std::string(length, i % 2 ? '\xff' : '\0'));
            add(std::string(source.name) + " byte run at " + std::to_string(at),
                "run" + std::to_string(i) + ext, run);
        }
        // Noise over the whole payload after an intact header.
        std::string noisy = bytes;
        for (size_t at = std::min<size_t>(size, 1024); at < size; at += 7) {
            noisy[at] = static_cast<char>(random());
        }
        add(std::string(source.name) + " noisy payload", "noisy" + ext, noisy);
    }

    // Every packet corrupt, and a clip of no frames at all.
    ClipSpec allCorrupt = mjpeg;
    for (int i = 0; i < allCorrupt.frames; ++i) allCorrupt.corruptFrames.push_back(i);
    if (writeClip(directory + "/all_corrupt.avi", allCorrupt)) {
        inputs.push_back({"every packet corrupt", directory + "/all_corrupt.avi"});
    }
    ClipSpec oneFrame;
    oneFrame.frames = 1;
    if (writeClip(directory + "/one_frame.mp4", oneFrame)) {
        inputs.push_back({"one frame", directory + "/one_frame.mp4"});
    }

    // Raw streams whose headers say odd things.
    add("claims 30000x30000", "huge.y4m", y4m(30000, 30000, "30:1", 2));
    add("zero frame rate", "zero_rate.y4m", y4m(64, 48, "0:1", 3));
    add("zero rate denominator", "zero_den.y4m", y4m(64, 48, "30:0", 3));
    add("negative frame rate", "negative_rate.y4m", y4m(64, 48, "-30:1", 3));
    add("negative size", "negative_size.y4m", y4m(-64, 48, "30:1", 3));
    add("header only", "header_only.y4m", y4m(64, 48, "30:1", 0));

    add("empty file", "empty.mp4", "");
    for (int n : {1, 2, 3, 7, 16}) {
        add(std::to_string(n) + " bytes", "bytes" + std::to_string(n) + ".mov",
            std::string(static_cast<size_t>(n), '\x01'));
    }
    add("text with a movie extension", "notes.mp4",
        "these are not the frames you are looking for\n");
    add("mp4 signature then nothing", "ftyp_only.mp4",
        std::string("\0\0\0\x18"
                    "ftypisom",
                    12));
    {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        const std::string png = directory + "/picture.png";
        image.save(QString::fromStdString(png));
        inputs.push_back({"still image", png});
        std::string disguised = readAll(png);
        add("image with a movie extension", "picture.mov", disguised);
    }
    const std::string folder = directory + "/folder.mp4";
    QDir().mkpath(QString::fromStdString(folder));
    inputs.push_back({"a folder", folder});
    inputs.push_back({"missing file", directory + "/missing.mp4"});
    // Opening a pipe for reading waits for a writer that never comes.
    const std::string pipe = directory + "/pipe.mp4";
    if (::mkfifo(pipe.c_str(), 0644) == 0 || errno == EEXIST)
        inputs.push_back({"a named pipe", pipe});
    inputs.push_back({"a device that never ends", "/dev/zero"});
    {
        ClipSpec plain;
        const std::string odd = directory + "/ein Stück mit Leerzeichen — ノ.mp4";
        if (writeClip(odd, plain)) inputs.push_back({"spaces and non-ASCII in the path", odd});
    }
    {
        const std::string locked = directory + "/no_permission.mp4";
        if (writeClip(locked, ClipSpec{})) {
            QFile::setPermissions(QString::fromStdString(locked), QFileDevice::WriteOwner);
            inputs.push_back({"no read permission", locked});
        }
    }
    return inputs;
}

}  // namespace loopstage::test
