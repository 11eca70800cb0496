// Renderer benchmarks on a list of volumes: the .dat files named in QZ_BENCH_VOLUMES (separated
// by spaces; scripts/bench.sh --volumes A.dat B.dat ... sets it), by default the project's 256^3
// head phantom (written to /tmp on first use). <volume> is the file's name without .dat.
//
//   Preview/<volume>/<kind>/<tf>/<orientation>           100^2, quality 0, unshaded: what a drag redraws
//   HiRes/<volume>/<kind>/<res>/<shading>/<tf>/<orient>  quality 1, volume and MIP at 512^2 and 1024^2
//   HiRes/<volume>/Slices/4096/<tf>                      a 4096^2 section
//   Headline/vs_reference                                (default phantom only) 1024^2 shaded volume,
//                                                        semi-transparent, orientation 0, once with the
//                                                        reference renderer of tests/reference/, then
//                                                        with the production one
//
// tf: "opaque" is the initial grey ramp (alpha 255 everywhere); "semi" has the opacity points
// 0:0, 999:0, 2500:40, 4095:255 (air and skin transparent, brain faint, bone dense).
// orientation: "front" is (0, 0, 0), "oblique" is (0.5, 0.7, 0.2).
// Counters: rays/s (pixels per second), steps/s (rays times their 2 * areaRadius steps, the work
// of a ray caster that takes every sample) and cpu_ms (processor time of all threads per render:
// on a machine shared with other work the real time says little, and on an idle one it is about
// cpu_ms / cores).
// The headline case also reports the reference's seconds, the ratio and whether both images are
// byte for byte the same. Times are real (renders use all cores).
//
//   scripts/bench.sh --benchmark_filter='Preview|HiRes|Headline'   (runs build-bench/bench/quarzelle-bench)
//   scripts/bench.sh --volumes ../scans/macaque_t1.dat --benchmark_filter=HiRes/.*/Volume/1024/shaded/semi

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "data/Data.h"
#include "platform/NotificationCenter.h"
#include "reference/ReferenceRenderers.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tools/phantom.h"
#include "transfer/TransferFkt.h"

namespace {

using namespace qz;

// One volume with the two transfer functions.
struct Scene {
    NotificationCenter center;
    Data data{center};
    TransferFkt opaque{center};
    TransferFkt semi{center};
    bool ok = false;

    explicit Scene(const std::string& path) {
        data.loadFromFileName(path);
        ok = data.hasData();
        semi.addOpacityReferencePointForDensity(0, 0);
        semi.addOpacityReferencePointForDensity(999, 0);
        semi.addOpacityReferencePointForDensity(2500, 40);
        semi.addOpacityReferencePointForDensity(kMaxDensity - 1, 255);
        semi.update();
    }
};

// The project's phantom, written to /tmp on first use; empty when that fails.
std::string phantomPath() {
    const int edge = 256;
    const std::string path = "/tmp/quarzelle-phantom-" + std::to_string(edge) + ".dat";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size != 2 * std::int64_t(edge) * edge * edge + 6) {
        std::string error;
        if (!phantom::writeFile(path, edge, edge, edge, 1, &error)) {
            std::fprintf(stderr, "bench_render: %s\n", error.c_str());
            return {};
        }
    }
    return path;
}

// The volumes to measure: QZ_BENCH_VOLUMES, or the phantom.
std::vector<std::string> volumePaths() {
    std::vector<std::string> paths;
    if (const char* list = std::getenv("QZ_BENCH_VOLUMES")) {
        std::istringstream words(list);
        for (std::string path; words >> path;)
            paths.push_back(path);
    }
    return paths;
}

std::string volumeName(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0)
        name.resize(name.size() - 4);
    return name;
}

// The scene of one volume, loaded on first use; only the most recent one is kept.
Scene& scene(const std::string& path) {
    static std::string loadedPath;
    static std::unique_ptr<Scene> loaded;
    if (!loaded || loadedPath != path) {
        loaded.reset();
        loaded = std::make_unique<Scene>(path.empty() ? phantomPath() : path);
        loadedPath = path;
    }
    return *loaded;
}

enum class Kind { Slices, Volume, MIP };

std::unique_ptr<Renderer> makeRenderer(Scene& s, Kind kind, TransferFkt& tf) {
    switch (kind) {
        case Kind::Slices:
            return std::make_unique<Slices>(s.data, tf);
        case Kind::Volume:
            return std::make_unique<Volume>(s.data, tf);
        case Kind::MIP:
            return std::make_unique<MIP>(s.data, tf);
    }
    return nullptr;
}

