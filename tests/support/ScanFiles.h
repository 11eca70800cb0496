#pragma once

// Small NIfTI files for the tests, written byte by byte.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qz::testing {

template <class T>
inline void put(std::string& b, std::size_t at, T v) {
    std::memcpy(&b[at], &v, sizeof v);
}

template <class T>
inline std::string raw(const std::vector<T>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// A .nii holding samples: NIfTI-1 (348-byte header) or NIfTI-2 (540), data at 352 or 544.
inline std::string nifti(int version, std::vector<std::int64_t> dims, int datatype, int bitpix,
                         std::array<double, 3> spacing, const std::string& samples) {
    const std::size_t offset = version == 1 ? 352 : 544;
    std::string b(offset, '\0');
    if (version == 1) {
        put<std::int32_t>(b, 0, 348);
        put<std::int16_t>(b, 40, std::int16_t(dims.size()));
        for (std::size_t i = 0; i < dims.size(); ++i)
            put<std::int16_t>(b, 42 + 2 * i, std::int16_t(dims[i]));
        put<std::int16_t>(b, 70, std::int16_t(datatype));
        put<std::int16_t>(b, 72, std::int16_t(bitpix));
        for (int a = 0; a < 3; ++a)
            put<float>(b, 80 + 4 * a, float(spacing[a]));
        put<float>(b, 108, float(offset));
        b.replace(344, 4, std::string("n+1\0", 4));
    } else {
        put<std::int32_t>(b, 0, 540);
        b.replace(4, 8, std::string("n+2\0\r\n\032\n", 8));
        put<std::int16_t>(b, 12, std::int16_t(datatype));
        put<std::int16_t>(b, 14, std::int16_t(bitpix));
        put<std::int64_t>(b, 16, std::int64_t(dims.size()));
        for (std::size_t i = 0; i < dims.size(); ++i)
            put<std::int64_t>(b, 24 + 8 * i, dims[i]);
        for (int a = 0; a < 3; ++a)
            put<double>(b, 112 + 8 * a, spacing[a]);
        put<std::int64_t>(b, 168, std::int64_t(offset));
    }
    return b + samples;
}

}  // namespace qz::testing
