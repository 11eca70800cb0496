// Feeds arbitrary bytes to the DICOM series assembly (as slice headers) and the density rule (as
// samples) and checks the outcome.
#include <cstdio>
#include <cstdlib>

#include "fuzz/ScanChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string problem = qz::fuzz::checkScanAssembly(bytes, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_scan_assembly: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
