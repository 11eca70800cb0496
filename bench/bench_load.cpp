// Load benchmarks: read, clamp, histogram and gradients of the head phantom, and transfer
// function text.
//
//   BM_Load/<edge>/<threads>   edge^3 phantom from /tmp (written on first use), threads 0 = all cores.
//   BM_LoadScan/<sample>       a real scan from samples/ (scripts/samples.sh fetches them): 0 ch2.nii.gz
//                              (181 x 217 x 181 uint8, gzip), 1 inia19-t1-brain.nii.gz (168 x 206 x 128
//                              float), 2 ch2.nhdr, 3 ch2.mhd (raw), 4 ct-series (181 x 217 x 91 DICOM CT).
//   BM_TransferText/<alpha>    20,000 lines of 'alpha D A' (1) or 'rgb D R G B' (0) applied to a
//                              fresh transfer function; the two take about the same time.
//
// Counters: voxels/s; peak_MiB is the growth of the process's peak resident set during one load
// (VmHWM from /proc/self/status after resetting it through /proc/self/clear_refs, minus VmRSS before
// the load), peak_B/voxel the same per voxel, budget_MiB the allowed 16 bytes/voxel + 64 MiB.
// The file is read once before timing so every iteration reads it from the page cache.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "data/Data.h"
#include "io/Readers.h"
#include "platform/Threads.h"
#include "tools/phantom.h"
#include "transfer/TransferFktText.h"

namespace {

std::string phantomPath(int edge) {
    const std::string path = "/tmp/quarzelle-phantom-" + std::to_string(edge) + ".dat";
    struct stat st {};
    const std::int64_t expected = 2 * std::int64_t(edge) * edge * edge + 6;
    if (::stat(path.c_str(), &st) != 0 || st.st_size != expected) {
        std::string error;
        if (!qz::phantom::writeFile(path, edge, edge, edge, 1, &error))
            return {};
    }
    // Warm the page cache so the timing measures the loader, not the disk.
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        static char buffer[1 << 20];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        ::close(fd);
    }
    return path;
}

// A /proc/self/status field in KiB, or -1.
long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::stol(line.substr(length + 1));
        }
    }
    return -1;
}

// Resets VmHWM to the current resident size; false where the kernel does not allow it.
bool resetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// Loads path once per iteration (the load alone timed) and sets the voxel rate and the peak growth
// of resident memory per voxel. False (and the benchmark skipped) when a load fails.
bool timeLoads(benchmark::State& state, const std::string& path, double* voxelsOut = nullptr) {
    qz::NotificationCenter center;  // no observers: only the loader's own work is timed
    long peakKiB = -1;
    double voxels = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        auto data = std::make_unique<qz::Data>(center);
        const bool canMeasure = resetPeak();
        const long before = statusKiB("VmRSS");
        state.ResumeTiming();

        data->loadFromFileName(path);

        state.PauseTiming();
        if (canMeasure && before >= 0)
            peakKiB = std::max(peakKiB, statusKiB("VmHWM") - before);
        if (!data->hasData()) {
            state.SkipWithError("load failed");
            return false;
        }
        voxels = double(data->volume()->sampleCount());
        data.reset();
        state.ResumeTiming();
    }
    state.counters["voxels/s"] = benchmark::Counter(voxels, benchmark::Counter::kIsIterationInvariantRate);
    if (peakKiB >= 0 && voxels > 0) {
        state.counters["peak_MiB"] = double(peakKiB) / 1024.0;
        state.counters["peak_B/voxel"] = double(peakKiB) * 1024.0 / voxels;
    }
    if (voxelsOut)
        *voxelsOut = voxels;
    return true;
}

void BM_Load(benchmark::State& state) {
    const int edge = int(state.range(0));
    const std::string path = phantomPath(edge);
    if (path.empty()) {
        state.SkipWithError("cannot write the phantom to /tmp");
        return;
    }
    qz::setThreadCount(int(state.range(1)));
    double voxels = 0.0;
    if (timeLoads(state, path, &voxels))
        state.counters["budget_MiB"] = (16.0 * voxels) / (1 << 20) + 64.0;
    qz::setThreadCount(0);
}

void BM_LoadScan(benchmark::State& state) {
    const char* const samples[] = {"ch2.nii.gz", "inia19-t1-brain.nii.gz", "ch2.nhdr", "ch2.mhd",
                                   "ct-series"};
    const std::string path = std::string(QZ_SAMPLES_DIR) + "/" + samples[state.range(0)];
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        state.SkipWithError("no samples/: run scripts/samples.sh");
        return;
    }
    qz::io::registerScanReaders();
    state.SetLabel(samples[state.range(0)]);
    timeLoads(state, path);
}

BENCHMARK(BM_LoadScan)->DenseRange(0, 4)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_Load)
    ->Args({256, 0})
    ->Args({256, 1})
    ->Args({512, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_TransferText(benchmark::State& state) {
    const bool alpha = state.range(0) != 0;
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        const std::string density = std::to_string(i * 7 % qz::kMaxDensity);
        text += alpha ? "alpha " + density + " 17\n" : "rgb " + density + " 1 2 3\n";
    }
    qz::NotificationCenter center;
    for (auto _ : state) {
        qz::TransferFkt fkt(center);
        std::string error;
        if (!qz::applyTransferFktText(text, fkt, &error))
            state.SkipWithError(error.c_str());
    }
}

BENCHMARK(BM_TransferText)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
