#pragma once

#include <memory>
#include <vector>

#include "platform/DisplayLink.h"

namespace loopstage::test {

// A display link driven by the test, for the cases the real one cannot produce: a link that
// refuses to start, a creation that fails, ticks at chosen times. The script outlives the link.
struct LinkScript {
    int createStatus = 0;
    int startStatus = 0;
    // What setCurrentDisplay answers; the call is recorded whatever it answers.
    int currentDisplayStatus = 0;
    int starts = 0;
    int stops = 0;
    std::vector<platform::DisplayId> currentDisplayCalls;
    platform::DisplayLinkOutputCallback callback = nullptr;
    void* context = nullptr;
    bool running = false;
    bool alive = false;

    // Calls the installed callback on this thread as the link's thread would.
    int fire(const platform::VideoTimeStamp& now, const platform::VideoTimeStamp& output) const;
};

class ScriptedDisplayLink final : public platform::DisplayLink {
public:
    explicit ScriptedDisplayLink(std::shared_ptr<LinkScript> script);
    ~ScriptedDisplayLink() override;
    int setOutputCallback(platform::DisplayLinkOutputCallback callback, void* context) override;
    int start() override;
    int stop() override;
    bool isRunning() const override { return script_->running; }
    int setCurrentDisplay(platform::DisplayId display) override;
    platform::DisplayId currentDisplay() const override { return display_; }

private:
    std::shared_ptr<LinkScript> script_;
    platform::DisplayId display_ = 0;
};

// Installs the scripted factory while it exists.
class ScriptedDisplayLinks {
public:
    ScriptedDisplayLinks();
    ~ScriptedDisplayLinks();
    std::shared_ptr<LinkScript> script = std::make_shared<LinkScript>();
};

}  // namespace loopstage::test
