#include "platform/Movie.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

#include "platform/FFmpegHandles.h"
#include "platform/FFmpegLog.h"
#include "platform/FramePool.h"
#include "platform/HostTime.h"
#include "platform/MovieClock.h"

// Details of why a file does not open or play are for developers
// (QT_LOGGING_RULES="loopstage.movie.info=true"); users get the program's documented lines.
Q_LOGGING_CATEGORY(lcMovie, "loopstage.movie", QtWarningMsg)

namespace loopstage::platform {
namespace {

using namespace ffmpeg;

// One decoding thread per movie and no codec threads: the machine has 2 cores and plays many
// clips at once, so movies already decode in parallel; codec threads would also be created by
// avcodec_open2 on the main thread and so escape the worker's lowered priority.
constexpr int kDecoderThreads = 1;
// Frames per movie: kMaxQueued decoded ahead of the clock, up to two lent to the sink (the one
// on screen and the one replacing it) and one being written by the worker.
constexpr int kPoolSlots = 6;
constexpr int kMaxQueued = 3;
// Niceness of decode workers: below the render thread, which must hit every refresh.
constexpr int kWorkerNice = 5;
// Passes in a row that yield no picture before the worker gives up on a clip.
constexpr int kMaxFailedPasses = 3;
// Frame period assumed when the file states no frame rate at all.
constexpr int64_t kFallbackFrameNs = 40'000'000;
constexpr AVRational kNanoseconds{1, 1'000'000'000};

uint32_t mediaTypeOf(const AVStream* st) {
    switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            return kVideoMediaType;
        case AVMEDIA_TYPE_AUDIO:
            return kSoundMediaType;
        case AVMEDIA_TYPE_SUBTITLE: {
            const AVCodecDescriptor* desc = avcodec_descriptor_get(st->codecpar->codec_id);
            return desc && (desc->props & AV_CODEC_PROP_TEXT_SUB) ? kTextMediaType
                                                                  : kSubtitleMediaType;
        }
        default:
            return kDataMediaType;
    }
}

// find_stream_info and avcodec_open2 take options by stream; this owns the dictionaries, which
// FFmpeg may replace while it consumes entries.
struct StreamOptions {
    std::vector<AVDictionary*> dicts;
    explicit StreamOptions(unsigned count) : dicts(count, nullptr) {}
    ~StreamOptions() {
        for (AVDictionary*& d : dicts) av_dict_free(&d);
    }
    StreamOptions(const StreamOptions&) = delete;
    StreamOptions& operator=(const StreamOptions&) = delete;
};

// What opening a file yields: enough to decode its video, or to list its tracks.
struct Media {
    InputContextPtr format;
    CodecContextPtr decoder;
    int videoStream = -1;
    int width = 0, height = 0;
    AVRational timeBase{0, 1};
    int64_t frameIntervalNs = kFallbackFrameNs;
    int64_t estimatedDurationNs = 0;
    std::string codecName;
    double frameRate = 0;
    int rotationDegrees = 0;  // clockwise turn that stands the picture upright
    std::vector<uint32_t> trackTypes;
};

// Phone clips store their pictures sideways with a display matrix saying how to turn them.
int rotationOf(const AVStream* stream) {
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!matrix) return 0;
    const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(counterClockwise)) return 0;
    const int quarters = static_cast<int>(std::lround(-counterClockwise / 90.0));
    return ((quarters % 4) + 4) % 4 * 90;
}

int64_t toNs(int64_t ticks, AVRational tb) { return av_rescale_q(ticks, tb, kNanoseconds); }

