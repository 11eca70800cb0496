#pragma once

// What a ray keeps from the samples it takes: front-to-back compositing for Volume, the densest
// sample for MIP. The kernel (RayKernel.cpp) updates them lane by lane; each also answers which
// samples cannot change it any more, so that the ray loop can leave them out.

#include <algorithm>
#include <cstdint>

namespace qz {

// Front-to-back compositing: colour on the 0..255 scale, opacity on 0..1, carried in double
// precision between single-precision stores (as the reference ray caster's updateRayWithRGBA).
struct CompositeRay {
    float color[4];
    int inertAlpha;  // samples with alpha up to this leave the accumulator unchanged

    // Whether a sample of opacity a would leave all four accumulators as they are, for any
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
    // Recomputes inertAlpha after the accumulator changed; opacityOf[A] is the opacity the update
    // composites a sample of alpha byte A with. Opacity and colour only grow, so the threshold never has to
    // fall; it stays 0 until the remaining transparency is tiny. leavesUnchanged holds for every alpha up to
    // the threshold and for none above (a larger alpha moves each sum at least as far), so the search gallops
    // up from the old threshold, which mostly stays.
    void updateInertAlpha(const float* opacityOf) {
        if (color[3] < 0.99999f)
            return;
        int lo = inertAlpha, hi = 255;  // leavesUnchanged holds at lo; find the largest such alpha
        for (int step = 1; lo < hi; step *= 2) {
            const int probe = std::min(hi, lo + step);
            if (!leavesUnchanged(opacityOf[probe])) {
                hi = probe - 1;
                break;
            }
            lo = probe;
        }
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

// Keeps the colour of the densest sample; the front one wins a tie, density 0 never counts. Its
// state is maxDensity: samples not denser leave it unchanged.
struct MaximumRay {
    float color[4];
    int maxDensity;
};

}  // namespace qz
