#pragma once

// The Phong model of PhongIllumination in the form the ray loop uses: the same operations in the
// same order, with the attenuation looked up per step and the specular power taken by repeated
// squaring where that provably rounds to the same float as pow.

#include <cmath>
#include <cstdint>

#include "render/PhongIllumination.h"

namespace qz {

// (float)pow((double)x, 128.0) for every float x. Seven squarings in double carry a relative
// error below 2^-46; when the result widened by 2^-40 either way still rounds to a single float,
// the exact power (and pow's double result, within 0.52 ulp of it) rounds there too. Otherwise,
// and outside 0.44 <= |x| < 1.9, pow decides; below 0.44 the power is under half the smallest
// subnormal float, so the float is 0. Checked against pow over all 2^32 floats (test suite,
// PowerOf128.AllFloats).
inline float powerOf128(float x) {
    const double ax = std::fabs(static_cast<double>(x));
    if (ax < 0.44)
        return 0.0f;
    if (!(ax < 1.9))
        return static_cast<float>(std::pow(static_cast<double>(x), 128.0));
    double r = ax * ax;
    r *= r;
    r *= r;
    r *= r;
    r *= r;
    r *= r;
    r *= r;
    const float below = static_cast<float>(r * (1.0 - 0x1p-40));
    const float above = static_cast<float>(r * (1.0 + 0x1p-40));
    if (below == above)
        return below;
    return static_cast<float>(std::pow(static_cast<double>(x), 128.0));
}

struct Shading {
    PhongIllumination model;
    _Vector light, halfway;
    bool exponent128;

    explicit Shading(const PhongIllumination& p)
        : model(p),
          light(p.lightVector()),
          halfway(p.halfwayVector()),
          exponent128(p.specularExponent() == 128.0f) {}

    // PhongIllumination::updateRGBA with its attenuation already computed for the step.
    void apply(std::uint8_t* rgba, _Vector g, float attenuation) const {
        const float diffuse = model.diffuseLight() * VectorDotProduct(g, light);
        const float cosHalfway = VectorDotProduct(halfway, g);
        const float power = exponent128
                                ? powerOf128(cosHalfway)
                                : static_cast<float>(std::pow(static_cast<double>(cosHalfway),
                                                              static_cast<double>(model.specularExponent())));
        const float specular = model.specularLight() * power;
        const float lightTerm = 255.0f * attenuation * (diffuse + specular);
        rgba[0] = model.shadeChannel(rgba[0], lightTerm);
        rgba[1] = model.shadeChannel(rgba[1], lightTerm);
        rgba[2] = model.shadeChannel(rgba[2], lightTerm);
    }
};

}  // namespace qz
