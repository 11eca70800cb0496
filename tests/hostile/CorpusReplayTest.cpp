// Every committed fuzz input (seeds and the inputs that once broke something) replayed through the
// same checks the fuzz targets make, so the ordinary and sanitizer builds keep them fixed.
#include <fstream>
#include <iterator>

#include "hostile/HostileSupport.h"

namespace qz::hostile {
namespace {

std::vector<std::filesystem::path> corpus(const std::string& target) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(QZ_FUZZ_CORPUS) + "/" + target))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each fuzz target's corpus through that target's checks.
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
    };
    ScratchDir dir;
    for (const auto& [target, check] : targets) {
        const auto files = corpus(target);
        ASSERT_GE(files.size(), 10u) << target;
        for (const auto& file : files) {
            const std::string bytes = contents(file);
            std::string problem;
            stdoutLines([&] { problem = check(bytes, dir.file("replay.dat")); });
            EXPECT_EQ(problem, "") << target << "/" << file.filename();
        }
    }
}

}  // namespace
}  // namespace qz::hostile
