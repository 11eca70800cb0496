// Concurrency under load: volumes replaced while renderers render, concurrent loads, high-resolution
// renders while the transfer function is edited. Every loop is bounded in count and in time, so a
// slow (sanitized) build only does less of it.
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

using namespace std::chrono_literals;

// True for `count` calls or until `limit` has passed, whichever ends first.
std::function<bool()> budget(int count, std::chrono::steady_clock::duration limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    return [=, rounds = 0]() mutable { return rounds++ < count && std::chrono::steady_clock::now() < end; };
}

// Noise of its own for each seed.
std::vector<std::uint16_t> noise(int x, int y, int z, unsigned seed) {
    return testing::samplesOf(x, y, z, [=](int i, int j, int k) {
        return int((unsigned(i + x * (j + y * k)) * 2654435761u + seed * 40503u) >> 7) % 4096;
    });
}

std::string writeVolume(const testing::TempDir& dir, const std::string& name, int x, int y, int z,
                        unsigned seed) {
    testing::writeVolumeFile(dir.file(name), x, y, z, noise(x, y, z, seed));
    return dir.file(name);
}

// Slices, Volume or MIP (kind 0, 1, 2) at resolution 32, shading the volume.
std::unique_ptr<Renderer> make(int kind, Data& data, TransferFkt& fkt) {
    std::unique_ptr<Renderer> r;
    if (kind == 0)
        r = std::make_unique<Slices>(data, fkt);
    else
        r = kind == 1 ? std::make_unique<Volume>(data, fkt) : std::make_unique<MIP>(data, fkt);
    r->setMaxImageResolution(32);
    r->setOrientation(MakeVector(0.4f, -0.3f, 0.9f));
    r->setDoShading(kind == 1);
    return r;
}

void joinAll(std::vector<std::thread>& threads) {
    for (auto& t : threads)
        t.join();
}

bool sameImage(const std::shared_ptr<const RgbaImage>& a, const std::shared_ptr<const RgbaImage>& b) {
    return a && b && a->width == b->width && a->height == b->height && a->pixels == b->pixels;
}

// Renders race loads (and an observer of new data that takes its time, as an editor redrawing its
// histogram does): every image is that of one whole volume. Two threads share the slice renderer.
TEST(Stress, LoadsRacingRendersAlwaysShowOneWholeVolume) {
    testing::Scene s;
    s.fkt.addOpacityReferencePointForDensity(1000, 40);
    const std::string paths[2] = {writeVolume(s.dir, "a.dat", 12, 9, 7, 1),
                                  writeVolume(s.dir, "b.dat", 5, 16, 3, 2)};
    std::shared_ptr<const RgbaImage> expected[3][2];
    for (int v = 0; v < 2; ++v) {
        s.data.loadFromFileName(paths[v]);
        for (int kind = 0; kind < 3; ++kind)
            expected[kind][v] = make(kind, s.data, s.fkt)->imageRef();
    }
    Observation slow(s.center, kNewDataAvailable, nullptr,
                     [](const Notification&) { std::this_thread::sleep_for(1ms); });
    std::vector<std::unique_ptr<Renderer>> renderers;
    for (int kind = 0; kind < 3; ++kind)
        renderers.push_back(make(kind, s.data, s.fkt));
    std::atomic<bool> loading{true};
    std::atomic<int> bad{0}, renders{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        const auto more = budget(400, 3s);
        for (int i = 1; more(); ++i)
            s.data.loadFromFileName(paths[i % 2]);
        loading = false;
    });
    for (int kind : {0, 1, 2, 0})
        threads.emplace_back([&, kind] {
            for (int round = 0; loading.load() || round == 0; ++round, ++renders) {
                renderers[kind]->setNeedsUpdateImage(true);
                const auto image = renderers[kind]->imageRef();
                bad += !sameImage(image, expected[kind][0]) && !sameImage(image, expected[kind][1]);
            }
        });
    joinAll(threads);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(renders.load(), 4);
}

// Two threads load different files at once while a reader looks: loads take turns (one file's read
// progress, then rising gradient progress, then new data), and every volume seen is whole.
TEST(Stress, ConcurrentLoadsTakeTurns) {
    testing::Scene s;
    const std::vector<std::uint16_t> samples[2] = {noise(9, 4, 5, 0), noise(10, 7, 4, 1)};
    const std::string paths[2] = {writeVolume(s.dir, "a.dat", 9, 4, 5, 0),
                                  writeVolume(s.dir, "b.dat", 10, 7, 4, 1)};
    std::mutex phaseMutex;
    std::string currentRead;
    int lastGradient = 0, overlaps = 0;
    Observation during(s.center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
        std::lock_guard lock(phaseMutex);
        const std::string info = n.stringValue("info");
        if (info.rfind("read ", 0) == 0) {
            overlaps += lastGradient > 0 || (!currentRead.empty() && currentRead != info);
            currentRead = info;
        } else {
            overlaps += n.intValue("progress") <= lastGradient;
            lastGradient = n.intValue("progress");
        }
    });
    Observation finished(s.center, kNewDataAvailable, nullptr, [&](const Notification&) {
        std::lock_guard lock(phaseMutex);
        currentRead.clear();
        lastGradient = 0;
    });
    std::atomic<int> loaders{2}, torn{0};
    auto loader = [&](int v) {
        const auto more = budget(150, 2s);
        while (more())
            s.data.loadFromFileName(paths[v]);
        --loaders;
    };
    std::thread l0(loader, 0), l1(loader, 1), reader([&] {
        while (loaders.load() > 0) {
            const auto volume = s.data.volume();
            const auto& expected = samples[volume->xDim() == 9 ? 0 : 1];
            torn += volume->hasData() && (volume->sampleCount() != std::int64_t(expected.size()) ||
                                          !std::equal(expected.begin(), expected.end(), volume->densities()));
        }
    });
    l0.join();
    l1.join();
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(overlaps, 0) << "progress of one load was posted while another ran";
}

// The transfer function flips between four states, each edit one operation; every high-resolution
// image is the image of one of the four.
TEST(Stress, HighResolutionRendersRacingTransferFunctionEdits) {
    testing::Scene s;
    s.data.loadFromFileName(writeVolume(s.dir, "tf.dat", 10, 8, 6, 3));
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
    std::atomic<bool> editing{true};
    std::atomic<int> bad{0}, images{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        std::mt19937 rng(7);
        const auto more = budget(3000, 3s);
        while (more()) {
            const bool colour = rng() % 2;
            apply(s.fkt, int(rng() % 4), colour, !colour);
            if (rng() % 3 == 0)
                s.fkt.update();  // readers on the editing side, as the editor view has
            std::uint8_t rgba[4];
            s.fkt.getRGBA(rgba, int(rng() % 4096));
        }
        editing = false;
    });
    for (int kind = 0; kind < 3; ++kind)
        threads.emplace_back([&, kind] {
            for (int round = 0; editing.load() || round == 0; ++round, ++images) {
                auto r = make(kind, s.data, s.fkt);
                std::atomic<int> posted{0};
                Observation done(s.center, kNewHiResAvailable, r.get(),
                                 [&](const Notification&) { ++posted; });
                r->hiRes();
                const auto image = r->imageRef();
                bad +=
                    posted.load() != 1 || std::none_of(std::begin(expected[kind]), std::end(expected[kind]),
                                                       [&](const auto& e) { return sameImage(image, e); });
            }
        });
    joinAll(threads);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(images.load(), 3);
}

}  // namespace
}  // namespace qz
