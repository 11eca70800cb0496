// Concurrency under load: volumes replaced while renderers render, high-resolution renders while
// the transfer function is edited, and the notification centre used from many threads at once.
// Every loop is bounded in count and in time, so a slow (sanitized) build only does less of it.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/FuzzChecks.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"

namespace qz {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Stops a loop after `count` rounds or once `limit` has passed, whichever is first.
class Budget {
  public:
    Budget(int count, Clock::duration limit) : count_(count), end_(Clock::now() + limit) {}
    bool next() { return rounds_.fetch_add(1) < count_ && Clock::now() < end_; }

  private:
    const int count_;
    const Clock::time_point end_;
    std::atomic<int> rounds_{0};
};

std::string scratch(const std::string& stem) {
    static std::atomic<int> counter{0};
    return ::testing::TempDir() + "qz-stress-" + std::to_string(::getpid()) + "-" + stem + "-" +
           std::to_string(counter++) + ".dat";
}

std::string writeVolume(const std::string& stem, int x, int y, int z, int seed) {
    std::vector<int> samples(std::size_t(x) * y * z);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = int(((i * 2654435761u + unsigned(seed) * 40503u) >> 7) % 4096);
    const auto bytes = fuzz::volumeFile(x, y, z, samples);
    const std::string path = scratch(stem);
    EXPECT_TRUE(fuzz::writeFile(path, bytes.data(), bytes.size()));
    return path;
}

bool sameImage(const RgbaImage& a, const RgbaImage& b) {
    return a.width == b.width && a.height == b.height && a.pixels == b.pixels;
}

void setUp(Renderer& r, int kind) {
    r.setMaxImageResolution(kind == 0 ? 40 : 24);
    if (kind == 0)
        static_cast<Slices&>(r).setDepth(0.4f);
    if (kind != 0) {
        r.setOrientation(MakeVector(0.4f, -0.3f, 0.9f));
        r.setQuality(1);
        r.setDoShading(kind == 1);
    }
}

std::unique_ptr<Renderer> make(int kind, Data& data, TransferFkt& fkt) {
    std::unique_ptr<Renderer> r;
    if (kind == 0)
        r = std::make_unique<Slices>(data, fkt);
    if (kind == 1)
        r = std::make_unique<Volume>(data, fkt);
    if (kind == 2)
        r = std::make_unique<MIP>(data, fkt);
    setUp(*r, kind);
    return r;
}

// The image a renderer of `kind` makes of the volume at `path`, rendered in a world of its own.
std::shared_ptr<const RgbaImage> reference(int kind, const std::string& path, TransferFkt& fkt) {
    NotificationCenter center;
    Data data(center);
    data.loadFromFileName(path);
    auto r = make(kind, data, fkt);
    return r->imageRef();
}

TEST(Stress, LoadsRacingRendersAlwaysShowOneWholeVolume) {
    NotificationCenter center;
    Data data(center);
    TransferFkt fkt(center);
    fkt.addOpacityReferencePointForDensity(1000, 40);
    fkt.update();
    // Different sizes in every axis, so a mix of the two cannot pass for either.
    const std::array<std::string, 2> paths = {writeVolume("a", 12, 9, 7, 1), writeVolume("b", 5, 16, 3, 2)};

    constexpr int kKinds = 3;
    std::array<std::array<std::shared_ptr<const RgbaImage>, 2>, kKinds> expected;
    for (int kind = 0; kind < kKinds; ++kind)
        for (int v = 0; v < 2; ++v)
            expected[kind][v] = reference(kind, paths[v], fkt);

    data.loadFromFileName(paths[0]);
    // Another observer of new data that takes its time (an editor redrawing its histogram), called
    // before the renderers hear of the new volume.
    Observation slowObserver(center, kNewDataAvailable, nullptr,
                             [](const Notification&) { std::this_thread::sleep_for(1ms); });
    std::vector<std::unique_ptr<Renderer>> renderers;
    for (int kind = 0; kind < kKinds; ++kind)
        renderers.push_back(make(kind, data, fkt));

    std::atomic<bool> loading{true};
    std::atomic<int> loads{0};
    std::thread loader([&] {
        Budget budget(400, 3s);
        for (int i = 1; budget.next(); ++i) {
            data.loadFromFileName(paths[i % 2]);
            ++loads;
        }
        loading = false;
    });

    std::mutex failMutex;
    std::vector<std::string> failures;
    std::atomic<int> renders{0};
    auto renderLoop = [&](int kind) {
        Renderer& r = *renderers[kind];
        int round = 0;
        while (loading.load() || round == 0) {
            r.setNeedsUpdateImage(true);
            const auto image = r.imageRef();
            ++renders;
            ++round;
            if (image && (sameImage(*image, *expected[kind][0]) || sameImage(*image, *expected[kind][1])))
                continue;
            std::lock_guard lock(failMutex);
            if (failures.size() < 5)
                failures.push_back(std::string(r.className()) + " round " + std::to_string(round) + ": " +
                                   (image
                                        ? std::to_string(image->width) + "x" + std::to_string(image->height) +
                                              " image matching neither volume"
                                        : "no image"));
        }
    };
    std::vector<std::thread> threads;
    for (int kind = 0; kind < kKinds; ++kind)
        threads.emplace_back(renderLoop, kind);
    // A second thread on the slice renderer: imageRef itself must serialise the two.
    threads.emplace_back(renderLoop, 0);
    loader.join();
    for (auto& t : threads)
        t.join();

    for (const auto& f : failures)
        ADD_FAILURE() << f;
    EXPECT_GE(loads.load(), 2);
    EXPECT_GE(renders.load(), 4);
    for (const auto& p : paths)
        std::remove(p.c_str());
}

// Renderers are made and destroyed while loads announce new data on another thread: a handler
// must never reach a renderer that is being destroyed.
TEST(Stress, RenderersComeAndGoWhileLoadsArrive) {
    NotificationCenter center;
    Data data(center);
    TransferFkt fkt(center);
    const std::array<std::string, 2> paths = {writeVolume("c", 6, 5, 4, 4), writeVolume("d", 3, 7, 2, 5)};
    data.loadFromFileName(paths[0]);

    std::atomic<bool> loading{true};
    std::thread loader([&] {
        Budget budget(300, 2s);
        for (int i = 1; budget.next(); ++i)
            data.loadFromFileName(paths[i % 2]);
        loading = false;
    });
    std::atomic<int> made{0};
    auto churn = [&](int kind) {
        while (loading.load() || made.load() < 3) {
            auto r = make(kind, data, fkt);
            if (made.fetch_add(1) % 4 == 0)
                r->imageRef();
        }
    };
    std::thread a(churn, 0), b(churn, 1), c(churn, 2);
    loader.join();
    a.join();
    b.join();
    c.join();
    EXPECT_GE(made.load(), 3);
    for (const auto& p : paths)
        std::remove(p.c_str());
}

// Two threads load different files at once while readers look: loads take turns, and every
// volume a reader sees is one of the files, whole.
TEST(Stress, ConcurrentLoadsTakeTurns) {
    NotificationCenter center;
    Data data(center);
    std::array<std::vector<std::uint8_t>, 2> bytes;
    std::array<std::string, 2> paths;
    for (int v = 0; v < 2; ++v) {
        std::vector<int> samples(std::size_t(9 + v) * (4 + 3 * v) * (5 - v));
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = int((i * 7 + 100 * v) % 4096);
        bytes[v] = fuzz::volumeFile(9 + v, 4 + 3 * v, 5 - v, samples);
        paths[v] = scratch("turn");
        ASSERT_TRUE(fuzz::writeFile(paths[v], bytes[v].data(), bytes[v].size()));
    }
    std::atomic<int> loaders{2};
    // Between two "newDataAvailable" posts, progress must come from one load: one file's read
    // phase, then a rising gradient phase.
    std::mutex phaseMutex;
    std::string currentRead;
    int lastGradient = 0, overlaps = 0;
    Observation during(center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
        std::lock_guard lock(phaseMutex);
        const std::string info = n.stringValue("info");
        if (info.rfind("read ", 0) == 0) {
            if (lastGradient > 0 || (!currentRead.empty() && currentRead != info))
                ++overlaps;
            currentRead = info;
        } else if (info == "calculate gradients") {
            if (n.intValue("progress") <= lastGradient)
                ++overlaps;
            lastGradient = n.intValue("progress");
        }
    });
    Observation finished(center, kNewDataAvailable, nullptr, [&](const Notification&) {
        std::lock_guard lock(phaseMutex);
        currentRead.clear();
        lastGradient = 0;
    });
    auto loader = [&](int v) {
        Budget budget(150, 2s);
        while (budget.next())
            data.loadFromFileName(paths[v]);
        --loaders;
    };
    std::mutex failMutex;
    std::string failure;
    auto reader = [&] {
        while (loaders.load() > 0) {
            const auto volume = data.volume();
            if (!volume->hasData())
                continue;
            const int v = volume->xDim() == 9 ? 0 : 1;
            const std::string problem = fuzz::checkVolumeMatches(*volume, bytes[v].data(), bytes[v].size());
            if (!problem.empty()) {
                std::lock_guard lock(failMutex);
                failure = problem;
            }
        }
    };
    std::thread l0(loader, 0), l1(loader, 1), r0(reader);
    l0.join();
    l1.join();
    r0.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(overlaps, 0) << "progress of one load was posted while another ran";
    for (const auto& p : paths)
        std::remove(p.c_str());
}

