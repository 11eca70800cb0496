// quarzelle-render run as a separate process, as a user would: either it writes a whole image and
// exits 0, or it prints one line on stderr, exits non-zero and leaves no image behind. It never
// crashes and never hangs, whatever the arguments, volumes and output paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <numbers>
#include <sstream>

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
    return std::uint32_t(std::uint8_t(b.at(at))) << 24 | std::uint32_t(std::uint8_t(b.at(at + 1))) << 16 |
           std::uint32_t(std::uint8_t(b.at(at + 2))) << 8 | std::uint8_t(b.at(at + 3));
}

// An 8-bit RGBA PNG of the image's size, chunks with good CRCs to the end of the file, whose zlib
// stream is one stored (uncompressed) deflate block of every row, filter byte 0 first, then the
// Adler-32 of those bytes (small images fit one block).
bool pngHolds(const std::string& png, const RgbaImage& image) {
    std::size_t at = 8;
    for (std::size_t length; at + 12 <= png.size(); at += 12 + length) {
        length = be32(png, at);
        std::uint32_t crc = 0xffffffffu;
        for (std::size_t i = at + 4; i < std::min(png.size(), at + 8 + length); ++i)
            for (int k = (crc ^= std::uint8_t(png[i]), 0); k < 8; ++k)
                crc = crc & 1 ? 0xedb88320u ^ crc >> 1 : crc >> 1;
        if ((crc ^ 0xffffffffu) != be32(png, at + 8 + length))
            return false;
    }
    std::string raw;
    for (int y = 0; y < image.height; ++y)
        raw += '\0' + std::string(image.pixels.begin() + 4 * y * image.width,
                                  image.pixels.begin() + 4 * (y + 1) * image.width);
    std::uint32_t a = 1, b = 0;
    for (char c : raw)
        b = (b + (a = (a + std::uint8_t(c)) % 65521)) % 65521;
    const std::size_t rows = png.find(raw), n = raw.size();
    const std::string head{'\x78',       '\x01',   '\x01',       char(n),
                           char(n >> 8), char(~n), char(~n >> 8)};  // zlib, one block
    return at == png.size() && png.compare(0, 16, std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)) == 0 &&
           be32(png, 16) == unsigned(image.width) && be32(png, 20) == unsigned(image.height) &&
           png.compare(24, 5, std::string("\x08\x06\0\0\0", 5)) == 0 && rows != std::string::npos &&
           rows >= 7 && png.compare(rows - 7, 7, head) == 0 && be32(png, rows + raw.size()) == (b << 16 | a);
}

class RenderTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(phantom::writeFile(head, 24, 20, 16, 5, &error)) << error;
        dir.write("window.tf",
                  "alpha 0 0\nalpha 999 0\nalpha 2500 40\nalpha 4095 255\nrgb 2000 255 200 150\n");
    }
    testing::ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), QZ_RENDER_TOOL);
        return testing::runProcess(args);
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

// Each case: the options after the volume, '|', and what the one line names. "--" stands for the
// volume renderer writing out.png, OUT... for a file in the test's directory.
TEST_F(RenderTool, BadArgumentsGiveOneLineAndNoImage) {
    std::istringstream cases(R"(--out OUT.png | no renderer; --renderer volume | no output;
--renderer cubes --out OUT.png | cubes; -- --colour | --colour; -- --resolution | needs a value;
-- --resolution abc | abc; -- --resolution 0 | resolution; -- --resolution -1 | -1; -- --resolution 16385 | 16385;
-- --resolution 2147483648 | 2147483648; -- --resolution 12x | 12x; -- --quality 2 | quality;
-- --quality -1 | quality; --renderer slices --out OUT.png --axis 3 | axis; --renderer slices --out OUT.png --axis -1 | axis;
--renderer slices --out OUT.png --depth nan | depth; --renderer slices --out OUT.png --depth deep | deep;
-- --orientation 0 nan 0 | nan; -- --orientation 0 1 | three values; -- --orientation inf 0 0 | inf;
-- --orientation 1e39 0 0 | 1e39; -- --threads 0 | thread; --renderer volume --out OUT.bmp | .bmp;
--renderer volume --out OUT | out; HEAD --renderer volume --out OUT.png | unexpected;
-- --window 10 | two values; -- --window 10 5 | 10 5; -- --window 0 nan | nan;
-- --turntable 0 | frame count; -- --turntable 4 | %03d; --renderer volume --out OUTf%d%d.png --turntable 4 | %03d;
--renderer volume --out OUTf%s.png --turntable 4 | %03d)");
    for (std::string c; std::getline(cases, c, ';');) {
        std::vector<std::string> args{head};
        std::istringstream words(c.substr(0, c.find('|')));
        for (std::string w; words >> w;)
            if (w == "--")
                args.insert(args.end(), {"--renderer", "volume", "--out", out});
            else
                args.push_back(w == "HEAD"              ? head
                               : w.rfind("OUT", 0) == 0 ? dir.file("out" + w.substr(3))
                                                        : w);
        expectRefused(args, 2, c.substr(c.find('|') + 2));
    }
    expectRefused({}, 2, "no volume");
    expectRefused({head, "--renderer", "volume", "--out", out, "--resolution", ""}, 2, "resolution");
}

