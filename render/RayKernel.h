#pragma once

// The ray caster's sampling kernel (RayKernel.cpp): packets of neighbouring rays, one per SIMD
// lane, compiled for several instruction sets and chosen at run time by what the processor has.

#include <cstddef>
#include <cstdint>

#include "render/RayFrame.h"

namespace qz::raycast {

enum class Accumulation { Composite, Maximum };

struct KernelMode {
    bool nearest;  // quality 0: the nearest voxel's density instead of the interpolated one
    bool shade;
    Accumulation accumulation;
};

// Casts the rays of the pixels i0 <= i < i1, j0 <= j < j1 (image coordinates, 0 .. f.size) into
// pixels, an RGBA image of f.size pixels a row.
void castTile(const Frame& f, KernelMode mode, int i0, int i1, int j0, int j1, std::uint8_t* pixels);

// stepAhead (Stepping.h) for count positions at once, as the kernel's jumps take it.
void stepAheadAll(float* p, const float* d, std::size_t count, std::int64_t n);

}  // namespace qz::raycast
