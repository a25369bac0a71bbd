#include "orchestra/MusicianList.h"

#include "musician/Musician.h"

namespace loopstage::orchestra {

MusicianList::~MusicianList() { clear(); }

musician::Musician* MusicianList::at(std::size_t index) const {
    const Chunk* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
    return (*chunk)[index % kChunkSize];
}

bool MusicianList::append(std::unique_ptr<musician::Musician> musician) {
    const std::size_t index = count_.load(std::memory_order_relaxed);
    if (index >= kCapacity || !musician) return false;
    auto& slot = chunks_[index / kChunkSize];
    Chunk* chunk = slot.load(std::memory_order_relaxed);
    if (!chunk) {
        chunk = new Chunk{};
        slot.store(chunk, std::memory_order_release);
    }
    (*chunk)[index % kChunkSize] = musician.release();
    count_.store(index + 1, std::memory_order_release);
    return true;
}

void MusicianList::clear() {
    const std::size_t n = count_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) delete at(i);
    count_.store(0, std::memory_order_release);
    for (auto& slot : chunks_) delete slot.exchange(nullptr, std::memory_order_relaxed);
}

}  // namespace loopstage::orchestra
