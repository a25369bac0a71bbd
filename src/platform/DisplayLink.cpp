#include "platform/DisplayLink.h"

#include <pthread.h>

#include <system_error>

#include "platform/HostTime.h"

namespace loopstage::platform {

namespace {

DisplayLinkFactory& factoryOverride() {
    static DisplayLinkFactory factory;
    return factory;
}

std::function<int64_t(DisplayId)>& periodLookupOverride() {
    static std::function<int64_t(DisplayId)> lookup;
    return lookup;
}

int64_t periodOf(DisplayId display) {
    const auto& lookup = periodLookupOverride();
    const int64_t period = lookup ? lookup(display) : refreshPeriodNsOf(display);
    return period > 0 ? period : 1'000'000'000LL / 60;  // the link divides by it
}

}  // namespace

int createDisplayLinkWithDisplayMask(uint32_t displayMask, std::unique_ptr<DisplayLink>* out) {
    out->reset();
    if (const auto& factory = factoryOverride()) return factory(displayMask, out);
    const DisplayId display = firstDisplayInMask(displayMask);
    if (display == 0 || !screenOfDisplay(display)) return kDisplayLinkInvalidDisplay;
    *out = std::make_unique<ThreadedDisplayLink>(display, periodOf(display));
    return kDisplayLinkSuccess;
}

void setDisplayLinkFactoryForTesting(DisplayLinkFactory factory) {
    factoryOverride() = std::move(factory);
}

void setRefreshPeriodLookupForTesting(std::function<int64_t(DisplayId)> lookup) {
    periodLookupOverride() = std::move(lookup);
}

ThreadedDisplayLink::ThreadedDisplayLink(DisplayId display, int64_t refreshPeriodNs)
    : display_(display), periodNs_(refreshPeriodNs > 0 ? refreshPeriodNs : 1'000'000'000LL / 60) {}

ThreadedDisplayLink::~ThreadedDisplayLink() { stop(); }

int ThreadedDisplayLink::setOutputCallback(DisplayLinkOutputCallback callback, void* context) {
    // The thread reads the callback without the mutex, so it may change only while stopped.
    if (thread_.joinable()) return kDisplayLinkWrongThread;
    callback_ = callback;
    context_ = context;
    return kDisplayLinkSuccess;
}

int ThreadedDisplayLink::start() {
    if (thread_.joinable()) return kDisplayLinkSuccess;
    {
        std::lock_guard guard(mutex_);
        stopRequested_ = false;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return kDisplayLinkThreadFailed;
    }
    return kDisplayLinkSuccess;
}

int ThreadedDisplayLink::stop() {
    if (!thread_.joinable()) return kDisplayLinkSuccess;
    if (thread_.get_id() == std::this_thread::get_id()) return kDisplayLinkWrongThread;
    {
        std::lock_guard guard(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    thread_.join();
    return kDisplayLinkSuccess;
}

bool ThreadedDisplayLink::isRunning() const { return thread_.joinable(); }

int ThreadedDisplayLink::setCurrentDisplay(DisplayId display) {
    if (display == 0 || !screenOfDisplay(display)) return kDisplayLinkInvalidDisplay;
    display_ = display;
    periodNs_.store(periodOf(display), std::memory_order_relaxed);
    return kDisplayLinkSuccess;
}

DisplayId ThreadedDisplayLink::currentDisplay() const { return display_; }

void ThreadedDisplayLink::run() {
    // Named so profilers and the benchmark can tell the render thread's CPU from the decoders'.
    (void)pthread_setname_np(pthread_self(), "loopstage-tick");
    int64_t refreshes = 0;
    int64_t deadline = hostTimeNow();
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, hostTimeToTimePoint(deadline),
                             [this] { return stopRequested_; })) {
            return;
        }
        const int64_t period = periodNs_.load(std::memory_order_relaxed);
        const int64_t late = hostTimeNow() - deadline;
        if (late >= period) {
            const int64_t missed = late / period;
            deadline += missed * period;
            refreshes += missed;
            skipped_.fetch_add(missed, std::memory_order_relaxed);
        }
        const VideoTimeStamp now{deadline, refreshes, period, 1.0};
        const VideoTimeStamp output{deadline + period, refreshes + 1, period, 1.0};
        lock.unlock();
        uint64_t flagsOut = 0;
        if (callback_) callback_(this, &now, &output, 0, &flagsOut, context_);
        lock.lock();
        deadline += period;
        ++refreshes;
    }
}

}  // namespace loopstage::platform
