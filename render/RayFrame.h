#pragma once

// One ray-cast render's fixed quantities. A ray's sample k is taken at the position the
// single-precision additions p += d give after k steps (stepAhead jumps there exactly); the
// kernel (RayKernel.h) takes the samples, the block walk (BlockWalk.h) says which ones can matter.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "data/Data.h"
#include "render/EmptySpace.h"
#include "render/Matrix.h"
#include "render/OpacityCorrection.h"
#include "render/RayCastSettings.h"
#include "render/Shading.h"

namespace qz::raycast {

// Everything a render derives once from its settings, its volume and its table.
struct Frame {
    const VolumeData* volume;
    const std::uint8_t* table;  // 4 bytes per density
    int areaRadius;
    int size;    // image side and number of steps per ray, 2 * areaRadius
    int dim[3];  // loaded dimensions
    int ext[3];  // scaled extents of the sample grid
    float extF[3];
    float dimM1[3];  // float(dim - 1)
    int half[3];
    _Matrix volumeFromView;
    float stepFactor;
    Shading shading;
    float opacityOf[256];            // per alpha byte, as the compositing sees it (OpacityCorrection.h)
    std::vector<float> attenuation;  // per step
    std::int64_t strideY, strideZ;
    std::int64_t cornerOffset[8];  // the corners of an interpolation cell, from its lower corner
    bool compactIndex;             // every voxel index fits in 31 bits
    bool anyInside;                // false when an extent is 0: no sample is ever inside
    // Empty-space skipping.
    const emptyspace::BlockGrid* grid;
    const std::uint8_t* blockAlpha;
    const emptyspace::OpacityIndex* opacityIndex;
    int blocks[3];
    double pPerBlock[3];  // sample-grid length of one block along each axis (dim > 1)
    double stepError;     // bound on the rounding a single-precision addition adds to a position
    double boxMargin;     // slack around the box for positions built by up to `size` additions
    // Steps a block walk may follow its straight line from an exact position before the
    // additions' rounding could carry the samples a voxel off it; the walk then restarts from
    // the exact position there.
    std::int64_t walkRun;
    bool skipping;                 // the block walk is precise enough for this render
    std::int64_t addedSteps = 64;  // rays jump fewer steps than this by additions, more by stepAhead

    Frame(const VolumeData& v, const std::uint8_t* t, const RayCastSettings& s,
          const emptyspace::BlockGrid& g, const std::uint8_t* blockMaxAlpha,
          const emptyspace::OpacityIndex& oi);

    void startRay(int x, int y, float p[3], float d[3]) const {
        // MatrixTransformPoint of (x, y, -R, 1) and (x, y, R, 1), row by row, term by term.
        const float* m = volumeFromView.m;
        const float fx = float(x), fy = float(y), front = float(-areaRadius), back = float(areaRadius);
        for (int a = 0; a < 3; ++a) {
            const float* row = m + 4 * a;
            const float f = row[0] * fx + row[1] * fy + row[2] * front + row[3] * 1.0f;
            const float b = row[0] * fx + row[1] * fy + row[2] * back + row[3] * 1.0f;
            d[a] = (b - f) * stepFactor;
            p[a] = f + float(half[a]);
        }
    }

