// Concurrency under load. Every loop is bounded in count and in time: a slow (sanitized) build does less.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Scene.h"

namespace qz {
namespace {

// True for `count` calls or until `seconds` have passed, whichever ends first.
std::function<bool()> budget(int count, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    return [=, rounds = 0]() mutable { return rounds++ < count && std::chrono::steady_clock::now() < end; };
}

// Writes name: noise of its own for each x size.
std::vector<std::uint16_t> noise(const testing::TempDir& dir, const std::string& name, int x, int y, int z) {
    const auto samples = testing::samplesOf(x, y, z, [=](int i, int j, int k) {
        return int((unsigned(i + x * (j + y * k)) * 2654435761u + unsigned(x) * 40503u) >> 7) % 4096;
    });
    testing::writeVolumeFile(dir.file(name), x, y, z, samples);
    return samples;
}

// Slices, Volume or MIP (kind 0, 1, 2) at resolution 32, shading the volume.
std::unique_ptr<Renderer> make(int kind, Data& data, TransferFkt& fkt) {
    std::unique_ptr<Renderer> r = kind == 0   ? std::unique_ptr<Renderer>(std::make_unique<Slices>(data, fkt))
                                  : kind == 1 ? std::unique_ptr<Renderer>(std::make_unique<Volume>(data, fkt))
                                              : std::make_unique<MIP>(data, fkt);
    r->setMaxImageResolution(32);
    r->setOrientation(MakeVector(0.4f, -0.3f, 0.9f));
    r->setDoShading(kind == 1);
    return r;
}

bool sameImage(const std::shared_ptr<const RgbaImage>& a, const std::shared_ptr<const RgbaImage>& b) {
    return a && b && a->width == b->width && a->height == b->height && a->pixels == b->pixels;
}

// Runs body(0 .. n - 1) on n threads while work runs on this one; each body runs once at least.
void race(int n, const std::function<void()>& work, const std::function<void(int)>& body) {
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; running || round == 0; ++round)
                body(i);
        });
    work();
    running = false;
    for (auto& t : threads)
        t.join();
}

// Renders race loads (and an observer of new data that takes its time, as an editor redrawing its
// histogram does): every image is that of one whole volume. Two threads share the slice renderer.
TEST(Stress, LoadsRacingRendersAlwaysShowOneWholeVolume) {
    testing::Scene s;
    s.fkt.addOpacityReferencePointForDensity(1000, 40);
    noise(s.dir, "0", 12, 9, 7);
    noise(s.dir, "1", 5, 16, 3);
    std::shared_ptr<const RgbaImage> expected[3][2];
    for (int v = 0; v < 2; ++v) {
        s.data.loadFromFileName(s.dir.file(std::to_string(v)));
        for (int kind = 0; kind < 3; ++kind)
            expected[kind][v] = make(kind, s.data, s.fkt)->imageRef();
    }
    const std::unique_ptr<Renderer> renderers[3] = {make(0, s.data, s.fkt), make(1, s.data, s.fkt),
                                                    make(2, s.data, s.fkt)};
    Observation slow(s.center, kNewDataAvailable, nullptr,
                     [](const Notification&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    std::atomic<int> bad{0};
    race(
        4,
        [&] {
            const auto more = budget(400, 3);
            for (int i = 1; more(); ++i)
                s.data.loadFromFileName(s.dir.file(std::to_string(i % 2)));
        },
        [&](int i) {
            Renderer& r = *renderers[i % 3];
            r.setNeedsUpdateImage(true);
            const auto image = r.imageRef();
            bad += !sameImage(image, expected[i % 3][0]) && !sameImage(image, expected[i % 3][1]);
        });
    EXPECT_EQ(bad.load(), 0);
}

// Two threads load different files at once while a reader looks: loads take turns (one file's read
// progress, then rising gradient progress, then new data), and every volume seen is whole.
TEST(Stress, ConcurrentLoadsTakeTurns) {
    testing::Scene s;
    const std::vector<std::uint16_t> samples[2] = {noise(s.dir, "0", 9, 4, 5), noise(s.dir, "1", 10, 7, 4)};
    std::mutex mutex;
    std::string reading;
    int lastGradient = 0, overlaps = 0;
    Observation during(s.center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
        std::lock_guard lock(mutex);
        const std::string info = n.stringValue("info");
        if (info.rfind("read ", 0) == 0) {
            overlaps += lastGradient > 0 || (!reading.empty() && reading != info);
            reading = info;
        } else {
            overlaps += n.intValue("progress") <= lastGradient;
            lastGradient = n.intValue("progress");
        }
    });
    Observation finished(s.center, kNewDataAvailable, nullptr, [&](const Notification&) {
        std::lock_guard lock(mutex);
        reading.clear();
        lastGradient = 0;
    });
    std::atomic<int> torn{0}, loads{0};
    race(
        2,
        [&] {
            for (const auto more = budget(1 << 30, 2); loads < 300 && more();) {
                const auto volume = s.data.volume();
                const auto& expected = samples[volume->xDim() == 9 ? 0 : 1];
                torn +=
                    volume->hasData() && (volume->sampleCount() != std::int64_t(expected.size()) ||
                                          !std::equal(expected.begin(), expected.end(), volume->densities()));
            }
        },
        [&](int i) {
            s.data.loadFromFileName(s.dir.file(std::to_string(i)));
            ++loads;
        });
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(overlaps, 0) << "progress of one load was posted while another ran";
}

// The transfer function flips between four states, each edit one operation; every high-resolution
// image is the image of one of the four, announced once.
TEST(Stress, HighResolutionRendersRacingTransferFunctionEdits) {
    testing::Scene s;
    noise(s.dir, "v", 10, 8, 6);
    s.data.loadFromFileName(s.dir.file("v"));
    const std::uint8_t colours[2][4] = {{255, 40, 0, 0}, {0, 90, 255, 0}};
    auto apply = [&](TransferFkt& fkt, int state, bool colour, bool opacity) {
        if (colour)
            fkt.addRGBReferencePointForDensity(2000, colours[state & 1]);
        if (opacity)
            fkt.addOpacityReferencePointForDensity(1500, std::uint8_t(state & 2 ? 255 : 0));
    };
    std::shared_ptr<const RgbaImage> expected[3][4];
    for (int state = 0; state < 4; ++state) {
        TransferFkt fkt(s.center);
        apply(fkt, state, true, true);
        for (int kind = 0; kind < 3; ++kind)
            expected[kind][state] = make(kind, s.data, fkt)->imageRef();
    }
    apply(s.fkt, 0, true, true);
    std::atomic<int> bad{0};
    race(
        3,
        [&] {
            std::mt19937 rng(7);
            for (const auto more = budget(3000, 3); more();) {
                const bool colour = rng() % 2;
                apply(s.fkt, int(rng() % 4), colour, !colour);
                if (rng() % 3 == 0)
                    s.fkt.update();  // readers on the editing side, as the editor view has
                std::uint8_t rgba[4];
                s.fkt.getRGBA(rgba, int(rng() % 4096));
            }
        },
        [&](int kind) {
            auto r = make(kind, s.data, s.fkt);
            std::atomic<int> posted{0};
            Observation done(s.center, kNewHiResAvailable, r.get(), [&](const Notification&) { ++posted; });
            r->hiRes();
            bad += posted != 1 || std::none_of(std::begin(expected[kind]), std::end(expected[kind]),
                                               [&](const auto& e) { return sameImage(r->imageRef(), e); });
        });
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace qz
