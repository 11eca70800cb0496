// The command-line renderer given hostile volumes, arguments and output paths: it either writes a
// whole image and exits 0, or prints one line on stderr, exits non-zero and leaves no image behind.
// It never crashes and never hangs.
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "hostile/HostileSupport.h"

namespace qz::hostile {
namespace {

#ifdef QZ_RENDER_TOOL

struct Outcome {
    bool signalled = false;  // crashed, or killed by the time limit
    int exitCode = -1;
    std::vector<std::string> errLines;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class HostileTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<int> samples(8 * 6 * 5);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = int(i * 131 % 4096);
        volume = dir.write("v.dat", volumeFile(8, 6, 5, samples));
        const std::string tf = "alpha 0 0\nalpha 2000 200\nrgb 1000 255 0 0\n";
        tfPath = dir.write("ok.tf", std::vector<std::uint8_t>(tf.begin(), tf.end()));
    }

    Outcome run(const std::vector<std::string>& args) {
        std::string cmd = "timeout -s KILL 60 " + quote(QZ_RENDER_TOOL);
        for (const auto& a : args)
            cmd += " " + quote(a);
        cmd += " >" + quote(dir.file("stdout")) + " 2>" + quote(dir.file("stderr")) + " </dev/null";
        const int status = std::system(cmd.c_str());
        Outcome o;
        // timeout reports the KILL of its child as 128 + 9; a crash shows as 128 + signal too.
        o.signalled = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) >= 124);
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.errLines = readLines(dir.file("stderr"));
        ++runs;
        return o;
    }

    std::vector<std::string> args(const std::string& out, std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {volume, "--renderer", "volume", "--resolution", "16", "--out", out};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    void expectRefused(const Outcome& o, const std::string& out, const std::string& what) {
        EXPECT_FALSE(o.signalled) << what << ": crashed or hung";
        EXPECT_NE(o.exitCode, 0) << what;
        EXPECT_EQ(o.errLines.size(), 1u) << what << ": stderr should be one line";
        EXPECT_FALSE(exists(out)) << what << ": left an image behind";
    }

    // Either a whole PNG of plausible size or a clean refusal.
    void expectImageOrRefusal(const Outcome& o, const std::string& out, const std::string& what) {
        EXPECT_FALSE(o.signalled) << what << ": crashed or hung";
        if (o.signalled)
            return;
        if (o.exitCode != 0) {
            expectRefused(o, out, what);
            return;
        }
        std::ifstream in(out, std::ios::binary);
        const std::string png{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ASSERT_GE(png.size(), 24u) << what;
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << what;
        auto be32 = [&](std::size_t at) {
            return std::uint32_t(std::uint8_t(png[at])) << 24 |
                   std::uint32_t(std::uint8_t(png[at + 1])) << 16 |
                   std::uint32_t(std::uint8_t(png[at + 2])) << 8 | std::uint32_t(std::uint8_t(png[at + 3]));
        };
        EXPECT_GE(be32(16), 1u) << what;
        EXPECT_LE(be32(16), 100000u) << what;
        EXPECT_LE(be32(20), 100000u) << what;
    }

    ScratchDir dir;
    std::string volume, tfPath;
    int runs = 0;
};

TEST_F(HostileTool, UnwritableOutputPathsAreRefused) {
    std::filesystem::create_directory(dir.file("taken.png"));
    for (const std::string& out :
         {dir.file("no-such-dir/x.png"), dir.file("taken.png"), std::string("/proc/qz.png"),
          dir.file("x.bmp"), dir.file("x"), std::string()}) {
        const Outcome o = run(args(out));
        EXPECT_FALSE(o.signalled) << out;
        EXPECT_NE(o.exitCode, 0) << out;
        EXPECT_EQ(o.errLines.size(), 1u) << out;
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.png")));
}

TEST_F(HostileTool, HostileVolumesAreRefused) {
    const std::string fifo = dir.file("pipe.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.dat"));
    const std::vector<std::string> volumes = {
        dir.file("missing.dat"),
        dir.file("folder.dat"),
        fifo,
        std::string("/dev/zero"),
        dir.write("short.dat", {1, 0, 1}),
        dir.write("cut.dat", volumeFile(4, 4, 4, std::vector<int>(63, 100))),
        dir.write("promise.dat", volumeFile(65535, 65535, 65535, {1, 2, 3})),
    };
    for (const auto& v : volumes) {
        const std::string out = dir.file("out.png");
        auto a = args(out);
        a[0] = v;
        expectRefused(run(a), out, v);
    }
}

TEST_F(HostileTool, DegenerateVolumesRenderOrAreRefused) {
    const std::vector<std::string> volumes = {
        dir.write("empty.dat", volumeFile(0, 4, 4, {})),
        dir.write("single.dat", volumeFile(1, 1, 1, {3000})),
        dir.write("thin.dat", volumeFile(9, 1, 4, std::vector<int>(36, 2500))),
        dir.write("bright.dat", volumeFile(2, 2, 2, std::vector<int>(8, 65535))),
        dir.write("long.dat",
                  [] {
                      auto b = volumeFile(2, 2, 2, std::vector<int>(8, 900));
                      b.resize(b.size() + 5, 1);
                      return b;
                  }()),
    };
    for (const auto& v : volumes) {
        for (const std::string renderer : {"slices", "volume", "mip"}) {
            const std::string out = dir.file("deg-" + renderer + ".png");
            std::filesystem::remove(out);
            expectImageOrRefusal(run({v, "--renderer", renderer, "--resolution", "12", "--quality", "1",
                                      "--shading", "--out", out}),
                                 out, v + " " + renderer);
        }
    }
}

TEST_F(HostileTool, AbsurdArgumentsAreRefusedOrHandled) {
    // Plainly invalid ones are always refused (the usual mistakes are in the command-line tests);
    // out-of-range but parseable numbers give a refusal or an image, never a crash.
    const std::pair<bool, std::vector<std::string>> cases[] = {
        {true, {"--resolution", "-1"}},
        {true, {"--resolution", "2147483648"}},
        {true, {"--resolution", "100000"}},
        {true, {"--resolution", ""}},
        {true, {"--quality", "-1"}},
        {true, {"--axis", "-1"}},
        {true, {"--renderer", "raytrace"}},
        {true, {"--bogus"}},
        {true, {"--tf", dir.file("")}},
        {true, {"--depth", "deep"}},
        {false, {"--resolution", "0"}},
        {false, {"--orientation", "nan", "0", "0"}},
        {false, {"--orientation", "inf", "-inf", "1e30"}},
        {false, {"--orientation", "1e39", "-1e39", "3.4e38"}},
        {false, {"--renderer", "slices", "--depth", "nan"}},
        {false, {"--renderer", "slices", "--depth", "-5"}},
        {false, {"--renderer", "slices", "--depth", "7"}},
        {false, {"--renderer", "slices", "--depth", "inf"}},
        {false, {"--renderer", "mip", "--orientation", "nan", "nan", "nan", "--quality", "1"}},
    };
    int n = 0;
    for (const auto& [refused, extra] : cases) {
        const std::string out = dir.file("case" + std::to_string(n++) + ".png");
        std::string what;
        for (const auto& e : extra)
            what += e + " ";
        if (refused)
            expectRefused(run(args(out, extra)), out, what);
        else
            expectImageOrRefusal(run(args(out, extra)), out, what);
    }
}

#else

TEST(HostileTool, NeedsTheCommandLineRenderer) {
    GTEST_SKIP() << "quarzelle-render is not built";
}

#endif

}  // namespace
}  // namespace qz::hostile
