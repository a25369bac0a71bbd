#include "media/LoopRules.h"

#include <algorithm>
#include <climits>

namespace loopstage::media::loopRules {

CatchUp catchUp(int64_t clockNs, int64_t frameNs, int64_t keyIntervalNs, const Position& at) {
    if (at.draining) return {};
    if (saturatingSub(clockNs, frameNs) <= std::max(kCatchUpNs, keyIntervalNs / 2 * 3)) return {};
    int64_t pass = at.iteration;
    if (at.looping && at.measured && at.durationNs > 0)
        pass = std::max(pass, clockNs / at.durationNs);
    const int64_t relativeNs = clockNs - pass * std::max<int64_t>(at.durationNs, 0);
    if (relativeNs < 0 || (at.durationNs > 0 && relativeNs >= at.durationNs)) return {};
    return {true, pass, relativeNs};
}

int64_t nextPass(int64_t clockNs, const Position& at) {
    const int64_t next = at.iteration + 1;
    if (!at.measured || at.durationNs <= 0) return next;
    return std::max(next, clockNs / at.durationNs);
}

bool skipLate(bool late, bool publishedSinceStart, bool keepsUp, int64_t frameEndNs,
              int64_t catchUpTargetNs) {
    return late && publishedSinceStart && (keepsUp || frameEndNs <= catchUpTargetNs);
}

bool takeThreadShare(int threads, int share, int queued, int maxQueued) {
    if (share == threads || queued < maxQueued) return false;
    return share >= 2 * threads || 2 * share <= threads;
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

int64_t saturatingSub(int64_t a, int64_t b) {
    int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

}  // namespace loopstage::media::loopRules
