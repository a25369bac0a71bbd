#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "media/FFmpegHandles.h"
#include "media/LoopRules.h"
#include "media/MovieProbe.h"
#include "media/MovieShared.h"
#include "media/PassTiming.h"
#include "media/PictureConverter.h"

namespace loopstage::media {

// The thread that decodes one movie: it owns the demuxer handed over from the probe, opens the
// video decoder itself (so neither that nor the first picture costs the window's thread
// anything), converts pictures at the size wanted and queues them in the pool ahead of the
// movie clock, seeking back to the start at each end while the movie loops.
//
// Threads and lifetime: start() and stop() belong to the thread that owns the movie (the main
// thread); everything else runs on the worker's own thread, which alone touches the demuxer,
// the decoder and the converter. It talks to the movie only through MovieShared. stop() asks
// the thread to end (also interrupting a read of a file that stalls), wakes it, joins it; the
// decoding state stays, so a later start() resumes where it was. The destructor stops it.
class DecodeWorker {
public:
    DecodeWorker(std::shared_ptr<MovieShared> shared, Demuxer demuxer, std::string path);
    ~DecodeWorker();
    DecodeWorker(const DecodeWorker&) = delete;
    DecodeWorker& operator=(const DecodeWorker&) = delete;

    // False when the thread cannot be started.
    bool start();
    void stop();
    // Stops and frees a worker whose movie is going, on a thread kept for that: a worker may be
    // in the middle of a large picture, and the caller (the window's thread) must not wait for
    // it. The worker touches nothing of the movie's but MovieShared, which it holds itself.
    static void dispose(std::unique_ptr<DecodeWorker> worker);
    // From start() until stop(), or until the thread ends by itself (no decoder could be opened).
    bool running() const { return running_.load(); }
    // True once the thread has returned (or never ran): joining it then cannot block.
    bool hasEnded() const { return ended_.load(); }

private:
    enum class Step { Continue, Ended, Stopped, Restarted, VideoDisabled };

    void run();
    void decodeLoop();
    bool openFirstDecoder();
    int openDecoder(int threads);  // a negative error code when it cannot
    void followThreadBudget();
    void resetPass();
    void restartDecoding(uint64_t generation);
    Step finishPass();
    Step wrap();
    bool seekToStart();
    bool reopen();
    void applyDiscard();
    Step checkControl();
    Step decodePass();
    Step receiveAll();
    Step deliver(AVFrame* frame);
    bool catchUpTo(int64_t clockNs, int64_t frameNs, bool wellAhead);
    void followLoad(int64_t lateNs, int64_t frameNs, double load);
    FramePool::Control waitForRoom();
    void applyDiscardLevel();
    loopRules::Position position() const;
    Step convertAndPublish(AVFrame* frame, int64_t timeNs, int64_t iteration);
    void takeOver(Demuxer demuxer);
    void requestStop();
    // Back to the stream's ticks, rounded up so a seek to the result finds the frame at the time.
    static int64_t ticksOf(int64_t ns, AVRational timeBase);

    const std::shared_ptr<MovieShared> shared_;
    const std::string path_;
    FramePool& pool_;  // shared_->pool, which lives as long as shared_
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> ended_{true};
    std::atomic<bool> stopRequested_{false};

    // ---- The worker thread's own; between a stop() and the next start() nobody touches them.
    Demuxer demuxer_;
    AVFormatContext* format_ = nullptr;  // demuxer_.format
    ffmpeg::CodecContextPtr decoder_;
    int decoderThreads_ = 1;
    int refusedShare_ = 0;  // a share of the budget the decoder could not be rebuilt with
    AVRational timeBase_{0, 1};
    ffmpeg::PacketPtr packet_;
    ffmpeg::FramePtr frame_;
    ffmpeg::FramePtr held_;  // the newest picture skipped as late, shown if the pass ends on it
    int64_t heldTimeNs_ = 0, heldIteration_ = 0;
    PictureConverter converter_;
    uint64_t generation_ = 0;
    int64_t iteration_ = 0;
    PassTiming timing_;
    int64_t passFrames_ = 0;
    bool catchingUp_ = false;
    bool draining_ = false;  // the file ended; the pass ends when the decoder is empty
    bool publishedSinceStart_ = false;
    int64_t catchUpTargetNs_ = INT64_MIN;  // the clock's time a catch-up seek went for
    // Time per picture out of the decoder, waits for room excluded, and the share of it spent
    // converting (moving averages).
    int64_t busyEmaNs_ = 0, convertEmaNs_ = 0;
    int64_t waitedNs_ = 0;  // waiting for room since the last picture came out
    // How far the movie moves per picture out of the decoder (more than a frame while it
    // leaves pictures out), and the last such picture's time in the pass (INT64_MIN: none).
    int64_t advanceEmaNs_ = 0, lastTimeNs_ = INT64_MIN;
    loopRules::Discard discard_;
    int64_t lastPublishedTimeNs_ = INT64_MIN;  // unwrapped time of the last picture queued
    int64_t lastArrivalNs_ = 0;  // host time the last picture came out; 0 after a jump
    int consecutiveFailedPasses_ = 0;
    bool firstPassDone_ = false;
    bool singlePicture_ = false;  // the first pass yielded one picture: never re-decoded
    bool parked_ = false;         // that picture is out; nothing to do until a restart
    bool wrapPending_ = false;    // a pass ended and the wrap after it is not done yet
    // Nothing read since the input was opened or went back to the start, so nothing is in the
    // decoder either: a restart has no need to seek there (the probe's packets wait in the
    // demuxer, and a seek would throw them away).
    bool atStart_ = true;
};

}  // namespace loopstage::media
