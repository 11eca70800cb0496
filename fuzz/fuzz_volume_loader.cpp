// Feeds arbitrary bytes to the volume loader as a .dat file and checks the outcome.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzChecks.h"

namespace {
std::string scratchPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratchPath =
        (std::filesystem::temp_directory_path() / ("qz-fuzz-volume-" + std::to_string(getpid()) + ".dat"))
            .string();
    // The loader's diagnostics (one line per clamped sample) would drown libFuzzer's own output.
    if (!std::getenv("QZ_FUZZ_VERBOSE"))
        std::freopen("/dev/null", "w", stdout);
    std::atexit([] {
        std::remove(scratchPath.c_str());
        std::remove((scratchPath + ".known").c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string problem = qz::fuzz::checkVolumeLoad(bytes, size, scratchPath);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_volume_loader: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
