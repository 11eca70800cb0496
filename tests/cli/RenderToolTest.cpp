// quarzelle-render run as a separate process: its errors, its images and its timing lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "data/Data.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tools/phantom.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktText.h"

namespace qz {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Decodes the PNGs the tool writes (RGBA, stored deflate blocks, filter 0), checking every CRC and
// the Adler-32; false if anything is off.
bool decodePng(const std::string& bytes, int* width, int* height, std::vector<std::uint8_t>* rgba) {
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(bytes[at])) << 24 |
               std::uint32_t(std::uint8_t(bytes[at + 1])) << 16 |
               std::uint32_t(std::uint8_t(bytes[at + 2])) << 8 | std::uint32_t(std::uint8_t(bytes[at + 3]));
    };
    auto crc = [](const char* data, std::size_t size) {
        std::uint32_t c = 0xffffffffU;
        for (std::size_t i = 0; i < size; ++i) {
            c ^= std::uint8_t(data[i]);
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320U ^ (c >> 1) : c >> 1;
        }
        return c ^ 0xffffffffU;
    };
    if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        return false;
    std::string zlib;
    bool header = false, end = false;
    for (std::size_t at = 8; at + 12 <= bytes.size() && !end;) {
        const std::uint32_t length = u32(at);
        if (at + 12 + length > bytes.size())
            return false;
        const std::string type = bytes.substr(at + 4, 4);
        if (crc(bytes.data() + at + 4, 4 + length) != u32(at + 8 + length))
            return false;
        if (type == "IHDR") {
            *width = int(u32(at + 8));
            *height = int(u32(at + 12));
            if (bytes.substr(at + 16, 5) != std::string("\x08\x06\x00\x00\x00", 5))
                return false;
            header = true;
        } else if (type == "IDAT") {
            zlib += bytes.substr(at + 8, length);
        } else if (type == "IEND") {
            end = true;
        }
        at += 12 + length;
    }
    if (!header || !end || zlib.size() < 6 || std::uint8_t(zlib[0]) != 0x78)
        return false;
    std::string raw;
    std::size_t at = 2;
    for (bool last = false; !last;) {
        if (at + 5 > zlib.size() || (std::uint8_t(zlib[at]) & 0x06) != 0)
            return false;  // stored blocks only
        last = zlib[at] & 1;
        const unsigned length = std::uint8_t(zlib[at + 1]) | std::uint8_t(zlib[at + 2]) << 8;
        const unsigned check = std::uint8_t(zlib[at + 3]) | std::uint8_t(zlib[at + 4]) << 8;
        if ((length ^ 0xffff) != check || at + 5 + length > zlib.size())
            return false;
        raw += zlib.substr(at + 5, length);
        at += 5 + length;
    }
    std::uint32_t a = 1, b = 0;
    for (char c : raw) {
        a = (a + std::uint8_t(c)) % 65521;
        b = (b + a) % 65521;
    }
    if (at + 4 != zlib.size())
        return false;
    const std::uint32_t adler = std::uint32_t(std::uint8_t(zlib[at])) << 24 |
                                std::uint32_t(std::uint8_t(zlib[at + 1])) << 16 |
                                std::uint32_t(std::uint8_t(zlib[at + 2])) << 8 | std::uint8_t(zlib[at + 3]);
    if (adler != (b << 16 | a))
        return false;
    const std::size_t row = 4 * std::size_t(*width);
    if (raw.size() != std::size_t(*height) * (row + 1))
        return false;
    rgba->clear();
    for (int y = 0; y < *height; ++y) {
        if (raw[std::size_t(y) * (row + 1)] != 0)
            return false;
        const char* p = raw.data() + std::size_t(y) * (row + 1) + 1;
        rgba->insert(rgba->end(), p, p + row);
    }
    return true;
}

