#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>

namespace loopstage::musician {
class Musician;
}

namespace loopstage::orchestra {

// The ordered list of musicians, owned here. It only grows at its end.
//
// Threads: append() and the destructor run on the main thread; count() and at() may run on any
// thread at the same time as an append. Entries live in fixed chunks that never move, and the
// count is published with release order after the entry is written, so a reader that sees a
// count sees every entry below it whole. Neither read allocates or locks.
class MusicianList {
public:
    static constexpr std::size_t kChunkSize = 64;
    static constexpr std::size_t kMaxChunks = 256;
    static constexpr std::size_t kCapacity = kChunkSize * kMaxChunks;

    MusicianList() = default;
    MusicianList(const MusicianList&) = delete;
    MusicianList& operator=(const MusicianList&) = delete;
    ~MusicianList();

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    // Valid for index < count().
    musician::Musician* at(std::size_t index) const;
    // Takes ownership; false (and the musician destroyed) when the list is full.
    bool append(std::unique_ptr<musician::Musician> musician);
    // Destroys every musician in list order and empties the list. Only when no reader runs.
    void clear();

private:
    using Chunk = std::array<musician::Musician*, kChunkSize>;
    std::array<std::atomic<Chunk*>, kMaxChunks> chunks_{};
    std::atomic<std::size_t> count_{0};
};

}  // namespace loopstage::orchestra
