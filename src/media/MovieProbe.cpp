#include "media/MovieProbe.h"

#include <sys/stat.h>

#include <QLoggingCategory>
#include <QPromise>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/display.h>
}

#include "media/FFmpegLog.h"
#include "platform/HostTime.h"

Q_DECLARE_LOGGING_CATEGORY(lcMovie)

namespace loopstage::media {
namespace {

using namespace ffmpeg;

// How long a drop may wait for a file to answer. Local files probe in milliseconds; a share or
// a disk that has stopped answering is given up on rather than freezing the window.
constexpr int64_t kProbeDeadlineNs = 1'500'000'000;
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

// Phone clips store their pictures sideways with a display matrix saying how to turn them.
int rotationOf(const AVStream* stream) {
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (!matrix) return 0;
    const double counterClockwise =
        av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(counterClockwise)) return 0;
    const int quarters = static_cast<int>(std::lround(-counterClockwise / 90.0));
    return ((quarters % 4) + 4) % 4 * 90;
}

int64_t toNs(int64_t ticks, AVRational tb) { return av_rescale_q(ticks, tb, kNanoseconds); }

// find_stream_info takes options by stream; this owns the dictionaries, which FFmpeg may
// replace while it consumes entries.
struct StreamOptions {
    std::vector<AVDictionary*> dicts;
    explicit StreamOptions(unsigned count) : dicts(count, nullptr) {}
    ~StreamOptions() {
        for (AVDictionary*& d : dicts) av_dict_free(&d);
    }
    StreamOptions(const StreamOptions&) = delete;
    StreamOptions& operator=(const StreamOptions&) = delete;
};

// Containers with a header (mp4, mov, mkv, avi) state every stream's codec and picture size up
// front; decoding a picture to learn what the worker will learn anyway only delays the drop.
bool headerSaysEnough(const AVFormatContext* format) {
    if (format->ctx_flags & AVFMTCTX_NOHEADER || format->nb_streams == 0) return false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* par = format->streams[i]->codecpar;
        if (par->codec_id == AV_CODEC_ID_NONE) return false;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (par->width <= 0 || par->height <= 0))
            return false;
    }
    return true;
}

int refuse(ProbeRefusal why, int status, ProbeRefusal* refusal) {
    if (refusal) *refusal = why;
    return status;
}

// Demuxers that read more than the file they are given: playlists and lists of files (which
// open whatever they name: other files, a pipe that never answers, an address on the network),
// picture sequences, scripts. A demuxer with no file of its own does its own opening.
bool readsBeyondTheFile(const AVInputFormat* format) {
    return format && ((format->flags & AVFMT_NOFILE) ||
                      av_match_name(format->name,
                                    "hls,applehttp,dash,concat,imf,image2,vobsub,sdp,rtp,rtsp,sap,"
                                    "avisynth,vapoursynth"));
}

// The one way a demuxer opens files. The context's own file passes, unless what it holds is a
// playlist or a list of files, which is refused before the list is read; any other opening (a
// list's entries, the next picture of a sequence, a reference a container names) is refused
// before anything is opened. Both are noted, so that the refusal can say why.
int openOnlyTheFile(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                    AVDictionary** options) {
    auto* in = static_cast<ReadInterrupt*>(s->opaque);
    if (!in || in->owner != s || pb != &s->pb || s->pb) {
        if (in) in->reachedFurther.store(true);
        return AVERROR(EPERM);
    }
    if (const int ret = in->openFile(s, pb, url, flags, options); ret < 0) return ret;
    // FFmpeg probes this again from the data read here, and so comes to the same demuxer.
    const AVInputFormat* format = nullptr;
    if (av_probe_input_buffer2(*pb, &format, url, s, 0, s->format_probesize) >= 0 &&
        readsBeyondTheFile(format)) {
        in->reachedFurther.store(true);
        avio_closep(pb);
        return AVERROR(EPERM);
    }
    return 0;
}

// A decoder that will not open with what the file says about its pictures would leave a clip
// that never shows anything. A throwaway one finds that out while the file can still be
// refused: single-threaded, it costs next to nothing. The worker opens its own with its share
// of threads, made on its own thread so that they share its lower priority.
int openThrowawayDecoder(const AVCodec* codec, const AVCodecParameters* par) {
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) return AVERROR(ENOMEM);
    int ret = avcodec_parameters_to_context(decoder.get(), par);
    if (ret < 0) return ret;
    decoder->thread_count = 1;
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "max_pixels", Movie::kMaxPicturePixels, 0);
    ret = avcodec_open2(decoder.get(), codec, &options);
    av_dict_free(&options);
    return ret;
}

