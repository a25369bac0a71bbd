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

Discard nextDiscard(Discard at, int64_t lateNs, int64_t frameNs, double load) {
    // Pictures in a row before a change: a late burst after a stall on the machine does not
    // count, nor does one quick picture after a slow one.
    constexpr int kLateToDrop = 6, kEasyToRestore = 45;
    // A decoder gives a level back only when it would still keep up without what it saves.
    constexpr double kRoomToRestore = 0.6;
    if (load > 1.0 && lateNs > 2 * frameNs) {
        at.easyInARow = 0;
        if (++at.lateInARow >= kLateToDrop && at.level < kMaxDiscardLevel) {
            ++at.level;
            at.lateInARow = 0;
        }
        return at;
    }
    at.lateInARow = 0;
    if (at.level > 0 && load < kRoomToRestore && lateNs < 0) {
        if (++at.easyInARow >= kEasyToRestore) {
            --at.level;
            at.easyInARow = 0;
        }
    } else {
        at.easyInARow = 0;
    }
    return at;
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