int openMedia(const std::string& path, Media& out) {
    installFFmpegLogging();
    if (path.empty()) return AVERROR(ENOENT);

    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    InputContextPtr format(raw);
    if (ret < 0) return ret;

    {
        // Decoders used for probing must not allocate absurd pictures a header claims.
        StreamOptions probeOptions(format->nb_streams);
        for (AVDictionary*& d : probeOptions.dicts)
            av_dict_set_int(&d, "max_pixels", Movie::kMaxPicturePixels, 0);
        ret = avformat_find_stream_info(format.get(), probeOptions.dicts.data());
        if (ret < 0) return ret;
    }
    if (format->nb_streams == 0) return AVERROR_INVALIDDATA;

    Media media;
    bool anyKnownCodec = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        media.trackTypes.push_back(mediaTypeOf(st));
        if (st->codecpar->codec_id != AV_CODEC_ID_NONE) anyKnownCodec = true;
        if (media.videoStream < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            media.videoStream = static_cast<int>(i);
    }
    // Probing may "find" a stream of unknown codec in noise; such a file has nothing to play.
    if (!anyKnownCodec) return AVERROR_INVALIDDATA;

    if (media.videoStream >= 0) {
        AVStream* st = format->streams[media.videoStream];
        const AVCodecParameters* par = st->codecpar;
        if (st->time_base.num <= 0 || st->time_base.den <= 0) return AVERROR_INVALIDDATA;
        if (par->width <= 0 || par->height <= 0) return AVERROR_INVALIDDATA;
        if (par->width > Movie::kMaxPictureSide || par->height > Movie::kMaxPictureSide ||
            int64_t{par->width} * par->height > Movie::kMaxPicturePixels) {
            qCInfo(lcMovie, "movie %s: picture %dx%d is larger than supported (%dx%d)",
                      path.c_str(), par->width, par->height, Movie::kMaxPictureSide,
                      Movie::kMaxPictureSide);
            return AVERROR(ERANGE);
        }
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (!codec) return AVERROR_DECODER_NOT_FOUND;
        CodecContextPtr decoder(avcodec_alloc_context3(codec));
        if (!decoder) return AVERROR(ENOMEM);
        if ((ret = avcodec_parameters_to_context(decoder.get(), par)) < 0) return ret;
        decoder->pkt_timebase = st->time_base;
        decoder->thread_count = kDecoderThreads;
        StreamOptions decoderOptions(1);
        av_dict_set_int(&decoderOptions.dicts[0], "max_pixels", Movie::kMaxPicturePixels, 0);
        if ((ret = avcodec_open2(decoder.get(), codec, &decoderOptions.dicts[0])) < 0) return ret;

        media.decoder = std::move(decoder);
        media.width = par->width;
        media.height = par->height;
        media.timeBase = st->time_base;
        AVRational rate = st->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) {
            const int64_t interval = av_rescale_q(1, av_inv_q(rate), kNanoseconds);
            if (interval > 0) media.frameIntervalNs = interval;
            media.frameRate = av_q2d(rate);
        }
        media.codecName = codec->name;
        media.rotationDegrees = rotationOf(st);
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            media.estimatedDurationNs = toNs(st->duration, st->time_base);
        else if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
            media.estimatedDurationNs = toNs(format->duration, AVRational{1, AV_TIME_BASE});
        else if (st->nb_frames > 0)
            media.estimatedDurationNs = st->nb_frames * media.frameIntervalNs;
    }
    media.format = std::move(format);
    out = std::move(media);
    return 0;
}

std::mutex g_registryMutex;
std::vector<Movie*> g_registry;

void setWorkerThreadTraits() {
    // Niceness is per thread on Linux; failure (e.g. a sandbox forbids it) only costs priority.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, tid, kWorkerNice);
    (void)pthread_setname_np(pthread_self(), "loopstage-dec");
}

enum class Step { Continue, Ended, Stopped, Restarted, VideoDisabled };

}  // namespace

struct Movie::Impl {
    std::string path;
    FrameSink* sink = nullptr;

    // Demuxer and decoder: the main thread uses them during open and while no worker runs;
    // otherwise only the worker does. Starting and joining the worker orders the hand-overs.
    Media media;
    std::shared_ptr<FramePool> pool;
    std::thread worker;                      // main thread only
    std::atomic<bool> workerRunning{false};  // mirrors worker.joinable() for other threads

    // Clock, written by the main thread, read by the render thread and the worker.
    mutable std::mutex clockMutex;
    int64_t hostAtRateSet = 0;
    int64_t timeAtRateSet = 0;
    int32_t rate = 0;

