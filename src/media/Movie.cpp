#include "media/Movie.h"

#include <QLoggingCategory>
#include <algorithm>
#include <atomic>
#include <climits>
#include <new>

#include "media/DecodeWorker.h"
#include "media/FFmpegHandles.h"
#include "media/FramePool.h"
#include "media/MovieProbe.h"
#include "media/MovieRegistry.h"
#include "media/MovieShared.h"
#include "platform/HostTime.h"

// Details of why a file does not open or play are for developers
// (QT_LOGGING_RULES="loopstage.movie.info=true"); users get the program's documented lines.
Q_LOGGING_CATEGORY(lcMovie, "loopstage.movie", QtWarningMsg)

namespace loopstage::media {
namespace {

// Frames per movie: kMaxQueued decoded ahead of the clock, up to two lent to the sink (the one
// on screen and the one replacing it) and one being written by the worker.
constexpr int kPoolSlots = 6;
constexpr int kMaxQueued = 3;

}  // namespace

struct Movie::Impl {
    std::string path;
    FrameSink* sink = nullptr;
    std::shared_ptr<MovieShared> shared;
    std::unique_ptr<DecodeWorker> worker;  // null without video

    struct Logged {
        bool decode = false, read = false, seek = false, convert = false, open = false,
             gaveUp = false;
        bool gaveUpNoticed = false;  // takeGaveUpNotice has said so
    } logged;                        // main thread only
};

// -------------------------------------------------------------------- Movie

Movie::Movie(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}

int Movie::open(const MovieOpenProperties& properties, std::unique_ptr<Movie>& out) {
    out.reset();
    try {
        std::shared_ptr<MovieProbe> probe = properties.probe;
        if (!probe || probe->path() != properties.path || !probe->hasDemuxer()) {
            ProbeResult probed = probeMovie(properties.path);
            if (probed.status < 0) return probed.status;
            probe = std::move(probed.probe);
        }
        auto impl = std::make_unique<Impl>();
        impl->path = properties.path;
        impl->shared = std::make_shared<MovieShared>(probe->facts(), platform::hostTimeNow());
        MovieShared& shared = *impl->shared;
        shared.sizeLimitWidth.store(std::max(0, properties.initialMaxWidth));
        shared.sizeLimitHeight.store(std::max(0, properties.initialMaxHeight));
        shared.firstPictureQueued = properties.firstPictureQueued;
        if (shared.facts.videoStream >= 0) {
            shared.pool = std::make_shared<FramePool>(shared.facts.width, shared.facts.height,
                                                      kPoolSlots, kMaxQueued);
            impl->worker =
                std::make_unique<DecodeWorker>(impl->shared, probe->takeDemuxer(), impl->path);
        }
        std::unique_ptr<Movie> movie(new Movie(std::move(impl)));
        // Counted before its worker reads the thread budget; the destructor uncounts it.
        movieRegistry::add(movie.get(), movie->d_->worker != nullptr);
        if (properties.active && movie->d_->worker && !movie->d_->worker->start())
            return AVERROR(EAGAIN);
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
    movieRegistry::remove(this);
    DecodeWorker::dispose(std::move(d_->worker));
}

const std::string& Movie::path() const { return d_->path; }

void Movie::goToBeginning() {
    d_->shared->clock.goToBeginning(platform::hostTimeNow());
    if (d_->shared->pool) d_->shared->pool->restart();
}

void Movie::setRate(int32_t fixed16_16) {
    d_->shared->clock.setRate(fixed16_16, platform::hostTimeNow());
}

int32_t Movie::rate() const { return d_->shared->clock.rate(); }

int64_t Movie::movieTimeAt(int64_t hostNs) const { return d_->shared->clock.timeAt(hostNs); }

int64_t Movie::hostTimeAtMovieTime(int64_t movieNs) const {
    return d_->shared->clock.hostTimeAt(movieNs);
}

void Movie::setTimeBaseFlags(uint32_t flags) {
    d_->shared->timeBaseFlags.store(flags);
    if (d_->shared->pool) d_->shared->pool->poke();
}

uint32_t Movie::timeBaseFlags() const { return d_->shared->timeBaseFlags.load(); }

int Movie::trackCount() const { return d_->shared->trackCount(); }

uint32_t Movie::trackMediaType(int track) const {
    if (track < 1 || track > trackCount()) return 0;
    return d_->shared->facts.trackTypes[static_cast<size_t>(track - 1)];
}

bool Movie::trackEnabled(int track) const {
    if (track < 1 || track > trackCount()) return false;
    return d_->shared->trackOn(track - 1);
}

void Movie::setTrackEnabled(int track, bool enabled) {
    if (track < 1 || track > trackCount()) return;
    d_->shared->trackEnabled[static_cast<size_t>(track - 1)].store(enabled);
    if (d_->shared->pool) d_->shared->pool->poke();
}

int64_t Movie::trackPacketsRead(int track) const {
    if (track < 1 || track > trackCount()) return 0;
    return d_->shared->trackPackets[static_cast<size_t>(track - 1)].load(std::memory_order_relaxed);
}

int64_t Movie::durationNs() const { return d_->shared->durationNs.load(); }
bool Movie::durationIsMeasured() const { return d_->shared->durationMeasured.load(); }
const std::string& Movie::codecName() const { return d_->shared->facts.codecName; }
double Movie::frameRate() const { return d_->shared->facts.frameRate; }
int Movie::rotationDegrees() const { return d_->shared->facts.rotationDegrees; }
int Movie::width() const { return d_->shared->facts.width; }
int Movie::height() const { return d_->shared->facts.height; }
bool Movie::hasVideo() const { return d_->shared->facts.videoStream >= 0; }

void Movie::setPictureSizeLimit(int maxWidth, int maxHeight) {
    d_->shared->sizeLimitWidth.store(std::max(0, maxWidth), std::memory_order_relaxed);
    d_->shared->sizeLimitHeight.store(std::max(0, maxHeight), std::memory_order_relaxed);
}

int64_t Movie::newestSerialAt(int64_t hostNs) const {
    const MovieShared& s = *d_->shared;
    return s.pool ? s.pool->newestSerial(s.clock.timeAt(hostNs)) : 0;
}

FrameRef Movie::takeNewestFrameAt(int64_t hostNs) {
    const MovieShared& s = *d_->shared;
    return s.pool ? s.pool->takeNewest(s.clock.timeAt(hostNs)) : FrameRef();
}

bool Movie::peekNewestFrameAt(int64_t hostNs, DecodedFrame& out) const {
    const MovieShared& s = *d_->shared;
    return s.pool && s.pool->peekNewest(s.clock.timeAt(hostNs), out);
}

int64_t Movie::decodedAheadUntilNs() const {
    const MovieShared& s = *d_->shared;
    return s.pool ? s.pool->newestQueuedTimeNs() : INT64_MIN;
}

void Movie::setActive(bool active) {
    if (!d_->worker) return;
    if (active)
        d_->worker->start();
    else
        d_->worker->stop();
}

bool Movie::isActive() const { return d_->worker && d_->worker->running(); }

void Movie::task() {
    Impl& d = *d_;
    const MovieShared::Posted& posted = d.shared->posted;
    auto once = [&](bool& logged, const std::atomic<int>& code, const char* what) {
        const int c = code.load();
        if (logged || c == 0) return;
        logged = true;
        qCInfo(lcMovie, "movie %s: %s (%s)", d.path.c_str(), what, ffmpeg::errorString(c).c_str());
    };
    once(d.logged.open, posted.open, "cannot open the video decoder");
    once(d.logged.decode, posted.decode, "corrupt video data; bad frames are skipped");
    once(d.logged.read, posted.read, "read error; treated as the end of the movie");
    once(d.logged.seek, posted.seek, "cannot seek back to the start; reopening to loop");
    once(d.logged.convert, posted.convert, "cannot convert pictures to RGBA");
    if (!d.logged.gaveUp && d.shared->counters.gaveUp.load()) {
        d.logged.gaveUp = true;
        qCInfo(lcMovie, "movie %s: no picture could be decoded; playback of it stopped",
               d.path.c_str());
    }
}

bool Movie::takeGaveUpNotice() {
    if (d_->logged.gaveUpNoticed || !d_->shared->counters.gaveUp.load()) return false;
    d_->logged.gaveUpNoticed = true;
    return true;
}

MovieCounters Movie::counters() const {
    const MovieShared::Counters& c = d_->shared->counters;
    MovieCounters out;
    out.framesDecoded = c.decoded.load();
    out.framesConverted = c.converted.load();
    out.framesSkippedLate = c.skippedLate.load();
    out.loopWraps = c.wraps.load();
    out.decodeErrors = c.decodeErrors.load();
    out.failedPasses = c.failedPasses.load();
    out.reopens = c.reopens.load();
    out.discontinuities = c.discontinuities.load();
    out.catchUpSeeks = c.catchUpSeeks.load();
    out.decoderRebuilds = c.decoderRebuilds.load();
    out.discardLevel = c.discardLevel.load();
    out.decodeNsPerPicture = c.decodeNs.load(std::memory_order_relaxed);
    out.convertNsPerPicture = c.convertNs.load(std::memory_order_relaxed);
    out.gaveUp = c.gaveUp.load();
    return out;
}

int Movie::framesInUse() const { return d_->shared->pool ? d_->shared->pool->inUse() : 0; }
int Movie::poolSize() const { return d_->shared->pool ? d_->shared->pool->slotCount() : 0; }

}  // namespace loopstage::media
