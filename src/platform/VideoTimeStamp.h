#pragma once

#include <cstdint>

namespace loopstage::platform {

// What a display link says about one refresh. Passed read-only, by address, from the display
// link's thread through the render tick to every frame take of that tick.
struct VideoTimeStamp {
    // Host time (HostTime.h) of the refresh this stamp describes. For the output stamp of a
    // tick: the moment the frame drawn in that tick will be shown.
    int64_t hostTime = 0;
    // Number of refreshes since the display link started, counted in the link's own pacing.
    int64_t videoTime = 0;
    // Nominal refresh period in nanoseconds.
    int64_t videoRefreshPeriod = 0;
    // Measured period / nominal period; 1.0 until measured.
    double rateScalar = 1.0;
};

}  // namespace loopstage::platform