    std::atomic<uint32_t> timeBaseFlags{0};
    std::unique_ptr<std::atomic<bool>[]> trackEnabled;
    std::unique_ptr<std::atomic<int64_t>[]> trackPackets;
    int trackCount = 0;

    std::atomic<int64_t> durationNs{0};
    std::atomic<bool> durationMeasured{false};
    std::atomic<int> sizeLimitWidth{0}, sizeLimitHeight{0};

    struct Counters {
        std::atomic<int64_t> decoded{0}, converted{0}, skippedLate{0}, wraps{0}, decodeErrors{0},
            failedPasses{0}, reopens{0};
        std::atomic<bool> gaveUp{false};
    } counters;

    // Trouble posted by the worker for task() to log: the first error code of each kind.
    struct Posted {
        std::atomic<int> decode{0}, read{0}, seek{0}, convert{0};
    } posted;
    struct Logged {
        bool decode = false, read = false, seek = false, convert = false, gaveUp = false;
    } logged;  // main thread only

    // ---- Worker-only decoding state (the main thread reads it only while no worker runs).
    struct Decoding {
        PacketPtr packet;
        FramePtr frame;
        FramePtr held;  // the newest picture skipped as late, shown if the pass ends on it
        int64_t heldTimeNs = 0, heldIteration = 0;
        SwsContextPtr sws;
        int swsColorspace = -1, swsRange = -1;
        uint64_t generation = 0;
        int64_t iteration = 0;
        bool firstPtsKnown = false;
        int64_t firstPts = 0;
        int64_t passFrames = 0;
        int64_t passEndNs = 0;  // max over the pass of (relative time + duration)
        int64_t lastRelNs = -1, lastDurNs = 0;
        int consecutiveFailedPasses = 0;
        bool firstPassDone = false;
        bool singlePicture = false;  // the first pass yielded one picture: never re-decoded
        bool parked = false;         // that picture is out; nothing to do until a restart
    } dec;

    // ---------------------------------------------------------------- clock
    int64_t movieTimeAtLocked(int64_t hostNs) const {
        return movieTimeAfter(timeAtRateSet, hostNs - hostAtRateSet, rate);
    }
    int64_t movieTimeAt(int64_t hostNs) const {
        std::lock_guard lock(clockMutex);
        return movieTimeAtLocked(hostNs);
    }

    bool trackOn(int stream) const { return trackEnabled[static_cast<size_t>(stream)].load(); }
    bool videoEnabled() const { return media.videoStream >= 0 && trackOn(media.videoStream); }
    bool looping() const { return timeBaseFlags.load() & kLoopTimeBase; }

    static void post(std::atomic<int>& slot, int code) {
        int expected = 0;
        slot.compare_exchange_strong(expected, code ? code : AVERROR_UNKNOWN);
    }

    // ---------------------------------------------------------------- worker
    void run() {
        setWorkerThreadTraits();
        try {
            decodeLoop();
        } catch (const std::exception& e) {
            qCCritical(lcMovie, "movie %s: decode worker stopped: %s", path.c_str(), e.what());
        } catch (...) {
            qCCritical(lcMovie, "movie %s: decode worker stopped", path.c_str());
        }
    }

    void decodeLoop() {
        for (;;) {
            const FramePool::Control c = pool->waitUntil([&](const FramePool::Control& ctl, bool) {
                return ctl.stop || ctl.generation != dec.generation ||
                       (videoEnabled() && !counters.gaveUp.load() && !dec.parked);
            });
            if (c.stop) return;
            if (c.generation != dec.generation) {
                restartDecoding(c.generation);
                continue;
            }
            switch (decodePass()) {
                case Step::Stopped:
                    return;
                case Step::Restarted:
                case Step::VideoDisabled:
                case Step::Continue:
                    continue;
                case Step::Ended:
                    break;
            }
            if (finishPass() == Step::Stopped) return;
        }
    }

    void resetPass() {
        dec.passFrames = 0;
        dec.passEndNs = 0;
        dec.lastRelNs = -1;
        dec.lastDurNs = 0;
        av_frame_unref(dec.held.get());
    }

