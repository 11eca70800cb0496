#include "data/Data.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "data/AxisCell.h"
#include "platform/Progress.h"
#include "platform/RegularFile.h"
#include "platform/Threads.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qz {

namespace {

// Densities up to this value are air and noise: the histogram does not count them.
constexpr int kHighestUncountedDensity = 10;
// Samples read, clamped and counted per task; small enough to balance two cores on 256^3.
constexpr std::int64_t kReadChunkSamples = std::int64_t(1) << 20;
// Voxels per gradient task (whole rows).
constexpr std::int64_t kGradientChunkVoxels = std::int64_t(1) << 18;
// A corrupt file can clamp hundreds of millions of samples; a terminal cannot take a line each.
constexpr std::int64_t kMaxWarningLines = 100;
constexpr int kHeaderBytes = 6;

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

int clampInt(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

std::int64_t physicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return INT64_MAX;
    return std::int64_t(pages) * pageSize;
}

// Uninitialised storage for count entries of T; large arrays are aligned to and advised for
// transparent huge pages. Throws std::bad_alloc.
template <class T>
T* allocateArray(std::int64_t count) {
    constexpr std::size_t kHugePage = std::size_t(2) << 20;
    const std::size_t bytes = std::size_t(count) * sizeof(T);
    const bool huge = bytes >= 2 * kHugePage;
    const std::size_t alignment = huge ? kHugePage : 64;
    void* p = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (!p)
        throw std::bad_alloc();
    if (huge)
        ::madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint; failure is harmless
    return static_cast<T*>(p);
}

bool isCancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

const char* const kCancelled = "Data:Error: loading cancelled";

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a scan goes by in messages: its file's or folder's name.
std::string scanName(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return lastPathComponent(path);
}

bool hasDatSuffix(const std::string& path) {
    if (path.size() < 4)
        return false;
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return suffix == ".dat";
}

// Clamps count samples (little-endian ones swapped first when Swap) to the density range and adds
// them to counts; returns how many were clamped.
template <bool Swap>
std::int64_t clampAndCount(std::uint16_t* samples, std::int64_t count,
                           std::array<std::int64_t, kMaxDensity>& counts, std::mutex& countsMutex) {
    // Four interleaved tables keep runs of one density (air) from serialising the increments.
    std::uint32_t local[4][kMaxDensity] = {};
    std::int64_t clamped = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        std::uint32_t v = samples[i];
        if constexpr (Swap)
            v = ((v & 0xff) << 8) | (v >> 8);
        if (v >= std::uint32_t(kMaxDensity)) {
            v = kMaxDensity - 1;
            ++clamped;
        }
        samples[i] = static_cast<std::uint16_t>(v);
        ++local[i & 3][v];
    }
    std::lock_guard lock(countsMutex);
    for (int d = 0; d < kMaxDensity; ++d)
        counts[d] += local[0][d] + local[1][d] + local[2][d] + local[3][d];
    return clamped;
}

