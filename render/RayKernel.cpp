// The ray caster's kernel. A packet of neighbouring rays of one image row runs in the lanes of
// SIMD vectors (one ray per double lane; floats and integers in lanes of the same count), all at
// the same step. Each lane performs for its ray the IEEE operations of the reference ray caster in
// tests/reference/, in the same order and precision (no fused multiply-add: the build keeps
// -ffp-contract=off and nothing here asks for one), so every pixel comes out the same bytes.
//
// Per ray, the block walk (BlockWalk.h) gives the stretches of steps where a sample could change
// the ray; the packet runs the union of its rays' stretches and jumps over the rest (stepAhead
// keeps the positions exact). A sample a ray's walk would have left out leaves that ray as it is,
// so taking it along with the others is harmless. Per lane, the interpolation cell's corner
// values are reloaded only when the lane enters another cell, and a cell whose corner range
// cannot change the ray is not interpolated.
//
// Google Highway compiles this file once per instruction set (AVX-512, AVX2, SSE4, and one lane
// at a time for any other x86-64); castTile calls the widest one the processor has.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/RayKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "render/BlockWalk.h"
#include "render/RayAccumulators.h"
#include "render/RayKernel.h"
#include "render/Stepping.h"

HWY_BEFORE_NAMESPACE();
namespace qz::raycast {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;  // one lane per ray
using DF = hn::Rebind<float, D>;
using DI = hn::Rebind<std::int32_t, D>;
using DU = hn::Rebind<std::uint32_t, D>;
using VD = hn::Vec<D>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MF = hn::Mask<DF>;
using MI = hn::Mask<DI>;
constexpr std::size_t kLanes = hn::MaxLanes(D());

// stepAhead (Stepping.h) in every lane: the position n single-precision additions p += d reach,
// binade by binade, with the same double operations; the single additions in float.
VF stepAheadLanes(VF p, VF dStep, std::int64_t n) {
    const DF df;
    const DI di;
    const D dd;
    const VD zero = hn::Zero(dd), one = hn::Set(dd, 1.0), d = hn::PromoteTo(dd, dStep);
    // The lanes of a mask over doubles as a mask over the floats.
    auto floatMask = [&](auto m) {
        return hn::Ne(hn::DemoteTo(df, hn::IfThenElseZero(m, one)), hn::Zero(df));
    };
    VD left = hn::Set(dd, double(n));
    while (!hn::AllFalse(dd, hn::Gt(left, zero))) {
        const VD pd = hn::PromoteTo(dd, p), ap = hn::Abs(pd);
        const auto still = hn::Eq(d, zero);
        const auto single =
            hn::Or(hn::Not(hn::And(hn::Ge(ap, hn::Set(dd, 0x1p-100)), hn::Lt(ap, hn::Set(dd, 0x1p100)))),
                   hn::Not(hn::Lt(hn::Abs(d), hn::Set(dd, std::numeric_limits<double>::infinity()))));
        // In units u of p's binade, p mirrored to be positive: |p| = P u, P in [2^23, 2^24).
        const VI bits = hn::And(hn::BitCast(di, p), hn::Set(di, 0x7fffffff));
        const VI exponent = hn::ShiftRight<23>(bits);
        const VD P = hn::PromoteTo(dd, hn::Or(hn::And(bits, hn::Set(di, 0x7fffff)), hn::Set(di, 0x800000)));
        const VI scale =
            hn::Min(hn::Max(hn::Sub(hn::Set(di, 277), exponent), hn::Set(di, 1)), hn::Set(di, 254));
        const VD perUnit =
            hn::PromoteTo(dd, hn::BitCast(df, hn::ShiftLeft<23>(scale)));  // 2^(150 - exponent)
        const auto negative = hn::Lt(pd, zero);
        const VD dUnits = hn::Mul(hn::IfThenElse(negative, hn::Neg(d), d), perUnit);
        const VD below = hn::Floor(dUnits), fraction = hn::Sub(dUnits, below);
        const auto tie = hn::Eq(fraction, hn::Set(dd, 0.5));
        const auto tieOdd = hn::And(tie, hn::Ne(hn::PromoteTo(dd, hn::And(bits, hn::Set(di, 1))), zero));
        const VD half = hn::Floor(hn::Mul(below, hn::Set(dd, 0.5)));
        const auto evenBelow = hn::Eq(hn::Sub(below, hn::Add(half, half)), zero);
        const VD delta =
            hn::IfThenElse(tie, hn::IfThenElse(evenBelow, below, hn::Add(below, one)),
                           hn::IfThenElse(hn::Lt(fraction, hn::Set(dd, 0.5)), below, hn::Add(below, one)));
        // Steps that stay exact in the binade: P + j delta + dUnits within [2^23, 2^24).
        const VD sum = hn::Add(P, dUnits);
        const auto flat = hn::Eq(delta, zero);
        const auto inBinade = hn::And(hn::Ge(sum, hn::Set(dd, 0x1p23)), hn::Lt(sum, hn::Set(dd, 0x1p24)));
        const auto frozen = hn::AndNot(hn::Or(single, tieOdd), hn::And(flat, inBinade));
        const VD room = hn::IfThenElse(hn::Gt(delta, zero),
                                       hn::Div(hn::Sub(hn::Sub(hn::Set(dd, 0x1p24), P), dUnits), delta),
                                       hn::Div(hn::Sub(sum, hn::Set(dd, 0x1p23)), hn::Neg(delta)));
        const VD m = hn::Min(
            hn::Sub(hn::Floor(hn::Min(hn::IfThenElse(flat, zero, room), hn::Set(dd, 0x1p40))), one), left);
        const auto jumps = hn::AndNot(hn::Or(hn::Or(still, single), hn::Or(tieOdd, flat)), hn::Gt(m, zero));
        const VF moved = hn::DemoteTo(df, hn::Div(hn::Add(P, hn::Mul(m, delta)), perUnit));
        // d = 0: p + d once, then p stays; frozen: p stays; jumps: m steps; otherwise one addition.
        const auto going = hn::Gt(left, zero);
        const VF next =
            hn::IfThenElse(floatMask(jumps), hn::IfThenElse(floatMask(negative), hn::Neg(moved), moved),
                           hn::IfThenElse(floatMask(frozen), p, hn::Add(p, dStep)));
        p = hn::IfThenElse(floatMask(going), next, p);
        left = hn::IfThenElse(
            going, hn::IfThenElse(hn::Or(still, frozen), zero, hn::Sub(left, hn::IfThenElse(jumps, m, one))),
            left);
    }
    return p;
}

// Front-to-back compositing (CompositeRay) or the densest sample (MaximumRay), per lane. The
// lane's integer state is the accumulator's inertAlpha or maxDensity.
template <bool Nearest, bool Shade, class Ray>
class PacketCaster {
  public:
    explicit PacketCaster(const Frame& f) : f_(f) {}