    void restartDecoding(uint64_t generation) {
        dec.generation = generation;
        dec.iteration = 0;
        dec.parked = false;
        dec.consecutiveFailedPasses = 0;
        counters.gaveUp.store(false);
        resetPass();
        if (!seekToStart()) giveUp();
    }

    void giveUp() { counters.gaveUp.store(true); }

    // Ends a pass at end of stream: measures, then waits for the loop flag and wraps.
    Step finishPass() {
        if (dec.passFrames == 0) {
            counters.failedPasses.fetch_add(1);
            if (++dec.consecutiveFailedPasses >= kMaxFailedPasses) {
                giveUp();
                return Step::Continue;
            }
        } else {
            dec.consecutiveFailedPasses = 0;
            if (!dec.firstPassDone) {
                dec.firstPassDone = true;
                if (dec.passEndNs > 0) durationNs.store(dec.passEndNs);
                durationMeasured.store(true);
                // One picture needs no re-decoding: it stays on screen for ever.
                dec.singlePicture = dec.passFrames == 1;
            }
        }
        if (hasPicture(dec.held.get())) {
            // The pass ended on a late picture; a stopping movie must still show its last frame.
            if (!looping() || dec.singlePicture) {
                const Step s = convertAndPublish(dec.held.get(), dec.heldTimeNs, dec.heldIteration);
                if (s == Step::Stopped || s == Step::Restarted) return s;
            }
            av_frame_unref(dec.held.get());
        }
        if (dec.singlePicture) {
            dec.parked = true;  // decodeLoop waits for a restart or stop
            return Step::Continue;
        }

        const FramePool::Control c = pool->waitUntil([&](const FramePool::Control& ctl, bool) {
            return ctl.stop || ctl.generation != dec.generation || looping();
        });
        if (c.stop) return Step::Stopped;
        if (c.generation != dec.generation) return Step::Restarted;

        if (!seekToStart()) {
            giveUp();
            return Step::Continue;
        }
        int64_t next = dec.iteration + 1;
        const int64_t duration = durationNs.load();
        if (dec.firstPassDone && duration > 0) {
            // After a long stall (the render thread stopped taking frames, or the machine was
            // busy) jump to the clock's pass instead of decoding every missed one.
            const int64_t clockPass = movieTimeAt(hostTimeNow()) / duration;
            next = std::max(next, clockPass);
        }
        dec.iteration = next;
        counters.wraps.fetch_add(1);
        resetPass();
        return Step::Continue;
    }

    static bool hasPicture(const AVFrame* f) { return f->buf[0] != nullptr; }

    bool seekToStart() {
        if (media.videoStream < 0) return false;
        AVStream* st = media.format->streams[media.videoStream];
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        int ret =
            avformat_seek_file(media.format.get(), media.videoStream, INT64_MIN, start, start, 0);
        if (ret < 0)
            ret = av_seek_frame(media.format.get(), media.videoStream, start, AVSEEK_FLAG_BACKWARD);
        if (ret >= 0) {
            avcodec_flush_buffers(media.decoder.get());
            return true;
        }
        post(posted.seek, ret);
        return reopen();
    }

    // Some demuxers cannot seek (pipes of images, some broken files): open the file afresh.
    bool reopen() {
        Media fresh;
        if (openMedia(path, fresh) < 0) return false;
        if (fresh.videoStream != media.videoStream ||
            fresh.trackTypes.size() != media.trackTypes.size())
            return false;
        counters.reopens.fetch_add(1);
        media.format = std::move(fresh.format);
        media.decoder = std::move(fresh.decoder);
        return true;
    }

    void applyDiscard() {
        for (int i = 0; i < trackCount; ++i)
            media.format->streams[i]->discard = trackOn(i) ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }

    Step checkControl() {
        const FramePool::Control c = pool->control();
        if (c.stop) return Step::Stopped;
        if (c.generation != dec.generation) return Step::Restarted;
        if (!videoEnabled()) return Step::VideoDisabled;
        return Step::Continue;
    }

