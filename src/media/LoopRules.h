#pragma once

#include <cstdint>

namespace loopstage::media::loopRules {

// The decode worker's rules for keeping up with its clock and for going round the loop, kept
// apart from FFmpeg and threads. Times are unwrapped movie times in nanoseconds.

// A decoder further behind its clock than this (and than its key frames are apart) seeks
// ahead rather than decoding every picture it missed.
constexpr int64_t kCatchUpNs = 1'000'000'000;

// Where the worker is in the loop.
struct Position {
    int64_t iteration = 0;   // the pass being decoded
    int64_t durationNs = 0;  // of one pass; 0 while unknown
    bool looping = false;
    bool measured = false;  // a whole pass was decoded, so passes map to clock times
    bool draining = false;  // the file ended: the decoder gives up its last pictures
};

struct CatchUp {
    bool seek = false;
    int64_t pass = 0;        // the pass to decode on in
    int64_t relativeNs = 0;  // from that pass's first picture
};

// Whether, and where, a decoder whose picture due at `frameNs` is late at `clockNs` seeks ahead:
// into the clock's pass (when the movie loops and passes are measured) at the clock's time.
// Never while draining: the drain ends the pass whatever the decoder holds, so a seek there
// would be thrown away by the wrap, which then starts the pass after the one sought; the wrap
// goes to the clock's pass by itself, and a catch-up inside it follows if still needed.
CatchUp catchUp(int64_t clockNs, int64_t frameNs, int64_t keyIntervalNs, const Position& at);

// The pass a wrap starts: the next one, or after a long stall the clock's.
int64_t nextPass(int64_t clockNs, const Position& at);

// Whether a late picture (the next one is due already) is skipped rather than converted: when
// the decoder can make up the delay (`keepsUp`), or on the way from the key frame a catch-up
// seek landed on to the time it sought. A decoder that cannot keep up at all converts every
// picture instead: each is the newest the tick can show, and skipping would only show fewer.
// The first picture after a start is always shown.
bool skipLate(bool late, bool publishedSinceStart, bool keepsUp, int64_t frameEndNs,
              int64_t catchUpTargetNs);

// Whether a decoder with `threads` codec threads is rebuilt with the budget's `share` at a wrap
// where `queued` of at most `maxQueued` pictures wait for the clock. Opening a decoder and
// filling its threads takes a few frame periods, so only with a full queue to cover them, and
// only for a change to at least double or at most half: smaller ones gain too little.
bool takeThreadShare(int threads, int share, int queued, int maxQueued);

// Work a decoder that cannot keep up with its clock leaves out, cheapest loss first: at level 1
// the loop filter (H.264 on two threads: 12 % faster, every picture kept, a little blockier
// until the next key frame), at level 2 also the pictures no other picture refers to (a third
// of the pictures of a stream with B-frames, for 0-17 % less time: they are the cheap ones).
// Thinning out so beats decoding every picture late and then seeking ahead, which holds one
// picture for as long as the seek takes to pay off.
constexpr int kMaxDiscardLevel = 2;

struct Discard {
    int level = 0;
    int lateInARow = 0;  // pictures that came late while the decoder could not keep up
    int easyInARow = 0;  // pictures decoded with room to spare
};

// The level after one more picture. `lateNs`: how long after its due time the picture came out
// (negative: early); `load`: decode and convert time per picture over the movie time each
// picture advances (over 1: slower than the clock). Up a level after a few late pictures in a
// row, while the decoder cannot keep up; down again once it has had room to spare (enough to
// keep up without what the level saves) for a second or so.
Discard nextDiscard(Discard at, int64_t lateNs, int64_t frameNs, double load);

// a + b and a - b held at the ends of int64_t instead of overflowing (crafted timestamps).
int64_t saturatingAdd(int64_t a, int64_t b);
int64_t saturatingSub(int64_t a, int64_t b);

}  // namespace loopstage::media::loopRules
