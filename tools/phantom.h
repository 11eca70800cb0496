#pragma once

// A synthetic CT-like head: nested ellipsoids of skin, skull and brain, two ventricles and a few
// small dense lesions, with a little deterministic noise. Shared by quarzelle-phantom, the tests
// and the benchmarks, so they all see the same volume for the same size and seed.

#include <sys/statvfs.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/AtomicWrite.h"
#include "platform/RegularFile.h"
#include "platform/Threads.h"

namespace qz::phantom {

inline std::uint32_t mix32(std::uint32_t h) {
    // A well-mixing integer finaliser: neighbouring voxels get unrelated noise.
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h;
}

// Noise in [-amplitude, amplitude] for one voxel.
inline int noise(std::uint32_t seed, int x, int y, int z, int amplitude) {
    const std::uint32_t h =
        mix32(std::uint32_t(x) + mix32(std::uint32_t(y) + mix32(std::uint32_t(z) + mix32(seed))));
    return int(h % std::uint32_t(2 * amplitude + 1)) - amplitude;
}

struct Ellipsoid {
    float cx, cy, cz;  // centre, in head coordinates (-1 .. 1 on each axis)
    float rx, ry, rz;  // radii

    float level(float x, float y, float z) const {
        const float dx = (x - cx) / rx, dy = (y - cy) / ry, dz = (z - cz) / rz;
        return dx * dx + dy * dy + dz * dz;
    }
};

// Density of the noise-free phantom at head coordinates (each -1 .. 1).
inline int density(float x, float y, float z) {
    static constexpr Ellipsoid head{0.0f, 0.02f, 0.0f, 0.74f, 0.9f, 0.84f};
    const float q = head.level(x, y, z);
    if (q >= 1.0f)
        return 0;  // air
    if (q >= 0.93f * 0.93f)
        return 1000;           // skin and soft tissue
    if (q >= 0.85f * 0.85f) {  // skull: denser towards the crown
        return 2800 + int(200.0f * (1.0f - y));
    }
    static constexpr Ellipsoid lesions[] = {
        {0.30f, -0.25f, 0.20f, 0.06f, 0.06f, 0.06f},
        {-0.28f, 0.30f, -0.15f, 0.045f, 0.045f, 0.045f},
        {0.05f, 0.42f, 0.35f, 0.05f, 0.04f, 0.05f},
    };
    static constexpr int lesionDensity[] = {2200, 3450, 2650};
    for (int i = 0; i < 3; ++i) {
        if (lesions[i].level(x, y, z) < 1.0f)
            return lesionDensity[i];
    }
    static constexpr Ellipsoid ventricles[] = {
        {-0.12f, -0.05f, 0.0f, 0.07f, 0.24f, 0.12f},
        {0.12f, -0.05f, 0.0f, 0.07f, 0.24f, 0.12f},
    };
    for (const auto& v : ventricles) {
        if (v.level(x, y, z) < 1.0f)
            return 400;
    }
    if (q < 0.62f * 0.62f)
        return 1260;  // white matter
    return 1120;      // grey matter
}

// Fills out (x fastest, then y, then z) with the rows row0 .. row1 - 1 of an X x Y x Z phantom,
// row y + z * Y being the one at (y, z).
inline void generateRows(int xDim, int yDim, int zDim, std::uint32_t seed, std::int64_t row0,
                         std::int64_t row1, std::uint16_t* out) {
    auto axis = [](int i, int n) { return n > 1 ? 2.0f * float(i) / float(n - 1) - 1.0f : 0.0f; };
    parallelChunks(row1 - row0, 4, [&](std::int64_t begin, std::int64_t end) {
        std::uint16_t* p = out + begin * xDim;
        for (std::int64_t row = row0 + begin; row < row0 + end; ++row) {
            const int y = int(row % yDim), z = int(row / yDim);
            const float hy = axis(y, yDim), hz = axis(z, zDim);
            for (int x = 0; x < xDim; ++x) {
                int d = density(axis(x, xDim), hy, hz);
                if (d > 0)
                    d = std::clamp(d + noise(seed, x, y, z, d >= 2000 ? 40 : 25), 11, 4095);
                *p++ = static_cast<std::uint16_t>(d);
            }
        }
    });
}

// The slices z0 .. z1 - 1, as generateRows lays them out.
inline void generateSlices(int xDim, int yDim, int zDim, std::uint32_t seed, int z0, int z1,
                           std::uint16_t* out) {
    generateRows(xDim, yDim, zDim, seed, std::int64_t(z0) * yDim, std::int64_t(z1) * yDim, out);
}

// Writes the phantom as a .dat file (little-endian dimensions, then samples) the way every
// Quarzelle file is written (platform/AtomicWrite.h): complete or not at all, no temporary file
// left behind. Memory stays at 16 MiB of samples for any size; a volume larger than the free space
// of the target's file system is refused before anything is generated. False with error set.
inline bool writeFile(const std::string& path, int xDim, int yDim, int zDim, std::uint32_t seed,
                      std::string* error) {
    auto failWith = [&](const std::string& what) {
        if (error)
            *error = what;
        return false;
    };
    if (xDim < 1 || yDim < 1 || zDim < 1 || xDim > 65535 || yDim > 65535 || zDim > 65535) {
        return failWith("dimensions must be 1 .. 65535");
    }
    const std::string name = quotedPath(path);
    AtomicFile file;
    std::string reason;
    if (!file.open(path, &reason))
        return failWith("cannot write " + name + ": " + reason);
    const std::int64_t rows = std::int64_t(yDim) * zDim;
    const std::int64_t bytes = 6 + 2 * rows * xDim;
    struct statvfs space {};
    if (::fstatvfs(::fileno(file.stream()), &space) == 0 &&
        std::uint64_t(bytes) > std::uint64_t(space.f_bavail) * space.f_frsize) {
        return failWith("cannot write " + name + ": " + std::to_string(bytes) + " bytes needed, " +
                        std::to_string(std::uint64_t(space.f_bavail) * space.f_frsize) + " free");
    }
    auto writeAll = [&](const void* data, std::size_t size) {
        errno = 0;
        if (std::fwrite(data, 1, size, file.stream()) == size)
            return true;
        reason = std::strerror(errno ? errno : EIO);
        return false;
    };

    const unsigned char header[6] = {std::uint8_t(xDim), std::uint8_t(xDim >> 8),
                                     std::uint8_t(yDim), std::uint8_t(yDim >> 8),
                                     std::uint8_t(zDim), std::uint8_t(zDim >> 8)};
    // Slabs of whole rows, about 8 Mi samples each: generation runs in parallel, memory stays small.
    const std::int64_t slabRows = std::clamp<std::int64_t>((std::int64_t(8) << 20) / xDim, 1, rows);
    std::vector<std::uint16_t> slab(std::size_t(slabRows * xDim));
    bool ok = writeAll(header, sizeof header);
    for (std::int64_t row0 = 0; ok && row0 < rows; row0 += slabRows) {
        const std::int64_t row1 = std::min(rows, row0 + slabRows);
        generateRows(xDim, yDim, zDim, seed, row0, row1, slab.data());
        const std::size_t count = std::size_t((row1 - row0) * xDim);
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < count; ++i)
                slab[i] = std::uint16_t((slab[i] >> 8) | (slab[i] << 8));
        }
        ok = writeAll(slab.data(), count * 2);
    }
    if (!ok || !file.commit(&reason))
        return failWith("cannot write " + name + ": " + reason);
    return true;
}

}  // namespace qz::phantom