    Step decodePass() {
        AVPacket* pkt = dec.packet.get();
        for (;;) {
            if (const Step s = checkControl(); s != Step::Continue) return s;
            applyDiscard();
            int ret = av_read_frame(media.format.get(), pkt);
            if (ret == AVERROR(EAGAIN)) {
                // Only network-like inputs say "not yet"; do not spin a core while they wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (ret < 0) {
                if (ret != AVERROR_EOF) post(posted.read, ret);
                // Drain: the decoder still holds the last pictures (B-frame reordering).
                avcodec_send_packet(media.decoder.get(), nullptr);
                const Step s = receiveAll();
                return s == Step::Continue ? Step::Ended : s;
            }
            if (pkt->stream_index >= 0 && pkt->stream_index < trackCount)
                trackPackets[static_cast<size_t>(pkt->stream_index)].fetch_add(
                    1, std::memory_order_relaxed);
            if (pkt->stream_index != media.videoStream) {
                av_packet_unref(pkt);
                continue;
            }
            ret = avcodec_send_packet(media.decoder.get(), pkt);
            if (ret == AVERROR(EAGAIN)) {
                if (const Step s = receiveAll(); s != Step::Continue) {
                    av_packet_unref(pkt);
                    return s;
                }
                ret = avcodec_send_packet(media.decoder.get(), pkt);
            }
            av_packet_unref(pkt);
            if (ret < 0 && ret != AVERROR_EOF) {
                counters.decodeErrors.fetch_add(1);
                post(posted.decode, ret);
                continue;
            }
            if (const Step s = receiveAll(); s != Step::Continue) return s;
        }
    }

    Step receiveAll() {
        AVFrame* frame = dec.frame.get();
        for (;;) {
            const int ret = avcodec_receive_frame(media.decoder.get(), frame);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Step::Continue;
            if (ret < 0) {
                counters.decodeErrors.fetch_add(1);
                post(posted.decode, ret);
                return Step::Continue;
            }
            counters.decoded.fetch_add(1);
            const Step s = deliver(frame);
            av_frame_unref(frame);
            if (s != Step::Continue) return s;
        }
    }

    Step deliver(AVFrame* frame) {
        ++dec.passFrames;
        const int64_t pts = frame->best_effort_timestamp;
        int64_t durNs = frame->pkt_duration > 0 ? toNs(frame->pkt_duration, media.timeBase) : 0;
        if (durNs <= 0) durNs = media.frameIntervalNs;
        int64_t relNs;
        if (pts != AV_NOPTS_VALUE) {
            if (!dec.firstPtsKnown) {
                dec.firstPtsKnown = true;
                dec.firstPts = pts;
            }
            relNs = toNs(pts - dec.firstPts, media.timeBase);
        } else {
            // No timestamp: count frames at the nominal rate from the previous picture.
            relNs = dec.lastRelNs < 0 ? 0 : dec.lastRelNs + dec.lastDurNs;
        }
        // Times within a pass never go back, so the queue stays ordered even for broken files.
        relNs = std::max(relNs, std::max<int64_t>(dec.lastRelNs, 0));
        dec.lastRelNs = relNs;
        dec.lastDurNs = durNs;
        dec.passEndNs = std::max(dec.passEndNs, relNs + durNs);
        const int64_t timeNs = unwrappedFrameTime(dec.iteration, durationNs.load(), relNs);

        // Wait for room before judging lateness: the clock moves while the queue is full.
        const FramePool::Control c = pool->waitUntil([&](const FramePool::Control& ctl, bool room) {
            return ctl.stop || ctl.generation != dec.generation || room;
        });
        if (c.stop) return Step::Stopped;
        if (c.generation != dec.generation) return Step::Restarted;

        if (timeNs + durNs <= movieTimeAt(hostTimeNow())) {
            // Already superseded: the next picture is due, so converting this one is wasted.
            counters.skippedLate.fetch_add(1);
            av_frame_unref(dec.held.get());
            av_frame_move_ref(dec.held.get(), frame);
            dec.heldTimeNs = timeNs;
            dec.heldIteration = dec.iteration;
            return Step::Continue;
        }
        av_frame_unref(dec.held.get());
        return convertAndPublish(frame, timeNs, dec.iteration);
    }

