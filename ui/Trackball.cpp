#include "ui/Trackball.h"

#include <cmath>
#include <numbers>

namespace qz::trackball {

namespace {

Rotation product(const Rotation& a, const Rotation& b) {
    Rotation r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[3 * i + j] += a[3 * i + k] * b[3 * k + j];
    return r;
}

// The rotation by angle about the unit axis u (Rodrigues' formula).
Rotation aboutAxis(double ux, double uy, double uz, double angle) {
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    return {t * ux * ux + c,      t * ux * uy - s * uz, t * ux * uz + s * uy,
            t * ux * uy + s * uz, t * uy * uy + c,      t * uy * uz - s * ux,
            t * ux * uz - s * uy, t * uy * uz + s * ux, t * uz * uz + c};
}

}  // namespace

Rotation rotationForAngles(_Vector angles) {
    return product(product(aboutAxis(0, 0, 1, angles.z), aboutAxis(0, 1, 0, angles.y)),
                   aboutAxis(1, 0, 0, angles.x));
}

_Vector anglesForRotation(const Rotation& r) {
    // Rz Ry Rx has sin(y) = -r[6], cos(y) sin(x) = r[7], cos(y) cos(x) = r[8],
    // sin(z) cos(y) = r[3], cos(z) cos(y) = r[0].
    const double cosY = std::hypot(r[0], r[3]);
    const double y = std::atan2(-r[6], cosY);
    if (cosY < 1e-6)  // y = +-pi/2 (as near as float angles come): only x -+ z is defined; take z = 0
        return MakeVector(float(std::atan2(-r[5], r[4])), float(y), 0.0f);
    return MakeVector(float(std::atan2(r[7], r[8])), float(y), float(std::atan2(r[3], r[0])));
}

double angleForTravel(double d) {
    return d / (20.0 * std::numbers::pi);
}

Rotation turned(const Rotation& r, double dx, double dy) {
    const double length = std::hypot(dx, dy);
    if (length == 0.0)
        return r;
    // Turning the volume about a view axis: applied in view coordinates, before the rotation.
    return product(r, aboutAxis(dy / length, dx / length, 0.0, angleForTravel(length)));
}

}  // namespace qz::trackball
