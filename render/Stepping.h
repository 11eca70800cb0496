#pragma once

// A ray position advances by repeated single-precision additions p = p + d. Skipping a stretch
// of a ray must leave p exactly where those additions would have put it; stepAhead computes
// that end point without performing every addition.
//
// Why it is exact: while p stays in one binade [2^e, 2^(e+1)) the floats there are the multiples
// of u = 2^(e-23), p is one of them, so p + d rounds to p + delta, where delta is d rounded to a
// multiple of u (for a tie, the even neighbour; once p is an even multiple that is the even one
// of the two candidates, the same at every step). As long as every exact sum p + d lies inside
// the binade, n steps therefore add exactly n * delta. Near binade edges, near zero, for ties
// with p odd and for non-finite values the additions are simply performed one by one.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace qz {

// std::floor and std::ceil for finite x, without the library call baseline x86-64 makes for them
// (the sign of a zero result aside).
inline double floorOf(double x) {
    if (!(std::fabs(x) < 0x1p52))
        return x;  // already an integer
    const double t = double(std::int64_t(x));
    return t > x ? t - 1.0 : t;
}

inline double ceilOf(double x) {
    if (!(std::fabs(x) < 0x1p52))
        return x;
    const double t = double(std::int64_t(x));
    return t < x ? t + 1.0 : t;
}

inline float stepAhead(float p, float d, std::int64_t n) {
    while (n > 0) {
        if (d == 0.0f)
            return p + d;  // p + 0 is p again, except that -0 becomes +0 once
        const float ap = std::fabs(p);
        if (!(ap >= 0x1p-100f) || !(ap < 0x1p100f) || !std::isfinite(d)) {
            p += d;
            --n;
            continue;
        }
        // In units of u, with p mirrored to be positive (rounding is symmetric).
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(ap);
        const int exponent = int(bits >> 23);  // p = P * 2^(exponent - 150), P in [2^23, 2^24)
        const double P = double((bits & 0x7fffffu) | 0x800000u);
        const double perUnit =
            std::bit_cast<double>(std::uint64_t(1023 + 150 - exponent) << 52);  // 2^(150 - e)
        const double D = (p < 0.0f ? -double(d) : double(d)) * perUnit;  // exact: a power-of-two scaling
        const double below = floorOf(D);
        const double fraction = D - below;
        double delta;
        if (fraction == 0.5) {
            if ((bits & 1u) != 0) {  // the first tie makes p even
                p += d;
                --n;
                continue;
            }
            delta = !(std::fabs(below) < 0x1p53) || (std::int64_t(below) & 1) == 0 ? below : below + 1.0;
        } else {
            delta = fraction < 0.5 ? below : below + 1.0;
        }
        // Steps j = 0 .. m-1 are exact while P + j * delta + D stays in [2^23, 2^24).
        std::int64_t m;
        if (delta == 0.0) {
            const double s = P + D;
            if (s >= 0x1p23 && s < 0x1p24)
                return p;  // p never moves again
            m = 0;
        } else if (delta > 0.0) {
            m = std::int64_t(floorOf(std::min((0x1p24 - P - D) / delta, 0x1p40))) - 1;
        } else {
            m = std::int64_t(floorOf(std::min((P + D - 0x1p23) / -delta, 0x1p40))) - 1;
        }
        if (m <= 0) {
            p += d;
            --n;
            continue;
        }
        if (m > n)
            m = n;
        const float moved = static_cast<float>((P + double(m) * delta) / perUnit);
        p = p < 0.0f ? -moved : moved;
        n -= m;
    }
    return p;
}

}  // namespace qz