    Step convertAndPublish(AVFrame* frame, int64_t timeNs, int64_t iteration) {
        int slot = -1;
        while (slot < 0) {
            const FramePool::Control c =
                pool->waitUntil([&](const FramePool::Control& ctl, bool room) {
                    return ctl.stop || ctl.generation != dec.generation || room;
                });
            if (c.stop) return Step::Stopped;
            if (c.generation != dec.generation) return Step::Restarted;
            slot = pool->acquire(dec.generation);
        }
        const int width = limitedSide(pool->width(), sizeLimitWidth.load(std::memory_order_relaxed));
        const int height =
            limitedSide(pool->height(), sizeLimitHeight.load(std::memory_order_relaxed));
        if (!convert(frame, pool->pixelsOf(slot), width, height)) {
            pool->abandon(slot);
            return Step::Continue;
        }
        counters.converted.fetch_add(1);
        return pool->publish(slot, timeNs, iteration, dec.generation, width, height)
                   ? Step::Continue
                   : Step::Restarted;
    }

    static int limitedSide(int side, int limit) { return limit > 0 ? std::min(side, limit) : side; }

    bool convert(const AVFrame* frame, uint8_t* pixels, int width, int height) {
        const auto format = static_cast<AVPixelFormat>(frame->format);
        // A picture whose size changed mid-stream is scaled to the size announced at open (or
        // the limit below it), so the pool keeps its size. Scaling here, while converting, costs
        // little more than the conversion and saves the upload and the texture memory. Area
        // averaging keeps large reductions free of aliasing and measured a little cheaper than
        // bilinear on 720p pictures reduced to billboard size.
        const SwsContext* previous = dec.sws.get();
        dec.sws.reset(sws_getCachedContext(dec.sws.release(), frame->width, frame->height, format,
                                           width, height, AV_PIX_FMT_RGBA, SWS_AREA, nullptr,
                                           nullptr, nullptr));
        // A new context (another size) starts with default colour details.
        if (dec.sws.get() != previous) dec.swsColorspace = dec.swsRange = -1;
        if (!dec.sws) {
            post(posted.convert, AVERROR(ENOSYS));
            return false;
        }
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
            const bool jpegFormat = format == AV_PIX_FMT_YUVJ420P ||
                                    format == AV_PIX_FMT_YUVJ422P ||
                                    format == AV_PIX_FMT_YUVJ444P ||
                                    format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
            const int range = (jpegFormat || frame->color_range == AVCOL_RANGE_JPEG) ? 1 : 0;
            if (colorspace != dec.swsColorspace || range != dec.swsRange) {
                sws_setColorspaceDetails(dec.sws.get(), sws_getCoefficients(colorspace), range,
                                         sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                                         1 << 16);
                dec.swsColorspace = colorspace;
                dec.swsRange = range;
            }
        }
        uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
        const int dstStride[4] = {pool->strideBytes(), 0, 0, 0};
        const int rows = sws_scale(dec.sws.get(), frame->data, frame->linesize, 0, frame->height,
                                   dst, dstStride);
        if (rows <= 0) {
            post(posted.convert, rows < 0 ? rows : AVERROR(EINVAL));
            return false;
        }
        return true;
    }

    // ---------------------------------------------------------------- main thread
    bool startWorker() {
        if (worker.joinable() || !pool) return worker.joinable();
        pool->clearStop();
        try {
            worker = std::thread([this] { run(); });
            workerRunning.store(true);
        } catch (const std::system_error& e) {
            qCWarning(lcMovie, "movie %s: cannot start decode worker: %s", path.c_str(), e.what());
            return false;
        }
        return true;
    }

    void stopWorker() {
        if (!worker.joinable()) return;
        pool->requestStop();
        worker.join();
        workerRunning.store(false);
    }
};

// -------------------------------------------------------------------- Movie

Movie::Movie(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}

void Movie::setPictureSizeLimit(int maxWidth, int maxHeight) {
    d_->sizeLimitWidth.store(std::max(0, maxWidth), std::memory_order_relaxed);
    d_->sizeLimitHeight.store(std::max(0, maxHeight), std::memory_order_relaxed);
}

