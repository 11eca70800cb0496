#pragma once

// A synthetic CT-like head: nested ellipsoids of skin, skull and brain, two ventricles and a few
// small dense lesions, with a little deterministic noise. Shared by quarzelle-phantom, the tests
// and the benchmarks, so they all see the same volume for the same size and seed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// Fills out (x fastest, then y, then z) with the slices z0 .. z1 - 1 of an X x Y x Z phantom.
inline void generateSlices(int xDim, int yDim, int zDim, std::uint32_t seed, int z0, int z1,
                           std::uint16_t* out) {
    auto axis = [](int i, int n) { return n > 1 ? 2.0f * float(i) / float(n - 1) - 1.0f : 0.0f; };
    const std::int64_t slice = std::int64_t(xDim) * yDim;
    parallelFor(z1 - z0, [&](std::int64_t dz) {
        const int z = z0 + int(dz);
        const float hz = axis(z, zDim);
        std::uint16_t* p = out + dz * slice;
        for (int y = 0; y < yDim; ++y) {
            const float hy = axis(y, yDim);
            for (int x = 0; x < xDim; ++x) {
                int d = density(axis(x, xDim), hy, hz);
                if (d > 0)
                    d = std::clamp(d + noise(seed, x, y, z, d >= 2000 ? 40 : 25), 11, 4095);
                *p++ = static_cast<std::uint16_t>(d);
            }
        }
    });
}

// Writes the phantom as a .dat file (little-endian dimensions, then samples). The file appears
// only complete: it is written under a temporary name and renamed. False with error set on failure.
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
    std::string tmp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return failWith("cannot create '" + tmp + "': " + std::strerror(errno));
    ::fchmod(fd, 0644);
    auto writeAll = [&](const void* data, std::size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd, p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            size -= std::size_t(n);
        }
        return true;
    };
    auto abandon = [&](const std::string& what) {
        const std::string reason = what + ": " + std::strerror(errno ? errno : EIO);
        ::close(fd);
        ::unlink(tmp.c_str());
        return failWith(reason);
    };

    const unsigned char header[6] = {std::uint8_t(xDim), std::uint8_t(xDim >> 8),
                                     std::uint8_t(yDim), std::uint8_t(yDim >> 8),
                                     std::uint8_t(zDim), std::uint8_t(zDim >> 8)};
    errno = 0;
    if (!writeAll(header, sizeof header))
        return abandon("cannot write '" + tmp + "'");

    // Slabs of about 16 MiB: generation runs in parallel, memory stays small for any size.
    const std::int64_t slice = std::int64_t(xDim) * yDim;
    const int slabSlices = int(std::clamp<std::int64_t>((std::int64_t(8) << 20) / slice, 1, zDim));
    std::vector<std::uint16_t> slab(std::size_t(slice * slabSlices));
    for (int z0 = 0; z0 < zDim; z0 += slabSlices) {
        const int z1 = std::min(zDim, z0 + slabSlices);
        generateSlices(xDim, yDim, zDim, seed, z0, z1, slab.data());
        const std::size_t count = std::size_t(slice * (z1 - z0));
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < count; ++i)
                slab[i] = std::uint16_t((slab[i] >> 8) | (slab[i] << 8));
        }
        errno = 0;
        if (!writeAll(slab.data(), count * 2))
            return abandon("cannot write '" + tmp + "'");
    }
    if (::close(fd) != 0) {
        const std::string reason = "cannot write '" + tmp + "': " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return failWith(reason);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string reason = "cannot rename to '" + path + "': " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return failWith(reason);
    }
    return true;
}

}  // namespace qz::phantom
