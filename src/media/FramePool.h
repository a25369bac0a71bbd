#pragma once

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "media/DecodedFrame.h"

namespace loopstage::media {

// The fixed set of RGBA frames of one movie and the exchange between its decode worker (which
// fills frames), the render thread (which takes the newest due one) and whoever holds FrameRefs.
//
// Every slot is in exactly one place: the free list, the time-ordered ready queue, the worker's
// hands (acquired, being written) or lent out through a FrameRef. A slot's buffer is allocated
// by the worker the first time a picture needs more room than it has (prepare), so a clip
// shown small never holds memory for its full picture size; taking and returning frames never
// allocate.
//
// Threads: every member function may be called from any thread; one mutex guards the lists and
// the control state, and one condition variable wakes the worker on every change it may wait
// for (a slot freed, stop, restart, poke). Lifetime: shared by the Movie and every FrameRef, so
// the last of them frees it.
class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    // Pictures of at most maxWidth x maxHeight.
    FramePool(int maxWidth, int maxHeight, int slotCount, int maxQueued);
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int slotCount() const { return slotCount_; }
    int maxQueued() const { return maxQueued_; }

    struct Control {
        bool stop = false;
        uint64_t generation = 0;  // bumped by restart(): frames of older generations are void
    };

    // ---- Worker
    // Waits until ready(control, hasRoom) is true; `ready` runs under the pool's mutex, so it
    // may read atomics that are changed before a poke() without missing the wake-up. hasRoom: a
    // slot is free and fewer than maxQueued frames wait. Returns the control state it saw.
    template <class Ready>
    Control waitUntil(Ready ready) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return ready(control_, hasRoomLocked()); });
        return control_;
    }
    Control control() const;
    // A slot to write into, or -1 when there is no room or `generation` is stale.
    int acquire(uint64_t generation);
    // The buffer of an acquired slot, with room for a width x height picture (at most the
    // pool's size) in rows of strideFor(width). Throws std::bad_alloc when it cannot be had.
    uint8_t* prepare(int slot, int width, int height);
    static int strideFor(int width);
    // Queues an acquired, written slot holding a picture of width x height (rows of
    // strideFor(width)); assigns its serial. When the generation went stale
    // meanwhile the slot goes back to the free list and false is returned.
    bool publish(int slot, int64_t timeNs, int64_t loopIteration, uint64_t generation, int width,
                 int height);
    // Gives back an acquired slot unwritten.
    void abandon(int slot);

    // ---- Control (main thread)
    void requestStop();
    // Starts a new generation: recycles every queued frame.
    uint64_t restart();
    // Clears a stop request so a new worker may run.
    void clearStop();
    // Wakes the worker to re-check state kept outside the pool.
    void poke();

    // ---- Render thread
    int64_t newestSerial(int64_t movieTimeNs) const;
    // Copies the facts (not the pixels) of the frame takeNewest would return; false if none.
    bool peekNewest(int64_t movieTimeNs, DecodedFrame& out) const;
    // timeNs of the newest queued frame, INT64_MIN when the queue is empty.
    int64_t newestQueuedTimeNs() const;
    FrameRef takeNewest(int64_t movieTimeNs);

    // ---- Facts
    int inUse() const;   // slots not in the free list
    int queued() const;  // slots in the ready queue

private:
    friend class FrameRef;
    void release(int slot) noexcept;
    bool hasRoomLocked() const { return freeCount_ > 0 && queueCount_ < maxQueued_; }
    void pushFreeLocked(int slot) { free_[static_cast<size_t>(freeCount_++)] = slot; }
    int queueAt(int i) const { return queue_[static_cast<size_t>((queueHead_ + i) % slotCount_)]; }
    void popQueueFrontLocked() {
        queueHead_ = (queueHead_ + 1) % slotCount_;
        --queueCount_;
    }

    struct AlignedDelete {
        void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };
    struct Slot {
        DecodedFrame frame;
        std::unique_ptr<uint8_t, AlignedDelete> buffer;  // written by the slot's holder only
        size_t capacity = 0;
    };

    const int width_, height_, slotCount_, maxQueued_;
    std::vector<Slot> slots_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    Control control_;
    std::vector<int> free_;  // stack of free slots, capacity slotCount
    int freeCount_ = 0;
    std::vector<int> queue_;  // ring, oldest first, non-decreasing timeNs
    int queueHead_ = 0, queueCount_ = 0;
    int64_t lastSerial_ = 0;
};

}  // namespace loopstage::media
