#include "media/PictureConverter.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace loopstage::media {

int PictureConverter::convert(const AVFrame* frame, uint8_t* pixels, int strideBytes, int width,
                              int height) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    // Scaling here, while converting, costs little more than the conversion and saves the
    // upload and the texture memory. Area averaging keeps large reductions free of aliasing
    // and measured a little cheaper than bilinear on 720p pictures reduced to billboard size.
    const SwsContext* previous = sws_.get();
    sws_.reset(sws_getCachedContext(sws_.release(), frame->width, frame->height, format, width,
                                    height, AV_PIX_FMT_RGBA, SWS_AREA, nullptr, nullptr, nullptr));
    // A new context (another size) starts with default colour details.
    if (sws_.get() != previous) colorspace_ = range_ = -1;
    if (!sws_) return AVERROR(ENOSYS);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
        int colorspace = frame->colorspace;
        switch (frame->colorspace) {
            case AVCOL_SPC_BT709:
            case AVCOL_SPC_FCC:
            case AVCOL_SPC_BT470BG:
            case AVCOL_SPC_SMPTE170M:
            case AVCOL_SPC_SMPTE240M:
            case AVCOL_SPC_BT2020_NCL:
            case AVCOL_SPC_BT2020_CL:
                break;
            default:  // untagged: HD and larger is BT.709 by convention, smaller BT.601
                colorspace = frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
        }
        // swscale treats the yuvj formats as full range by itself; tagged frames say so too.
        const bool jpegFormat = format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
                                format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
                                format == AV_PIX_FMT_YUVJ411P;
        const int range = (jpegFormat || frame->color_range == AVCOL_RANGE_JPEG) ? 1 : 0;
        if (colorspace != colorspace_ || range != range_) {
            sws_setColorspaceDetails(sws_.get(), sws_getCoefficients(colorspace), range,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            colorspace_ = colorspace;
            range_ = range;
        }
    }
    uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
    const int dstStride[4] = {strideBytes, 0, 0, 0};
    const int rows =
        sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    if (rows <= 0) return rows < 0 ? rows : AVERROR(EINVAL);
    return 0;
}

}  // namespace loopstage::media