// Central differences with clamped neighbours, scaled per axis and normalised, for one row of
// voxels. Rows above and below (in y and z) are passed already clamped to the grid. factor is 0.5
// on every axis for even spacing; otherwise it also divides by each axis's spacing.
void gradientRow(const std::uint16_t* row, const std::uint16_t* yMinus, const std::uint16_t* yPlus,
                 const std::uint16_t* zMinus, const std::uint16_t* zPlus, int xDim, const float factor[3],
                 _Vector* out) {
    auto at = [&](int x, int xm, int xp) {
        const int gx = int(row[xp]) - int(row[xm]);
        const int gy = int(yPlus[x]) - int(yMinus[x]);
        const int gz = int(zPlus[x]) - int(zMinus[x]);
        out[x] =
            NormalizeVector(MakeVector(factor[0] * float(gx), factor[1] * float(gy), factor[2] * float(gz)));
    };
    if (xDim == 1) {
        at(0, 0, 0);
        return;
    }
    at(0, 0, 1);
    int x = 1;
#if defined(__SSE2__)
    // Four voxels at a time with the same IEEE operations in the same order as NormalizeVector
    // (sqrtps and divps round exactly like their scalar forms), so the results are bit-identical.
    const __m128i zero = _mm_setzero_si128();
    auto difference = [&](const std::uint16_t* plus, const std::uint16_t* minus, float f) {
        const __m128i p = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(plus)), zero);
        const __m128i m = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(minus)), zero);
        return _mm_mul_ps(_mm_set1_ps(f), _mm_cvtepi32_ps(_mm_sub_epi32(p, m)));
    };
    for (; x + 4 <= xDim - 1; x += 4) {
        const __m128 vx = difference(row + x + 1, row + x - 1, factor[0]);
        const __m128 vy = difference(yPlus + x, yMinus + x, factor[1]);
        const __m128 vz = difference(zPlus + x, zMinus + x, factor[2]);
        const __m128 length =
            _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy)), _mm_mul_ps(vz, vz)));
        const __m128 flat = _mm_cmpeq_ps(length, _mm_setzero_ps());  // keep the vector unchanged
        auto scaled = [&](__m128 v) {
            return _mm_or_ps(_mm_and_ps(flat, v), _mm_andnot_ps(flat, _mm_div_ps(v, length)));
        };
        const __m128 nx = scaled(vx), ny = scaled(vy), nz = scaled(vz);
        // Interleave into four consecutive (x, y, z) records.
        const __m128 xyLow = _mm_unpacklo_ps(nx, ny);   // x0 y0 x1 y1
        const __m128 xyHigh = _mm_unpackhi_ps(nx, ny);  // x2 y2 x3 y3
        const __m128 a = _mm_shuffle_ps(nz, nx, _MM_SHUFFLE(1, 1, 0, 0));
        const __m128 b = _mm_shuffle_ps(ny, nz, _MM_SHUFFLE(1, 1, 1, 1));
        const __m128 c = _mm_shuffle_ps(nz, xyHigh, _MM_SHUFFLE(3, 2, 3, 2));
        float* o = reinterpret_cast<float*>(out + x);
        _mm_storeu_ps(o, _mm_shuffle_ps(xyLow, a, _MM_SHUFFLE(2, 0, 1, 0)));
        _mm_storeu_ps(o + 4, _mm_shuffle_ps(b, xyHigh, _MM_SHUFFLE(1, 0, 2, 0)));
        _mm_storeu_ps(o + 8, _mm_shuffle_ps(c, c, _MM_SHUFFLE(1, 3, 2, 0)));
    }
#endif
    for (; x < xDim - 1; ++x)
        at(x, x - 1, x + 1);
    at(xDim - 1, xDim - 2, xDim - 1);
}

}  // namespace

void DensityDeleter::operator()(std::uint16_t* p) const noexcept {
    std::free(p);
}

DensityArray allocateDensities(std::int64_t count) {
    return DensityArray(allocateArray<std::uint16_t>(count));
}

void checkScanFits(const std::array<std::int64_t, 3>& dims, std::int64_t sourceBytes) {
    for (int a = 0; a < 3; ++a) {
        if (dims[a] < 1 || dims[a] > 65535) {
            throw ScanError(format("dimension %d is %lld samples (1 .. 65535 load)", a + 1,
                                   static_cast<long long>(dims[a])));
        }
    }
    const std::int64_t n = dims[0] * dims[1] * dims[2];
    const std::int64_t needed = n * std::int64_t(sizeof(std::uint16_t) + sizeof(_Vector)) + 2 * n;
    // Both terms are below 2^62: 65535^3 voxels take under 2^52 bytes each way.
    if (sourceBytes < 0 || sourceBytes > (std::int64_t(1) << 60) ||
        needed + sourceBytes > physicalMemoryBytes()) {
        throw ScanError(format(
            "volume of %lld x %lld x %lld samples is too large to load (%lld MiB needed)",
            static_cast<long long>(dims[0]), static_cast<long long>(dims[1]), static_cast<long long>(dims[2]),
            static_cast<long long>((needed + std::max<std::int64_t>(0, sourceBytes)) >> 20)));
    }
}

// ---------------------------------------------------------------------------------------------
// VolumeData

VolumeData::VolumeData() = default;