class RenderTool : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        dir = std::filesystem::temp_directory_path() /
              ("qz-cli-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir);
        std::string error;
        ASSERT_TRUE(phantom::writeFile(file("head.dat"), 24, 20, 16, 5, &error)) << error;
        std::ofstream(file("window.tf"))
            << "# bone only\nalpha 0 0\nalpha 999 0\nalpha 2500 40\nalpha 4095 255\n"
            << "rgb 2000 255 200 150\n";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string file(const std::string& name) const { return (dir / name).string(); }

    ToolRun run(const std::vector<std::string>& args) const {
        std::string command = quote(QZ_RENDER_TOOL);
        for (const auto& a : args)
            command += " " + quote(a);
        command += " >" + quote(file("stdout.txt")) + " 2>" + quote(file("stderr.txt")) + " </dev/null";
        ToolRun r;
        const int raw = std::system(command.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = readAll(file("stdout.txt"));
        r.err = readAll(file("stderr.txt"));
        return r;
    }

    // Image files and leftovers in the scratch directory, apart from the inputs and captured output.
    std::vector<std::string> outputs() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string ext = e.path().extension().string();
            if (ext != ".dat" && ext != ".tf" && ext != ".txt")
                names.push_back(e.path().filename().string());
        }
        return names;
    }

    void expectRefused(const std::vector<std::string>& args, int status, const std::string& mentions) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, status) << joined << "\n" << r.err;
        const auto errLines = lines(r.err);
        ASSERT_EQ(errLines.size(), 1u) << joined << "\n" << r.err;
        EXPECT_EQ(errLines[0].rfind("quarzelle-render: ", 0), 0u) << errLines[0];
        EXPECT_NE(errLines[0].find(mentions), std::string::npos) << errLines[0];
        EXPECT_TRUE(outputs().empty()) << joined << " left " << outputs().front();
    }

    std::filesystem::path dir;
};

TEST_F(RenderTool, BadArgumentsGiveOneLineAndNoImage) {
    const std::string in = file("head.dat"), out = file("out.png");
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const Case cases[] = {
        {{}, "no volume"},
        {{in, "--out", out}, "no renderer"},
        {{in, "--renderer", "volume"}, "no output"},
        {{in, "--renderer", "cubes", "--out", out}, "cubes"},
        {{in, "--renderer", "volume", "--out", out, "--colour"}, "--colour"},
        {{in, "--renderer", "volume", "--out", out, "--resolution"}, "needs a value"},
        {{in, "--renderer", "volume", "--out", out, "--resolution", "abc"}, "abc"},
        {{in, "--renderer", "volume", "--out", out, "--resolution", "0"}, "resolution"},
        {{in, "--renderer", "volume", "--out", out, "--resolution", "16385"}, "16385"},
        {{in, "--renderer", "volume", "--out", out, "--resolution", "12x"}, "12x"},
        {{in, "--renderer", "volume", "--out", out, "--quality", "2"}, "quality"},
        {{in, "--renderer", "slices", "--out", out, "--axis", "3"}, "axis"},
        {{in, "--renderer", "slices", "--out", out, "--depth", "nan"}, "depth"},
        {{in, "--renderer", "volume", "--out", out, "--orientation", "0", "nan", "0"}, "nan"},
        {{in, "--renderer", "volume", "--out", out, "--orientation", "0", "1"}, "three values"},
        {{in, "--renderer", "volume", "--out", out, "--orientation", "inf", "0", "0"}, "inf"},
        {{in, "--renderer", "volume", "--out", out, "--threads", "0"}, "thread"},
        {{in, "--renderer", "volume", "--out", file("out.bmp")}, ".bmp"},
        {{in, in, "--renderer", "volume", "--out", out}, "unexpected"},
    };
    for (const auto& c : cases)
        expectRefused(c.args, 2, c.mentions);
}