int statusOfFile(const std::string& path, ProbeRefusal* refusal) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return refuse(errno == EACCES ? ProbeRefusal::Unreadable : ProbeRefusal::NotFound,
                      AVERROR(path.empty() ? ENOENT : errno), refusal);
    if (S_ISDIR(st.st_mode)) return refuse(ProbeRefusal::Folder, AVERROR(EISDIR), refusal);
    // A pipe, a device or a socket may never end, or never answer, once opened.
    if (!S_ISREG(st.st_mode)) return refuse(ProbeRefusal::NotRegularFile, AVERROR(EINVAL), refusal);
    if (st.st_size == 0) return refuse(ProbeRefusal::Empty, AVERROR_INVALIDDATA, refusal);
    return 0;
}

}  // namespace

int ReadInterrupt::check(void* self) {
    const auto* in = static_cast<const ReadInterrupt*>(self);
    const std::atomic<bool>* cancel = in->cancel.load();
    return (cancel && cancel->load(std::memory_order_relaxed)) ||
           platform::hostTimeNow() > in->deadlineNs.load(std::memory_order_relaxed);
}

const AVCodecParameters* MovieProbe::videoParameters() const {
    if (!demuxer_.format || facts_.videoStream < 0) return nullptr;
    return demuxer_.format->streams[facts_.videoStream]->codecpar;
}

int MovieProbe::openOnThisThread(const std::string& path, int64_t deadlineNs,
                                 const std::atomic<bool>* cancel, MovieProbe& out,
                                 ProbeRefusal* refusal) {
    installFFmpegLogging();
    if (refusal) *refusal = ProbeRefusal::None;
    if (const int status = statusOfFile(path, refusal); status < 0) return status;

    auto interrupt = std::make_unique<ReadInterrupt>();
    interrupt->deadlineNs.store(deadlineNs);
    interrupt->cancel.store(cancel);
    // Demuxers that do their own opening are chosen by the name alone, before any file is
    // opened (a picture sequence by a numbered name): ask the same question FFmpeg asks first.
    const std::string url = "file:" + path;
    AVProbeData byName{url.c_str(), nullptr, 0, nullptr};
    if (readsBeyondTheFile(av_probe_input_format(&byName, 0)))
        return refuse(ProbeRefusal::ListOfFiles, AVERROR(EPERM), refusal);

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return AVERROR(ENOMEM);
    raw->interrupt_callback = {&ReadInterrupt::check, interrupt.get()};
    interrupt->owner = raw;
    interrupt->openFile = raw->io_open;
    raw->opaque = interrupt.get();
    raw->io_open = &openOnlyTheFile;
    // Only the file itself (a name with a colon is still a file's) and, in case a later FFmpeg
    // changes its default, no references from a movie to other movies.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "enable_drefs", "0", 0);
    int ret = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    const DictionaryPtr notTaken(options);
    InputContextPtr format(raw);  // avformat_open_input frees and clears it on failure
    auto failed = [&](int status) {
        if (interrupt->reachedFurther.load())
            return refuse(ProbeRefusal::ListOfFiles, status, refusal);
        if (ReadInterrupt::check(interrupt.get()))
            return refuse(ProbeRefusal::NotAnswering, status, refusal);
        if (status == AVERROR(EACCES)) return refuse(ProbeRefusal::Unreadable, status, refusal);
        return refuse(ProbeRefusal::NotAMovie, status, refusal);
    };
    if (ret < 0) return failed(ret);
    if (readsBeyondTheFile(format->iformat)) {
        interrupt->reachedFurther.store(true);
        return failed(AVERROR(EPERM));
    }

    if (!headerSaysEnough(format.get())) {
        // Decoders used for probing must not allocate absurd pictures a header claims.
        StreamOptions probeOptions(format->nb_streams);
        for (AVDictionary*& d : probeOptions.dicts)
            av_dict_set_int(&d, "max_pixels", Movie::kMaxPicturePixels, 0);
        ret = avformat_find_stream_info(format.get(), probeOptions.dicts.data());
        if (ret < 0) return failed(ret);
    }
    // The caller's cancel flag may not outlive this call; the deadline stays until handed on.
    interrupt->cancel.store(nullptr);
    if (format->nb_streams == 0) return failed(AVERROR_INVALIDDATA);

    MovieFacts facts;
    bool anyKnownCodec = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        facts.trackTypes.push_back(mediaTypeOf(st));
        if (st->codecpar->codec_id != AV_CODEC_ID_NONE) anyKnownCodec = true;
        if (facts.videoStream < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            facts.videoStream = static_cast<int>(i);
    }
    // Probing may "find" a stream of unknown codec in noise; such a file has nothing to play.
    if (!anyKnownCodec) return failed(AVERROR_INVALIDDATA);

    if (facts.videoStream >= 0) {
        const AVStream* st = format->streams[facts.videoStream];
        const AVCodecParameters* par = st->codecpar;
        if (st->time_base.num <= 0 || st->time_base.den <= 0) return failed(AVERROR_INVALIDDATA);
        if (par->width <= 0 || par->height <= 0) return failed(AVERROR_INVALIDDATA);
        if (par->width > Movie::kMaxPictureSide || par->height > Movie::kMaxPictureSide ||
            int64_t{par->width} * par->height > Movie::kMaxPicturePixels) {
            qCInfo(lcMovie, "movie %s: picture %dx%d is larger than supported (%dx%d)",
                   path.c_str(), par->width, par->height, Movie::kMaxPictureSide,
                   Movie::kMaxPictureSide);
            return refuse(ProbeRefusal::PictureTooLarge, AVERROR(ERANGE), refusal);
        }
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (!codec) return refuse(ProbeRefusal::NoDecoder, AVERROR_DECODER_NOT_FOUND, refusal);
        if (const int opened = openThrowawayDecoder(codec, par); opened < 0) {
            qCInfo(lcMovie, "movie %s: the video decoder will not open (%s)", path.c_str(),
                   errorString(opened).c_str());
            return refuse(ProbeRefusal::CannotDecode, opened, refusal);
        }

        facts.width = par->width;
        facts.height = par->height;
        facts.frameIntervalNs = kFallbackFrameNs;
        AVRational rate = st->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) {
            const int64_t interval = av_rescale_q(1, av_inv_q(rate), kNanoseconds);
            if (interval > 0) facts.frameIntervalNs = interval;
            facts.frameRate = av_q2d(rate);
        }
        facts.codecName = codec->name;
        facts.rotationDegrees = rotationOf(st);
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            facts.estimatedDurationNs = toNs(st->duration, st->time_base);
        else if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
            facts.estimatedDurationNs = toNs(format->duration, AVRational{1, AV_TIME_BASE});
        else if (st->nb_frames > 0 &&
                 st->nb_frames <= INT64_MAX / std::max<int64_t>(facts.frameIntervalNs, 1))
            facts.estimatedDurationNs = st->nb_frames * facts.frameIntervalNs;
    }
    out.path_ = path;
    out.facts_ = std::move(facts);
    out.demuxer_.format = std::move(format);
    out.demuxer_.interrupt = std::move(interrupt);
    return 0;
}

