#pragma once

#include <cmath>

namespace qz {

// One axis of an interpolated lookup: the cell's lower and upper sample and the fraction inside it.
// The cell index is clamped into the grid, so no coordinate (below 0, above 1, NaN, infinite) reads
// outside the arrays; above 1 the last cell extrapolates, below 0 the first one does. The volume's
// lookups and the renderers' inline copies share it, so both choose the same cell.
struct AxisCell {
    int lower;
    int upper;
    float fraction;
};

inline AxisCell axisCell(float r, int dim) {
    float f = r * static_cast<float>(dim - 1);
    if (std::isnan(f))
        f = 0.0f;
    if (dim < 2)
        return AxisCell{0, 0, f};  // a single layer: both corners read it, f is 0
    int i;
    if (f >= static_cast<float>(dim - 1)) {
        i = dim - 2;
    } else if (f < 0.0f) {
        i = 0;
    } else {
        i = static_cast<int>(f);
        if (i >= dim - 1)
            i = dim - 2;
    }
    return AxisCell{i, i + 1, f - static_cast<float>(i)};
}

}  // namespace qz
