#pragma once

#include "data/Vector.h"

namespace qz {

// 4 x 4 single-precision matrix, row-major (row i, column j is m[4 * i + j]), applied to column
// vectors: M maps p to M * p, so entries 3, 7 and 11 hold a translation.
struct _Matrix {
    float m[16];
};

// Homogeneous point: w = 1 for a position, w = 0 for a direction (the translation drops out;
// Volume turns the view direction into the light vector that way).
struct _Point {
    float x;
    float y;
    float z;
    float w;
};

// The identity.
_Matrix MakeMatrix();
// b * a: a applied first, then b.
_Matrix MatrixMultLeft(_Matrix a, _Matrix b);
// Rz(angles.z) * Ry(angles.y) * Rx(angles.x) * m: m, then rotations about the fixed x, y and z axes
// (radians).
_Matrix MatrixRotate(_Matrix m, _Vector angles);
// T * m with the translation (tx, ty, tz).
_Matrix MatrixTranslate(_Matrix m, float tx, float ty, float tz);
// m * p, including w; no division by w.
_Point MatrixTransformPoint(_Matrix m, _Point p);
_Point MakePoint(float x, float y, float z, float w);

}  // namespace qz
