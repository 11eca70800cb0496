#include "io/Densities.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qz::io {

namespace {

constexpr double kTop = 4095.0;

// Calls f(i, value) for every sample with its slice's rescale applied.
template <class T, class F>
void forEachValue(const Samples& s, F f) {
    const T* p = static_cast<const T*>(s.data);
    const std::int64_t per = s.rescale.size() > 1 && s.sliceSamples > 0 ? s.sliceSamples : s.count;
    std::size_t slice = 0;
    for (std::int64_t begin = 0; begin < s.count; begin += per, ++slice) {
        const Rescale r = s.rescale[std::min(slice, s.rescale.size() - 1)];
        const std::int64_t end = std::min(s.count, begin + per);
        if (r.slope == 1.0 && r.intercept == 0.0) {
            for (std::int64_t i = begin; i < end; ++i)
                f(i, static_cast<double>(p[i]));
        } else {
            for (std::int64_t i = begin; i < end; ++i)
                f(i, static_cast<double>(p[i]) * r.slope + r.intercept);
        }
    }
}

// The nearest density to t, clamped to 0 .. 4095; NaN gives 0.
std::uint16_t nearest(double t) {
    t = std::floor(t + 0.5);
    if (!(t > 0.0))
        return 0;
    return static_cast<std::uint16_t>(t >= kTop ? kTop : t);
}

template <class T>
std::vector<std::string> convert(const Samples& s, const ReadOptions& options, std::uint16_t* out) {
    std::vector<std::string> notes;
    std::int64_t nans = 0, infinities = 0;
    if constexpr (std::is_floating_point_v<T>) {
        forEachValue<T>(s, [&](std::int64_t, double v) {
            nans += std::isnan(v);
            infinities += std::isinf(v);
        });
        if (nans > 0)
            notes.push_back(std::to_string(nans) + " samples are NaN; they read as density 0");
        if (infinities > 0)
            notes.push_back(std::to_string(infinities) +
                            " samples are infinite; they read as density 0 or 4095");
    }
    if (options.useWindow) {
        const double lo = options.window.lo, range = options.window.hi - options.window.lo;
        forEachValue<T>(s, [&](std::int64_t i, double v) { out[i] = nearest((v - lo) * kTop / range); });
        return notes;
    }
    if (s.hounsfield) {
        forEachValue<T>(s, [&](std::int64_t i, double v) { out[i] = nearest(v + 1024.0); });
        return notes;
    }
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    forEachValue<T>(s, [&](std::int64_t, double v) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    });
    if (lo > hi)
        throw ScanError("no sample is a finite number");
    const bool identity = std::all_of(s.rescale.begin(), s.rescale.end(),
                                      [](const Rescale& r) { return r.slope == 1.0 && r.intercept == 0.0; });
    if (std::is_same_v<T, std::uint16_t> && identity && hi <= kTop) {
        std::memcpy(out, s.data, std::size_t(s.count) * sizeof(std::uint16_t));
        return notes;
    }
    if (lo == hi) {
        std::fill(out, out + s.count, std::uint16_t(0));
        return notes;
    }
    const double range = hi - lo;
    forEachValue<T>(s, [&](std::int64_t i, double v) {
        // -inf and +inf land on 0 and 4095 through the clamp.
        out[i] = nearest((v - lo) * kTop / range);
    });
    return notes;
}

}  // namespace

std::int64_t bytesPerSample(SampleType type) {
    switch (type) {
        case SampleType::UInt8:
        case SampleType::Int8:
            return 1;
        case SampleType::UInt16:
        case SampleType::Int16:
            return 2;
        case SampleType::UInt32:
        case SampleType::Int32:
        case SampleType::Float32:
            return 4;
        case SampleType::UInt64:
        case SampleType::Int64:
        case SampleType::Float64:
            return 8;
    }
    return 1;
}

std::vector<std::string> toDensities(const Samples& s, const ReadOptions& options, std::uint16_t* out) {
    switch (s.type) {
        case SampleType::UInt8:
            return convert<std::uint8_t>(s, options, out);
        case SampleType::Int8:
            return convert<std::int8_t>(s, options, out);
        case SampleType::UInt16:
            return convert<std::uint16_t>(s, options, out);
        case SampleType::Int16:
            return convert<std::int16_t>(s, options, out);
        case SampleType::UInt32:
            return convert<std::uint32_t>(s, options, out);
        case SampleType::Int32:
            return convert<std::int32_t>(s, options, out);
        case SampleType::UInt64:
            return convert<std::uint64_t>(s, options, out);
        case SampleType::Int64:
            return convert<std::int64_t>(s, options, out);
        case SampleType::Float32:
            return convert<float>(s, options, out);
        case SampleType::Float64:
            return convert<double>(s, options, out);
    }
    return {};
}

DensityArray densitiesOf(const Samples& samples, const ReadOptions& options,
                         std::vector<std::string>& notes) {
    DensityArray out = allocateDensities(samples.count);
    for (std::string& note : toDensities(samples, options, out.get()))
        notes.push_back(std::move(note));
    return out;
}

}  // namespace qz::io
