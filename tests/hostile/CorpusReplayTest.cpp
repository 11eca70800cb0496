// Every committed fuzz input (seeds and the inputs that once broke something) replayed through the
// same checks the fuzz targets make, so the ordinary and sanitizer builds keep them fixed.
#include <algorithm>

#include "fuzz/FuzzChecks.h"
#include "fuzz/ScanChecks.h"
#include "support/TestFiles.h"

namespace qz {
namespace {

TEST(CorpusReplay, EveryCommittedInputPassesItsTargetsChecks) {
    using Check = std::function<std::string(const std::string& bytes, const std::string& scratch)>;
    auto bytesOf = [](const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); };
    const std::pair<const char*, Check> targets[] = {
        {"fuzz_volume_loader",
         [&](const std::string& b, const std::string& f) {
             return fuzz::checkVolumeLoad(bytesOf(b), b.size(), f);
         }},
        {"fuzz_volume_render",
         [&](const std::string& b, const std::string& f) {
             return fuzz::checkRender(bytesOf(b), b.size(), f);
         }},
        {"fuzz_transfer_text",
         [](const std::string& b, const std::string&) { return fuzz::checkTransferText(b); }},
        {"fuzz_scan_assembly",
         [&](const std::string& b, const std::string&) {
             return fuzz::checkScanAssembly(bytesOf(b), b.size());
         }},
    };
    testing::TempDir dir;
    for (const auto& [target, check] : targets) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(QZ_FUZZ_CORPUS) + "/" + target))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        ASSERT_GE(files.size(), 10u) << target;
        for (const auto& file : files) {
            const std::string bytes = testing::readFile(file.string());
            std::string problem;
            testing::stdoutLines([&] { problem = check(bytes, dir.file("replay.dat")); });
            EXPECT_EQ(problem, "") << target << "/" << file.filename();
        }
    }
}

}  // namespace
}  // namespace qz