namespace {

// Looks at files on one file system at once. A thread blocked in the kernel cannot be ended,
// only left; past this many left on a file system, a file there is refused at once rather than
// leaving one more thread behind each time.
constexpr int kMaxProbeThreads = 4;

// Probe threads that have not returned, left or not, by the file system they look at: ten files
// on a dead share chosen at once would otherwise start ten threads before any is known to be
// stuck, while files elsewhere must not wait for that share. Never destroyed: a left thread may
// return while the process ends.
struct ProbeThreads {
    std::mutex mutex;
    std::condition_variable returned;
    std::map<std::string, int> running;  // guarded by mutex
    std::map<std::string, int> left;     // guarded by mutex: given up on by their callers
};
ProbeThreads& probeThreads() {
    static auto* threads = new ProbeThreads;
    return *threads;
}

// The mount point a path lies under, from the mount table alone: looking at the path itself
// could block on the very share this is for. Symbolic links are not followed.
std::string mountPointOf(const std::string& path) {
    std::error_code error;
    const std::string full = std::filesystem::absolute(path, error).lexically_normal().string();
    std::ifstream table("/proc/self/mountinfo");
    std::string line, best = "/";
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, escaped;
        if (!(fields >> id >> parent >> device >> root >> escaped)) continue;
        std::string point;  // spaces and the like are written as \ and three octal digits
        for (size_t i = 0; i < escaped.size(); ++i) {
            const auto octal = [&](size_t k) { return escaped[k] >= '0' && escaped[k] <= '7'; };
            if (escaped[i] == '\\' && i + 3 < escaped.size() && octal(i + 1) && octal(i + 2) &&
                octal(i + 3)) {
                point += char((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                              (escaped[i + 3] - '0'));
                i += 3;
            } else {
                point += escaped[i];
            }
        }
        if (point.size() > best.size() && full.compare(0, point.size(), point) == 0 &&
            (full.size() == point.size() || full[point.size()] == '/'))
            best = point;
    }
    return best;
}

// One probe's hand-over between its thread and the caller, who may stop waiting for it.
struct ProbeJob {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;  // guarded by mutex
    bool left = false;      // guarded by mutex: the caller gave up; counted in ProbeThreads::left
    ProbeResult result;
    std::atomic<bool> abandoned{false};
};

}  // namespace