    // Casts the rays of pixels x0 .. x0 + count - 1 (count <= kLanes) of row y into out.
    void cast(int x0, int y, int count, std::uint8_t* out) {
        start(x0, y, count);
        std::int64_t k = 0;  // every living lane's position is the one of step k
        for (;;) {
            std::int64_t from = std::numeric_limits<std::int64_t>::max(), to = from;
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                if (!alive_[lane])
                    continue;
                if (last_[lane] < k && !nextStretch(lane, k)) {
                    alive_[lane] = 0;
                    continue;
                }
                from = std::min(from, std::max(first_[lane], k));
                to = std::min(to, last_[lane]);
            }
            if (from == std::numeric_limits<std::int64_t>::max())
                break;
            jump(from - k);
            if (!sampleRun(from, to))
                break;
            k = to + 1;
        }
        for (int lane = 0; lane < count; ++lane) {
            for (int c = 0; c < 3; ++c) {
                const float v = color_[c][lane] > 255.0f ? 255.0f : color_[c][lane];
                out[4 * lane + c] = std::uint8_t(int(v));
            }
            out[4 * lane + 3] = 255;
        }
    }

  private:
    static constexpr bool kComposite = std::is_same_v<Ray, CompositeRay>;

    void start(int x0, int y, int count) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            float p[3] = {0.0f, 0.0f, 0.0f}, d[3] = {0.0f, 0.0f, 0.0f};
            alive_[lane] = 0;
            if (int(lane) < count) {
                f_.startRay(x0 + int(lane) - f_.areaRadius, y - f_.areaRadius, p, d);
                const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) &&
                                    std::isfinite(d[0]) && std::isfinite(d[1]) && std::isfinite(d[2]);
                if (finite && f_.anyInside && walk_[lane].start(f_, p, d)) {
                    alive_[lane] = -1;
                    pending_[lane] = true;
                    last_[lane] = -1;
                } else {
                    p[0] = p[1] = p[2] = d[0] = d[1] = d[2] = 0.0f;
                }
            }
            for (int a = 0; a < 3; ++a) {
                p_[a][lane] = p[a];
                d_[a][lane] = d[a];
                cell_[a][lane] = -1;
            }
            for (int c = 0; c < 4; ++c)
                color_[c][lane] = 0.0f;
            state_[lane] = 0;
            cellValue_[lane] = 0;
        }
        densityPartialsValid_ = gradientPartialsValid_ = false;
        gradientStale_ = ~0u;
    }

    // The lane's next stretch of steps at or after k that its walk cannot leave out, the blocks
    // of a few dozen steps joined; false when the ray has none left. (A block joined to a stretch
    // is judged early, by the ray's state at the stretch's start; it could only have been left
    // out with a later state, and its samples leave the ray unchanged then.)
    bool nextStretch(std::size_t lane, std::int64_t k) {
        constexpr std::int64_t kJoinedSteps = 48;
        BlockWalk& walk = walk_[lane];
        bool found = false;
        for (;;) {
            if (!pending_[lane] && !walk.next())
                return found;
            pending_[lane] = false;
            if (f_.skipping &&
                passes<Ray>(f_, f_.grid->index(walk.block(0), walk.block(1), walk.block(2)), state_[lane])) {
                if (found)
                    return true;
                continue;
            }
            const std::int64_t first = std::max(k, walk.first());
            const std::int64_t last = std::min<std::int64_t>(f_.size - 1, walk.last());
            if (first > last)
                continue;
            if (!found) {
                first_[lane] = first;
                found = true;
            } else if (last_[lane] - first_[lane] >= kJoinedSteps) {
                pending_[lane] = true;
                return true;
            }
            last_[lane] = last;
        }
    }

    // Moves the lanes n steps on: by additions over short distances, else as stepAhead does.
    void jump(std::int64_t n) {
        if (n <= 0)
            return;
        const DF df;
        for (int a = 0; a < 3; ++a) {
            VF p = hn::Load(df, p_[a]);
            const VF d = hn::Load(df, d_[a]);
            if (n < f_.addedSteps) {
                for (std::int64_t i = 0; i < n; ++i)
                    p = hn::Add(p, d);
            } else {
                p = stepAheadLanes(p, d, n);
            }
            hn::Store(p, df, p_[a]);
        }
    }

    // Takes the samples of steps from .. to; false when no lane is left alive.
    bool sampleRun(std::int64_t from, std::int64_t to) {
        const DF df;
        const DI di;
        VF p[3], d[3];
        for (int a = 0; a < 3; ++a) {
            p[a] = hn::Load(df, p_[a]);
            d[a] = hn::Load(df, d_[a]);
        }
        bool any = true;
        for (std::int64_t k = from; k <= to; ++k) {
            if (sample(k, p) && hn::AllFalse(di, hn::MaskFromVec(hn::Load(di, alive_)))) {
                any = false;
                break;
            }
            for (int a = 0; a < 3; ++a)
                p[a] = hn::Add(p[a], d[a]);
        }
        for (int a = 0; a < 3; ++a)
            hn::Store(p[a], df, p_[a]);
        return any;
    }

    // Takes the sample of step k at positions p into the living lanes; true when a ray finished.
    bool sample(std::int64_t k, const VF p[3]) {
        const DF df;
        const DI di;
        // Inside only where every comparison holds, so that a NaN position is outside.
        MI active = hn::MaskFromVec(hn::Load(di, alive_));
        for (int a = 0; a < 3; ++a) {
            const VF ext = hn::Set(df, f_.extF[a]);
            active =
                hn::And(active, hn::RebindMask(di, hn::And(hn::Ge(p[a], hn::Zero(df)), hn::Lt(p[a], ext))));
        }
        if (hn::AllFalse(di, active))
            return false;
        VF q[3];
        for (int a = 0; a < 3; ++a)
            q[a] = hn::Div(p[a], hn::Set(df, f_.extF[a]));

        VI density = hn::Zero(di);
        MI candidates = active;
        VF fraction[3] = {hn::Zero(df), hn::Zero(df), hn::Zero(df)};
        if constexpr (Nearest)
            density = nearestDensity(active, q);
        if constexpr (!Nearest || Shade)
            locateCells(active, q, fraction);
        if constexpr (!Nearest) {
            // The interpolated density lies within the corner range: skip the interpolation
            // where nothing in that range could change the ray.
            candidates = hn::And(active, hn::Gt(hn::Load(di, cellValue_), hn::Load(di, state_)));
            if (hn::AllFalse(di, candidates))
                return false;
            density = interpolatedDensity(fraction);
        }
        const VI rgba = hn::GatherIndex(di, reinterpret_cast<const std::int32_t*>(f_.table), density);
        const VI alpha = hn::BitCast(di, hn::ShiftRight<24>(hn::BitCast(DU(), rgba)));
        const VI state = hn::Load(di, state_);
        MI wants;
        if constexpr (kComposite) {
            wants = hn::And(candidates, hn::Gt(alpha, state));
        } else {
            wants = hn::And(candidates, hn::AndNot(hn::Eq(alpha, hn::Zero(di)), hn::Gt(density, state)));
        }
        if (hn::AllFalse(di, wants))
            return false;
        const VI byte = hn::Set(di, 0xff);
        VI rgb[3] = {hn::And(rgba, byte), hn::And(hn::ShiftRight<8>(rgba), byte),
                     hn::And(hn::ShiftRight<16>(rgba), byte)};
        if constexpr (Shade)
            shade(wants, fraction, f_.attenuation[k], rgb);
        return accumulate(wants, rgb, alpha, density);
    }

    // The nearest voxel's density, as VolumeData::getDensity of int(q * (dim - 1)) per axis.
    VI nearestDensity(MI active, const VF q[3]) {
        const DF df;
        const DI di;
        VI voxel[3];
        for (int a = 0; a < 3; ++a)
            voxel[a] = hn::IfThenElseZero(active, hn::ConvertTo(di, hn::Mul(q[a], hn::Set(df, f_.dimM1[a]))));
        const std::uint16_t* densities = f_.volume->densities();
        if (f_.compactIndex) {
            // Two densities per aligned 32-bit word (the array is allocated in whole 64-byte
            // units, so the word of the last one is readable too); pick the half.
            const VI index =
                hn::Add(voxel[0], hn::Add(hn::Mul(voxel[1], hn::Set(di, std::int32_t(f_.strideY))),
                                          hn::Mul(voxel[2], hn::Set(di, std::int32_t(f_.strideZ)))));
            const VI word = hn::GatherIndex(di, reinterpret_cast<const std::int32_t*>(densities),
                                            hn::ShiftRight<1>(index));
            const MI odd = hn::Ne(hn::And(index, hn::Set(di, 1)), hn::Zero(di));
            const VI high = hn::BitCast(di, hn::ShiftRight<16>(hn::BitCast(DU(), word)));
            return hn::IfThenElse(odd, high, hn::And(word, hn::Set(di, 0xffff)));
        }
        alignas(64) std::int32_t v[3][kLanes], result[kLanes];
        for (int a = 0; a < 3; ++a)
            hn::Store(voxel[a], di, v[a]);
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            result[lane] = densities[v[0][lane] + v[1][lane] * f_.strideY + v[2][lane] * f_.strideZ];
        return hn::Load(di, result);
    }

    // The interpolation cell of each active lane (as axisCell chooses it) and the fractions in
    // it; reloads the corners of lanes that moved to another cell.
    void locateCells(MI active, const VF q[3], VF fraction[3]) {
        const DF df;
        const DI di;
        const MF activeF = hn::RebindMask(df, active);
        MI moved = hn::FirstN(di, 0);
        for (int a = 0; a < 3; ++a) {
            const VF f = hn::Mul(q[a], hn::Set(df, f_.dimM1[a]));
            VI lower = hn::Min(hn::ConvertTo(di, f), hn::Set(di, f_.dim[a] - 2));
            lower = hn::IfThenElseZero(active, hn::Max(lower, hn::Zero(di)));
            fraction[a] = hn::IfThenElseZero(activeF, hn::Sub(f, hn::ConvertTo(df, lower)));
            const VI previous = hn::Load(di, cell_[a]);
            moved = hn::Or(moved, hn::And(active, hn::Ne(lower, previous)));
            hn::Store(hn::IfThenElse(active, lower, previous), di, cell_[a]);
        }
        if (hn::AllFalse(di, moved))
            return;
        alignas(64) std::int32_t movedLanes[kLanes];
        hn::Store(hn::VecFromMask(di, moved), di, movedLanes);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            if (movedLanes[lane]) {
                if constexpr (!Nearest)
                    loadDensityCorners(lane);
                gradientStale_ |= 1u << lane;
            }
        }
        densityPartialsValid_ = false;
    }

    std::int64_t cellBase(std::size_t lane) const {
        return cell_[0][lane] + cell_[1][lane] * f_.strideY + cell_[2][lane] * f_.strideZ;
    }

    void loadDensityCorners(std::size_t lane) {
        const std::uint16_t* d = f_.volume->densities() + cellBase(lane);
        int lo = kMaxDensity, hi = 0;
        for (int c = 0; c < 8; ++c) {
            const int v = d[f_.cornerOffset[c]];
            corner_[c][lane] = double(v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if constexpr (kComposite) {
            cellValue_[lane] = f_.opacityIndex->maxAlpha(lo, hi);
        } else {
            cellValue_[lane] = f_.opacityIndex->anyVisible(lo, hi) ? hi : -1;
        }
    }

    void loadGradientCorners(std::size_t lane) {
        const _Vector* g = f_.volume->gradients() + cellBase(lane);
        for (int c = 0; c < 8; ++c) {
            const _Vector& v = g[f_.cornerOffset[c]];
            gradientCorner_[0][c][lane] = double(v.x);
            gradientCorner_[1][c][lane] = double(v.y);
            gradientCorner_[2][c][lane] = double(v.z);
        }
    }

    // (s * wx) * wy per corner, in the corner order of VolumeData::trilinear.
    static void partials(const double (*corners)[kLanes], VF fx, VF fy, double (*out)[kLanes]) {
        const D dd;
        const VD one = hn::Set(dd, 1.0);
        const VD x1 = hn::PromoteTo(dd, fx), y1 = hn::PromoteTo(dd, fy);
        const VD x[2] = {hn::Sub(one, x1), x1}, y[2] = {hn::Sub(one, y1), y1};
        for (int c = 0; c < 8; ++c)
            hn::Store(hn::Mul(hn::Mul(hn::Load(dd, corners[c]), x[c & 1]), y[(c >> 1) & 1]), dd, out[c]);
    }

    // The products with the z weight, summed from the first corner to the last, as float.
    static VF finish(const double (*partial)[kLanes], VF fz) {
        const D dd;
        const VD z1 = hn::PromoteTo(dd, fz), z0 = hn::Sub(hn::Set(dd, 1.0), z1);
        VD sum = hn::Mul(hn::Load(dd, partial[0]), z0);
        for (int c = 1; c < 8; ++c)
            sum = hn::Add(sum, hn::Mul(hn::Load(dd, partial[c]), c < 4 ? z0 : z1));
        return hn::DemoteTo(DF(), sum);
    }

    static bool sameBits(VF a, const float* b) {
        const DI di;
        return hn::AllTrue(di, hn::Eq(hn::BitCast(di, a), hn::BitCast(di, hn::Load(DF(), b))));
    }

    // As VolumeData::getDensityForRelative: interpolated, clamped into the density domain,
    // truncated.
    VI interpolatedDensity(const VF fraction[3]) {
        const DF df;
        const DI di;
        if (!densityPartialsValid_ || !sameBits(fraction[0], densityFx_) ||
            !sameBits(fraction[1], densityFy_)) {
            partials(corner_, fraction[0], fraction[1], densityPartial_);
            hn::Store(fraction[0], df, densityFx_);
            hn::Store(fraction[1], df, densityFy_);
            densityPartialsValid_ = true;
        }
        const VF t = finish(densityPartial_, fraction[2]);
        const VF top = hn::Set(df, float(kMaxDensity - 1));
        const VI truncated =
            hn::IfThenElseZero(hn::RebindMask(di, hn::Gt(t, hn::Zero(df))), hn::ConvertTo(di, t));
        return hn::IfThenElse(hn::RebindMask(di, hn::Ge(t, top)), hn::Set(di, kMaxDensity - 1), truncated);
    }

    // As getGradientForRelative: each component interpolated, then normalised (NormalizeVector).
    void gradient(MI wants, const VF fraction[3], VF g[3]) {
        const DF df;
        const DI di;
        alignas(64) std::int32_t wanted[kLanes];
        hn::Store(hn::VecFromMask(di, wants), di, wanted);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            if (wanted[lane] && (gradientStale_ >> lane & 1u)) {
                loadGradientCorners(lane);
                gradientStale_ &= ~(1u << lane);
                gradientPartialsValid_ = false;
            }
        }
        if (!gradientPartialsValid_ || !sameBits(fraction[0], gradientFx_) ||
            !sameBits(fraction[1], gradientFy_)) {
            for (int a = 0; a < 3; ++a)
                partials(gradientCorner_[a], fraction[0], fraction[1], gradientPartial_[a]);
            hn::Store(fraction[0], df, gradientFx_);
            hn::Store(fraction[1], df, gradientFy_);
            gradientPartialsValid_ = true;
        }
        for (int a = 0; a < 3; ++a)
            g[a] = finish(gradientPartial_[a], fraction[2]);
        const VF length =
            hn::Sqrt(hn::Add(hn::Add(hn::Mul(g[0], g[0]), hn::Mul(g[1], g[1])), hn::Mul(g[2], g[2])));
        const MF zero = hn::Eq(length, hn::Zero(df));
        for (int a = 0; a < 3; ++a)
            g[a] = hn::IfThenElse(zero, g[a], hn::Div(g[a], length));
    }

    // Shading::apply per lane: Phong light with the specular power of powerOf128.
    void shade(MI wants, const VF fraction[3], float attenuation, VI rgb[3]) {
        const DF df;
        const DI di;
        const D dd;
        VF g[3];
        gradient(wants, fraction, g);
        const Shading& s = f_.shading;
        auto dot = [&](_Vector v) {
            return hn::Add(hn::Add(hn::Mul(g[0], hn::Set(df, v.x)), hn::Mul(g[1], hn::Set(df, v.y))),
                           hn::Mul(g[2], hn::Set(df, v.z)));
        };
        const VF diffuse = hn::Mul(hn::Set(df, s.model.diffuseLight()), dot(s.light));
        const VF cosHalfway = dot(s.halfway);
        // Seven squarings in double; lanes where that is not provably pow's float, or |x| is
        // outside 0.44 .. 1.9, get pow itself below.
        const VD x = hn::Abs(hn::PromoteTo(dd, cosHalfway));
        VD r = hn::Mul(x, x);
        for (int i = 0; i < 6; ++i)
            r = hn::Mul(r, r);
        r = hn::IfThenElse(hn::Lt(x, hn::Set(dd, 0.44)), hn::Zero(dd),
                           hn::IfThenElse(hn::Lt(x, hn::Set(dd, 1.9)), r,
                                          hn::Set(dd, std::numeric_limits<double>::quiet_NaN())));
        const VF below = hn::DemoteTo(df, hn::Mul(r, hn::Set(dd, 1.0 - 0x1p-40)));
        const VF above = hn::DemoteTo(df, hn::Mul(r, hn::Set(dd, 1.0 + 0x1p-40)));
        VF power = below;
        const MI exact = hn::RebindMask(di, hn::Eq(below, above));
        const MI needPow = s.exponent128 ? hn::AndNot(exact, wants) : wants;
        if (!hn::AllFalse(di, needPow)) {
            alignas(64) float base[kLanes], result[kLanes];
            alignas(64) std::int32_t need[kLanes];
            hn::Store(cosHalfway, df, base);
            hn::Store(power, df, result);
            hn::Store(hn::VecFromMask(di, needPow), di, need);
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                if (need[lane])
                    result[lane] = static_cast<float>(std::pow(
                        static_cast<double>(base[lane]), static_cast<double>(s.model.specularExponent())));
            }
            power = hn::Load(df, result);
        }
        const VF specular = hn::Mul(hn::Set(df, s.model.specularLight()), power);
        const VF light = hn::Mul(hn::Set(df, 255.0f * attenuation), hn::Add(diffuse, specular));
        const VF ambient = hn::Set(df, s.model.ambientLight());
        for (int c = 0; c < 3; ++c) {
            // PhongIllumination::shadeChannel: clamped to 0 .. 255 (NaN to 0), truncated.
            VF v = hn::Add(hn::Mul(hn::ConvertTo(df, rgb[c]), ambient), light);
            v = hn::IfThenElseZero(hn::Gt(v, hn::Zero(df)), v);
            v = hn::IfThenElse(hn::Gt(v, hn::Set(df, 255.0f)), hn::Set(df, 255.0f), v);
            rgb[c] = hn::ConvertTo(di, v);
        }
    }

    // The accumulator's update for the lanes in wants; true when one of them finished.
    bool accumulate(MI wants, const VI rgb[3], VI alpha, VI density) {
        const DF df;
        const DI di;
        const D dd;
        const MF wantsF = hn::RebindMask(df, wants);
        const VF a = hn::GatherIndex(df, f_.opacityOf, alpha);
        VF opacity;
        if constexpr (kComposite) {
            // CompositeRay::updateRayWithRGBA: double products between single-precision stores.
            const VF old = hn::Load(df, color_[3]);
            const VD tau = hn::Sub(hn::Set(dd, 1.0), hn::PromoteTo(dd, old));
            const VD ad = hn::PromoteTo(dd, a);
            opacity = hn::IfThenElse(
                wantsF, hn::DemoteTo(df, hn::Add(hn::Mul(tau, ad), hn::PromoteTo(dd, old))), old);
            for (int c = 0; c < 3; ++c) {
                const VF before = hn::Load(df, color_[c]);
                const VD term = hn::Mul(hn::Mul(tau, hn::PromoteTo(dd, rgb[c])), ad);
                hn::Store(hn::IfThenElse(wantsF, hn::DemoteTo(df, hn::Add(term, hn::PromoteTo(dd, before))),
                                         before),
                          df, color_[c]);
            }
        } else {
            // MaximumRay::updateRayWithRGBA: the sample replaces the kept one.
            opacity = hn::IfThenElse(wantsF, a, hn::Load(df, color_[3]));
            for (int c = 0; c < 3; ++c)
                hn::Store(hn::IfThenElse(wantsF, hn::ConvertTo(df, rgb[c]), hn::Load(df, color_[c])), df,
                          color_[c]);
            hn::Store(hn::IfThenElse(wants, density, hn::Load(di, state_)), di, state_);
        }
        hn::Store(opacity, df, color_[3]);
        const MI finished = hn::And(wants, hn::RebindMask(di, hn::Ge(opacity, hn::Set(df, 1.0f))));
        if constexpr (kComposite) {
            // A saturating accumulator may have more inert alphas: where the next alpha up
            // leaves it unchanged now (CompositeRay::leavesUnchanged, lane by lane), the
            // threshold is searched anew.
            MI settling = hn::AndNot(
                finished, hn::And(wants, hn::RebindMask(di, hn::Ge(opacity, hn::Set(df, 0.99999f)))));
            const VI state = hn::Load(di, state_);
            settling = hn::And(settling, hn::Lt(state, hn::Set(di, 255)));
            if (!hn::AllFalse(di, settling)) {
                const VI next = hn::IfThenElseZero(settling, hn::Add(state, hn::Set(di, 1)));
                const VD probe = hn::PromoteTo(dd, hn::GatherIndex(df, f_.opacityOf, next));
                const VD c3 = hn::PromoteTo(dd, opacity);
                const VD tau = hn::Sub(hn::Set(dd, 1.0), c3);
                MF unchanged = hn::Eq(hn::DemoteTo(df, hn::Add(hn::Mul(tau, probe), c3)), opacity);
                const VD brightest = hn::Mul(hn::Mul(tau, hn::Set(dd, 255.0)), probe);
                for (int c = 0; c < 3; ++c) {
                    const VF before = hn::Load(df, color_[c]);
                    unchanged = hn::And(
                        unchanged,
                        hn::Eq(hn::DemoteTo(df, hn::Add(brightest, hn::PromoteTo(dd, before))), before));
                }
                settling = hn::And(settling, hn::RebindMask(di, unchanged));
            }
            if (!hn::AllFalse(di, settling)) {
                alignas(64) std::int32_t lanes[kLanes];
                hn::Store(hn::VecFromMask(di, settling), di, lanes);
                for (std::size_t lane = 0; lane < kLanes; ++lane) {
                    if (lanes[lane]) {
                        CompositeRay ray{{color_[0][lane], color_[1][lane], color_[2][lane], color_[3][lane]},
                                         state_[lane]};
                        ray.updateInertAlpha(f_.opacityOf);
                        state_[lane] = ray.inertAlpha;
                    }
                }
            }
        }
        if (hn::AllFalse(di, finished))
            return false;
        hn::Store(hn::IfThenZeroElse(finished, hn::Load(di, alive_)), di, alive_);
        return true;
    }

    const Frame& f_;
    // Per lane: position and step, accumulator, whether the ray may still take samples.
    alignas(64) float p_[3][kLanes];
    alignas(64) float d_[3][kLanes];
    alignas(64) float color_[4][kLanes];
    alignas(64) std::int32_t state_[kLanes];
    alignas(64) std::int32_t alive_[kLanes];  // -1 or 0
    BlockWalk walk_[kLanes];
    std::int64_t first_[kLanes], last_[kLanes];
    bool pending_[kLanes];  // the walk's current block is still to be judged
    // Per lane: the interpolation cell, its corner densities, and what its corner range could
    // do to the ray (the largest alpha, or for the maximum the highest visible density or -1).
    alignas(64) std::int32_t cell_[3][kLanes];
    alignas(64) double corner_[8][kLanes];
    alignas(64) std::int32_t cellValue_[kLanes];
    alignas(64) double gradientCorner_[3][8][kLanes];  // per component
    std::uint32_t gradientStale_;  // lanes whose gradient corners belong to an earlier cell
    // The partial products, kept while no lane's cell or x and y fractions change.
    alignas(64) double densityPartial_[8][kLanes];
    alignas(64) float densityFx_[kLanes], densityFy_[kLanes];
    bool densityPartialsValid_;
    alignas(64) double gradientPartial_[3][8][kLanes];
    alignas(64) float gradientFx_[kLanes], gradientFy_[kLanes];
    bool gradientPartialsValid_;
};

