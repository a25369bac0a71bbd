#include "media/PassTiming.h"

#include <algorithm>
#include <utility>

#include "media/LoopRules.h"

namespace loopstage::media {

using loopRules::saturatingAdd;
using loopRules::saturatingSub;

void PassTiming::startPass() {
    lastNs_ = -1;
    lastDurationNs_ = 0;
    rebaseNs_ = 0;
    passEndNs_ = 0;
    lastKeyNs_ = -1;
    trustNext_ = false;
}

void PassTiming::resumeElsewhere() {
    lastNs_ = -1;
    lastDurationNs_ = 0;
    lastKeyNs_ = -1;
    trustNext_ = true;
}

int64_t PassTiming::timeOf(int64_t timestampNs, int64_t durationNs, bool keyFrame, bool* jumped) {
    const int64_t expected = lastNs_ < 0 ? 0 : saturatingAdd(lastNs_, lastDurationNs_);
    int64_t t = expected;
    *jumped = false;
    if (timestampNs != kNoTimestamp) {
        if (!originKnown_) {
            originKnown_ = true;
            originNs_ = timestampNs;
        }
        t = saturatingAdd(saturatingSub(timestampNs, originNs_), rebaseNs_);
        if (!std::exchange(trustNext_, false)) {
            *jumped = lastNs_ < 0 ? t < 0 || t > kJumpNs
                                  : t > saturatingAdd(expected, kJumpNs) || t < lastNs_ - kJumpNs;
        }
        if (*jumped) {
            rebaseNs_ = saturatingAdd(rebaseNs_, saturatingSub(expected, t));
            t = expected;
        }
    }
    t = std::max(t, std::max<int64_t>(lastNs_, 0));
    lastNs_ = t;
    lastDurationNs_ = durationNs;
    passEndNs_ = std::max(passEndNs_, saturatingAdd(t, durationNs));
    if (keyFrame) {
        if (lastKeyNs_ >= 0 && t > lastKeyNs_)
            keyIntervalNs_ = std::max(keyIntervalNs_, t - lastKeyNs_);
        lastKeyNs_ = t;
    }
    return t;
}

}  // namespace loopstage::media
