#pragma once

// The one rule by which every reader turns a scan's stored samples into 12-bit densities:
//   - a window chosen by the user: lo .. hi mapped linearly onto 0 .. 4095, values outside clamped;
//   - Hounsfield units (a CT, or a rescale that says it gives HU): clamp(HU + 1024, 0, 4095);
//   - unsigned 16-bit samples already inside 0 .. 4095 (and no rescale): unchanged;
//   - anything else: linear from the volume's own min .. max, floor((v - min) * 4095 / (max - min)
//     + 0.5); a constant volume becomes all 0.
// Mapped values are rounded to the nearest density. NaN becomes 0; +inf and -inf become 4095 and 0
// and stay out of the min .. max.

#include <cstdint>
#include <string>
#include <vector>

#include "data/VolumeReader.h"

namespace qz::io {

enum class SampleType { UInt8, Int8, UInt16, Int16, UInt32, Int32, UInt64, Int64, Float32, Float64 };

std::int64_t bytesPerSample(SampleType type);

// value * slope + intercept gives the scan's own units.
struct Rescale {
    double slope = 1.0;
    double intercept = 0.0;
};

// Stored samples in native byte order, x fastest.
struct Samples {
    const void* data = nullptr;
    SampleType type = SampleType::UInt16;
    std::int64_t count = 0;
    // One rescale for all, or one per slice of sliceSamples samples.
    std::vector<Rescale> rescale{Rescale{}};
    std::int64_t sliceSamples = 0;
    bool hounsfield = false;  // the rescaled values are Hounsfield units
};

// Converts samples to densities (out has samples.count entries) and returns lines worth telling
// the user (non-finite samples). Throws ScanError when no sample is finite.
std::vector<std::string> toDensities(const Samples& samples, const ReadOptions& options, std::uint16_t* out);

// toDensities into a fresh array; the scan's densities.
DensityArray densitiesOf(const Samples& samples, const ReadOptions& options, std::vector<std::string>& notes);

}  // namespace qz::io
