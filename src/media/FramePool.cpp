#include "media/FramePool.h"

#include <utility>

namespace loopstage::media {
namespace {

// swscale's SIMD writes whole vectors: rows start on 64-byte boundaries and the buffer keeps a
// spare tail so the last row may be overrun by up to one vector.
constexpr int kAlign = 64;
constexpr size_t kTailPadding = 64;

int alignedStride(int width) { return (width * 4 + kAlign - 1) / kAlign * kAlign; }

}  // namespace

FramePool::FramePool(int maxWidth, int maxHeight, int slotCount, int maxQueued)
    : width_(maxWidth),
      height_(maxHeight),
      slotCount_(slotCount),
      maxQueued_(maxQueued < slotCount ? maxQueued : slotCount),
      slots_(static_cast<size_t>(slotCount)),
      free_(static_cast<size_t>(slotCount)),
      queue_(static_cast<size_t>(slotCount)) {
    for (int i = 0; i < slotCount_; ++i) pushFreeLocked(i);
}

int FramePool::strideFor(int width) { return alignedStride(width); }

uint8_t* FramePool::prepare(int slot, int width, int height) {
    // The slot is in the worker's hands: nobody else reads its buffer until it is published.
    Slot& s = slots_[static_cast<size_t>(slot)];
    const size_t bytes =
        static_cast<size_t>(alignedStride(width)) * static_cast<size_t>(height) + kTailPadding;
    if (bytes > s.capacity) {
        s.buffer.reset();
        s.capacity = 0;
        s.buffer.reset(static_cast<uint8_t*>(::operator new[](bytes, std::align_val_t{kAlign})));
        s.capacity = bytes;
    }
    return s.buffer.get();
}

FramePool::~FramePool() = default;

FramePool::Control FramePool::control() const {
    std::lock_guard lock(mutex_);
    return control_;
}

int FramePool::acquire(uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (control_.generation != generation || control_.stop || !hasRoomLocked()) return -1;
    return free_[static_cast<size_t>(--freeCount_)];
}

bool FramePool::publish(int slot, int64_t timeNs, int64_t loopIteration, uint64_t generation,
                        int width, int height) {
    std::lock_guard lock(mutex_);
    if (control_.generation != generation) {
        pushFreeLocked(slot);
        cv_.notify_all();
        return false;
    }
    Slot& s = slots_[static_cast<size_t>(slot)];
    DecodedFrame& f = s.frame;
    f.width = width;
    f.height = height;
    f.strideBytes = alignedStride(width);
    f.pixels = s.buffer.get();
    f.timeNs = timeNs;
    f.loopIteration = loopIteration;
    f.serial = ++lastSerial_;
    queue_[static_cast<size_t>((queueHead_ + queueCount_) % slotCount_)] = slot;
    ++queueCount_;
    return true;
}

void FramePool::abandon(int slot) {
    std::lock_guard lock(mutex_);
    pushFreeLocked(slot);
    cv_.notify_all();
}

void FramePool::requestStop() {
    std::lock_guard lock(mutex_);
    control_.stop = true;
    cv_.notify_all();
}

uint64_t FramePool::restart() {
    std::lock_guard lock(mutex_);
    while (queueCount_ > 0) {
        pushFreeLocked(queueAt(0));
        popQueueFrontLocked();
    }
    ++control_.generation;
    cv_.notify_all();
    return control_.generation;
}

void FramePool::clearStop() {
    std::lock_guard lock(mutex_);
    control_.stop = false;
}

void FramePool::poke() {
    // Taking the mutex orders the caller's earlier atomic stores before the worker's next check
    // of its wait predicate, so the wake-up cannot be lost.
    std::lock_guard lock(mutex_);
    cv_.notify_all();
}

int64_t FramePool::newestSerial(int64_t movieTimeNs) const {
    std::lock_guard lock(mutex_);
    int64_t serial = 0;
    for (int i = 0; i < queueCount_; ++i) {
        const DecodedFrame& f = slots_[static_cast<size_t>(queueAt(i))].frame;
        if (f.timeNs > movieTimeNs) break;
        serial = f.serial;
    }
    return serial;
}

bool FramePool::peekNewest(int64_t movieTimeNs, DecodedFrame& out) const {
    std::lock_guard lock(mutex_);
    bool found = false;
    for (int i = 0; i < queueCount_; ++i) {
        const DecodedFrame& f = slots_[static_cast<size_t>(queueAt(i))].frame;
        if (f.timeNs > movieTimeNs) break;
        out = f;
        found = true;
    }
    return found;
}

int64_t FramePool::newestQueuedTimeNs() const {
    std::lock_guard lock(mutex_);
    if (queueCount_ == 0) return INT64_MIN;
    return slots_[static_cast<size_t>(queueAt(queueCount_ - 1))].frame.timeNs;
}

FrameRef FramePool::takeNewest(int64_t movieTimeNs) {
    int slot = -1;
    {
        std::lock_guard lock(mutex_);
        int due = 0;
        while (due < queueCount_ &&
               slots_[static_cast<size_t>(queueAt(due))].frame.timeNs <= movieTimeNs)
            ++due;
        if (due == 0) return FrameRef();
        for (int i = 0; i < due - 1; ++i) {
            pushFreeLocked(queueAt(0));
            popQueueFrontLocked();
        }
        slot = queueAt(0);
        popQueueFrontLocked();
        cv_.notify_all();
    }
    return FrameRef(shared_from_this(), slot, &slots_[static_cast<size_t>(slot)].frame);
}

void FramePool::release(int slot) noexcept {
    std::lock_guard lock(mutex_);
    pushFreeLocked(slot);
    cv_.notify_all();
}

int FramePool::inUse() const {
    std::lock_guard lock(mutex_);
    return slotCount_ - freeCount_;
}

int FramePool::queued() const {
    std::lock_guard lock(mutex_);
    return queueCount_;
}

// ---- FrameRef

FrameRef::FrameRef(FrameRef&& other) noexcept
    : pool_(std::move(other.pool_)),
      slot_(std::exchange(other.slot_, -1)),
      frame_(std::exchange(other.frame_, nullptr)) {}

FrameRef& FrameRef::operator=(FrameRef&& other) noexcept {
    if (this != &other) {
        reset();
        pool_ = std::move(other.pool_);
        slot_ = std::exchange(other.slot_, -1);
        frame_ = std::exchange(other.frame_, nullptr);
    }
    return *this;
}

FrameRef::~FrameRef() { reset(); }

void FrameRef::reset() {
    if (pool_ && slot_ >= 0) pool_->release(slot_);
    slot_ = -1;
    frame_ = nullptr;
    pool_.reset();
}

}  // namespace loopstage::media
