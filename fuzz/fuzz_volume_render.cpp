// Renders arbitrary volume files with arbitrary settings (NaN and infinite angles and depths,
// refused resolutions, out-of-range axes and qualities) and checks the image and what it leaves.
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
        (std::filesystem::temp_directory_path() / ("qz-fuzz-render-" + std::to_string(getpid()) + ".dat"))
            .string();
    // Loader and renderer diagnostics would drown libFuzzer's own output.
    if (!std::getenv("QZ_FUZZ_VERBOSE"))
        std::freopen("/dev/null", "w", stdout);
    std::atexit([] { std::remove(scratchPath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string problem = qz::fuzz::checkRender(bytes, size, scratchPath);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_volume_render: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
