#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace loopstage::orchestra {
class Orchestra;
}
namespace loopstage::stage {
class OpenGLView;
}

namespace loopstage::app {

// Figures the status bar shows, read a few times a second on the main thread from counters
// the render tick keeps without locks.
struct ReadoutSample {
    int64_t hostNs = 0;
    int64_t ticks = 0;
    int64_t framesOutput = 0;
    struct Musician {
        int64_t framesTaken = 0;
        int64_t late = 0;   // frames the decoder finished after they were due
        int64_t loops = 0;  // loop wraps that reached the screen
    };
    std::vector<Musician> musicians;
};

ReadoutSample sampleReadout(const orchestra::Orchestra& orchestra, const stage::OpenGLView& view);

// "Playing · 60.0 ticks/s · 3 clips, 30.0 frames/s each · 0 late · 2 loops · 1234 frames output"
QString readoutText(const ReadoutSample& previous, const ReadoutSample& now, bool playing);

}  // namespace loopstage::app