void VolumeData::FreeDeleter::operator()(void* p) const noexcept {
    std::free(p);
}

int VolumeData::getDensity(int x, int y, int z) const {
    if (!hasData())
        return 0;
    return densities_[index(clampInt(x, 0, xDim_ - 1), clampInt(y, 0, yDim_ - 1), clampInt(z, 0, zDim_ - 1))];
}

_Vector VolumeData::getGradient(int x, int y, int z) const {
    if (!hasData())
        return _Vector{0.0f, 0.0f, 0.0f};
    return gradients_[index(clampInt(x, 0, xDim_ - 1), clampInt(y, 0, yDim_ - 1), clampInt(z, 0, zDim_ - 1))];
}

float VolumeData::trilinear(float x, float y, float z, float s000, float s100, float s010, float s110,
                            float s001, float s101, float s011, float s111) {
    // Double products: a cell of constant value v then yields exactly v after rounding to float.
    const double dx = x, dy = y, dz = z;
    const double result = s000 * (1 - dx) * (1 - dy) * (1 - dz) + s100 * dx * (1 - dy) * (1 - dz) +
                          s010 * (1 - dx) * dy * (1 - dz) + s110 * dx * dy * (1 - dz) +
                          s001 * (1 - dx) * (1 - dy) * dz + s101 * dx * (1 - dy) * dz +
                          s011 * (1 - dx) * dy * dz + s111 * dx * dy * dz;
    return static_cast<float>(result);
}

int VolumeData::getDensityForRelative(float rx, float ry, float rz) const {
    if (!hasData())
        return 0;
    const AxisCell cx = axisCell(rx, xDim_), cy = axisCell(ry, yDim_), cz = axisCell(rz, zDim_);
    auto d = [&](int x, int y, int z) { return static_cast<float>(densities_[index(x, y, z)]); };
    const float t = trilinear(cx.fraction, cy.fraction, cz.fraction, d(cx.lower, cy.lower, cz.lower),
                              d(cx.upper, cy.lower, cz.lower), d(cx.lower, cy.upper, cz.lower),
                              d(cx.upper, cy.upper, cz.lower), d(cx.lower, cy.lower, cz.upper),
                              d(cx.upper, cy.lower, cz.upper), d(cx.lower, cy.upper, cz.upper),
                              d(cx.upper, cy.upper, cz.upper));
    // Extrapolation outside 0..1 must still give a density the per-density tables hold.
    if (!(t > 0.0f))
        return 0;
    if (t >= static_cast<float>(kMaxDensity - 1))
        return kMaxDensity - 1;
    return static_cast<int>(t);
}

_Vector VolumeData::getGradientForRelative(float rx, float ry, float rz) const {
    if (!hasData())
        return _Vector{0.0f, 0.0f, 0.0f};
    const AxisCell cx = axisCell(rx, xDim_), cy = axisCell(ry, yDim_), cz = axisCell(rz, zDim_);
    const _Vector s000 = gradients_[index(cx.lower, cy.lower, cz.lower)];
    const _Vector s100 = gradients_[index(cx.upper, cy.lower, cz.lower)];
    const _Vector s010 = gradients_[index(cx.lower, cy.upper, cz.lower)];
    const _Vector s110 = gradients_[index(cx.upper, cy.upper, cz.lower)];
    const _Vector s001 = gradients_[index(cx.lower, cy.lower, cz.upper)];
    const _Vector s101 = gradients_[index(cx.upper, cy.lower, cz.upper)];
    const _Vector s011 = gradients_[index(cx.lower, cy.upper, cz.upper)];
    const _Vector s111 = gradients_[index(cx.upper, cy.upper, cz.upper)];
    const float x = trilinear(cx.fraction, cy.fraction, cz.fraction, s000.x, s100.x, s010.x, s110.x, s001.x,
                              s101.x, s011.x, s111.x);
    const float y = trilinear(cx.fraction, cy.fraction, cz.fraction, s000.y, s100.y, s010.y, s110.y, s001.y,
                              s101.y, s011.y, s111.y);
    const float z = trilinear(cx.fraction, cy.fraction, cz.fraction, s000.z, s100.z, s010.z, s110.z, s001.z,
                              s101.z, s011.z, s111.z);
    return NormalizeVector(MakeVector(x, y, z));
}

