#include "media/DecodeWorker.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <system_error>
#include <utility>

#include "media/LoopRules.h"
#include "media/MovieRegistry.h"
#include "platform/HostTime.h"

Q_DECLARE_LOGGING_CATEGORY(lcMovie)

namespace loopstage::media {
namespace {

using namespace ffmpeg;

// Niceness of decode workers (see setWorkerThreadTraits).
constexpr int kWorkerNice = 10;
// Passes in a row that yield no picture before the worker gives up on a clip.
constexpr int kMaxFailedPasses = 3;
constexpr AVRational kNanoseconds{1, 1'000'000'000};

int64_t toNs(int64_t ticks, AVRational tb) { return av_rescale_q(ticks, tb, kNanoseconds); }

bool hasPicture(const AVFrame* f) { return f->buf[0] != nullptr; }

// Decoders, their codec threads (made by the worker, so they inherit its niceness) and the
// picture conversion run at nice 10: against the render tick and Mesa's rasteriser threads
// (nice 0) each weighs a ninth, so the tick gets a core when it wants one. Measured with six
// camera-like 720p clips while a compiler ran beside: late ticks 5.2 % at nice 5, 0.7 % at
// nice 10, 0.3 % under SCHED_IDLE. SCHED_IDLE was not kept: it yields to every other
// process as well, and clips froze to about one frame a second while a build ran on the
// machine; a show must not stop because something else is busy.
void setWorkerThreadTraits() {
    // Niceness is per thread on Linux; failure only costs priority.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kWorkerNice);
    (void)pthread_setname_np(pthread_self(), "loopstage-dec");
}

}  // namespace

DecodeWorker::DecodeWorker(std::shared_ptr<MovieShared> shared, Demuxer demuxer, std::string path)
    : shared_(std::move(shared)),
      path_(std::move(path)),
      pool_(*shared_->pool),
      packet_(av_packet_alloc()),
      frame_(av_frame_alloc()),
      held_(av_frame_alloc()) {
    if (!packet_ || !frame_ || !held_) throw std::bad_alloc();
    takeOver(std::move(demuxer));
    timeBase_ = format_->streams[shared_->facts.videoStream]->time_base;
}

DecodeWorker::~DecodeWorker() { stop(); }

bool DecodeWorker::start() {
    if (thread_.joinable()) {
        if (running_.load()) return true;
        thread_.join();  // it ended by itself (no decoder could be opened): try again
    }
    stopRequested_.store(false);
    pool_.clearStop();
    ended_.store(false);
    running_.store(true);  // before the thread, which clears it when it ends by itself
    try {
        thread_ = std::thread([this] {
            run();
            ended_.store(true);
        });
    } catch (const std::system_error& e) {
        ended_.store(true);
        running_.store(false);
        qCWarning(lcMovie, "movie %s: cannot start decode worker: %s", path_.c_str(), e.what());
        return false;
    }
    return true;
}

void DecodeWorker::requestStop() {
    stopRequested_.store(true);
    pool_.requestStop();
}

void DecodeWorker::stop() {
    if (!thread_.joinable()) return;
    requestStop();
    thread_.join();
    running_.store(false);
}

void DecodeWorker::dispose(std::unique_ptr<DecodeWorker> worker) {
    if (!worker) return;
    worker->requestStop();
    movieRegistry::reap(worker);
}

void DecodeWorker::run() {
    setWorkerThreadTraits();
    // A read cut short by the last stop leaves its error in the input, where every later read
    // would find it and end this run too, as if stopped again: reading goes on where it was.
    if (format_ && format_->pb && format_->pb->error == AVERROR_EXIT) {
        format_->pb->error = 0;
        format_->pb->eof_reached = 0;
    }
    try {
        if (decoder_ || openFirstDecoder()) decodeLoop();
    } catch (const std::exception& e) {
        qCCritical(lcMovie, "movie %s: decode worker stopped: %s", path_.c_str(), e.what());
    } catch (...) {
        qCCritical(lcMovie, "movie %s: decode worker stopped", path_.c_str());
    }
    running_.store(false);
}

void DecodeWorker::decodeLoop() {
    MovieShared& s = *shared_;
    for (;;) {
        const FramePool::Control c = pool_.waitUntil([&](const FramePool::Control& ctl, bool) {
            return ctl.stop || ctl.generation != generation_ ||
                   (s.videoEnabled() && !s.counters.gaveUp.load() && !parked_);
        });
        if (c.stop) return;
        if (c.generation != generation_) {
            restartDecoding(c.generation);
            continue;
        }
        if (wrapPending_) {
            if (wrap() == Step::Stopped) return;
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

void DecodeWorker::resetPass() {
    passFrames_ = 0;
    timing_.startPass();
    catchingUp_ = false;
    catchUpTargetNs_ = INT64_MIN;
    lastArrivalNs_ = 0;
    lastTimeNs_ = INT64_MIN;
    draining_ = false;
    av_frame_unref(held_.get());
}

void DecodeWorker::restartDecoding(uint64_t generation) {
    iteration_ = 0;
    parked_ = false;
    wrapPending_ = false;
    publishedSinceStart_ = false;
    lastPublishedTimeNs_ = INT64_MIN;
    consecutiveFailedPasses_ = 0;
    shared_->counters.gaveUp.store(false);
    resetPass();
    const bool rewound = atStart_ || seekToStart();
    // Stopped on the way (the movie paused just then): the next start restarts again.
    if (!rewound && stopRequested_.load()) return;
    generation_ = generation;
    if (!rewound) shared_->counters.gaveUp.store(true);
}

// Ends a pass at end of stream: measures, then wraps.
DecodeWorker::Step DecodeWorker::finishPass() {
    MovieShared& s = *shared_;
    if (passFrames_ == 0) {
        s.counters.failedPasses.fetch_add(1);
        if (++consecutiveFailedPasses_ >= kMaxFailedPasses) {
            s.counters.gaveUp.store(true);
            return Step::Continue;
        }
    } else {
        consecutiveFailedPasses_ = 0;
        if (!firstPassDone_) {
            firstPassDone_ = true;
            if (timing_.passEndNs() > 0) s.durationNs.store(timing_.passEndNs());
            s.durationMeasured.store(true);
            // One picture needs no re-decoding: it stays on screen for ever.
            singlePicture_ = passFrames_ == 1;
        }
    }
    if (hasPicture(held_.get())) {
        // The pass ended on a late picture; a stopping movie must still show its last frame.
        if (!s.looping() || singlePicture_) {
            const Step step = convertAndPublish(held_.get(), heldTimeNs_, heldIteration_);
            if (step == Step::Stopped || step == Step::Restarted) return step;
        }
        av_frame_unref(held_.get());
    }
    if (singlePicture_) {
        parked_ = true;  // decodeLoop waits for a restart or stop
        return Step::Continue;
    }
    return wrap();
}

// Waits for the loop flag and goes back to the start. A wrap interrupted by a stop (the movie
// paused just then) is no failure: it is done again at the next start.
DecodeWorker::Step DecodeWorker::wrap() {
    MovieShared& s = *shared_;
    wrapPending_ = true;
    const FramePool::Control c = pool_.waitUntil([&](const FramePool::Control& ctl, bool) {
        return ctl.stop || ctl.generation != generation_ || s.looping();
    });
    if (c.stop) return Step::Stopped;
    if (c.generation != generation_) return Step::Restarted;

    if (!seekToStart()) {
        if (stopRequested_.load()) return Step::Stopped;
        s.counters.gaveUp.store(true);
        return Step::Continue;
    }
    wrapPending_ = false;
    followThreadBudget();
    // After a long stall (the render thread stopped taking frames, or the machine was busy)
    // the wrap goes to the clock's pass instead of decoding every missed one.
    iteration_ = loopRules::nextPass(s.clock.timeAt(platform::hostTimeNow()), position());
    s.counters.wraps.fetch_add(1);
    resetPass();
    return Step::Continue;
}

DecodeWorker::Step DecodeWorker::checkControl() {
    const FramePool::Control c = pool_.control();
    if (c.stop) return Step::Stopped;
    if (c.generation != generation_) return Step::Restarted;
    if (!shared_->videoEnabled()) return Step::VideoDisabled;
    return Step::Continue;
}

DecodeWorker::Step DecodeWorker::decodePass() {
    MovieShared& s = *shared_;
    AVPacket* pkt = packet_.get();
    for (;;) {
        if (const Step step = checkControl(); step != Step::Continue) return step;
        applyDiscard();
        atStart_ = false;
        int ret = av_read_frame(format_, pkt);
        if (ret == AVERROR(EAGAIN)) {
            // Only network-like inputs say "not yet"; do not spin a core while they wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (ret < 0) {
            if (ret == AVERROR_EXIT) return Step::Stopped;
            if (ret != AVERROR_EOF) MovieShared::post(s.posted.read, ret);
            // Drain: the decoder still holds the last pictures (B-frame reordering).
            draining_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
            const Step step = receiveAll();
            return step == Step::Continue ? Step::Ended : step;
        }
        if (pkt->stream_index >= 0 && pkt->stream_index < s.trackCount())
            s.trackPackets[static_cast<size_t>(pkt->stream_index)].fetch_add(
                1, std::memory_order_relaxed);
        if (pkt->stream_index != s.facts.videoStream) {
            av_packet_unref(pkt);
            continue;
        }
        ret = avcodec_send_packet(decoder_.get(), pkt);
        if (ret == AVERROR(EAGAIN)) {
            if (const Step step = receiveAll(); step != Step::Continue) {
                av_packet_unref(pkt);
                return step;
            }
            ret = avcodec_send_packet(decoder_.get(), pkt);
        }
        av_packet_unref(pkt);
        if (ret < 0 && ret != AVERROR_EOF) {
            s.counters.decodeErrors.fetch_add(1);
            MovieShared::post(s.posted.decode, ret);
            continue;
        }
        if (const Step step = receiveAll(); step != Step::Continue) return step;
    }
}

DecodeWorker::Step DecodeWorker::receiveAll() {
    AVFrame* frame = frame_.get();
    for (;;) {
        const int ret = avcodec_receive_frame(decoder_.get(), frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Step::Continue;
        if (ret < 0) {
            shared_->counters.decodeErrors.fetch_add(1);
            MovieShared::post(shared_->posted.decode, ret);
            return Step::Continue;
        }
        shared_->counters.decoded.fetch_add(1);
        // The time from one picture to the next, waits for room excluded: reading, decoding
        // and converting as they overlap (frame threads decode on while the worker converts).
        const int64_t arrived = platform::hostTimeNow();
        if (lastArrivalNs_ > 0) {
            const int64_t spent = std::max<int64_t>(0, arrived - lastArrivalNs_ - waitedNs_);
            busyEmaNs_ = busyEmaNs_ > 0 ? busyEmaNs_ + (spent - busyEmaNs_) / 8 : spent;
            shared_->counters.decodeNs.store(std::max<int64_t>(0, busyEmaNs_ - convertEmaNs_),
                                             std::memory_order_relaxed);
        }
        lastArrivalNs_ = arrived;
        waitedNs_ = 0;
        const Step step = deliver(frame);
        av_frame_unref(frame);
        if (step != Step::Continue) return step;
    }
}

// A decoder far behind its clock (the ticks took no frames for a while, or the machine was
// busy) goes to the key frame at or before the clock's position and decodes from there,
// instead of decoding every picture it missed. Only where timestamps map to positions: not in
// streams whose clock may wrap or jump, and across passes only once a pass has been measured.
bool DecodeWorker::catchUpTo(int64_t clockNs, int64_t frameNs, bool wellAhead) {
    // A decoder about as slow as its clock would land on a key frame behind the clock, hold
    // that picture while it decodes forward, and be behind again by then: it leaves work out
    // instead (followLoad) and the next wrap goes to the clock's pass.
    if (!wellAhead || catchingUp_ || !timing_.originKnown() || !timing_.timestampsTrusted())
        return false;
    if (format_->iformat->flags & AVFMT_TS_DISCONT) return false;
    const loopRules::CatchUp to =
        loopRules::catchUp(clockNs, frameNs, timing_.keyIntervalNs(), position());
    if (!to.seek) return false;
    const int64_t target = ticksOf(timing_.originNs() + to.relativeNs, timeBase_);
    if (avformat_seek_file(format_, shared_->facts.videoStream, INT64_MIN, target, target, 0) < 0)
        return false;
    avcodec_flush_buffers(decoder_.get());
    shared_->counters.catchUpSeeks.fetch_add(1);
    if (to.pass != iteration_) {
        iteration_ = to.pass;
        timing_.startPass();
    }
    timing_.resumeElsewhere();
    // No second seek until a picture comes out on time: the frames up to the target are late
    // too, and a decoder that cannot keep up at all does better decoding on than seeking over
    // and over.
    catchingUp_ = true;
    catchUpTargetNs_ = clockNs;
    lastArrivalNs_ = 0;
    lastTimeNs_ = INT64_MIN;
    av_frame_unref(held_.get());
    return true;
}

DecodeWorker::Step DecodeWorker::deliver(AVFrame* frame) {
    MovieShared& s = *shared_;
    ++passFrames_;
    int64_t durNs = frame->pkt_duration > 0 ? toNs(frame->pkt_duration, timeBase_) : 0;
    if (durNs <= 0) durNs = s.facts.frameIntervalNs;
    const int64_t pts = frame->best_effort_timestamp;
    bool jumped = false;
    const int64_t relNs =
        timing_.timeOf(pts == AV_NOPTS_VALUE ? PassTiming::kNoTimestamp : toNs(pts, timeBase_),
                       durNs, frame->key_frame, &jumped);
    if (jumped) s.counters.discontinuities.fetch_add(1);
    const int64_t timeNs = unwrappedFrameTime(iteration_, s.durationNs.load(), relNs);

    // Wait for room before judging lateness: the clock moves while the queue is full.
    const FramePool::Control c = waitForRoom();
    if (c.stop) return Step::Stopped;
    if (c.generation != generation_) return Step::Restarted;

    // Pictures left out by the decoder move the movie on further per picture decoded.
    const int64_t step = lastTimeNs_ == INT64_MIN ? durNs : timeNs - lastTimeNs_;
    const int64_t advanceNs = step > 0 && step <= 8 * durNs ? step : durNs;
    if (discard_.level >= 2 && advanceNs > durNs + durNs / 2)
        s.counters.skippedLate.fetch_add((advanceNs + durNs / 2) / durNs - 1);
    advanceEmaNs_ = advanceEmaNs_ > 0 ? advanceEmaNs_ + (advanceNs - advanceEmaNs_) / 8 : advanceNs;
    lastTimeNs_ = timeNs;
    // Work per picture against the host time the clock takes to move that far.
    const double rate = static_cast<double>(s.clock.rate()) / kFixed1;
    const double load = static_cast<double>(busyEmaNs_) * rate /
                        static_cast<double>(std::max<int64_t>(advanceEmaNs_, 1));
    const bool keepsUp = load < 1.0;

    const int64_t clockNs = s.clock.timeAt(platform::hostTimeNow());
    // A seek lands on a key frame behind the clock: only a decoder well ahead of real time
    // makes that distance up before it is late again.
    if (catchUpTo(clockNs, timeNs, load < 0.75)) return Step::Continue;
    const int64_t endNs = loopRules::saturatingAdd(timeNs, durNs);
    const bool late = endNs <= clockNs;
    followLoad(loopRules::saturatingSub(clockNs, timeNs), durNs, load);
    // A decoder that only just keeps up makes up a delay slowly: skipping every late picture
    // meanwhile would hold the screen on one picture for as long. It skips at most two in a
    // row, so the pictures queued stay at most three frames apart.
    const bool shownLately = loopRules::saturatingSub(timeNs, lastPublishedTimeNs_) < 3 * durNs;
    if (loopRules::skipLate(late, publishedSinceStart_, keepsUp && shownLately, endNs,
                            catchUpTargetNs_)) {
        s.counters.skippedLate.fetch_add(1);
        av_frame_unref(held_.get());
        av_frame_move_ref(held_.get(), frame);
        heldTimeNs_ = timeNs;
        heldIteration_ = iteration_;
        return Step::Continue;
    }
    av_frame_unref(held_.get());
    if (!late) catchingUp_ = false;
    return convertAndPublish(frame, timeNs, iteration_);
}

// Time spent here is time ahead of the clock, not work: it is kept out of the load.
FramePool::Control DecodeWorker::waitForRoom() {
    const int64_t start = platform::hostTimeNow();
    const FramePool::Control c = pool_.waitUntil([&](const FramePool::Control& ctl, bool room) {
        return ctl.stop || ctl.generation != generation_ || room;
    });
    waitedNs_ += platform::hostTimeNow() - start;
    return c;
}

void DecodeWorker::followLoad(int64_t lateNs, int64_t frameNs, double load) {
    const int before = discard_.level;
    discard_ = loopRules::nextDiscard(discard_, lateNs, frameNs, load);
    if (discard_.level != before) applyDiscardLevel();
}

void DecodeWorker::applyDiscardLevel() {
    if (!decoder_) return;
    // Frame threads take these from here with their next packet.
    decoder_->skip_loop_filter = discard_.level >= 1 ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
    decoder_->skip_frame = discard_.level >= 2 ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    shared_->counters.discardLevel.store(discard_.level);
}

loopRules::Position DecodeWorker::position() const {
    const MovieShared& s = *shared_;
    return {iteration_, s.durationNs.load(), s.looping(), firstPassDone_, draining_};
}

DecodeWorker::Step DecodeWorker::convertAndPublish(AVFrame* frame, int64_t timeNs,
                                                   int64_t iteration) {
    MovieShared& s = *shared_;
    int slot = -1;
    while (slot < 0) {
        const FramePool::Control c = waitForRoom();
        if (c.stop) return Step::Stopped;
        if (c.generation != generation_) return Step::Restarted;
        slot = pool_.acquire(generation_);
    }
    // A picture whose size changed mid-stream is scaled to the size announced at open (or the
    // limit below it), so every frame of a clip has one size.
    const int width = limitedSide(pool_.width(), s.sizeLimitWidth.load(std::memory_order_relaxed));
    const int height =
        limitedSide(pool_.height(), s.sizeLimitHeight.load(std::memory_order_relaxed));
    uint8_t* pixels = nullptr;
    try {
        pixels = pool_.prepare(slot, width, height);
    } catch (const std::bad_alloc&) {
        MovieShared::post(s.posted.convert, AVERROR(ENOMEM));
    }
    const int64_t convertStart = platform::hostTimeNow();
    const int ret =
        pixels ? converter_.convert(frame, pixels, FramePool::strideFor(width), width, height)
               : AVERROR(ENOMEM);
    const int64_t spent = platform::hostTimeNow() - convertStart;
    convertEmaNs_ = convertEmaNs_ > 0 ? convertEmaNs_ + (spent - convertEmaNs_) / 8 : spent;
    s.counters.convertNs.store(convertEmaNs_, std::memory_order_relaxed);
    if (ret < 0) {
        if (pixels) MovieShared::post(s.posted.convert, ret);
        pool_.abandon(slot);
        return Step::Continue;
    }
    s.counters.converted.fetch_add(1);
    const bool first = !std::exchange(publishedSinceStart_, true);
    if (!pool_.publish(slot, timeNs, iteration, generation_, width, height)) return Step::Restarted;
    lastPublishedTimeNs_ = timeNs;
    if (first && s.firstPictureQueued) s.firstPictureQueued();
    return Step::Continue;
}

}  // namespace loopstage::media