    // Written as "every coordinate inside" so that a NaN position counts as outside.
    bool inside(const float p[3]) const {
        return p[0] >= 0.0f && p[1] >= 0.0f && p[2] >= 0.0f && p[0] < extF[0] && p[1] < extF[1] &&
               p[2] < extF[2];
    }
};

inline Frame::Frame(const VolumeData& v, const std::uint8_t* t, const RayCastSettings& s,
                    const emptyspace::BlockGrid& g, const std::uint8_t* blockMaxAlpha,
                    const emptyspace::OpacityIndex& oi)
    : volume(&v),
      table(t),
      areaRadius(s.areaRadius),
      size(2 * s.areaRadius),
      shading(s.shading),
      strideY(v.xDim()),
      strideZ(std::int64_t(v.xDim()) * v.yDim()),
      grid(&g),
      blockAlpha(blockMaxAlpha),
      opacityIndex(&oi) {
    dim[0] = v.xDim();
    dim[1] = v.yDim();
    dim[2] = v.zDim();
    int m = 0;
    for (int a = 0; a < 3; ++a)
        m = dim[a] > m ? dim[a] : m;
    const float scale = m > 0 ? float(s.maxImageResolution) / float(m) : 0.0f;
    // Uneven spacing: the physical extents (samples times spacing) are scaled instead.
    double length[3], longest = 0.0;
    for (int a = 0; a < 3; ++a) {
        length[a] = double(dim[a]) * v.spacing()[a];
        longest = std::max(longest, length[a]);
    }
    anyInside = true;
    int extMax = 0;
    for (int a = 0; a < 3; ++a) {
        if (m == 0) {
            ext[a] = 0;  // nothing loaded: nothing inside
        } else if (v.evenSpacing()) {
            ext[a] = int(float(dim[a]) * scale + 0.5f);
        } else {
            ext[a] = int(double(s.maxImageResolution) * length[a] / longest + 0.5);
        }
        extF[a] = float(ext[a]);
        dimM1[a] = float(dim[a] - 1);
        half[a] = ext[a] / 2;
        anyInside = anyInside && ext[a] > 0;
        extMax = std::max(extMax, ext[a]);
    }
    // A single layer along an axis reads it for both corners.
    const std::int64_t ox = dim[0] > 1 ? 1 : 0, oy = dim[1] > 1 ? strideY : 0, oz = dim[2] > 1 ? strideZ : 0;
    const std::int64_t offsets[8] = {0, ox, oy, ox + oy, oz, ox + oz, oy + oz, ox + oy + oz};
    std::copy(offsets, offsets + 8, cornerOffset);
    compactIndex = strideZ * std::max(1, dim[2]) < (std::int64_t(1) << 31);
    blocks[0] = g.nx;
    blocks[1] = g.ny;
    blocks[2] = g.nz;
    volumeFromView = MatrixRotate(MakeMatrix(), s.orientation);
    stepFactor = float(0.5 / areaRadius);
    // The inert-sample thresholds of CompositeRay search these same values, and the empty-space
    // structures compare alpha bytes, which order the opacities as the bytes do.
    opacity::opacityPerAlphaByte(s.opacityCorrection,
                                 opacity::stepInVoxels(dim, ext, v.spacing(), volumeFromView), opacityOf);
    attenuation.resize(size);
    for (int k = 0; k < size; ++k)
        attenuation[k] = PhongIllumination::attenuation(float(double(float(k)) / size));

    // Positions stay below pMax in magnitude (the rotated ray range plus the half extents), so
    // each addition rounds by at most half an ulp of pMax; allow twice that.
    const double pMax = 4.0 * areaRadius + extMax + 1.0;
    stepError = pMax * 0x1p-23;
    boxMargin = size * stepError + 1e-3;
    // A sample read at a position j additions after an exact one is off the straight line from
    // there by at most j * stepError, plus the division and product into voxel units; blocks
    // overlap by a voxel, so the walk over the line is safe while that stays below half a voxel.
    walkRun = size;
    for (int a = 0; a < 3; ++a) {
        if (dim[a] > 1 && ext[a] > 0) {
            pPerBlock[a] = double(1 << g.shift) * double(ext[a]) / double(dim[a] - 1);
            const double allowed = (0.5 - dim[a] * 0x1p-21) * double(ext[a]) / double(dim[a] - 1) - 1e-3;
            walkRun = std::min(walkRun, std::int64_t(std::max(0.0, std::floor(allowed / stepError))));
        } else {
            pPerBlock[a] = 0.0;
        }
    }
    skipping = walkRun >= 1;
}

}  // namespace qz::raycast
