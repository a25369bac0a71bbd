#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/FFmpegHandles.h"
#include "media/Movie.h"

namespace loopstage::media {

// Lets whoever owns a demuxer stop its reads, and keeps the demuxer to the one file it was
// opened on. FFmpeg copies the callback into the file's I/O context when it opens the file, and
// calls the opener whenever a demuxer wants another file, so this must stay put for the
// demuxer's whole life: owners hand it on and change only what it holds.
struct ReadInterrupt {
    std::atomic<int64_t> deadlineNs{INT64_MAX};  // host time
    std::atomic<const std::atomic<bool>*> cancel{nullptr};
    static int check(void* self);

    const AVFormatContext* owner = nullptr;                 // whose own file alone may be opened
    decltype(AVFormatContext::io_open) openFile = nullptr;  // FFmpeg's opener
    std::atomic<bool> reachedFurther{false};                // the demuxer asked for something else
};

// An open file: the interrupt target outlives the demuxer that calls it.
struct Demuxer {
    std::unique_ptr<ReadInterrupt> interrupt;
    ffmpeg::InputContextPtr format;
};

// What opening a file found out, without decoding a picture where the container says enough
// by itself: the demuxer, positioned wherever probing left it, and the facts of its tracks.
//
// Threads and lifetime: made by probeMovie() on a probing thread of its own, handed to the
// caller only once complete; from then on it has one owner at a time: the thread that asked
// for it (the main thread, for the facts), then the decode worker that takes its demuxer
// (takeDemuxer). Its reads give up at the probe's deadline until the new owner says otherwise.
class MovieProbe {
public:
    MovieProbe() = default;
    MovieProbe(const MovieProbe&) = delete;
    MovieProbe& operator=(const MovieProbe&) = delete;

    const std::string& path() const { return path_; }
    const MovieFacts& facts() const { return facts_; }
    // The stream's decoder parameters; valid while the demuxer lives.
    const AVCodecParameters* videoParameters() const;

    bool hasDemuxer() const { return demuxer_.format != nullptr; }
    // The demuxer passes to its new owner, which points its interrupt at its own stop flag.
    Demuxer takeDemuxer() { return std::move(demuxer_); }

    // Opens and probes on the calling thread, giving up once `deadlineNs` (host time) passes or
    // `cancel` becomes true. Used by probeMovie's thread and by a decode worker that must reopen
    // a file it cannot seek in.
    static int openOnThisThread(const std::string& path, int64_t deadlineNs,
                                const std::atomic<bool>* cancel, MovieProbe& out,
                                ProbeRefusal* refusal);

private:
    std::string path_;
    MovieFacts facts_;
    Demuxer demuxer_;
};

}  // namespace loopstage::media