// The transfer function flips between four states, each edit a single atomic operation; every
// high-resolution image must be the image of one of the four.
TEST(Stress, HighResolutionRendersRacingTransferFunctionEdits) {
    NotificationCenter center;
    Data data(center);
    const std::string path = writeVolume("tf", 10, 8, 6, 3);
    data.loadFromFileName(path);

    const std::uint8_t colours[2][4] = {{255, 40, 0, 0}, {0, 90, 255, 0}};
    const int opacities[2] = {0, 255};
    auto applyState = [&](TransferFkt& fkt, int state) {
        fkt.addRGBReferencePointForDensity(2000, colours[state & 1]);
        fkt.addOpacityReferencePointForDensity(1500, std::uint8_t(opacities[(state >> 1) & 1]));
    };

    constexpr int kKinds = 3;
    auto hiResRenderer = [&](int kind, TransferFkt& fkt) {
        auto r = make(kind, data, fkt);
        r->setMaxImageResolution(kind == 0 ? 48 : 32);
        return r;
    };
    std::array<std::array<std::shared_ptr<const RgbaImage>, 4>, kKinds> expected;
    for (int state = 0; state < 4; ++state) {
        NotificationCenter own;
        TransferFkt fkt(own);
        applyState(fkt, state);
        for (int kind = 0; kind < kKinds; ++kind)
            expected[kind][state] = hiResRenderer(kind, fkt)->imageRef();
    }

    TransferFkt fkt(center);
    applyState(fkt, 0);
    std::atomic<bool> editing{true};
    std::atomic<int> changes{0};
    Observation changed(center, kTransferFktChanged, nullptr, [&](const Notification&) { ++changes; });
    std::thread editor([&] {
        std::mt19937 rng(7);
        Budget budget(3000, 3s);
        while (budget.next()) {
            const int state = int(rng() % 4);
            if (rng() % 2) {
                fkt.addRGBReferencePointForDensity(2000, colours[state & 1]);
            } else {
                fkt.addOpacityReferencePointForDensity(1500, std::uint8_t(opacities[(state >> 1) & 1]));
            }
            // Readers on the editing side, as the editor view does.
            if (rng() % 3 == 0)
                fkt.update();
            std::uint8_t rgba[4];
            fkt.getRGBA(rgba, int(rng() % 4096));
        }
        editing = false;
    });

    std::mutex failMutex;
    std::vector<std::string> failures;
    std::atomic<int> images{0};
    auto worker = [&](int kind) {
        int round = 0;
        while (editing.load() || round == 0) {
            ++round;
            auto r = hiResRenderer(kind, fkt);
            std::atomic<int> posted{0};
            Observation done(center, kNewHiResAvailable, r.get(), [&](const Notification&) { ++posted; });
            r->hiRes();
            const auto image = r->imageRef();
            ++images;
            bool ok = image != nullptr && posted.load() == 1;
            if (ok) {
                ok = false;
                for (const auto& e : expected[kind])
                    ok = ok || sameImage(*image, *e);
            }
            if (!ok) {
                std::lock_guard lock(failMutex);
                if (failures.size() < 5)
                    failures.push_back(std::string(r->className()) + " round " + std::to_string(round) +
                                       ": image of no consistent transfer function");
            }
        }
    };
    std::vector<std::thread> workers;
    for (int kind = 0; kind < kKinds; ++kind)
        workers.emplace_back(worker, kind);
    editor.join();
    for (auto& t : workers)
        t.join();

    for (const auto& f : failures)
        ADD_FAILURE() << f;
    EXPECT_GE(images.load(), 3);
    EXPECT_GT(changes.load(), 0);
    std::remove(path.c_str());
}