template <bool Nearest, bool Shade, class Ray>
void castRows(const Frame& f, int i0, int i1, int j0, int j1, std::uint8_t* pixels) {
    PacketCaster<Nearest, Shade, Ray> caster(f);
    for (int j = j0; j < j1; ++j) {
        for (int i = i0; i < i1; i += int(kLanes)) {
            const int count = std::min(int(kLanes), i1 - i);
            caster.cast(i, j, count, pixels + 4 * (std::size_t(f.size) * std::size_t(j) + std::size_t(i)));
        }
    }
}

template <class Ray>
void castRowsOf(const Frame& f, KernelMode mode, int i0, int i1, int j0, int j1, std::uint8_t* pixels) {
    if (mode.nearest && mode.shade) {
        castRows<true, true, Ray>(f, i0, i1, j0, j1, pixels);
    } else if (mode.nearest) {
        castRows<true, false, Ray>(f, i0, i1, j0, j1, pixels);
    } else if (mode.shade) {
        castRows<false, true, Ray>(f, i0, i1, j0, j1, pixels);
    } else {
        castRows<false, false, Ray>(f, i0, i1, j0, j1, pixels);
    }
}

void StepAheadAll(float* p, const float* d, std::size_t count, std::int64_t n) {
    const DF df;
    for (std::size_t i = 0; i < count; i += kLanes) {
        alignas(64) float lanesP[kLanes] = {}, lanesD[kLanes] = {};
        const std::size_t used = std::min(kLanes, count - i);
        std::copy(p + i, p + i + used, lanesP);
        std::copy(d + i, d + i + used, lanesD);
        hn::Store(stepAheadLanes(hn::Load(df, lanesP), hn::Load(df, lanesD), n), df, lanesP);
        std::copy(lanesP, lanesP + used, p + i);
    }
}

void CastTile(const Frame& f, KernelMode mode, int i0, int i1, int j0, int j1, std::uint8_t* pixels) {
    if (mode.accumulation == Accumulation::Composite) {
        castRowsOf<CompositeRay>(f, mode, i0, i1, j0, j1, pixels);
    } else {
        castRowsOf<MaximumRay>(f, mode, i0, i1, j0, j1, pixels);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace qz::raycast
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qz::raycast {

HWY_EXPORT(CastTile);
HWY_EXPORT(StepAheadAll);

void stepAheadAll(float* p, const float* d, std::size_t count, std::int64_t n) {
    HWY_DYNAMIC_DISPATCH(StepAheadAll)(p, d, count, n);
}

void castTile(const Frame& f, KernelMode mode, int i0, int i1, int j0, int j1, std::uint8_t* pixels) {
    HWY_DYNAMIC_DISPATCH(CastTile)(f, mode, i0, i1, j0, j1, pixels);
}

}  // namespace qz::raycast
#endif