// ---------------------------------------------------------------------------------------------
// Data

Data& Data::sharedInstance() {
    // Never destroyed: loader threads and renderers may still reach it while the process exits.
    static Data* instance = new Data();
    return *instance;
}

Data::Data(NotificationCenter& center) : center_(center), current_(std::make_shared<const VolumeData>()) {}

std::shared_ptr<const VolumeData> Data::volume() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::string Data::filename() const {
    return volume()->filename();
}
int Data::xDim() const {
    return volume()->xDim();
}
int Data::yDim() const {
    return volume()->yDim();
}
int Data::zDim() const {
    return volume()->zDim();
}
bool Data::hasData() const {
    return volume()->hasData();
}
float Data::getNormalizedOccurrenceForDensity(int density) const {
    return volume()->getNormalizedOccurrenceForDensity(density);
}
int Data::getDensity(int x, int y, int z) const {
    return volume()->getDensity(x, y, z);
}
_Vector Data::getGradient(int x, int y, int z) const {
    return volume()->getGradient(x, y, z);
}
int Data::getDensityForRelative(float rx, float ry, float rz) const {
    return volume()->getDensityForRelative(rx, ry, rz);
}
_Vector Data::getGradientForRelative(float rx, float ry, float rz) const {
    return volume()->getGradientForRelative(rx, ry, rz);
}

void Data::loadFromFileName(const std::string& path, const ReadOptions& options) {
    std::lock_guard loadLock(loadMutex_);
    try {
        const VolumeReader* reader = hasDatSuffix(path) ? nullptr : volumeReaderFor(path);
        if (reader) {
            loadScan(*reader, path, options);
        } else {
            if (options.useWindow)
                printLine(
                    "Data:Warning: the density window applies to scans; a .dat holds densities already");
            load(path, options.cancel);
        }
    } catch (const std::bad_alloc&) {
        fail("Data:Error: not enough memory to load the volume");
    } catch (const std::exception& e) {
        fail(std::string("Data:Error: ") + e.what());
    }
}

void Data::fail(const std::string& message) {
    printLine(message);
    UserInfo info;
    info["info"] = message;
    center_.post(kDataLoadFailed, nullptr, &info);
}

void Data::publish(std::shared_ptr<const VolumeData> volume) {
    {
        std::lock_guard lock(mutex_);
        current_.swap(volume);
    }
    // The previous volume goes when its last reader lets go of it (possibly right here).
    volume.reset();
    center_.post(kNewDataAvailable);
}