int Movie::open(const MovieOpenProperties& properties, std::unique_ptr<Movie>& out) {
    out.reset();
    try {
        auto impl = std::make_unique<Impl>();
        impl->path = properties.path;
        const int ret = openMedia(properties.path, impl->media);
        if (ret < 0) {
            qCInfo(lcMovie, "cannot open movie %s: %s", properties.path.c_str(),
                   errorString(ret).c_str());
            return ret;
        }
        Media& m = impl->media;
        impl->trackCount = static_cast<int>(m.trackTypes.size());
        impl->trackEnabled = std::make_unique<std::atomic<bool>[]>(m.trackTypes.size());
        impl->trackPackets = std::make_unique<std::atomic<int64_t>[]>(m.trackTypes.size());
        for (int i = 0; i < impl->trackCount; ++i) {
            impl->trackEnabled[static_cast<size_t>(i)].store(true);
            impl->trackPackets[static_cast<size_t>(i)].store(0);
        }
        impl->durationNs.store(m.estimatedDurationNs);
        impl->hostAtRateSet = hostTimeNow();
        if (m.videoStream >= 0) {
            impl->dec.packet.reset(av_packet_alloc());
            impl->dec.frame.reset(av_frame_alloc());
            impl->dec.held.reset(av_frame_alloc());
            if (!impl->dec.packet || !impl->dec.frame || !impl->dec.held) return AVERROR(ENOMEM);
            impl->pool = std::make_shared<FramePool>(m.width, m.height, kPoolSlots, kMaxQueued);
        }
        {
            std::lock_guard lock(g_registryMutex);
            g_registry.reserve(g_registry.size() + 1);
        }
        std::unique_ptr<Movie> movie(new Movie(std::move(impl)));
        if (properties.active && movie->d_->pool && !movie->d_->startWorker())
            return AVERROR(EAGAIN);
        {
            std::lock_guard lock(g_registryMutex);
            g_registry.push_back(movie.get());
        }
        if (properties.visualContext) {
            // Set only once attached: the destructor detaches exactly what was attached.
            properties.visualContext->attachMovie(movie.get());
            movie->d_->sink = properties.visualContext;
        }
        out = std::move(movie);
        return 0;
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    } catch (...) {
        return AVERROR_UNKNOWN;
    }
}

Movie::~Movie() {
    if (d_->sink) d_->sink->detachMovie(this);
    {
        std::lock_guard lock(g_registryMutex);
        g_registry.erase(std::remove(g_registry.begin(), g_registry.end(), this), g_registry.end());
    }
    d_->stopWorker();
}

const std::string& Movie::path() const { return d_->path; }

void Movie::goToBeginning() {
    {
        std::lock_guard lock(d_->clockMutex);
        d_->timeAtRateSet = 0;
        d_->hostAtRateSet = hostTimeNow();
    }
    if (d_->pool) d_->pool->restart();
}

void Movie::setRate(int32_t fixed16_16) {
    const int64_t now = hostTimeNow();
    std::lock_guard lock(d_->clockMutex);
    d_->timeAtRateSet = d_->movieTimeAtLocked(now);
    d_->hostAtRateSet = now;
    d_->rate = std::max<int32_t>(0, fixed16_16);
}

int32_t Movie::rate() const {
    std::lock_guard lock(d_->clockMutex);
    return d_->rate;
}

int64_t Movie::movieTimeAt(int64_t hostNs) const { return d_->movieTimeAt(hostNs); }

void Movie::setTimeBaseFlags(uint32_t flags) {
    d_->timeBaseFlags.store(flags);
    if (d_->pool) d_->pool->poke();
}

uint32_t Movie::timeBaseFlags() const { return d_->timeBaseFlags.load(); }

int Movie::trackCount() const { return d_->trackCount; }

uint32_t Movie::trackMediaType(int track) const {
    if (track < 1 || track > d_->trackCount) return 0;
    return d_->media.trackTypes[static_cast<size_t>(track - 1)];
}

bool Movie::trackEnabled(int track) const {
    if (track < 1 || track > d_->trackCount) return false;
    return d_->trackOn(track - 1);
}

