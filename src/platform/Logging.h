#pragma once

namespace loopstage::platform {

// Stamps every log line with time, program name and process id, as a system log would.
void installLogFormat();

}  // namespace loopstage::platform
