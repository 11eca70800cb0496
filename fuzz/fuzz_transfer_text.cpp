// Feeds arbitrary text to the transfer-function reader and checks the table it leaves.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    const std::string problem = qz::fuzz::checkTransferText(text);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_transfer_text: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
