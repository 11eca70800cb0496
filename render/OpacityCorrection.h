#pragma once

// Opacity correction for the ray caster. With it, a transfer function's opacity A / 255 is the
// opacity of one voxel length of material, whatever the render's step: a step of s voxel lengths
// lets (1 - A / 255)^s of the light through, so a sample composites with opacity
// 1 - (1 - A / 255)^s. Without it, every sample composites with A / 255 itself, and an image of
// more steps per ray comes out more opaque.

#include <algorithm>
#include <array>
#include <cmath>

#include "render/Matrix.h"

namespace qz::opacity {

// The length of one ray step in voxel lengths, a voxel length being the finest spacing's. Every ray
// advances one unit of the sample grid per step, along the view direction v (the third column of
// volumeFromView); along axis a the grid spans ext[a] units where the volume has dim[a] voxels of
// spacing[a], so one unit there is dim[a] / ext[a] * (spacing[a] / finest) voxel lengths, and the
// step is |(v[a] * that)|. With even spacing the factor is exactly 1: the step in samples. Axes of
// extent 0 count nothing (no sample is taken in such a render anyway).
inline double stepInVoxels(const int dim[3], const int ext[3], const std::array<double, 3>& spacing,
                           const _Matrix& volumeFromView) {
    const double finest = std::min({spacing[0], spacing[1], spacing[2]});
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
        if (ext[a] > 0) {
            const double t =
                double(volumeFromView.m[4 * a + 2]) * double(dim[a]) / double(ext[a]) * (spacing[a] / finest);
            sum += t * t;
        }
    }
    return std::sqrt(sum);
}

// The opacity a sample of alpha byte A composites with, for A = 0 .. 255: A / 255 without
// correction; with it 1 - (1 - A / 255)^step, or A / 255 when step is not a positive finite length
// (a non-finite orientation, whose rays take no sample). Both rise with A, 0 stays 0 and 255 stays 1.
inline void opacityPerAlphaByte(bool correct, double step, float out[256]) {
    const bool apply = correct && step > 0.0 && std::isfinite(step);
    for (int a = 0; a < 256; ++a)
        out[a] = apply ? float(1.0 - std::pow(1.0 - a / 255.0, step)) : float(a / 255.0);
}

}  // namespace qz::opacity