// Observers come and go on many threads while others post; a handler never runs after its
// removal has returned, every registered observer gets what is posted, and nothing deadlocks.
TEST(Stress, NotificationCentreFromManyThreads) {
    NotificationCenter center;
    constexpr int kThreads = 6;
    std::atomic<int> violations{0};
    std::atomic<long> delivered{0};
    std::atomic<bool> running{true};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            Budget budget(5000, 2s);
            const std::string names[3] = {"alpha", "beta", std::to_string(t)};
            while (budget.next()) {
                // A registration of our own: it must see our own post, and nothing after removal.
                auto removed = std::make_shared<std::atomic<bool>>(false);
                std::atomic<int> mine{0};
                const std::string& name = names[rng() % 3];
                const auto token = center.addObserver(name, nullptr, [&, removed](const Notification&) {
                    if (removed->load())
                        ++violations;
                    ++mine;
                    ++delivered;
                });
                UserInfo info;
                info["progress"] = t;
                center.post(name, nullptr, &info);
                if (mine.load() < 1)
                    ++violations;
                // Handlers that post, add and remove from inside a delivery.
                if (rng() % 4 == 0) {
                    Observation nested(center, "gamma", nullptr, [&](const Notification&) {
                        Observation inner(center, "delta", nullptr,
                                          [&](const Notification&) { ++delivered; });
                        center.post("delta");
                    });
                    center.post("gamma");
                }
                center.removeObserver(token);
                removed->store(true);
                center.post(name);
            }
        });
    }
    // Posts from outside any registration, as loaders and renderers do.
    std::thread poster([&] {
        while (running.load()) {
            center.post("alpha");
            center.post("beta", &center);
        }
    });
    for (auto& t : threads)
        t.join();
    running = false;
    poster.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(delivered.load(), 0);
}

}  // namespace
}  // namespace qz
