#include "support/ScriptedDisplayLink.h"

namespace loopstage::test {

int LinkScript::fire(const platform::VideoTimeStamp& now,
                     const platform::VideoTimeStamp& output) const {
    uint64_t flagsOut = 0;
    return callback ? callback(nullptr, &now, &output, 0, &flagsOut, context) : 0;
}

ScriptedDisplayLink::ScriptedDisplayLink(std::shared_ptr<LinkScript> script)
    : script_(std::move(script)) {
    script_->alive = true;
}

ScriptedDisplayLink::~ScriptedDisplayLink() {
    script_->alive = false;
    script_->running = false;
    script_->callback = nullptr;
}

int ScriptedDisplayLink::setOutputCallback(platform::DisplayLinkOutputCallback callback,
                                           void* context) {
    script_->callback = callback;
    script_->context = context;
    return 0;
}

int ScriptedDisplayLink::start() {
    ++script_->starts;
    if (script_->startStatus != 0) return script_->startStatus;
    script_->running = true;
    return 0;
}

int ScriptedDisplayLink::stop() {
    ++script_->stops;
    script_->running = false;
    return 0;
}

int ScriptedDisplayLink::setCurrentDisplay(platform::DisplayId display) {
    script_->currentDisplayCalls.push_back(display);
    if (script_->currentDisplayStatus != 0) return script_->currentDisplayStatus;
    display_ = display;
    return 0;
}

ScriptedDisplayLinks::ScriptedDisplayLinks() {
    auto shared = script;
    platform::setDisplayLinkFactoryForTesting(
        [shared](uint32_t mask, std::unique_ptr<platform::DisplayLink>* out) {
            if (shared->createStatus != 0) return shared->createStatus;
            auto link = std::make_unique<ScriptedDisplayLink>(shared);
            link->setCurrentDisplay(platform::firstDisplayInMask(mask));
            shared->currentDisplayCalls.clear();
            *out = std::move(link);
            return 0;
        });
}

ScriptedDisplayLinks::~ScriptedDisplayLinks() { platform::setDisplayLinkFactoryForTesting({}); }

}  // namespace loopstage::test