void Movie::setTrackEnabled(int track, bool enabled) {
    if (track < 1 || track > d_->trackCount) return;
    d_->trackEnabled[static_cast<size_t>(track - 1)].store(enabled);
    if (d_->pool) d_->pool->poke();
}

int64_t Movie::trackPacketsRead(int track) const {
    if (track < 1 || track > d_->trackCount) return 0;
    return d_->trackPackets[static_cast<size_t>(track - 1)].load(std::memory_order_relaxed);
}

int64_t Movie::durationNs() const { return d_->durationNs.load(); }
bool Movie::durationIsMeasured() const { return d_->durationMeasured.load(); }
const std::string& Movie::codecName() const { return d_->media.codecName; }
double Movie::frameRate() const { return d_->media.frameRate; }
int Movie::rotationDegrees() const { return d_->media.rotationDegrees; }

int Movie::width() const { return d_->media.width; }
int Movie::height() const { return d_->media.height; }
bool Movie::hasVideo() const { return d_->media.videoStream >= 0; }

int64_t Movie::newestSerialAt(int64_t hostNs) const {
    return d_->pool ? d_->pool->newestSerial(d_->movieTimeAt(hostNs)) : 0;
}

FrameRef Movie::takeNewestFrameAt(int64_t hostNs) {
    return d_->pool ? d_->pool->takeNewest(d_->movieTimeAt(hostNs)) : FrameRef();
}

bool Movie::peekNewestFrameAt(int64_t hostNs, DecodedFrame& out) const {
    return d_->pool && d_->pool->peekNewest(d_->movieTimeAt(hostNs), out);
}

int64_t Movie::decodedAheadUntilNs() const {
    return d_->pool ? d_->pool->newestQueuedTimeNs() : INT64_MIN;
}

void Movie::setActive(bool active) {
    if (active)
        d_->startWorker();
    else
        d_->stopWorker();
}

bool Movie::isActive() const { return d_->workerRunning.load(); }

void Movie::task() {
    Impl& d = *d_;
    auto once = [&](bool& logged, const std::atomic<int>& code, const char* what) {
        const int c = code.load();
        if (logged || c == 0) return;
        logged = true;
        qCInfo(lcMovie, "movie %s: %s (%s)", d.path.c_str(), what, errorString(c).c_str());
    };
    once(d.logged.decode, d.posted.decode, "corrupt video data; bad frames are skipped");
    once(d.logged.read, d.posted.read, "read error; treated as the end of the movie");
    once(d.logged.seek, d.posted.seek, "cannot seek back to the start; reopening to loop");
    once(d.logged.convert, d.posted.convert, "cannot convert pictures to RGBA");
    if (!d.logged.gaveUp && d.counters.gaveUp.load()) {
        d.logged.gaveUp = true;
        qCInfo(lcMovie, "movie %s: no picture could be decoded; playback of it stopped",
                  d.path.c_str());
    }
}

MovieCounters Movie::counters() const {
    const Impl::Counters& c = d_->counters;
    MovieCounters out;
    out.framesDecoded = c.decoded.load();
    out.framesConverted = c.converted.load();
    out.framesSkippedLate = c.skippedLate.load();
    out.loopWraps = c.wraps.load();
    out.decodeErrors = c.decodeErrors.load();
    out.failedPasses = c.failedPasses.load();
    out.reopens = c.reopens.load();
    out.gaveUp = c.gaveUp.load();
    return out;
}

int Movie::framesInUse() const { return d_->pool ? d_->pool->inUse() : 0; }
int Movie::poolSize() const { return d_->pool ? d_->pool->slotCount() : 0; }

// -------------------------------------------------------------------- engine

void MovieEngine::task() {
    std::lock_guard lock(g_registryMutex);
    for (Movie* m : g_registry) m->task();
}

int MovieEngine::openMovieCount() {
    std::lock_guard lock(g_registryMutex);
    return static_cast<int>(g_registry.size());
}

bool canOpenMovie(const std::string& path) {
    try {
        Media media;
        return openMedia(path, media) == 0;
    } catch (...) {
        return false;
    }
}

bool canOpenMovie(const QString& path) {
    return canOpenMovie(std::string(path.toUtf8().constData()));
}

}  // namespace loopstage::platform
