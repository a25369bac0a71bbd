#pragma once

#include <cstdint>

#include "media/FFmpegHandles.h"

namespace loopstage::media {

// Turns decoded pictures into RGBA at the size they are wanted, scaling while converting, in
// the clip's own colours: its matrix (BT.601, BT.709, BT.2020; untagged by size) and range.
//
// Threads: one owner (a movie's decode worker); not shared. It keeps swscale's context between
// pictures and builds a new one, colour details included, only when the source or target
// changes.
class PictureConverter {
public:
    // Writes `frame` as width x height RGBA rows of `strideBytes` into `pixels`. Returns 0, or
    // FFmpeg's negative error code (nothing sensible was written then).
    int convert(const AVFrame* frame, uint8_t* pixels, int strideBytes, int width, int height);

private:
    // Everything the context and its colour details were made for.
    struct Key {
        int sourceWidth = 0, sourceHeight = 0, format = -1, colorspace = -1, fullRange = -1;
        int width = 0, height = 0;
        bool operator==(const Key&) const = default;
    };

    ffmpeg::SwsContextPtr sws_;
    Key key_;
};

// The side a picture is converted at: down to the limit, never up; a limit of 0 means none.
constexpr int limitedSide(int side, int limit) { return limit > 0 && limit < side ? limit : side; }

}  // namespace loopstage::media