int MovieEngine::probesRunning() {
    ProbeThreads& threads = probeThreads();
    std::lock_guard lock(threads.mutex);
    int running = 0;
    for (const auto& [mount, count] : threads.running) running += count;
    return running;
}

ProbeResult probeMovie(const std::string& path) {
    // Every look at the file, the first stat included, runs on a thread of its own: a file on a
    // share that stopped answering can block a system call for minutes, and the caller is the
    // window's thread. The caller waits up to the deadline; a probe still running then is left
    // to end by itself and its result is dropped.
    auto job = std::make_shared<ProbeJob>();
    const int64_t deadline = platform::hostTimeNow() + kProbeDeadlineNs;
    const std::string mount = mountPointOf(path);
    ProbeThreads& threads = probeThreads();
    {
        std::unique_lock lock(threads.mutex);
        const bool slotFree =
            threads.left[mount] < kMaxProbeThreads &&
            threads.returned.wait_until(lock, platform::hostTimeToTimePoint(deadline),
                                        [&] { return threads.running[mount] < kMaxProbeThreads; });
        if (!slotFree) {
            qCInfo(lcMovie, "movie %s: earlier files there have not answered yet", path.c_str());
            return {AVERROR(EAGAIN), ProbeRefusal::StillWaiting, nullptr};
        }
        ++threads.running[mount];
    }
    const auto threadReturns = [mount](bool wasLeft) {
        ProbeThreads& threads = probeThreads();
        {
            std::lock_guard lock(threads.mutex);
            --threads.running[mount];
            if (wasLeft) --threads.left[mount];
        }
        threads.returned.notify_all();
    };
    try {
        std::thread([job, path, deadline, threadReturns] {
            ProbeResult result;
            try {
                auto probe = std::make_shared<MovieProbe>();
                result.status = MovieProbe::openOnThisThread(path, deadline, &job->abandoned,
                                                             *probe, &result.refusal);
                if (result.status == 0) result.probe = std::move(probe);
            } catch (const std::bad_alloc&) {
                result.status = AVERROR(ENOMEM);
                result.refusal = ProbeRefusal::NotAMovie;
            }
            bool wasLeft = false;
            {
                std::lock_guard lock(job->mutex);
                job->result = std::move(result);
                job->finished = true;
                wasLeft = job->left;
                job->done.notify_all();
            }
            threadReturns(wasLeft);
        }).detach();
    } catch (const std::system_error&) {
        threadReturns(false);
        return {AVERROR(EAGAIN), ProbeRefusal::NotAnswering, nullptr};
    }
    std::unique_lock lock(job->mutex);
    // A little past the probe's own deadline, so that a probe that honours it reports itself.
    const auto until = platform::hostTimeToTimePoint(deadline + 50'000'000);
    if (!job->done.wait_until(lock, until, [&] { return job->finished; })) {
        job->abandoned.store(true);
        job->left = true;
        {
            // Before the job's lock is let go, so the thread's return cannot come first.
            std::lock_guard threadsLock(threads.mutex);
            ++threads.left[mount];
        }
        qCInfo(lcMovie, "movie %s: the file did not answer in time", path.c_str());
        return {AVERROR(ETIMEDOUT), ProbeRefusal::NotAnswering, nullptr};
    }
    if (job->result.status < 0)
        qCInfo(lcMovie, "cannot open movie %s: %s", path.c_str(),
               errorString(job->result.status).c_str());
    return std::move(job->result);
}

ProbeResult probeMovie(const QString& path) {
    return probeMovie(std::string(path.toUtf8().constData()));
}

QFuture<ProbeResult> probeMovieLater(const QString& path) {
    auto promise = std::make_shared<QPromise<ProbeResult>>();
    promise->start();
    QFuture<ProbeResult> future = promise->future();
    try {
        std::thread([promise, path = std::string(path.toUtf8().constData())] {
            promise->addResult(probeMovie(path));
            promise->finish();
        }).detach();
    } catch (const std::system_error&) {
        promise->addResult(ProbeResult{AVERROR(EAGAIN), ProbeRefusal::NotAnswering, nullptr});
        promise->finish();
    }
    return future;
}

bool canOpenMovie(const std::string& path) { return probeMovie(path).status == 0; }

bool canOpenMovie(const QString& path) { return probeMovie(path).status == 0; }

}  // namespace loopstage::media
