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

TEST(CorpusReplay, VolumeLoaderInputs) {
    ScratchDir dir;
    const auto files = corpus("fuzz_volume_loader");
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        const std::string bytes = contents(file);
        std::string problem;
        stdoutLines([&] {
            problem = fuzz::checkVolumeLoad(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                            dir.file("replay.dat"));
        });
        EXPECT_EQ(problem, "") << file.filename();
    }
}

TEST(CorpusReplay, RenderInputs) {
    ScratchDir dir;
    const auto files = corpus("fuzz_volume_render");
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        const std::string bytes = contents(file);
        std::string problem;
        stdoutLines([&] {
            problem = fuzz::checkRender(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                        dir.file("replay.dat"));
        });
        EXPECT_EQ(problem, "") << file.filename();
    }
}

TEST(CorpusReplay, TransferFunctionTexts) {
    const auto files = corpus("fuzz_transfer_text");
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files)
        EXPECT_EQ(fuzz::checkTransferText(contents(file)), "") << file.filename();
}

}  // namespace
}  // namespace qz::hostile
