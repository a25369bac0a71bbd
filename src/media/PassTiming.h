#pragma once

#include <climits>
#include <cstdint>

namespace loopstage::media {

// When each frame of one pass through a clip is due, from the start of the pass, worked out
// from the frames' timestamps as a player shows them: timestamps are trusted while they
// advance by about a frame; where they jump (forwards or back, a cut in a recording or a clock
// that wrapped) the frame follows the one before at its duration, and a frame without a
// timestamp does the same. Times never go back within a pass.
//
// Threads: one owner (a movie's decode worker). Plain arithmetic; no FFmpeg, no clock.
class PassTiming {
public:
    // A jump in timestamps larger than this is a cut, not a pause in the picture.
    static constexpr int64_t kJumpNs = 2'000'000'000;
    static constexpr int64_t kNoTimestamp = INT64_MIN;

    // A new pass from the clip's start; the first timestamp ever seen stays the origin.
    void startPass();
    // Decoding goes on from elsewhere in the pass (a seek ahead): the next timestamp says where.
    void resumeElsewhere();

    // Time in the pass of the next frame: `timestampNs` from the clip's time base in
    // nanoseconds (kNoTimestamp when it has none), lasting `durationNs`. `jumped` tells whether
    // its timestamp was found to jump.
    int64_t timeOf(int64_t timestampNs, int64_t durationNs, bool keyFrame, bool* jumped);

    bool originKnown() const { return originKnown_; }
    int64_t originNs() const { return originNs_; }             // the first timestamp seen
    bool timestampsTrusted() const { return rebaseNs_ == 0; }  // no jump so far in this pass
    int64_t passEndNs() const { return passEndNs_; }  // max over the pass of time + duration
    int64_t keyIntervalNs() const { return keyIntervalNs_; }  // longest seen between key frames

private:
    bool originKnown_ = false;
    int64_t originNs_ = 0;
    int64_t lastNs_ = -1, lastDurationNs_ = 0;
    int64_t rebaseNs_ = 0;  // added to the timestamps since the pass's last jump
    int64_t passEndNs_ = 0;
    int64_t lastKeyNs_ = -1;
    int64_t keyIntervalNs_ = 0;
    bool trustNext_ = false;
};

}  // namespace loopstage::media