bool Data::load(const std::string& path, const std::atomic<bool>* cancel) {
    // Only regular files load; a FIFO without a writer does not hang the open.
    const RegularFile file(path);
    if (!file.isOpen() || file.size() < kHeaderBytes) {
        fail("Data:Error: file < 6 Bytes");
        return false;
    }
    const std::int64_t fileLength = file.size();

    unsigned char header[kHeaderBytes];
    if (file.readAt(header, kHeaderBytes, 0) != kHeaderBytes) {
        fail("Data:Error: file < 6 Bytes");
        return false;
    }
    auto volume = std::make_shared<VolumeData>();
    volume->filename_ = path;
    volume->xDim_ = header[0] + 256 * header[1];
    volume->yDim_ = header[2] + 256 * header[3];
    volume->zDim_ = header[4] + 256 * header[5];

    // 65535^3 samples fit easily in 64 bits, as do their byte sizes.
    const std::int64_t n = volume->sampleCount();
    if (n == 0 && refusesEmptyVolumes_.load()) {
        fail(format("Data:Error: the volume holds no samples (its dimensions are %d x %d x %d)",
                    volume->xDim_, volume->yDim_, volume->zDim_));
        return false;
    }
    const std::int64_t expectedLength = 2 * n + kHeaderBytes;
    if (fileLength != expectedLength) {
        printLine(format("Data:Error: file has invalid length '%lld'", static_cast<long long>(fileLength)));
        if (fileLength < expectedLength) {
            fail(format("Data:Error: file is shorter than its header promises (%lld of %lld bytes)",
                        static_cast<long long>(fileLength), static_cast<long long>(expectedLength)));
            return false;
        }
    }

    if (n > 0) {
        const std::int64_t needed = n * std::int64_t(sizeof(std::uint16_t) + sizeof(_Vector));
        const std::string tooLarge =
            format("Data:Error: volume of %d x %d x %d samples is too large to load (%lld MiB needed)",
                   volume->xDim_, volume->yDim_, volume->zDim_, static_cast<long long>(needed >> 20));
        // Refused up front: pages promised by overcommit would fail later, at the first touch.
        if (needed > physicalMemoryBytes()) {
            fail(tooLarge);
            return false;
        }
        try {
            volume->densities_.reset(allocateArray<std::uint16_t>(n));
            volume->gradients_.reset(allocateArray<_Vector>(n));
        } catch (const std::bad_alloc&) {
            fail(tooLarge);
            return false;
        }
    }

    // Read, clamp and count in parallel chunks, straight into the density array.
    std::uint16_t* densities = volume->densities_.get();
    std::array<std::int64_t, kMaxDensity> counts{};
    std::atomic<std::int64_t> clamped{0};
    std::atomic<bool> truncated{false};
    std::atomic<int> readError{0};
    std::mutex countsMutex;
    {
        ParallelProgress progress(startingPercentSchedule(n), "read " + lastPathComponent(path), center_);
        const std::int64_t chunks = (n + kReadChunkSamples - 1) / kReadChunkSamples;
        parallelFor(chunks, [&](std::int64_t chunk) {
            const std::int64_t begin = chunk * kReadChunkSamples;
            const std::int64_t count = std::min(kReadChunkSamples, n - begin);
            if (isCancelled(cancel)) {
                progress.addDone(count);
                return;
            }
            std::uint16_t* samples = densities + begin;
            const std::int64_t got = file.readAt(samples, 2 * count, kHeaderBytes + 2 * begin);
            if (got != 2 * count) {
                if (got < 0) {
                    readError.store(errno);
                } else {
                    truncated.store(true);
                }
                progress.addDone(count);
                return;
            }
            clamped.fetch_add(
                clampAndCount<std::endian::native == std::endian::big>(samples, count, counts, countsMutex));
            progress.addDone(count);
        });
        progress.finish();
    }
    if (isCancelled(cancel)) {
        fail(kCancelled);
        return false;
    }
    if (readError.load() != 0) {
        fail(format("Data:Error: cannot read file (%s)", std::strerror(readError.load())));
        return false;
    }
    if (truncated.load()) {
        fail("Data:Error: file changed while reading");
        return false;
    }

    const std::int64_t clampedCount = clamped.load();
    for (std::int64_t i = 0; i < std::min(clampedCount, kMaxWarningLines); ++i) {
        printLine("Data:Warning: density > maxDensity");
    }
    if (clampedCount > kMaxWarningLines) {
        printLine(format("Data:Warning: density > maxDensity (%lld samples clamped)",
                         static_cast<long long>(clampedCount)));
    }

    return finish(std::move(volume), counts, cancel);
}

