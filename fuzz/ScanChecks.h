#pragma once

// The properties the project's own code around the scan readers must keep on any input: DICOM
// series assembly from arbitrary slice headers (their decimal strings included) and the density
// rule on arbitrary samples. Shared by the fuzz target and the corpus replay test; an empty string
// means the input was handled soundly.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/Densities.h"
#include "io/DicomSeries.h"

namespace qz::fuzz {

// Hands out the input's bytes in order; zeros once they run out.
struct ByteCursor {
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t at = 0;
    int byte() { return at < size ? bytes[at++] : 0; }
    std::string text() {
        const std::size_t n = std::min<std::size_t>(std::size_t(byte()) % 48, size - std::min(at, size));
        std::string s(reinterpret_cast<const char*>(bytes) + std::min(at, size), n);
        at += n;
        return s;
    }
};

inline std::string checkScanAssembly(const std::uint8_t* bytes, std::size_t size) {
    ByteCursor in{bytes, size};
    std::vector<io::dicom::SliceHeader> headers(std::size_t(in.byte() % 12));
    for (std::size_t i = 0; i < headers.size(); ++i) {
        io::dicom::SliceHeader& h = headers[i];
        h.file = std::to_string(i);
        h.seriesUid = std::string(1, char('a' + in.byte() % 3));
        const int flags = in.byte();
        h.frames = flags & 8 ? 2 : 1;
        h.samplesPerPixel = flags & 16 ? 3 : 1;
        h.rows = in.byte() % 4;
        h.columns = in.byte() % 4;
        h.hasPosition = io::dicom::parseDecimals(in.text(), h.position.data(), 3);
        if (flags & 32) {
            h.orientation = {1, 0, 0, 0, 1, 0};
            h.hasOrientation = true;
        } else {
            h.hasOrientation = io::dicom::parseDecimals(in.text(), h.orientation.data(), 6);
        }
        h.hasPixelSpacing = io::dicom::parseDecimals(in.text(), h.pixelSpacing.data(), 2);
    }
    const std::string preferred = !headers.empty() && in.byte() % 2 ? "0" : "";
    try {
        const io::dicom::Series series = io::dicom::assemble(headers, preferred);
        if (series.order.size() != std::size_t(series.dims[2]) || series.order.empty())
            return "the slice order does not match the slice count";
        std::vector<std::size_t> order = series.order;
        std::sort(order.begin(), order.end());
        if (std::unique(order.begin(), order.end()) != order.end() || order.back() >= headers.size())
            return "the slice order is not a selection of the files";
        const io::dicom::SliceHeader& first = headers[series.order.front()];
        for (std::size_t i : series.order) {
            if (headers[i].seriesUid != first.seriesUid)
                return "slices of two series were mixed";
        }
        if (series.dims[0] != first.columns || series.dims[1] != first.rows)
            return "the grid does not match the slices";
        for (double s : series.spacing) {
            if (!std::isfinite(s) || !(s > 0.0))
                return "a spacing is not a positive number";
        }
    } catch (const ScanError&) {
    }

    // The density rule on the rest: every density within 0 .. 4095.
    io::Samples samples;
    samples.type = io::SampleType(in.byte() % 10);
    samples.hounsfield = in.byte() % 2;
    ReadOptions options;
    options.useWindow = in.byte() % 2;
    options.window = {double(in.byte()) - 128.0, double(in.byte()) * 16.0};
    if (in.byte() % 2)
        samples.rescale = {io::Rescale{double(in.byte()) / 16.0 - 4.0, double(in.byte()) * 8.0 - 1024.0}};
    const std::size_t rest = size - std::min(in.at, size);
    samples.count = std::int64_t(rest) / io::bytesPerSample(samples.type);
    std::vector<std::uint64_t> aligned(rest / 8 + 1);
    std::memcpy(aligned.data(), bytes + std::min(in.at, size), rest);
    samples.data = aligned.data();
    std::vector<std::uint16_t> out(std::size_t(samples.count));
    try {
        io::toDensities(samples, options, out.data());
    } catch (const ScanError&) {
        return "";
    }
    for (std::uint16_t d : out) {
        if (d > 4095)
            return "a density above 4095";
    }
    return "";
}

}  // namespace qz::fuzz
