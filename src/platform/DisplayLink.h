#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Displays.h"
#include "platform/VideoTimeStamp.h"

namespace loopstage::platform {

class DisplayLink;

// Called on the display link's own thread once per refresh while the link runs. `now` describes
// the refresh that just came, `outputTime` the one at which a frame drawn now will be shown.
using DisplayLinkOutputCallback = int (*)(DisplayLink* link, const VideoTimeStamp* now,
                                          const VideoTimeStamp* outputTime, uint64_t flagsIn,
                                          uint64_t* flagsOut, void* context);

// Statuses: 0 is success.
enum DisplayLinkStatus : int {
    kDisplayLinkSuccess = 0,
    kDisplayLinkInvalidDisplay = -6661,
    kDisplayLinkThreadFailed = -6662,
    kDisplayLinkWrongThread = -6663,
};

// A display-synchronised timer.
//
// Threads: every operation is called on the main thread. The callback runs on the link's own
// thread. stop() and the destructor return only after the callback in progress (if any) has
// returned, and no callback starts after they return; so a callback must never wait for the
// main thread, or stop() would deadlock.
class DisplayLink {
public:
    virtual ~DisplayLink() = default;
    virtual int setOutputCallback(DisplayLinkOutputCallback callback, void* context) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual bool isRunning() const = 0;
    virtual int setCurrentDisplay(DisplayId display) = 0;
    virtual DisplayId currentDisplay() const = 0;
};

// Creates a link following the first display of the mask; fails with a non-zero status (and
// leaves `out` empty) for a mask naming no display.
int createDisplayLinkWithDisplayMask(uint32_t displayMask, std::unique_ptr<DisplayLink>* out);

// Tests stand in for links that the real one cannot imitate (one that refuses to start); an
// empty function restores the real factory.
using DisplayLinkFactory = std::function<int(uint32_t, std::unique_ptr<DisplayLink>*)>;
void setDisplayLinkFactoryForTesting(DisplayLinkFactory factory);
// Tests stand in for a display whose refresh rate differs from the one Xvfb reports (it has one
// screen at one rate); an empty function restores the displays' own rates.
void setRefreshPeriodLookupForTesting(std::function<int64_t(DisplayId)> lookup);

// The real link: a thread that sleeps until absolute deadlines one refresh period apart on the
// host clock. X servers without vertical sync (Xvfb) return from swaps at once, so the pacing
// cannot lean on the swap. Refreshes that a slow callback missed are skipped, not caught up.
class ThreadedDisplayLink final : public DisplayLink {
public:
    ThreadedDisplayLink(DisplayId display, int64_t refreshPeriodNs);
    ~ThreadedDisplayLink() override;

    int setOutputCallback(DisplayLinkOutputCallback callback, void* context) override;
    int start() override;
    int stop() override;
    bool isRunning() const override;
    int setCurrentDisplay(DisplayId display) override;
    DisplayId currentDisplay() const override;

    int64_t refreshPeriodNs() const { return periodNs_.load(std::memory_order_relaxed); }
    // Refreshes passed over because a callback ran past the next deadline.
    int64_t skippedRefreshes() const { return skipped_.load(std::memory_order_relaxed); }

private:
    void run();

    DisplayId display_ = 0;  // main thread only
    std::atomic<int64_t> periodNs_;
    std::atomic<int64_t> skipped_{0};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;                    // guarded by mutex_
    DisplayLinkOutputCallback callback_ = nullptr;  // set only while stopped
    void* context_ = nullptr;
    std::thread thread_;
};

}  // namespace loopstage::platform
