#pragma once

#include <cmath>

namespace qz {

// Three single-precision floats: gradients, orientations (angles in radians about x, y, z),
// and the shading model's directions.
struct _Vector {
    float x;
    float y;
    float z;
};

inline _Vector MakeVector(float x, float y, float z) {
    return _Vector{x, y, z};
}

inline _Vector SumVectors(_Vector a, _Vector b) {
    return _Vector{a.x + b.x, a.y + b.y, a.z + b.z};
}

// Scales v to length 1; a vector of length exactly 0 comes back unchanged.
inline _Vector NormalizeVector(_Vector v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    if (length == 0.0f)
        return v;
    return _Vector{v.x / length, v.y / length, v.z / length};
}

inline float VectorDotProduct(_Vector a, _Vector b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

}  // namespace qz
