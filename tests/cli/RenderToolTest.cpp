// quarzelle-render run as a separate process, as a user would: either it writes a whole image and
// exits 0, or it prints one line on stderr, exits non-zero and leaves no image behind. It never
// crashes and never hangs, whatever the arguments, volumes and output paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "data/Data.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Subprocess.h"
#include "tools/phantom.h"
#include "transfer/TransferFktText.h"

namespace qz {
namespace {

using testing::volumeBytes;

std::uint32_t be32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) << 24 | std::uint32_t(std::uint8_t(b[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 8 | std::uint8_t(b[at + 3]);
}

// Decodes the PNGs the tool writes (RGBA, stored deflate blocks, filter 0), checking every CRC and
// the Adler-32; false if anything is off.
bool decodePng(const std::string& bytes, int* width, int* height, std::vector<std::uint8_t>* rgba) {
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
    std::string zlib, type;
    for (std::size_t at = 8; type != "IEND"; at += 12 + be32(bytes, at)) {
        if (at + 12 > bytes.size() || at + 12 + be32(bytes, at) > bytes.size())
            return false;
        const std::uint32_t length = be32(bytes, at);
        type = bytes.substr(at + 4, 4);
        if (crc(bytes.data() + at + 4, 4 + length) != be32(bytes, at + 8 + length))
            return false;
        if (type == "IHDR" && bytes.substr(at + 16, 5) != std::string("\x08\x06\x00\x00\x00", 5))
            return false;
        if (type == "IHDR")
            *width = int(be32(bytes, at + 8)), *height = int(be32(bytes, at + 12));
        if (type == "IDAT")
            zlib += bytes.substr(at + 8, length);
    }
    auto byte = [&](std::size_t i) { return unsigned(std::uint8_t(zlib[i])); };
    std::string raw;
    std::size_t at = 2;
    for (bool last = false; !last;) {
        if (zlib.size() < 6 || at + 5 > zlib.size() || (byte(at) & 0x06) != 0)
            return false;  // stored blocks only
        last = byte(at) & 1;
        const unsigned length = byte(at + 1) | byte(at + 2) << 8;
        if ((length ^ 0xffff) != (byte(at + 3) | byte(at + 4) << 8) || at + 5 + length > zlib.size())
            return false;
        raw += zlib.substr(at + 5, length);
        at += 5 + length;
    }
    std::uint32_t a = 1, b = 0;
    for (char c : raw) {
        a = (a + std::uint8_t(c)) % 65521;
        b = (b + a) % 65521;
    }
    const std::size_t row = 4 * std::size_t(*width);
    if (at + 4 != zlib.size() || be32(zlib, at) != (b << 16 | a) ||
        raw.size() != std::size_t(*height) * (row + 1))
        return false;
    rgba->clear();
    for (int y = 0; y < *height; ++y) {
        if (raw[y * (row + 1)] != 0)
            return false;
        rgba->insert(rgba->end(), raw.begin() + y * (row + 1) + 1, raw.begin() + (y + 1) * (row + 1));
    }
    return true;
}

class RenderTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(phantom::writeFile(head, 24, 20, 16, 5, &error)) << error;
        dir.write(
            "window.tf",
            "# bone only\nalpha 0 0\nalpha 999 0\nalpha 2500 40\nalpha 4095 255\nrgb 2000 255 200 150\n");
    }
    testing::ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{QZ_RENDER_TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        return testing::runProcess(argv);
    }
    // Exits with status (any non-zero one for -1), one line on stderr naming `mentions`, no image.
    void expectRefused(const std::vector<std::string>& args, int status, const std::string& mentions) {
        std::string what;
        for (const auto& a : args)
            what += a + " ";
        const auto r = run(args);
        ASSERT_TRUE(r.exited) << what << ": crashed or hung";
        EXPECT_TRUE(status < 0 ? r.status != 0 : r.status == status) << what << "\n" << r.err;
        const auto lines = testing::lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << what << "\n" << r.err;
        EXPECT_EQ(lines[0].rfind("quarzelle-render: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(mentions), std::string::npos) << lines[0];
        EXPECT_FALSE(std::filesystem::exists(out)) << what << " left an image";
    }

    testing::TempDir dir;
    const std::string head = dir.file("head.dat"), out = dir.file("out.png");
};

TEST_F(RenderTool, BadArgumentsGiveOneLineAndNoImage) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no volume"},
        {{head, "--out", out}, "no renderer"},
        {{head, "--renderer", "volume"}, "no output"},
        {{head, "--renderer", "cubes", "--out", out}, "cubes"},
        {{head, "--renderer", "volume", "--out", out, "--colour"}, "--colour"},
        {{head, "--renderer", "volume", "--out", out, "--resolution"}, "needs a value"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "abc"}, "abc"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", ""}, "resolution"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "0"}, "resolution"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "-1"}, "-1"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "16385"}, "16385"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "2147483648"}, "2147483648"},
        {{head, "--renderer", "volume", "--out", out, "--resolution", "12x"}, "12x"},
        {{head, "--renderer", "volume", "--out", out, "--quality", "2"}, "quality"},
        {{head, "--renderer", "volume", "--out", out, "--quality", "-1"}, "quality"},
        {{head, "--renderer", "slices", "--out", out, "--axis", "3"}, "axis"},
        {{head, "--renderer", "slices", "--out", out, "--axis", "-1"}, "axis"},
        {{head, "--renderer", "slices", "--out", out, "--depth", "nan"}, "depth"},
        {{head, "--renderer", "slices", "--out", out, "--depth", "deep"}, "deep"},
        {{head, "--renderer", "volume", "--out", out, "--orientation", "0", "nan", "0"}, "nan"},
        {{head, "--renderer", "volume", "--out", out, "--orientation", "0", "1"}, "three values"},
        {{head, "--renderer", "volume", "--out", out, "--orientation", "inf", "0", "0"}, "inf"},
        {{head, "--renderer", "volume", "--out", out, "--orientation", "1e39", "0", "0"}, "1e39"},
        {{head, "--renderer", "volume", "--out", out, "--threads", "0"}, "thread"},
        {{head, "--renderer", "volume", "--out", dir.file("out.bmp")}, ".bmp"},
        {{head, "--renderer", "volume", "--out", dir.file("out")}, "out"},
        {{head, head, "--renderer", "volume", "--out", out}, "unexpected"},
    };
    for (const auto& [args, mentions] : cases)
        expectRefused(args, 2, mentions);
}

TEST_F(RenderTool, UnusableInputsAndOutputsGiveOneLineAndNoImage) {
    ASSERT_EQ(::mkfifo(dir.file("pipe.dat").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.dat"));
    const std::string volumes[] = {dir.file("missing.dat"),
                                   dir.file("folder.dat"),
                                   dir.file("pipe.dat"),
                                   "/dev/zero",
                                   dir.write("tiny.dat", "abcd"),
                                   dir.write("cut.dat", volumeBytes(2, 2, 2, {1})),
                                   dir.write("promise.dat", volumeBytes(65535, 65535, 65535, {1, 2, 3}))};
    for (const std::string& v : volumes)
        expectRefused({v, "--renderer", "volume", "--out", out}, 1, v);
    dir.write("bad.tf", "alpha 10 20\nbeta 3\n");
    expectRefused({head, "--renderer", "mip", "--tf", dir.file("bad.tf"), "--out", out}, 1, "bad.tf");
    expectRefused({head, "--renderer", "mip", "--tf", dir.file("none.tf"), "--out", out}, 1, "none.tf");
    expectRefused({head, "--renderer", "mip", "--tf", dir.file("a\nb.tf"), "--out", out}, 1, "a\\nb.tf");
    expectRefused({head, "--renderer", "mip", "--tf", dir.path(), "--out", out}, 1, dir.path());
    std::filesystem::create_directory(dir.file("taken.png"));
    for (const std::string& target :
         {dir.file("no/such/dir/out.png"), dir.file("taken.png"), std::string("/proc/qz.png")})
        expectRefused({head, "--renderer", "mip", "--out", target}, -1, "png");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.png")));
    // The loader's own diagnostics go to standard output.
    EXPECT_EQ(run({dir.file("cut.dat"), "--renderer", "volume", "--out", out}).out.rfind("Data:Error: ", 0),
              0u);
    // A failed run leaves an existing image as it was.
    dir.write("out.png", "old");
    EXPECT_EQ(run({head, "--renderer", "mip", "--tf", dir.file("none.tf"), "--out", out}).status, 1);
    EXPECT_EQ(testing::readFile(out), "old");
}

// Volumes that load but hardly render, and settings outside the usual range that parse: an image
// of plausible size or a clean refusal.
TEST_F(RenderTool, DegenerateVolumesAndOddSettingsRenderOrAreRefused) {
    const std::string volumes[] = {
        dir.write("empty.dat", volumeBytes(0, 4, 4, {})),
        dir.write("single.dat", volumeBytes(1, 1, 1, {3000})),
        dir.write("thin.dat", volumeBytes(9, 1, 4, std::vector<std::uint16_t>(36, 2500))),
        dir.write("bright.dat", volumeBytes(2, 2, 2, std::vector<std::uint16_t>(8, 65535))),
        dir.write("long.dat", volumeBytes(2, 2, 2, std::vector<std::uint16_t>(8, 900)) + "12345")};
    std::vector<std::vector<std::string>> cases;
    for (const std::string& v : volumes)
        for (const char* renderer : {"slices", "volume", "mip"})
            cases.push_back({v, "--renderer", renderer, "--resolution", "12", "--quality", "1", "--shading"});
    for (const auto& extra : std::vector<std::vector<std::string>>{{"--orientation", "1e30", "-3.4e38", "3"},
                                                                   {"--renderer", "slices", "--depth", "-5"},
                                                                   {"--renderer", "slices", "--depth", "7"},
                                                                   {"--renderer", "mip", "--quality", "1"}}) {
        cases.push_back({head, "--renderer", "volume", "--resolution", "16"});
        cases.back().insert(cases.back().end(), extra.begin(), extra.end());
    }
    for (auto args : cases) {
        std::filesystem::remove(out);
        args.insert(args.end(), {"--out", out});
        const auto r = run(args);
        ASSERT_TRUE(r.exited) << args[0] << " " << args[2] << ": crashed or hung";
        if (r.status != 0) {
            EXPECT_EQ(testing::lines(r.err).size(), 1u) << r.err;
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        int width = 0, height = 0;
        std::vector<std::uint8_t> pixels;
        EXPECT_TRUE(decodePng(testing::readFile(out), &width, &height, &pixels)) << args[0] << " " << args[2];
        EXPECT_TRUE(width >= 1 && width <= 16 && height >= 1 && height <= 16) << width << "x" << height;
    }
}

// The PNG holds exactly the bytes the renderer makes in this process with the same settings.
TEST_F(RenderTool, PngKeepsTheRenderersBytes) {
    NotificationCenter center;
    Data data(center);
    data.loadFromFileName(head);
    TransferFkt windowed(center), ramp(center);
    std::string error;
    ASSERT_TRUE(loadTransferFktFile(dir.file("window.tf"), windowed, &error)) << error;
    std::vector<std::pair<std::vector<std::string>, std::unique_ptr<Renderer>>> cases;
    auto slices = std::make_unique<Slices>(data, ramp);
    slices->setAxis(1);
    slices->setDepth(0.3f);
    slices->setMaxImageResolution(41);
    cases.emplace_back(
        std::vector<std::string>{"slices", "--axis", "1", "--depth", "0.3", "--resolution", "41"},
        std::move(slices));
    auto volume = std::make_unique<Volume>(data, windowed);
    volume->setQuality(1);
    volume->setDoShading(true);
    volume->setOrientation(MakeVector(0.5f, 0.7f, 0.2f));
    volume->setMaxImageResolution(37);
    cases.emplace_back(std::vector<std::string>{"volume", "--quality", "1", "--shading", "--orientation",
                                                "0.5", "0.7", "0.2", "--tf", dir.file("window.tf"),
                                                "--resolution", "37", "--threads", "3"},
                       std::move(volume));
    auto mip = std::make_unique<MIP>(data, windowed);
    mip->setQuality(0);  // the tool's default for MIP
    mip->setOrientation(MakeVector(-1.0f, 0.25f, 3.0f));
    cases.emplace_back(
        std::vector<std::string>{"mip", "--orientation", "-1", "0.25", "3", "--tf", dir.file("window.tf")},
        std::move(mip));
    for (auto& [args, renderer] : cases) {
        std::vector<std::string> argv{head, "--out", out, "--renderer"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run(argv);
        ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar when standard error is not a terminal
        const auto expected = renderer->imageRef();
        int width = 0, height = 0;
        std::vector<std::uint8_t> pixels;
        ASSERT_TRUE(decodePng(testing::readFile(out), &width, &height, &pixels)) << args[0];
        EXPECT_EQ(width * 100000 + height, expected->width * 100000 + expected->height) << args[0];
        EXPECT_TRUE(pixels == expected->pixels) << args[0];
    }
}

// The write policy shared with the application (platform/AtomicWrite.h) and the limits of the
// machine: a whole file or a one-line reason, never a temporary file left behind.
TEST_F(RenderTool, WritePolicyLimitsAndSignals) {
    auto shell = [&](const std::string& script) { return testing::runProcess({"sh", "-c", script}, 120); };
    const std::string render = testing::shellQuoted(QZ_RENDER_TOOL) + " " + testing::shellQuoted(head) +
                               " --renderer volume --out " + testing::shellQuoted(out);
    // Through a symbolic link to its target, whose permissions stay; names up to 255 bytes.
    const std::string real = dir.write("real.png", "old"), link = dir.file("link.png");
    ASSERT_EQ(::chmod(real.c_str(), 0640) + ::symlink("real.png", link.c_str()), 0);
    const std::string longest = dir.file(std::string(251, 'n') + ".png");
    for (const std::string& target : {link, longest})
        EXPECT_EQ(run({head, "--renderer", "mip", "--out", target}).status, 0) << target;
    int width, height;
    std::vector<std::uint8_t> pixels;
    EXPECT_TRUE(std::filesystem::is_symlink(link) &&
                decodePng(testing::readFile(real), &width, &height, &pixels));
    EXPECT_EQ(std::filesystem::status(real).permissions(), std::filesystem::perms(0640));
    EXPECT_TRUE(std::filesystem::exists(longest));
    // The output folder is checked before the volume is read; what parses is not refused.
    expectRefused({dir.file("none.dat"), "--renderer", "mip", "--out", dir.file("no/o.png")}, 1, "no/o.png");
    EXPECT_EQ(run({head, "--renderer", "mip", "--orientation", "1e-50", "0", "0", "--out", out}).status, 0);
    std::filesystem::remove(out);
    const std::string line =
        dir.write("line.dat", volumeBytes(200, 1, 1, std::vector<std::uint16_t>(200, 9)));
    expectRefused({line, "--renderer", "slices", "--out", out}, 1, "thinner than a pixel");
    // SIGTERM while it works: the temporary file, made before the load, goes with the process.
    auto r = shell(render + " --quality 1 --resolution 4096 & until ls " + testing::shellQuoted(dir.path()) +
                   " | grep -q tmp-; do sleep 0.01; done; kill -TERM $!; wait $!");
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    // A full disk, and a phantom larger than the disk: the system's words, or refused up front.
    r = shell("cd " + testing::shellQuoted(dir.path()) +
              " && mkdir full && unshare -m sh -c 'mount -t tmpfs " + "-o size=64k none full || exit 99; " +
              render + " --resolution 300 --out full/o.png; " + testing::shellQuoted(QZ_PHANTOM_TOOL) +
              " 65535 65535 1 full/big.dat; ls -A full'");
    if (r.status != 99) {
        EXPECT_EQ(r.err,
                  "quarzelle-render: cannot write 'full/o.png': No space left on device\n"
                  "quarzelle-phantom: cannot write 'full/big.dat': 8589672456 bytes needed, 65536 free\n");
        EXPECT_EQ(r.out, "");  // nothing left in the folder
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory does not fit these limits
    // Threads beyond the address space: fewer threads and a note; no room for the image: one line.
    r = shell("ulimit -v 2000000; " + render + " --threads 256");
    EXPECT_TRUE(r.status == 0 && r.err.rfind("Threads: started only ", 0) == 0) << r.err;
    r = shell("ulimit -v 600000; " + render + " --resolution 16384");
    EXPECT_EQ(r.err, "quarzelle-render: the renderer produced no image (too large for memory?)\n");
#endif
}

TEST_F(RenderTool, JpegTimingAndLoaderDiagnostics) {
    std::ofstream(head, std::ios::binary | std::ios::app) << "xy";  // trailing bytes: reported, then a render
    const auto r = run({head, "--renderer", "slices", "--time", "--out", dir.file("slice.JPG")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = testing::lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0],
              "Data:Error: file has invalid length '" + std::to_string(6 + 2 * 24 * 20 * 16 + 2) + "'");
    for (const auto& [line, label] : {std::pair{out[1], "load: "}, {out[2], "render: "}}) {
        const std::string number = line.substr(std::min(line.size(), std::strlen(label)));
        EXPECT_EQ(line.rfind(label, 0), 0u) << line;
        EXPECT_TRUE(number.size() > 6 && number.substr(number.size() - 2) == " s" &&
                    number[number.size() - 6] == '.' &&
                    number.find_first_not_of("0123456789.") == number.size() - 2)
            << line;
    }
    const std::string jpeg = testing::readFile(dir.file("slice.JPG"));
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
}

}  // namespace
}  // namespace qz
