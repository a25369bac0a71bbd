#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "media/FramePool.h"
#include "media/Movie.h"
#include "media/MovieClock.h"

namespace loopstage::media {

// Everything a movie and its decode worker both touch, and nothing else: the facts (fixed at
// open), the clock, the frame pool, and the settings and counters that cross between threads.
//
// Threads: every field is either immutable after construction, an atomic, or guarded by its
// own type (clock, pool), so any thread may use any of it at any time. The movie owns it;
// the worker holds it for as long as its thread runs.
struct MovieShared {
    MovieShared(MovieFacts movieFacts, int64_t hostNow)
        : facts(std::move(movieFacts)),
          clock(hostNow),
          trackEnabled(std::make_unique<std::atomic<bool>[]>(facts.trackTypes.size())),
          trackPackets(std::make_unique<std::atomic<int64_t>[]>(facts.trackTypes.size())),
          durationNs(facts.estimatedDurationNs) {
        for (size_t i = 0; i < facts.trackTypes.size(); ++i) {
            trackEnabled[i].store(true);
            trackPackets[i].store(0);
        }
    }

    const MovieFacts facts;
    MovieClock clock;
    std::shared_ptr<FramePool> pool;  // set before the worker starts; null without video

    // Set before the worker starts, only read after (MovieOpenProperties::firstPictureQueued).
    std::function<void()> firstPictureQueued;

    std::atomic<uint32_t> timeBaseFlags{0};
    const std::unique_ptr<std::atomic<bool>[]> trackEnabled;
    const std::unique_ptr<std::atomic<int64_t>[]> trackPackets;

    std::atomic<int64_t> durationNs;
    std::atomic<bool> durationMeasured{false};
    // The largest picture worth converting now, per axis (0: no limit).
    std::atomic<int> sizeLimitWidth{0}, sizeLimitHeight{0};

    struct Counters {
        std::atomic<int64_t> decoded{0}, converted{0}, skippedLate{0}, wraps{0}, decodeErrors{0},
            failedPasses{0}, reopens{0}, discontinuities{0}, catchUpSeeks{0}, decoderRebuilds{0};
        std::atomic<int> discardLevel{0};  // see loopRules::nextDiscard
        // The worker's moving averages per picture: reading and decoding, converting.
        std::atomic<int64_t> decodeNs{0}, convertNs{0};
        std::atomic<bool> gaveUp{false};
    } counters;

    // Trouble posted by the worker for the main thread's task() to log: the first error code of
    // each kind.
    struct Posted {
        std::atomic<int> decode{0}, read{0}, seek{0}, convert{0}, open{0};
    } posted;

    int trackCount() const { return static_cast<int>(facts.trackTypes.size()); }
    bool trackOn(int stream) const { return trackEnabled[static_cast<size_t>(stream)].load(); }
    bool videoEnabled() const { return facts.videoStream >= 0 && trackOn(facts.videoStream); }
    bool looping() const { return timeBaseFlags.load() & kLoopTimeBase; }
    static void post(std::atomic<int>& slot, int code) {
        int expected = 0;
        slot.compare_exchange_strong(expected, code ? code : -1);
    }
};

}  // namespace loopstage::media