TEST_F(RenderTool, UnusableInputsAndOutputsGiveOneLineAndNoImage) {
    ASSERT_EQ(::mkfifo(dir.file("pipe.dat").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.dat"));
    for (const std::string& v :
         {dir.file("missing.dat"), dir.file("folder.dat"), dir.file("pipe.dat"), std::string("/dev/zero"),
          dir.write("tiny.dat", "abcd"), dir.write("cut.dat", volumeBytes(2, 2, 2, {1})),
          dir.write("promise.dat", volumeBytes(65535, 65535, 65535, {1, 2, 3}))})
        expectRefused({v, "--renderer", "volume", "--out", out}, 1, v);
    dir.write("bad.tf", "alpha 10 20\nbeta 3\n");
    for (const std::string& tf : {dir.file("bad.tf"), dir.file("none.tf"), dir.path()})
        expectRefused({head, "--renderer", "mip", "--tf", tf, "--out", out}, 1, tf);
    expectRefused({head, "--renderer", "mip", "--tf", "preset:ct-nothing", "--out", out}, 1,
                  "ct-bone, ct-skin");
    expectRefused({dir.write("empty.dat", volumeBytes(0, 4, 4, {})), "--renderer", "slices", "--out", out}, 1,
                  "no samples");
    expectRefused({head, "--renderer", "mip", "--tf", dir.file("a\nb.tf"), "--out", out}, 1, "a\\nb.tf");
    std::filesystem::create_directory(dir.file("taken.png"));
    for (const std::string& target :
         {dir.file("no/such/dir/out.png"), dir.file("taken.png"), std::string("/proc/qz.png")})
        expectRefused({head, "--renderer", "mip", "--out", target}, -1, "png");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.png")));
    // The loader's own diagnostics go to standard output; a failed run leaves an existing image.
    EXPECT_EQ(run({dir.file("cut.dat"), "--renderer", "volume", "--out", out}).out.rfind("Data:Error: ", 0),
              0u);
    dir.write("out.png", "old");
    EXPECT_EQ(run({head, "--renderer", "mip", "--tf", dir.file("none.tf"), "--out", out}).status, 1);
    EXPECT_EQ(testing::readFile(out), "old");
}

// The PNG holds exactly the bytes the renderer makes in this process with the same settings; a JPEG
// is written whole.
TEST_F(RenderTool, PngKeepsTheRenderersBytes) {
    NotificationCenter center;
    Data data(center);
    data.loadFromFileName(head);
    TransferFkt windowed(center), ramp(center), preset(center);
    std::string error;
    ASSERT_TRUE(loadTransferFktFile(dir.file("window.tf"), windowed, &error)) << error;
    ASSERT_TRUE(loadTransferFktFile(QZ_PRESET_DIR "/ct-skin-bone.tf", preset, &error)) << error;
    Slices slices(data, ramp);
    slices.setAxis(1);
    slices.setDepth(0.3f);
    slices.setMaxImageResolution(41);
    Volume volume(data, windowed);
    volume.setDoShading(true);
    volume.setOrientation(MakeVector(0.5f, 0.7f, 0.2f));
    volume.setMaxImageResolution(37);
    volume.setOpacityCorrection(true);
    Volume presetVolume(data, preset);
    presetVolume.setQuality(0);  // the tool's default for volume and MIP
    MIP mip(data, windowed);
    mip.setQuality(0);
    mip.setOrientation(MakeVector(-1.0f, 0.25f, 3.0f));
    const std::pair<std::vector<std::string>, Renderer*> cases[] = {
        {{"slices", "--axis", "1", "--depth", "0.3", "--resolution", "41"}, &slices},
        {{"volume", "--quality", "1", "--shading", "--opacity-correction", "--orientation", "0.5", "0.7",
          "0.2", "--tf", dir.file("window.tf"), "--resolution", "37", "--threads", "3"},
         &volume},
        {{"volume", "--tf", "preset:ct-skin-bone"}, &presetVolume},
        {{"mip", "--orientation", "-1", "0.25", "3", "--tf", dir.file("window.tf")}, &mip}};
    for (const auto& [args, renderer] : cases) {
        std::vector<std::string> argv{head, "--out", out, "--renderer"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run(argv);
        ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar when standard error is not a terminal
        EXPECT_TRUE(pngHolds(testing::readFile(out), *renderer->imageRef())) << args[0];
    }
    ASSERT_EQ(run({head, "--renderer", "slices", "--out", dir.file("slice.JPG")}).status, 0);  // a whole JPEG
    const std::string jpeg = testing::readFile(dir.file("slice.JPG"));
    EXPECT_TRUE(jpeg.size() > 4 && jpeg.compare(0, 2, "\xff\xd8") == 0 &&
                jpeg.compare(jpeg.size() - 2, 2, "\xff\xd9") == 0);
}

// A turntable: one image per frame, frame I turned by 2 pi I / N about y, the same bytes as a single
// render there; --time gives a line per frame and the median and maximum.
TEST_F(RenderTool, TurntableWritesEveryFrameAndTimesIt) {
    const auto r = run({head, "--renderer", "volume", "--quality", "1", "--shading", "--orientation", "0.3",
                        "1", "0", "--turntable", "3", "--time", "--out", dir.file("f%%%02d.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = testing::lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(lines[1 + frame].rfind("frame " + std::to_string(frame) + ": ", 0), 0u) << lines[1 + frame];
        char angle[32];
        std::snprintf(angle, sizeof angle, "%.9g", double(float(1.0 + 2 * std::numbers::pi * frame / 3)));
        const auto single = run({head, "--renderer", "volume", "--quality", "1", "--shading", "--orientation",
                                 "0.3", angle, "0", "--out", out});
        ASSERT_EQ(single.status, 0) << single.err;
        const std::string name = std::string("f%0") + char('0' + frame) + ".png";
        EXPECT_EQ(testing::readFile(dir.file(name)), testing::readFile(out)) << name;
    }
    EXPECT_EQ(lines[4].rfind("render: median ", 0), 0u) << lines[4];
    EXPECT_NE(lines[4].find(" s, max "), std::string::npos) << lines[4];
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
    EXPECT_TRUE(std::filesystem::is_symlink(link) && testing::readFile(real).rfind("\x89PNG", 0) == 0);
    EXPECT_EQ(std::filesystem::status(real).permissions(), std::filesystem::perms(0640));
    EXPECT_TRUE(std::filesystem::exists(longest));
    // The output folder is checked before the volume is read; what parses is not refused.
    expectRefused({dir.file("none.dat"), "--renderer", "mip", "--out", dir.file("no/o.png")}, 1, "no/o.png");
    auto r = testing::runProcess({QZ_CONVERT_TOOL, dir.file("none.dat"), dir.file("no/o.dat")});
    EXPECT_EQ(r.err, "quarzelle-convert: cannot write " + quotedPath(dir.file("no/o.dat")) +
                         ": No such file or directory\n");
    EXPECT_EQ(run({head, "--renderer", "mip", "--orientation", "1e-50", "0", "0", "--out", out}).status, 0);
    std::filesystem::remove(out);
    const std::string line =
        dir.write("line.dat", volumeBytes(200, 1, 1, std::vector<std::uint16_t>(200, 9)));
    expectRefused({line, "--renderer", "slices", "--out", out}, 1, "thinner than a pixel");
    // SIGTERM while it works: the temporary file, made before the load, goes with the process.
    r = shell(render + " --quality 1 --resolution 4096 & until ls " + testing::shellQuoted(dir.path()) +
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

// quarzelle-convert: a scan becomes a .dat that renders byte for byte as the scan did (even
// spacing), the spacing it drops is named, and failures leave the output as it was.
TEST_F(RenderTool, ConvertedScanRendersAsTheScan) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 12 * 10 * 8; ++i)
        samples.push_back(std::int16_t((i * 37) % 900 - 300));
    const std::string scan =
        dir.write("head.nii", testing::nifti(1, {12, 10, 8}, 4, 16, {2, 2, 2}, testing::raw(samples)));
    const std::string converted = dir.file("head.dat");
    auto convert = [](std::vector<std::string> args) {
        args.insert(args.begin(), QZ_CONVERT_TOOL);
        return testing::runProcess(args);
    };
    const auto r = convert({scan, converted});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + quotedPath(converted) +
                         ": 12 x 10 x 8 densities; the spacing 2 x 2 x 2 mm is dropped (.dat has none)\n");
    for (const char* renderer : {"slices", "volume"}) {
        ASSERT_EQ(run({scan, "--renderer", renderer, "--quality", "1", "--shading", "--orientation", "0.5",
                       "0.7", "0.2", "--out", out})
                      .status,
                  0);
        const std::string fromScan = testing::readFile(out);
        ASSERT_EQ(run({converted, "--renderer", renderer, "--quality", "1", "--shading", "--orientation",
                       "0.5", "0.7", "0.2", "--out", out})
                      .status,
                  0);
        EXPECT_TRUE(testing::readFile(out) == fromScan) << renderer;
    }
    const std::string before = testing::readFile(converted);
    const std::pair<std::vector<std::string>, int> failures[] = {
        {{scan}, 2},
        {{scan, dir.file("out.raw")}, 2},
        {{scan, converted, "--window", "3", "1"}, 2},
        {{dir.file("none.nii"), converted}, 1},
        {{dir.write("cut.nii", testing::nifti(1, {12, 10, 8}, 4, 16, {2, 2, 2}, "xy")), converted}, 1},
    };
    for (const auto& [args, status] : failures) {
        const auto f = convert(args);
        EXPECT_EQ(f.status, status) << args[0];
        EXPECT_EQ(testing::lines(f.err).size(), 1u) << f.err;
        EXPECT_EQ(f.err.rfind("quarzelle-convert: ", 0), 0u) << f.err;
    }
    EXPECT_TRUE(testing::readFile(converted) == before);
}

}  // namespace
}  // namespace qz
