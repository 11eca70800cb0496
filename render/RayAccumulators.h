#pragma once

// What a ray keeps from the samples it takes: front-to-back compositing for Volume, the densest
// sample for MIP. Each also answers which samples cannot change it any more, so the ray loop
// can leave them out.

#include <cstdint>

namespace qz {

// Front-to-back compositing: colour on the 0..255 scale, opacity on 0..1, carried in double
// precision between single-precision stores.
struct CompositeRay {
    float color[4];
    int inertAlpha;  // samples with alpha up to this leave the accumulator unchanged

    void resetRay() {
        color[0] = color[1] = color[2] = color[3] = 0.0f;
        inertAlpha = 0;
    }
    // a is the sample's alpha / 255, rounded to float.
    void updateRayWithRGBA(const std::uint8_t* rgba, float a, int /*density*/) {
        const double tau = 1.0 - color[3];
        color[3] = static_cast<float>(tau * a + color[3]);
        color[0] = static_cast<float>(tau * rgba[0] * a + color[0]);
        color[1] = static_cast<float>(tau * rgba[1] * a + color[1]);
        color[2] = static_cast<float>(tau * rgba[2] * a + color[2]);
    }
    bool finished() const { return color[3] >= 1.0f; }
    // Transparent and inert samples leave the accumulator as it is.
    bool wants(int /*density*/, int alphaByte) const { return alphaByte > inertAlpha; }
    // After a sample of this alpha byte: a saturating accumulator may have more inert alphas.
    void settle(const float* opacityOf, int alphaByte) {
        if (color[3] >= 0.99999f && alphaByte > inertAlpha)
            updateInertAlpha(opacityOf);
    }

    // Whether a sample of alpha / 255 = a would leave all four accumulators as they are, for any
    // colour bytes: the same double expressions as the update, with the brightest byte.
    bool leavesUnchanged(float a) const {
        const double tau = 1.0 - color[3];
        if (static_cast<float>(tau * a + color[3]) != color[3])
            return false;
        for (int c = 0; c < 3; ++c) {
            if (static_cast<float>(tau * 255 * a + color[c]) != color[c])
                return false;
        }
        return true;
    }
    // Recomputes inertAlpha after the accumulator changed; opacityOf[A] is A / 255 as the update
    // sees it. Opacity and colour only grow, so the threshold never has to fall; it stays 0
    // until the remaining transparency is tiny.
    void updateInertAlpha(const float* opacityOf) {
        if (color[3] < 0.99999f)
            return;
        int lo = inertAlpha, hi = 255;  // leavesUnchanged holds at lo; find the largest such alpha
        while (lo < hi) {
            const int mid = (lo + hi + 1) / 2;
            if (leavesUnchanged(opacityOf[mid])) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        inertAlpha = lo;
    }
};

// Keeps the colour of the densest sample; the front one wins a tie, density 0 never counts.
struct MaximumRay {
    float color[4];
    int maxDensity;

    void resetRay() {
        color[0] = color[1] = color[2] = color[3] = 0.0f;
        maxDensity = 0;
    }
    void updateRayWithRGBA(const std::uint8_t* rgba, float a, int density) {
        if (density <= maxDensity)
            return;
        color[0] = rgba[0];
        color[1] = rgba[1];
        color[2] = rgba[2];
        maxDensity = density;
        color[3] = a;
    }
    bool finished() const { return color[3] >= 1.0f; }
    // A transparent sample, or one that cannot replace the kept one, needs no shading.
    bool wants(int density, int alphaByte) const { return alphaByte != 0 && density > maxDensity; }
    void settle(const float*, int) {}
};

}  // namespace qz