TEST_F(RenderTool, UnusableInputsAndOutputsGiveOneLineAndNoImage) {
    const std::string out = file("out.png");
    expectRefused({file("missing.dat"), "--renderer", "slices", "--out", out}, 1, "missing.dat");
    expectRefused({dir.string(), "--renderer", "slices", "--out", out}, 1, "not a regular file");

    // Malformed volumes: the loader's own diagnostics appear on standard output.
    std::ofstream(file("tiny.dat")) << "abcd";
    std::ofstream(file("cut.dat")) << std::string("\x02\x00\x02\x00\x02\x00\x01\x00", 8);
    std::ofstream(file("flat.dat")) << std::string("\x00\x00\x05\x00\x05\x00", 6);
    for (const char* name : {"tiny.dat", "cut.dat", "flat.dat"}) {
        const ToolRun r = run({file(name), "--renderer", "volume", "--out", out});
        EXPECT_EQ(r.status, 1) << name;
        ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
        if (std::string(name) != "flat.dat") {
            EXPECT_EQ(r.out.rfind("Data:Error: ", 0), 0u) << r.out;
        }
        std::filesystem::remove(file(name));
        EXPECT_TRUE(outputs().empty());
    }

    std::ofstream(file("bad.tf")) << "alpha 10 20\nbeta 3\n";
    expectRefused({file("head.dat"), "--renderer", "mip", "--tf", file("bad.tf"), "--out", out}, 1, "bad.tf");
    std::filesystem::remove(file("bad.tf"));
    expectRefused({file("head.dat"), "--renderer", "mip", "--tf", file("none.tf"), "--out", out}, 1,
                  "none.tf");
    expectRefused({file("head.dat"), "--renderer", "mip", "--out", file("no/such/dir/out.png")}, 1,
                  "out.png");

    // A failed run leaves an existing image as it was.
    std::ofstream(out) << "old";
    const ToolRun r = run({file("head.dat"), "--renderer", "mip", "--tf", file("none.tf"), "--out", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readAll(out), "old");
    EXPECT_EQ(outputs(), std::vector<std::string>{"out.png"});
}

// The PNG holds exactly the bytes the renderer makes in this process with the same settings.
TEST_F(RenderTool, PngKeepsTheRenderersBytes) {
    NotificationCenter center;
    Data data(center);
    data.loadFromFileName(file("head.dat"));
    TransferFkt windowed(center), ramp(center);
    std::string error;
    ASSERT_TRUE(loadTransferFktFile(file("window.tf"), windowed, &error)) << error;

    struct Case {
        std::vector<std::string> args;
        std::unique_ptr<Renderer> renderer;
    };
    std::vector<Case> cases;
    {
        auto slices = std::make_unique<Slices>(data, ramp);
        slices->setAxis(1);
        slices->setDepth(0.3f);
        slices->setMaxImageResolution(41);
        cases.push_back({{"--renderer", "slices", "--axis", "1", "--depth", "0.3", "--resolution", "41"},
                         std::move(slices)});
    }
    {
        auto volume = std::make_unique<Volume>(data, windowed);
        volume->setQuality(1);
        volume->setDoShading(true);
        volume->setOrientation(MakeVector(0.5f, 0.7f, 0.2f));
        volume->setMaxImageResolution(37);
        cases.push_back({{"--renderer", "volume", "--quality", "1", "--shading", "--orientation", "0.5",
                          "0.7", "0.2", "--tf", file("window.tf"), "--resolution", "37", "--threads", "3"},
                         std::move(volume)});
    }
    {
        auto mip = std::make_unique<MIP>(data, windowed);
        mip->setQuality(0);  // the tool's default for MIP
        mip->setOrientation(MakeVector(-1.0f, 0.25f, 3.0f));
        cases.push_back({{"--renderer", "mip", "--orientation", "-1", "0.25", "3", "--tf", file("window.tf")},
                         std::move(mip)});
    }
    for (auto& c : cases) {
        std::vector<std::string> args{file("head.dat"), "--out", file("image.png")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun r = run(args);
        ASSERT_EQ(r.status, 0) << c.args[1] << ": " << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar when standard error is not a terminal
        const auto expected = c.renderer->imageRef();
        ASSERT_TRUE(expected);
        int width = 0, height = 0;
        std::vector<std::uint8_t> pixels;
        ASSERT_TRUE(decodePng(readAll(file("image.png")), &width, &height, &pixels)) << c.args[1];
        EXPECT_EQ(width, expected->width) << c.args[1];
        EXPECT_EQ(height, expected->height) << c.args[1];
        EXPECT_TRUE(pixels == expected->pixels) << c.args[1];
        EXPECT_EQ(outputs(), std::vector<std::string>{"image.png"});
    }
}

TEST_F(RenderTool, JpegTimingAndLoaderDiagnostics) {
    // Trailing bytes: the loader's message on standard output, then a normal render.
    {
        std::ofstream f(file("head.dat"), std::ios::binary | std::ios::app);
        f << "xy";
    }
    const ToolRun r = run({file("head.dat"), "--renderer", "slices", "--time", "--out", file("slice.JPG")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0].rfind("Data:Error: file has invalid length '", 0), 0u) << out[0];
    auto timed = [](const std::string& line, const std::string& label) {
        if (line.rfind(label + ": ", 0) != 0 || line.size() < label.size() + 8)
            return false;
        const std::string number = line.substr(label.size() + 2, line.size() - label.size() - 4);
        const auto dot = number.find('.');
        return line.substr(line.size() - 2) == " s" && dot != std::string::npos && number.size() - dot == 4 &&
               number.find_first_not_of("0123456789.") == std::string::npos;
    };
    EXPECT_TRUE(timed(out[1], "load")) << out[1];
    EXPECT_TRUE(timed(out[2], "render")) << out[2];
    const std::string jpeg = readAll(file("slice.JPG"));
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
    EXPECT_EQ(outputs(), std::vector<std::string>{"slice.JPG"});
}

}  // namespace
}  // namespace qz
