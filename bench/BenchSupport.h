#pragma once

// Small helpers the benchmark programs share.
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "clips/Clips.h"

namespace loopstage::bench {

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t i =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[i];
}

inline long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A generated H.264 clip (B-frames where the encoder has them), kept in `directory` so later
// runs reuse it. Camera-like footage by default: textured, moving, noisy pictures at 4 Mbit/s
// per 720p (scaled with the picture's area), which decode about as slowly as real camera clips;
// flat colours decode several times faster and flatter every figure. Empty on failure, after
// saying why.
inline std::string ensureClip(const std::string& directory, int width, int height, int fps,
                              double seconds, bool cameraLike = true) {
    QDir().mkpath(QString::fromStdString(directory));
    const std::string path = directory + "/clip_" + std::to_string(width) + "x" +
                             std::to_string(height) + "_" + std::to_string(fps) + "fps_" +
                             std::to_string(static_cast<int>(seconds * 1000)) + "ms_" +
                             (cameraLike ? "camera" : "flat") + ".mp4";
    if (QFileInfo::exists(QString::fromStdString(path))) return path;
    clips::ClipSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.fpsNum = fps;
    recipe.frames = static_cast<int>(std::lround(seconds * fps));
    recipe.gop = fps * 2;
    recipe.bFrames = true;
    recipe.cameraLike = cameraLike;
    if (cameraLike)
        recipe.bitrateKbps =
            static_cast<int>(4000.0 * width * height / (1280.0 * 720.0) * fps / 30.0);
    std::string error;
    const std::string partial = path + ".part.mp4";
    if (!clips::writeClip(partial, recipe, &error)) {
        std::fprintf(stderr, "cannot write the clip: %s\n", error.c_str());
        return {};
    }
    std::rename(partial.c_str(), path.c_str());
    return path;
}

}  // namespace loopstage::bench
