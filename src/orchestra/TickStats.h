#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace loopstage::orchestra {

// What the render tick measures about itself: written by the display link's thread only, read
// from any thread (the status readout, benchmarks) without locks. Nothing here allocates.
class TickStats {
public:
    static constexpr int kWorkSamples = 4096;

    // The tick's work ran from `startNs` to `endNs`; its frame is due on screen at `deadlineNs`
    // (the output time, also the next tick's deadline). Ending after it makes the tick late.
    void recordTick(int64_t startNs, int64_t endNs, int64_t deadlineNs) {
        const int64_t n = ticks_.load(std::memory_order_relaxed);
        workUs_[static_cast<size_t>(n % kWorkSamples)].store(
            static_cast<int32_t>((endNs - startNs) / 1000), std::memory_order_relaxed);
        if (endNs > deadlineNs) late_.fetch_add(1, std::memory_order_relaxed);
        ticks_.store(n + 1, std::memory_order_release);
    }

    int64_t ticks() const { return ticks_.load(std::memory_order_acquire); }
    int64_t lateTicks() const { return late_.load(std::memory_order_relaxed); }
    // Work of tick i (for i among the last kWorkSamples), in microseconds.
    int32_t workUs(int64_t tick) const {
        return workUs_[static_cast<size_t>(tick % kWorkSamples)].load(std::memory_order_relaxed);
    }

private:
    std::atomic<int64_t> ticks_{0};
    std::atomic<int64_t> late_{0};
    std::array<std::atomic<int32_t>, kWorkSamples> workUs_{};
};

}  // namespace loopstage::orchestra
