#pragma once

#include <cstdint>
#include <memory>

namespace loopstage::media {

class FramePool;

// One decoded picture, RGBA8 with straight (not premultiplied) alpha, top row first, in a
// buffer owned by its movie's FramePool. Opaque sources have alpha 255.
//
// Written only by the movie's decode worker while the frame is neither queued nor lent out;
// once published it is immutable until every FrameRef on it is gone, so readers on any thread
// may use the fields and pixels without locking.
struct DecodedFrame {
    int width = 0, height = 0;  // picture size in pixels after cropping (no decoder padding)
    int strideBytes = 0;        // row pitch of `pixels`, >= width*4, a multiple of 64
    const uint8_t* pixels = nullptr;
    int64_t timeNs = 0;  // unwrapped movie time: loopIteration * durationNs + (pts - firstPts)
    int64_t serial = 0;  // unique, strictly increasing per movie, starts at 1
    int64_t loopIteration = 0;
};

// Move-only loan of a pooled DecodedFrame. Destroying or resetting it, on any thread, returns
// the frame to its pool and may wake the movie's decode worker. It keeps the pool alive, so it
// may outlive the Movie it came from. Taking and returning never allocate. One FrameRef must not
// be used from two threads at once (like any object); different FrameRefs are independent.
class FrameRef {
public:
    FrameRef() = default;
    FrameRef(FrameRef&& other) noexcept;
    FrameRef& operator=(FrameRef&& other) noexcept;
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;
    ~FrameRef();

    const DecodedFrame* get() const { return frame_; }
    const DecodedFrame* operator->() const { return frame_; }
    const DecodedFrame& operator*() const { return *frame_; }
    explicit operator bool() const { return frame_ != nullptr; }
    void reset();

private:
    friend class FramePool;
    FrameRef(std::shared_ptr<FramePool> pool, int slot, const DecodedFrame* frame) noexcept
        : pool_(std::move(pool)), slot_(slot), frame_(frame) {}

    std::shared_ptr<FramePool> pool_;
    int slot_ = -1;
    const DecodedFrame* frame_ = nullptr;
};

}  // namespace loopstage::media
