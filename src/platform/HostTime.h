#pragma once

#include <chrono>
#include <cstdint>

namespace loopstage::platform {

// Host time: nanoseconds on std::chrono::steady_clock. Never wraps, never goes back; every
// time stamp, movie clock and deadline in the program is on this one clock.
inline int64_t hostTimeNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::chrono::steady_clock::time_point hostTimeToTimePoint(int64_t ns) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(ns)));
}

}  // namespace loopstage::platform
