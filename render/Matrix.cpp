#include "render/Matrix.h"

#include <cmath>

namespace qz {

_Matrix MakeMatrix() {
    _Matrix r{};
    r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0f;
    return r;
}

_Matrix MatrixMultLeft(_Matrix a, _Matrix b) {
    _Matrix r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float sum = b.m[4 * i] * a.m[j];
            for (int k = 1; k < 4; ++k)
                sum += b.m[4 * i + k] * a.m[4 * k + j];
            r.m[4 * i + j] = sum;
        }
    }
    return r;
}

_Matrix MatrixRotate(_Matrix m, _Vector angles) {
    const float sx = std::sin(angles.x), cx = std::cos(angles.x);
    const float sy = std::sin(angles.y), cy = std::cos(angles.y);
    const float sz = std::sin(angles.z), cz = std::cos(angles.z);
    _Matrix rx = MakeMatrix();
    rx.m[5] = cx;
    rx.m[6] = -sx;
    rx.m[9] = sx;
    rx.m[10] = cx;
    _Matrix ry = MakeMatrix();
    ry.m[0] = cy;
    ry.m[2] = sy;
    ry.m[8] = -sy;
    ry.m[10] = cy;
    _Matrix rz = MakeMatrix();
    rz.m[0] = cz;
    rz.m[1] = -sz;
    rz.m[4] = sz;
    rz.m[5] = cz;
    return MatrixMultLeft(MatrixMultLeft(MatrixMultLeft(m, rx), ry), rz);
}

_Matrix MatrixTranslate(_Matrix m, float tx, float ty, float tz) {
    _Matrix t = MakeMatrix();
    t.m[3] = tx;
    t.m[7] = ty;
    t.m[11] = tz;
    return MatrixMultLeft(m, t);
}

_Point MatrixTransformPoint(_Matrix m, _Point p) {
    const float* r = m.m;
    return _Point{r[0] * p.x + r[1] * p.y + r[2] * p.z + r[3] * p.w,
                  r[4] * p.x + r[5] * p.y + r[6] * p.z + r[7] * p.w,
                  r[8] * p.x + r[9] * p.y + r[10] * p.z + r[11] * p.w,
                  r[12] * p.x + r[13] * p.y + r[14] * p.z + r[15] * p.w};
}

_Point MakePoint(float x, float y, float z, float w) {
    return _Point{x, y, z, w};
}

}  // namespace qz
