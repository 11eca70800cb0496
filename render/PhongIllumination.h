#pragma once

#include <cstdint>

#include "data/Vector.h"

namespace qz {

// Phong shading with the light in the viewing direction: an ambient share of the sample's own
// colour plus white diffuse and specular light that fades with depth along the ray.
class PhongIllumination {
  public:
    PhongIllumination() = default;

    // view and light become the normalised v, halfway their normalised sum; (0, 0, 0) stays zero.
    void setViewVector(_Vector v);
    // Rewrites red, green and blue of rgba for gradient g at relative depth t (0 front .. 1 back);
    // alpha is left alone.
    void updateRGBA(std::uint8_t* rgba, _Vector g, float t) const;

    float ambientLight() const { return ambientLight_; }
    float diffuseLight() const { return diffuseLight_; }
    float specularLight() const { return specularLight_; }
    float specularExponent() const { return specularExponent_; }
    _Vector viewVector() const { return viewVector_; }
    _Vector lightVector() const { return lightVector_; }
    _Vector halfwayVector() const { return halfwayVector_; }

    // The white light term 255 * attenuation * (diffuse + specular), shared by all three channels.
    float lightFor(_Vector g, float t) const;
    // attenuation = 1 / (1 + 5 t), in double precision.
    static float attenuation(float t) { return static_cast<float>(1.0 / (1.0 + 5.0 * t)); }
    // One channel: c * ambient + light, clamped to 0 .. 255 and truncated.
    std::uint8_t shadeChannel(std::uint8_t c, float light) const {
        float v = static_cast<float>(c) * ambientLight_ + light;
        if (!(v > 0.0f))
            v = 0.0f;  // NaN from a degenerate gradient ends up black, not undefined
        if (v > 255.0f)
            v = 255.0f;
        return static_cast<std::uint8_t>(static_cast<int>(v));
    }

  private:
    float ambientLight_ = 0.8f;
    float diffuseLight_ = 0.4f;
    float specularLight_ = 1.0f;
    float specularExponent_ = 128.0f;
    _Vector viewVector_{0.0f, 0.0f, 0.0f};
    _Vector lightVector_{0.0f, 0.0f, 0.0f};
    _Vector halfwayVector_{0.0f, 0.0f, 0.0f};
};

}  // namespace qz
