#pragma once

#include <climits>
#include <cstdint>
#include <mutex>

namespace loopstage::media {

// Movie time `elapsedHostNs` after the rate was set, from `timeAtRateSet`, at a 16.16 rate:
// unwrapped, growing past the clip's duration across loop passes. The product is split so it
// cannot overflow for any realistic span (the high part keeps 47 bits).
constexpr int64_t movieTimeAfter(int64_t timeAtRateSet, int64_t elapsedHostNs, int32_t rate) {
    const int64_t whole = (elapsedHostNs >> 16) * rate;
    const int64_t part = ((elapsedHostNs & 0xFFFF) * rate) >> 16;
    return timeAtRateSet + whole + part;
}

// Unwrapped time of a frame of loop pass `iteration`, `relativeNs` after the first frame; held
// at the largest time rather than overflowing for a crafted file's absurd durations.
constexpr int64_t unwrappedFrameTime(int64_t iteration, int64_t durationNs, int64_t relativeNs) {
    int64_t passStart = 0, time = 0;
    if (__builtin_mul_overflow(iteration, durationNs, &passStart) ||
        __builtin_add_overflow(passStart, relativeNs, &time))
        return INT64_MAX;
    return time;
}

// Where in its clip an unwrapped movie time lies while looping.
constexpr int64_t wrappedMovieTime(int64_t unwrappedNs, int64_t durationNs) {
    if (durationNs <= 0) return unwrappedNs;
    const int64_t r = unwrappedNs % durationNs;
    return r < 0 ? r + durationNs : r;
}

// A movie's clock: movie time runs at `rate` from the moment the rate was last set.
//
// Threads: the main thread sets it; the render thread and the decode worker read it at any
// time. One small mutex keeps the three fields of a setting together.
class MovieClock {
public:
    explicit MovieClock(int64_t hostNow) : hostAtRateSet_(hostNow) {}

    // Movie time (unwrapped) at a host time.
    int64_t timeAt(int64_t hostNs) const {
        std::lock_guard lock(mutex_);
        return movieTimeAfter(timeAtRateSet_, hostNs - hostAtRateSet_, rate_);
    }
    // The host time at which the clock shows `movieNs`; INT64_MIN while paused.
    int64_t hostTimeAt(int64_t movieNs) const {
        std::lock_guard lock(mutex_);
        if (rate_ <= 0) return INT64_MIN;
        const double elapsed = static_cast<double>(movieNs - timeAtRateSet_) * 65536.0 / rate_;
        return hostAtRateSet_ + static_cast<int64_t>(elapsed);
    }
    // Back to movie time 0 at `hostNow`, keeping the rate.
    void goToBeginning(int64_t hostNow) {
        std::lock_guard lock(mutex_);
        timeAtRateSet_ = 0;
        hostAtRateSet_ = hostNow;
    }
    // From `hostNow` on the clock runs at `rate` (16.16; negative counts as 0).
    void setRate(int32_t rate, int64_t hostNow) {
        std::lock_guard lock(mutex_);
        timeAtRateSet_ = movieTimeAfter(timeAtRateSet_, hostNow - hostAtRateSet_, rate_);
        hostAtRateSet_ = hostNow;
        rate_ = rate < 0 ? 0 : rate;
    }
    int32_t rate() const {
        std::lock_guard lock(mutex_);
        return rate_;
    }

private:
    mutable std::mutex mutex_;
    int64_t hostAtRateSet_ = 0;
    int64_t timeAtRateSet_ = 0;
    int32_t rate_ = 0;
};

}  // namespace loopstage::media
