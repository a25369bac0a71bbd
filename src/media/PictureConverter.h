#pragma once

#include <cstdint>

#include "media/FFmpegHandles.h"

namespace loopstage::media {

// Turns decoded pictures into RGBA at the size they are wanted, scaling while converting.
//
// Threads: one owner (a movie's decode worker); not shared. It keeps swscale's context between
// pictures and rebuilds it only when the source or target changes.
class PictureConverter {
public:
    // Writes `frame` as width x height RGBA rows of `strideBytes` into `pixels`. Returns 0, or
    // FFmpeg's negative error code (nothing sensible was written then).
    int convert(const AVFrame* frame, uint8_t* pixels, int strideBytes, int width, int height);

private:
    ffmpeg::SwsContextPtr sws_;
    int colorspace_ = -1, range_ = -1;
};

// The side a picture is converted at: down to the limit, never up; a limit of 0 means none.
constexpr int limitedSide(int side, int limit) { return limit > 0 && limit < side ? limit : side; }

}  // namespace loopstage::media