// CPU seconds of the whole process (all threads) so far.
double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void renderLoop(benchmark::State& state, Renderer& r) {
    std::int64_t pixels = 0;
    const double cpu0 = processSeconds();
    for (auto _ : state) {
        r.setNeedsUpdateImage(true);
        auto image = r.imageRef();
        benchmark::DoNotOptimize(image);
        pixels += std::int64_t(r.width()) * r.height();
    }
    // Work done on all cores per render, in milliseconds: on an otherwise idle machine the real
    // time is about this divided by the number of cores.
    state.counters["cpu_ms"] = 1e3 * (processSeconds() - cpu0) / double(state.iterations());
    state.counters["rays/s"] = benchmark::Counter(double(pixels), benchmark::Counter::kIsRate);
    if (auto* v = dynamic_cast<Volume*>(&r)) {
        state.counters["steps/s"] =
            benchmark::Counter(double(pixels) * 2 * v->areaRadius(), benchmark::Counter::kIsRate);
    }
}

void runCase(benchmark::State& state, const std::string& volume, Kind kind, bool semi, int resolution,
             int quality, bool shading, _Vector orientation) {
    Scene& s = scene(volume);
    if (!s.ok) {
        state.SkipWithError("no volume");
        return;
    }
    auto r = makeRenderer(s, kind, semi ? s.semi : s.opaque);
    r->setMaxImageResolution(resolution);
    r->setQuality(quality);
    r->setDoShading(shading);
    r->setOrientation(orientation);
    r->imageRef();  // builds the per-volume structures once, as the running application has them
    renderLoop(state, *r);
}

void headline(benchmark::State& state) {
    Scene& s = scene("");
    if (!s.ok) {
        state.SkipWithError("no phantom");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const reference::Result expected =
        reference::renderVolume(*s.data.volume(), s.semi, 1024, 1, true, MakeVector(0, 0, 0), false);
    const double referenceSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Volume v(s.data, s.semi);
    v.setMaxImageResolution(1024);
    v.setDoShading(true);
    double seconds = 0.0;
    std::shared_ptr<const RgbaImage> image;
    for (auto _ : state) {
        v.setNeedsUpdateImage(true);
        const auto t0 = std::chrono::steady_clock::now();
        image = v.imageRef();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    const double perRender = seconds / double(state.iterations());
    state.counters["reference_s"] = referenceSeconds;
    state.counters["fast_s"] = perRender;
    state.counters["speedup"] = referenceSeconds / perRender;
    state.counters["identical"] = image && image->pixels == expected.image.pixels ? 1 : 0;
}

const _Vector kFront{0.0f, 0.0f, 0.0f};
const _Vector kOblique{0.5f, 0.7f, 0.2f};

void registerVolume(const std::string& path) {
    const char* kindName[] = {"Slices", "Volume", "MIP"};
    const std::string volume = path.empty() ? "phantom" : volumeName(path);
    auto add = [&](const std::string& name, Kind kind, bool semi, int resolution, int quality, bool shading,
                   _Vector orientation) {
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& st) {
                                         runCase(st, path, kind, semi, resolution, quality, shading,
                                                 orientation);
                                     })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    for (Kind kind : {Kind::Slices, Kind::Volume, Kind::MIP}) {
        for (bool semi : {false, true}) {
            for (bool oblique : {false, true}) {
                if (kind == Kind::Slices && oblique)
                    continue;
                add("Preview/" + volume + "/" + kindName[int(kind)] + (semi ? "/semi" : "/opaque") +
                        (kind == Kind::Slices ? "" : (oblique ? "/oblique" : "/front")),
                    kind, semi, 100, 0, false, oblique ? kOblique : kFront);
            }
        }
    }
    for (Kind kind : {Kind::Volume, Kind::MIP}) {
        for (int res : {512, 1024}) {
            for (bool shading : {false, true}) {
                for (bool semi : {false, true}) {
                    for (bool oblique : {false, true}) {
                        add("HiRes/" + volume + "/" + kindName[int(kind)] + "/" + std::to_string(res) +
                                (shading ? "/shaded" : "/unshaded") + (semi ? "/semi" : "/opaque") +
                                (oblique ? "/oblique" : "/front"),
                            kind, semi, res, 1, shading, oblique ? kOblique : kFront);
                    }
                }
            }
        }
    }
    for (bool semi : {false, true})
        add("HiRes/" + volume + "/Slices/4096" + (semi ? "/semi" : "/opaque"), Kind::Slices, semi, 4096, 1,
            false, kFront);
}

int registerAll() {
    const std::vector<std::string> paths = volumePaths();
    for (const std::string& path : paths.empty() ? std::vector<std::string>{""} : paths)
        registerVolume(path);
    if (paths.empty()) {
        benchmark::RegisterBenchmark("Headline/vs_reference", headline)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(3);
    }
    return 0;
}

const int registered = registerAll();

}  // namespace
