#include "media/PictureConverter.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace loopstage::media {

namespace {

// The yuvj formats are their plain twins at full range. swscale swaps them for the twins
// internally and then judges a cached context stale on every picture; naming the twin and the
// range ourselves keeps one context and its colour details.
AVPixelFormat withoutJpegRange(AVPixelFormat format, bool* fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            *fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            *fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            *fullRange = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            *fullRange = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            *fullRange = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

int matrixOf(const AVFrame* frame) {
    switch (frame->colorspace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return frame->colorspace;
        default:  // untagged: HD and larger is BT.709 by convention, smaller BT.601
            return frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// How many source rows make one for a large reduction: a power of two that leaves swscale at
// least one source row per row it writes, at most 4. swscale scales every source row across
// before it scales down, whatever the filter (FFmpeg's own tool, one thread, 4K to 1180x664:
// area +6.3 ms a picture, fast bilinear +5.6 ms); reading fewer rows took a 4K clip at stage
// size from 4.2-4.4 ms a picture to 1.5-1.9 ms here, and area averaging over the rows kept
// still smooths what is left. Not for palettes, whose second plane is no picture.
int rowStepFor(const AVPixFmtDescriptor* desc, int sourceHeight, int height) {
    if (!desc ||
        (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM)))
        return 1;
    int step = 1;
    while (step < 4 && sourceHeight / (2 * step) >= height) step *= 2;
    return step;
}

}  // namespace

int PictureConverter::convert(const AVFrame* frame, uint8_t* pixels, int strideBytes, int width,
                              int height) {
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat format =
        withoutJpegRange(static_cast<AVPixelFormat>(frame->format), &fullRange);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const bool yuv = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int rowStep = rowStepFor(desc, frame->height, height);
    const int sourceHeight = frame->height / rowStep;
    const Key key{
        frame->width, sourceHeight, format, yuv ? matrixOf(frame) : -1, yuv ? int{fullRange} : -1,
        width,        height};
    if (!sws_ || !(key == key_)) {
        key_ = {};
        // Scaling here, while converting, costs little more than the conversion and saves the
        // upload and the texture memory. Area averaging keeps large reductions free of
        // aliasing and measured a little cheaper than bilinear on 720p pictures reduced to
        // billboard size.
        sws_.reset(sws_getContext(frame->width, sourceHeight, format, width, height,
                                  AV_PIX_FMT_RGBA, SWS_AREA, nullptr, nullptr, nullptr));
        if (!sws_) return AVERROR(ENOSYS);
        // A new context starts with BT.601 at limited range, whatever the clip says.
        if (yuv)
            sws_setColorspaceDetails(sws_.get(), sws_getCoefficients(key.colorspace), key.fullRange,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        key_ = key;
    }
    uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
    const int dstStride[4] = {strideBytes, 0, 0, 0};
    int linesize[AV_NUM_DATA_POINTERS] = {};
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS; ++plane)
        linesize[plane] = frame->linesize[plane] * rowStep;
    const int rows = sws_scale(sws_.get(), frame->data, linesize, 0, sourceHeight, dst, dstStride);
    if (rows <= 0) return rows < 0 ? rows : AVERROR(EINVAL);
    return 0;
}

}  // namespace loopstage::media
