// Writes the fuzzer's seed corpus into DIR/bad: the broken inputs and the clean clips they were
// made from.
//   loopstage_fuzz_seeds DIR
#include <cstdio>
#include <filesystem>

#include "support/BadInputs.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    auto inputs = loopstage::test::makeBadInputs(std::string(argv[1]) + "/bad");
    // Only files are seeds: a pipe among them would hang the fuzzer's own reading.
    std::erase_if(inputs, [](const loopstage::test::BadInput& input) {
        std::error_code error;
        if (std::filesystem::is_regular_file(input.path, error)) return false;
        if (std::filesystem::is_fifo(input.path, error)) std::filesystem::remove(input.path, error);
        return true;
    });
    std::printf("%zu broken inputs and their clean clips written to %s/bad\n", inputs.size(),
                argv[1]);
    return 0;
}
