#include "clips/Clips.h"

#include "media/FFmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

namespace loopstage::clips {
namespace {

struct OutputContextDeleter {
    void operator()(AVFormatContext* oc) const {
        if (oc && !(oc->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
// The movie engine's own handles; the writer adds only the output context they lack.
using media::ffmpeg::CodecContextPtr;
using media::ffmpeg::FramePtr;
using media::ffmpeg::InputContextPtr;
using media::ffmpeg::PacketPtr;
using SwsPtr = media::ffmpeg::SwsContextPtr;

std::string avError(int code) { return media::ffmpeg::errorString(code); }

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

void quietFFmpegOnce() {
    // Encoders print banners at info level; tests only want real errors on stderr.
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
    });
}

// Frame durations in nominal periods: constant 1, or alternating 1 and 2 for VFR.
int periodsOfFrame(const ClipSpec& recipe, int i) {
    return recipe.variableFrameRate && (i % 2) ? 2 : 1;
}

AVPixelFormat encoderPixelFormat(const ClipSpec& recipe) {
    using PF = ClipSpec::PixelFormat;
    const bool jpeg = recipe.codec == ClipSpec::Codec::Mjpeg || recipe.fullRange;
    switch (recipe.pixelFormat) {
        case PF::Yuv420p:
            return jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
        case PF::Yuv422p:
            return jpeg ? AV_PIX_FMT_YUVJ422P : AV_PIX_FMT_YUV422P;
        case PF::Yuv444p:
            return jpeg ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_YUV444P;
        case PF::Yuv420p10:
            return AV_PIX_FMT_YUV420P10LE;
        case PF::Yuva420p:
            return AV_PIX_FMT_YUVA420P;
        case PF::Rgba:
            return AV_PIX_FMT_RGBA;
        case PF::Gray:
            return AV_PIX_FMT_GRAY8;
    }
    return AV_PIX_FMT_NONE;
}

const AVCodec* findVideoEncoder(const ClipSpec& recipe) {
    switch (recipe.codec) {
        case ClipSpec::Codec::H264: {
            if (const AVCodec* x264 = avcodec_find_encoder_by_name("libx264")) return x264;
            return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
        }
        case ClipSpec::Codec::Mpeg4:
            return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
        case ClipSpec::Codec::Mjpeg:
            return avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        case ClipSpec::Codec::Ffv1:
            return avcodec_find_encoder(AV_CODEC_ID_FFV1);
        case ClipSpec::Codec::Png:
            return avcodec_find_encoder(AV_CODEC_ID_PNG);
    }
    return nullptr;
}

bool encoderSupports(const AVCodec* codec, AVPixelFormat fmt) {
    if (!codec->pix_fmts) return true;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == fmt) return true;
    return false;
}

bool fullRange(const ClipSpec& recipe) {
    return recipe.fullRange || recipe.codec == ClipSpec::Codec::Mjpeg;
}

bool hasAlpha(const ClipSpec& recipe) {
    return recipe.pixelFormat == ClipSpec::PixelFormat::Yuva420p ||
           recipe.pixelFormat == ClipSpec::PixelFormat::Rgba;
}

// Paints frame `index` as RGBA: white band on top, the frame's colour everywhere else.
// A scene a camera might see: a large texture panning slowly, lit unevenly, with fresh
// noise in every picture (which is what makes real footage cost its bits and decode time).
void paintCameraLike(std::vector<uint8_t>& rgba, const ClipSpec& recipe, int index) {
    static thread_local std::vector<uint8_t> texture;
    static thread_local int textureWidth = 0, textureHeight = 0;
    const int tw = recipe.width + 256, th = recipe.height + 128;
    if (tw != textureWidth || th != textureHeight) {
        textureWidth = tw;
        textureHeight = th;
        texture.assign(static_cast<size_t>(tw) * th * 3, 0);
        std::mt19937 rng(42);
        std::uniform_int_distribution<int> jitter(-40, 40);
        for (int y = 0; y < th; ++y) {
            for (int x = 0; x < tw; ++x) {
                const double v = 0.5 + 0.25 * std::sin(x * 0.031 + std::sin(y * 0.017) * 3) +
                                 0.2 * std::cos(y * 0.043 - x * 0.011);
                uint8_t* p = texture.data() + (static_cast<size_t>(y) * tw + x) * 3;
                for (int ch = 0; ch < 3; ++ch) {
                    const int level = static_cast<int>(v * (180 + 30 * ch)) + jitter(rng);
                    p[ch] = static_cast<uint8_t>(std::clamp(level, 0, 255));
                }
            }
        }
    }
    const Rgb c = colourOfFrame(index);
    const int dx = (index * 3) % 256, dy = (index * 2) % 128;
    uint32_t noise = 0x9e3779b9u * static_cast<uint32_t>(index + 1);
    const int cx0 = recipe.width * 3 / 8, cx1 = recipe.width * 5 / 8;
    const int cy0 = recipe.height * 3 / 8, cy1 = recipe.height * 5 / 8;
    for (int y = 0; y < recipe.height; ++y) {
        uint8_t* row = rgba.data() + static_cast<size_t>(y) * recipe.width * 4;
        const uint8_t* src = texture.data() + (static_cast<size_t>(y + dy) * tw + dx) * 3;
        for (int x = 0; x < recipe.width; ++x) {
            uint8_t* p = row + x * 4;
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>(noise >> 27) - 16;
            const bool centre = x >= cx0 && x < cx1 && y >= cy0 && y < cy1;
            const uint8_t base[3] = {c.r, c.g, c.b};
            for (int ch = 0; ch < 3; ++ch) {
                const int level = (centre ? base[ch] : src[x * 3 + ch]) + grain;
                p[ch] = static_cast<uint8_t>(std::clamp(level, 0, 255));
            }
            p[3] = 255;
        }
    }
}

void paintRgba(std::vector<uint8_t>& rgba, const ClipSpec& recipe, int index) {
    if (recipe.cameraLike) return paintCameraLike(rgba, recipe, index);
    const Rgb c = recipe.flatColour.value_or(colourOfFrame(index));
    const int band = std::max(1, recipe.height / 8);
    const uint8_t bodyAlpha = hasAlpha(recipe) ? kClipBodyAlpha : 255;
    for (int y = 0; y < recipe.height; ++y) {
        uint8_t* row = rgba.data() + static_cast<size_t>(y) * recipe.width * 4;
        for (int x = 0; x < recipe.width; ++x) {
            uint8_t* p = row + x * 4;
            if (y < band) {
                p[0] = p[1] = p[2] = p[3] = 255;
            } else {
                p[0] = c.r;
                p[1] = c.g;
                p[2] = c.b;
                p[3] = bodyAlpha;
            }
        }
    }
}

struct Muxer {
    OutputContextPtr oc;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    CodecContextPtr venc;
    CodecContextPtr aenc;
    std::map<int64_t, int> frameOfPts;  // encoder pts -> frame index
    std::map<int64_t, int64_t> durationOfPts;
    std::mt19937 rng{1234};
};

bool writeVideoPackets(Muxer& m, const ClipSpec& recipe, AVPacket* pkt, std::string* error) {
    for (;;) {
        int ret = avcodec_receive_packet(m.venc.get(), pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
        if (ret < 0) return fail(error, "video encode: " + avError(ret));
        if (auto d = m.durationOfPts.find(pkt->pts); d != m.durationOfPts.end())
            pkt->duration = d->second;
        if (auto f = m.frameOfPts.find(pkt->pts);
            f != m.frameOfPts.end() &&
            std::find(recipe.corruptFrames.begin(), recipe.corruptFrames.end(), f->second) !=
                recipe.corruptFrames.end()) {
            if (av_packet_make_writable(pkt) < 0) return fail(error, "packet not writable");
            for (int i = 0; i < pkt->size; ++i) pkt->data[i] = static_cast<uint8_t>(m.rng());
        }
        av_packet_rescale_ts(pkt, m.venc->time_base, m.video->time_base);
        pkt->stream_index = m.video->index;
        ret = av_interleaved_write_frame(m.oc.get(), pkt);
        if (ret < 0) return fail(error, "mux video: " + avError(ret));
    }
}

bool writeAudioPackets(Muxer& m, AVPacket* pkt, std::string* error) {
    for (;;) {
        int ret = avcodec_receive_packet(m.aenc.get(), pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
        if (ret < 0) return fail(error, "audio encode: " + avError(ret));
        av_packet_rescale_ts(pkt, m.aenc->time_base, m.audio->time_base);
        pkt->stream_index = m.audio->index;
        ret = av_interleaved_write_frame(m.oc.get(), pkt);
        if (ret < 0) return fail(error, "mux audio: " + avError(ret));
    }
}

bool openVideo(Muxer& m, const ClipSpec& recipe, std::string* error) {
    const AVCodec* codec = findVideoEncoder(recipe);
    if (!codec) return fail(error, "no video encoder");
    const AVPixelFormat fmt = encoderPixelFormat(recipe);
    if (!encoderSupports(codec, fmt))
        return fail(error, std::string(codec->name) + " cannot encode " + av_get_pix_fmt_name(fmt));
    m.venc.reset(avcodec_alloc_context3(codec));
    if (!m.venc) return fail(error, "no memory");
    AVCodecContext* c = m.venc.get();
    c->width = recipe.width;
    c->height = recipe.height;
    c->pix_fmt = fmt;
    c->time_base = AVRational{recipe.fpsDen, recipe.fpsNum};
    c->framerate = AVRational{recipe.fpsNum, recipe.fpsDen};
    c->gop_size = recipe.gop;
    const bool interCodec = codec->id == AV_CODEC_ID_H264 || codec->id == AV_CODEC_ID_MPEG4;
    c->max_b_frames = recipe.bFrames && interCodec ? 2 : 0;
    c->thread_count = 1;
    c->colorspace = static_cast<AVColorSpace>(recipe.colorspace);
    c->color_range = fullRange(recipe) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    c->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    if (codec->id == AV_CODEC_ID_MPEG4 || codec->id == AV_CODEC_ID_MJPEG) {
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = FF_QP2LAMBDA * 2;
    }
    if (m.oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (recipe.corruptCodecSetup && codec->id == AV_CODEC_ID_FFV1) c->level = 3;
    AVDictionary* opts = nullptr;
    if (std::string(codec->name) == "libx264") {
        av_dict_set(&opts, "preset", "veryfast", 0);
        if (recipe.bitrateKbps > 0) {
            c->bit_rate = int64_t{recipe.bitrateKbps} * 1000;
            c->rc_max_rate = c->bit_rate * 3 / 2;
            c->rc_buffer_size = static_cast<int>(c->bit_rate);
        } else {
            av_dict_set(&opts, "crf", "10", 0);
        }
    }
    int ret = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) return fail(error, std::string("open ") + codec->name + ": " + avError(ret));
    m.video = avformat_new_stream(m.oc.get(), nullptr);
    if (!m.video) return fail(error, "no stream");
    m.video->time_base = c->time_base;
    m.video->avg_frame_rate = c->framerate;
    if (avcodec_parameters_from_context(m.video->codecpar, c) < 0) return fail(error, "codecpar");
    if (recipe.corruptCodecSetup) {
        const AVCodecParameters* par = m.video->codecpar;
        if (par->extradata_size == 0) return fail(error, "the encoder wrote no set-up data");
        par->extradata[par->extradata_size - 1] ^= 0xff;
    }
    if (recipe.dataStream) av_dict_set(&m.video->metadata, "timecode", "00:00:00:00", 0);
    if (recipe.rotationDegrees != 0) {
        // Written as the muxer wants it, the matrix reads back from the file as a rotation of
        // -rotationDegrees, which players (and ffprobe) take as "turn clockwise".
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(m.video, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9));
        if (!matrix) return fail(error, "display matrix");
        av_display_rotation_set(matrix, recipe.rotationDegrees);
    }
    return true;
}

bool openAudio(Muxer& m, std::string* error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return fail(error, "no AAC encoder");
    m.aenc.reset(avcodec_alloc_context3(codec));
    if (!m.aenc) return fail(error, "no memory");
    AVCodecContext* c = m.aenc.get();
    c->sample_rate = 48000;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = 64000;
    c->time_base = AVRational{1, 48000};
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (av_channel_layout_copy(&c->ch_layout, &stereo) < 0) return fail(error, "layout");
    if (m.oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int ret = avcodec_open2(c, codec, nullptr);
    if (ret < 0) return fail(error, "open aac: " + avError(ret));
    m.audio = avformat_new_stream(m.oc.get(), nullptr);
    if (!m.audio) return fail(error, "no stream");
    m.audio->time_base = c->time_base;
    if (avcodec_parameters_from_context(m.audio->codecpar, c) < 0) return fail(error, "codecpar");
    return true;
}

std::string muxerName(const std::string& container) {
    if (container == "mkv") return "matroska";
    return container;
}

}  // namespace

bool h264Available() { return avcodec_find_encoder_by_name("libx264") != nullptr; }

Rgb colourOfFrame(int index) {
    auto level = [](int v) { return static_cast<uint8_t>((v & 7) * 32 + 16); };
    return Rgb{level(index), level(index >> 3), level(index >> 6)};
}

int frameIndexOfColour(Rgb colour, int tolerance) {
    int index = 0;
    const int channels[3] = {colour.r, colour.g, colour.b};
    for (int k = 0; k < 3; ++k) {
        const int level = std::clamp((channels[k] - 16 + 16) / 32, 0, 7);
        if (std::abs(channels[k] - (level * 32 + 16)) > tolerance) return -1;
        index |= level << (3 * k);
    }
    return index;
}

std::vector<double> framePresentationSeconds(const ClipSpec& recipe) {
    std::vector<double> out;
    out.reserve(static_cast<size_t>(std::max(0, recipe.frames)));
    int64_t periods = 0;
    const double period = static_cast<double>(recipe.fpsDen) / recipe.fpsNum;
    for (int i = 0; i < recipe.frames; ++i) {
        out.push_back(static_cast<double>(periods) * period);
        periods += periodsOfFrame(recipe, i);
    }
    return out;
}

double clipDurationSeconds(const ClipSpec& recipe) {
    int64_t periods = 0;
    for (int i = 0; i < recipe.frames; ++i) periods += periodsOfFrame(recipe, i);
    return static_cast<double>(periods) * recipe.fpsDen / recipe.fpsNum;
}

int expectedFrameAt(const ClipSpec& recipe, double seconds) {
    const double duration = clipDurationSeconds(recipe);
    if (recipe.frames <= 0 || duration <= 0 || seconds < 0) return -1;
    const double within = seconds - std::floor(seconds / duration) * duration;
    const std::vector<double> times = framePresentationSeconds(recipe);
    int index = 0;
    for (int i = 0; i < recipe.frames; ++i)
        if (times[static_cast<size_t>(i)] <= within + 1e-9) index = i;
    return index;
}

Rgba centreColour(const uint8_t* pixels, int width, int height, int strideBytes) {
    const int cx = width / 2, cy = height / 2 + height / 16;  // a little below the band's reach
    int sum[4] = {}, n = 0;
    for (int y = std::max(0, cy - 2); y <= std::min(height - 1, cy + 2); ++y)
        for (int x = std::max(0, cx - 2); x <= std::min(width - 1, cx + 2); ++x) {
            const uint8_t* p = pixels + static_cast<ptrdiff_t>(y) * strideBytes + x * 4;
            for (int k = 0; k < 4; ++k) sum[k] += p[k];
            ++n;
        }
    if (n == 0) return {};
    return Rgba{static_cast<uint8_t>(sum[0] / n), static_cast<uint8_t>(sum[1] / n),
                static_cast<uint8_t>(sum[2] / n), static_cast<uint8_t>(sum[3] / n)};
}

Rgba topRowColour(const uint8_t* pixels, int width, int /*strideBytes*/) {
    const uint8_t* p = pixels + (width / 2) * 4;
    return Rgba{p[0], p[1], p[2], p[3]};
}

bool writeClip(const std::string& path, const ClipSpec& recipe, std::string* error) {
    quietFFmpegOnce();
    if (recipe.frames < 1 || recipe.width < 1 || recipe.height < 1 || recipe.fpsNum < 1 ||
        recipe.fpsDen < 1)
        return fail(error, "bad recipe");
    Muxer m;
    AVFormatContext* raw = nullptr;
    int ret = avformat_alloc_output_context2(&raw, nullptr, muxerName(recipe.container).c_str(),
                                             path.c_str());
    m.oc.reset(raw);
    if (ret < 0 || !m.oc) return fail(error, "no muxer for " + recipe.container);

    if (recipe.videoStream && !openVideo(m, recipe, error)) return false;
    if (recipe.audioStream && !openAudio(m, error)) return false;
    if (recipe.dataStream && !recipe.videoStream) return fail(error, "data stream needs video");
    if (recipe.dataStream && recipe.container != "mp4" && recipe.container != "mov")
        return fail(error, "data stream only in mov/mp4");

    if (!(m.oc->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&m.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) return fail(error, "create " + path + ": " + avError(ret));
    }
    ret = avformat_write_header(m.oc.get(), nullptr);
    if (ret < 0) return fail(error, "write header: " + avError(ret));

    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) return fail(error, "no memory");

    const int64_t startPeriods =
        std::llround(recipe.startTimeSeconds * recipe.fpsNum / static_cast<double>(recipe.fpsDen));
    if (m.venc) {
        AVCodecContext* c = m.venc.get();
        frame->format = c->pix_fmt;
        frame->width = c->width;
        frame->height = c->height;
        if (av_frame_get_buffer(frame.get(), 0) < 0) return fail(error, "frame buffer");
        SwsPtr sws(sws_getContext(recipe.width, recipe.height, AV_PIX_FMT_RGBA, recipe.width,
                                  recipe.height, c->pix_fmt, SWS_BICUBIC, nullptr, nullptr,
                                  nullptr));
        if (!sws) return fail(error, "no swscale path to the clip's pixel format");
        const AVPixFmtDescriptor* coded = av_pix_fmt_desc_get(c->pix_fmt);
        if (coded->nb_components >= 3 && !(coded->flags & AV_PIX_FMT_FLAG_RGB)) {
            const int* matrix = sws_getCoefficients(recipe.colorspace);
            sws_setColorspaceDetails(sws.get(), matrix, 1, matrix, fullRange(recipe) ? 1 : 0, 0,
                                     1 << 16, 1 << 16);
        }
        std::vector<uint8_t> rgba(static_cast<size_t>(recipe.width) * recipe.height * 4);
        int64_t periods = startPeriods;
        for (int i = 0; i < recipe.frames; ++i) {
            paintRgba(rgba, recipe, i);
            if (av_frame_make_writable(frame.get()) < 0) return fail(error, "frame writable");
            const uint8_t* src[1] = {rgba.data()};
            const int srcStride[1] = {recipe.width * 4};
            sws_scale(sws.get(), src, srcStride, 0, recipe.height, frame->data, frame->linesize);
            frame->pts = periods;
            frame->pkt_duration = periodsOfFrame(recipe, i);
            m.frameOfPts[periods] = i;
            m.durationOfPts[periods] = periodsOfFrame(recipe, i);
            periods += periodsOfFrame(recipe, i);
            if (i + 1 == recipe.timestampJumpAtFrame)
                periods += std::llround(recipe.timestampJumpSeconds * recipe.fpsNum /
                                        static_cast<double>(recipe.fpsDen));
            ret = avcodec_send_frame(c, frame.get());
            if (ret < 0) return fail(error, "send frame: " + avError(ret));
            if (!writeVideoPackets(m, recipe, pkt.get(), error)) return false;
        }
        if (avcodec_send_frame(c, nullptr) < 0) return fail(error, "flush video");
        if (!writeVideoPackets(m, recipe, pkt.get(), error)) return false;
    }
    if (m.aenc) {
        AVCodecContext* c = m.aenc.get();
        FramePtr af(av_frame_alloc());
        if (!af) return fail(error, "no memory");
        af->format = c->sample_fmt;
        af->nb_samples = c->frame_size;
        if (av_channel_layout_copy(&af->ch_layout, &c->ch_layout) < 0) return fail(error, "layout");
        af->sample_rate = c->sample_rate;
        if (av_frame_get_buffer(af.get(), 0) < 0) return fail(error, "audio buffer");
        const int64_t start = std::llround(recipe.startTimeSeconds * c->sample_rate);
        const int64_t total = std::llround(clipDurationSeconds(recipe) * c->sample_rate);
        for (int64_t s = 0; s < total; s += c->frame_size) {
            if (av_frame_make_writable(af.get()) < 0) return fail(error, "audio writable");
            for (int ch = 0; ch < c->ch_layout.nb_channels; ++ch)
                std::memset(af->data[ch], 0, static_cast<size_t>(c->frame_size) * sizeof(float));
            af->pts = start + s;
            ret = avcodec_send_frame(c, af.get());
            if (ret < 0) return fail(error, "send audio: " + avError(ret));
            if (!writeAudioPackets(m, pkt.get(), error)) return false;
        }
        if (avcodec_send_frame(c, nullptr) < 0) return fail(error, "flush audio");
        if (!writeAudioPackets(m, pkt.get(), error)) return false;
    }
    ret = av_write_trailer(m.oc.get());
    if (ret < 0) return fail(error, "trailer: " + avError(ret));
    return true;
}

std::optional<Rgba> firstPictureCentre(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    InputContextPtr input(raw);
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || avformat_find_stream_info(input.get(), nullptr) < 0) return std::nullopt;
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder ||
        avcodec_parameters_to_context(decoder.get(), input->streams[stream]->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return std::nullopt;
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    bool decoded = false;
    while (!decoded && av_read_frame(input.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == stream) avcodec_send_packet(decoder.get(), pkt.get());
        av_packet_unref(pkt.get());
        decoded = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
    }
    if (!decoded) {
        avcodec_send_packet(decoder.get(), nullptr);
        if (avcodec_receive_frame(decoder.get(), frame.get()) < 0) return std::nullopt;
    }
    const auto format = static_cast<AVPixelFormat>(frame->format);
    SwsPtr sws(sws_getContext(frame->width, frame->height, format, frame->width, frame->height,
                              AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws) return std::nullopt;
    int matrix = frame->colorspace;
    if (matrix == AVCOL_SPC_UNSPECIFIED)
        matrix = frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    const bool full = frame->color_range == AVCOL_RANGE_JPEG ||
                      std::string(av_get_pix_fmt_name(format)).starts_with("yuvj");
    sws_setColorspaceDetails(sws.get(), sws_getCoefficients(matrix), full ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    std::vector<uint8_t> rgba(static_cast<size_t>(frame->width) * frame->height * 4);
    uint8_t* dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {frame->width * 4, 0, 0, 0};
    sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    return centreColour(rgba.data(), frame->width, frame->height, frame->width * 4);
}

namespace {
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "loopstage-clips-XXXXXX").string();
        if (char* made = mkdtemp(templ.data()))
            path = made;
        else
            path = std::filesystem::temp_directory_path();
    }
    ~TempDir() {
        std::error_code ec;
        if (path != std::filesystem::temp_directory_path()) std::filesystem::remove_all(path, ec);
    }
};
}  // namespace

std::string tempClipPath(const std::string& name) {
    static TempDir dir;
    return (dir.path / name).string();
}

}  // namespace loopstage::clips
