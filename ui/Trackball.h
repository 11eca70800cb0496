#pragma once

#include <array>

#include "data/Vector.h"

namespace qz {

// The preview's rotation, kept as a rotation matrix in double precision and turned about the
// screen's axes, so a drag turns the volume the way the hand moves at any orientation. The
// renderers take three angles: the rotation is Rz(z) * Ry(y) * Rx(x) (x first, then y, then z,
// about fixed axes), carrying view coordinates (x right, y down the screen, z into it) into
// volume coordinates, as MatrixRotate builds it.
namespace trackball {

using Rotation = std::array<double, 9>;  // row-major 3 x 3

Rotation rotationForAngles(_Vector angles);
// Angles whose rotation is r: y in [-pi/2, pi/2], x and z in [-pi, pi]; z = 0 when y is +-pi/2.
_Vector anglesForRotation(const Rotation& r);

// Angle for a mouse travel of d units: d / (20 pi) radians.
double angleForTravel(double d);
// r turned by a mouse travel of (dx, dy) (dy upward): about the screen axis perpendicular to the
// travel, by angleForTravel of its length. At the front view, a horizontal travel dx turns about
// y by angleForTravel(dx), a vertical one about x by angleForTravel(dy).
Rotation turned(const Rotation& r, double dx, double dy);

}  // namespace trackball
}  // namespace qz