bool Data::loadScan(const VolumeReader& reader, const std::string& path, const ReadOptions& options) {
    const std::string name = scanName(path);
    Scan scan;
    try {
        ProgressPoster progress("read " + name, center_);
        scan = reader.read(path, options, progress);
    } catch (const ScanError& e) {
        fail("Data:Error: " + name + ": " + e.what());
        return false;
    }
    const std::int64_t n = std::int64_t(scan.dims[0]) * scan.dims[1] * scan.dims[2];
    bool spacingValid = true;
    for (double s : scan.spacing)
        spacingValid = spacingValid && std::isfinite(s) && s > 0.0;
    if (n <= 0 || !scan.densities || !spacingValid) {
        fail("Data:Error: " + name + ": the reader returned no volume");
        return false;
    }
    for (const std::string& note : scan.notes)
        printLine("Data:Warning: " + name + ": " + note);

    auto volume = std::make_shared<VolumeData>();
    volume->filename_ = path;
    volume->xDim_ = scan.dims[0];
    volume->yDim_ = scan.dims[1];
    volume->zDim_ = scan.dims[2];
    volume->spacing_ = scan.spacing;
    volume->densities_ = std::move(scan.densities);
    try {
        volume->gradients_.reset(allocateArray<_Vector>(n));
    } catch (const std::bad_alloc&) {
        fail("Data:Error: " + name + ": not enough memory to load the volume");
        return false;
    }
    // The reader's densities are in range; counting clamps anything else all the same.
    std::array<std::int64_t, kMaxDensity> counts{};
    std::mutex countsMutex;
    const std::int64_t chunks = (n + kReadChunkSamples - 1) / kReadChunkSamples;
    std::uint16_t* densities = volume->densities_.get();
    parallelFor(chunks, [&](std::int64_t chunk) {
        const std::int64_t begin = chunk * kReadChunkSamples;
        clampAndCount<false>(densities + begin, std::min(kReadChunkSamples, n - begin), counts, countsMutex);
    });
    return finish(std::move(volume), counts, options.cancel);
}

bool Data::finish(std::shared_ptr<VolumeData> volume, const std::array<std::int64_t, kMaxDensity>& counts,
                  const std::atomic<bool>* cancel) {
    const std::int64_t n = volume->sampleCount();
    const std::uint16_t* densities = volume->densities_.get();
    volume->counts_ = counts;
    // Normalise by the largest count of a density above the air threshold; none counted: all zeros.
    std::int64_t largest = 0;
    for (int d = kHighestUncountedDensity + 1; d < kMaxDensity; ++d)
        largest = std::max(largest, counts[d]);
    if (largest > 0) {
        for (int d = kHighestUncountedDensity + 1; d < kMaxDensity; ++d) {
            volume->occurrence_[d] = static_cast<float>(counts[d]) / static_cast<float>(largest);
        }
    }

    // Gradients over whole rows in parallel; every voxel's value depends only on the densities.
    // Uneven spacing divides each difference by its axis's spacing (relative to the finest).
    float factor[3] = {0.5f, 0.5f, 0.5f};
    if (!volume->evenSpacing()) {
        const double finest = std::min({volume->spacing_[0], volume->spacing_[1], volume->spacing_[2]});
        for (int a = 0; a < 3; ++a)
            factor[a] = static_cast<float>(0.5 * finest / volume->spacing_[a]);
    }
    {
        const int xDim = volume->xDim_, yDim = volume->yDim_, zDim = volume->zDim_;
        const std::int64_t rows = std::int64_t(yDim) * zDim;
        const std::int64_t rowsPerChunk = std::max<std::int64_t>(1, kGradientChunkVoxels / std::max(1, xDim));
        const std::int64_t chunks = n > 0 ? (rows + rowsPerChunk - 1) / rowsPerChunk : 0;
        _Vector* gradients = volume->gradients_.get();
        ParallelProgress progress(lookBehindPercentSchedule(n), "calculate gradients", center_);
        parallelFor(chunks, [&](std::int64_t chunk) {
            const std::int64_t first = chunk * rowsPerChunk;
            const std::int64_t last = std::min(rows, first + rowsPerChunk);
            for (std::int64_t r = first; r < last && !isCancelled(cancel); ++r) {
                const int y = static_cast<int>(r % yDim), z = static_cast<int>(r / yDim);
                auto rowAt = [&](int yy, int zz) { return densities + volume->index(0, yy, zz); };
                gradientRow(rowAt(y, z), rowAt(y > 0 ? y - 1 : y, z), rowAt(y < yDim - 1 ? y + 1 : y, z),
                            rowAt(y, z > 0 ? z - 1 : z), rowAt(y, z < zDim - 1 ? z + 1 : z), xDim, factor,
                            gradients + volume->index(0, y, z));
            }
            progress.addDone((last - first) * xDim);
        });
        progress.finish();
    }

    if (isCancelled(cancel)) {
        fail(kCancelled);
        return false;
    }
    publish(std::move(volume));
    return true;
}

}  // namespace qz
