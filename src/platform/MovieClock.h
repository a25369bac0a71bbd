#pragma once

#include <cstdint>

namespace loopstage::platform {

// Movie time `elapsedHostNs` after the rate was set, from `timeAtRateSet`, at a 16.16 rate:
// unwrapped, growing past the clip's duration across loop passes. The product is split so it
// cannot overflow for any realistic span (the high part keeps 47 bits).
constexpr int64_t movieTimeAfter(int64_t timeAtRateSet, int64_t elapsedHostNs, int32_t rate) {
    const int64_t whole = (elapsedHostNs >> 16) * rate;
    const int64_t part = ((elapsedHostNs & 0xFFFF) * rate) >> 16;
    return timeAtRateSet + whole + part;
}

// Unwrapped time of a frame of loop pass `iteration`, `relativeNs` after the first frame.
constexpr int64_t unwrappedFrameTime(int64_t iteration, int64_t durationNs, int64_t relativeNs) {
    return iteration * durationNs + relativeNs;
}

// Where in its clip an unwrapped movie time lies while looping.
constexpr int64_t wrappedMovieTime(int64_t unwrappedNs, int64_t durationNs) {
    if (durationNs <= 0) return unwrappedNs;
    const int64_t r = unwrappedNs % durationNs;
    return r < 0 ? r + durationNs : r;
}

}  // namespace loopstage::platform
