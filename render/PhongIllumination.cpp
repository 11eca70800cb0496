#include "render/PhongIllumination.h"

#include <cmath>

namespace qz {

void PhongIllumination::setViewVector(_Vector v) {
    viewVector_ = NormalizeVector(v);
    lightVector_ = NormalizeVector(v);
    halfwayVector_ = NormalizeVector(SumVectors(viewVector_, lightVector_));
}

float PhongIllumination::lightFor(_Vector g, float t) const {
    const float diffuse = diffuseLight_ * VectorDotProduct(g, lightVector_);
    const float specular =
        specularLight_ * static_cast<float>(std::pow(static_cast<double>(VectorDotProduct(halfwayVector_, g)),
                                                     static_cast<double>(specularExponent_)));
    return 255.0f * attenuation(t) * (diffuse + specular);
}

void PhongIllumination::updateRGBA(std::uint8_t* rgba, _Vector g, float t) const {
    const float light = lightFor(g, t);
    for (int i = 0; i < 3; ++i)
        rgba[i] = shadeChannel(rgba[i], light);
}

}  // namespace qz
