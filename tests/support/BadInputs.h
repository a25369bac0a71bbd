#pragma once

#include <string>
#include <vector>

namespace loopstage::test {

// Files a user may drop that are broken, odd or hostile, made from generated clips at test time
// (nothing binary is committed): empty and tiny files, truncations and bit flips at many
// offsets, byte runs, absurd claimed sizes, zero and negative time bases, clips whose every
// packet is corrupt or whose decoder set-up data is, a clip with sound only, images, text with a
// movie extension, folders, a named pipe and a device, unusual names. The clean clips the damaged
// ones were made from stay in the directory as clean.mp4, clean.avi and clean.mkv.
struct BadInput {
    std::string name;  // what it is, for messages
    std::string path;
};

// Writes the inputs into `directory` (created if needed). At least 200 of them.
std::vector<BadInput> makeBadInputs(const std::string& directory);

}  // namespace loopstage::test
