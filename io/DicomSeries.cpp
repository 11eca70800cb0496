#include "io/DicomSeries.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "data/VolumeReader.h"

namespace qz::io::dicom {

namespace {

// Slice gaps may differ from the median by this much (mm) plus a relative share before they
// count as uneven; positions are decimal strings of limited precision.
constexpr double kGapTolerance = 0.01;
constexpr double kRelativeGapTolerance = 0.01;

std::string millimetres(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g mm", v);
    return text;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameOrientation(const std::array<double, 6>& a, const std::array<double, 6>& b) {
    for (int i = 0; i < 6; ++i) {
        if (!(std::fabs(a[i] - b[i]) < 1e-4))
            return false;
    }
    return true;
}

}  // namespace

bool parseDecimals(const std::string& text, double* out, int count) {
    const char* p = text.c_str();
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !std::isfinite(v))
            return false;
        out[i] = v;
        while (*end == ' ')
            ++end;
        if (i + 1 < count) {
            if (*end != '\\')
                return false;
            ++end;
        }
        p = end;
    }
    return true;
}

Series assemble(const std::vector<SliceHeader>& headers, const std::string& preferredFile) {
    if (headers.empty())
        throw ScanError("no DICOM images found");

    // Group by series; the preferred file's series, or the one with most slices.
    std::map<std::string, std::vector<std::size_t>> groups;
    std::string chosen;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        groups[headers[i].seriesUid].push_back(i);
        if (!preferredFile.empty() && headers[i].file == preferredFile)
            chosen = headers[i].seriesUid;
    }
    if (chosen.empty()) {
        std::size_t most = 0;
        for (const auto& [uid, members] : groups) {
            if (members.size() > most) {
                most = members.size();
                chosen = uid;
            }
        }
    }
    Series series;
    std::vector<std::size_t> slices = groups[chosen];
    const SliceHeader& first = headers[slices.front()];
    if (groups.size() > 1) {
        series.notes.push_back(
            std::to_string(groups.size()) + " series found; showing " +
            (first.seriesDescription.empty() ? "" : "\"" + first.seriesDescription + "\" ") + "(" +
            std::to_string(slices.size()) + " slices, UID " + chosen + ")");
    }

    for (std::size_t i : slices) {
        const SliceHeader& h = headers[i];
        if (h.samplesPerPixel != 1)
            throw ScanError(baseName(h.file) + " holds colour images, which cannot be shown as densities");
        if (h.frames != 1)
            throw ScanError(baseName(h.file) + " holds " + std::to_string(h.frames) +
                            " frames; multi-frame images are not supported");
        if (h.rows < 1 || h.columns < 1 || h.rows > 65535 || h.columns > 65535)
            throw ScanError(baseName(h.file) + " has no usable image size");
        if (h.rows != first.rows || h.columns != first.columns)
            throw ScanError("slices differ in size (" + baseName(first.file) + " and " + baseName(h.file) +
                            ")");
    }
    if (slices.size() > 65535)
        throw ScanError("the series has " + std::to_string(slices.size()) + " slices (at most 65535 load)");

    series.dims = {first.columns, first.rows, int(slices.size())};
    series.spacing = {1.0, 1.0, 1.0};
    if (first.hasPixelSpacing && first.pixelSpacing[0] > 0.0 && first.pixelSpacing[1] > 0.0) {
        series.spacing[0] = first.pixelSpacing[1];
        series.spacing[1] = first.pixelSpacing[0];
    } else {
        series.notes.push_back("no pixel spacing; 1 mm assumed");
    }

    if (slices.size() == 1) {
        series.order = slices;
        series.spacing[2] = series.spacing[0];
        return series;
    }

    // Position along the normal of the (shared) slice orientation.
    for (std::size_t i : slices) {
        const SliceHeader& h = headers[i];
        if (!h.hasPosition || !h.hasOrientation)
            throw ScanError(baseName(h.file) + " has no slice position or orientation");
        if (!sameOrientation(h.orientation, first.orientation))
            throw ScanError("slices are tilted against each other (" + baseName(first.file) + " and " +
                            baseName(h.file) + ")");
    }
    const auto& o = first.orientation;
    const std::array<double, 3> normal = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5],
                                          o[0] * o[4] - o[1] * o[3]};
    const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (!(length > 0.5) || !std::isfinite(length))
        throw ScanError(baseName(first.file) + " has an invalid slice orientation");
    std::vector<std::pair<double, std::size_t>> along;
    for (std::size_t i : slices) {
        const auto& p = headers[i].position;
        const double distance = (p[0] * normal[0] + p[1] * normal[1] + p[2] * normal[2]) / length;
        if (!std::isfinite(distance))
            throw ScanError(baseName(headers[i].file) + " has a slice position out of range");
        along.emplace_back(distance, i);
    }
    std::sort(along.begin(), along.end());

    std::vector<double> gaps;
    for (std::size_t k = 1; k < along.size(); ++k)
        gaps.push_back(along[k].first - along[k - 1].first);
    std::vector<double> sorted = gaps;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double tolerance = kGapTolerance + kRelativeGapTolerance * median;
    auto between = [&](std::size_t k) {
        return " between " + baseName(headers[along[k].second].file) + " and " +
               baseName(headers[along[k + 1].second].file);
    };
    for (std::size_t k = 0; k < gaps.size(); ++k) {
        if (gaps[k] < kGapTolerance)
            throw ScanError("duplicated slice position" + between(k));
    }
    for (std::size_t k = 0; k < gaps.size(); ++k) {
        if (gaps[k] > 1.5 * median)
            throw ScanError("missing slices: a gap of " + millimetres(gaps[k]) + " instead of " +
                            millimetres(median) + between(k));
        if (std::fabs(gaps[k] - median) > tolerance)
            throw ScanError("uneven slice gaps: " + millimetres(gaps[k]) + " instead of " +
                            millimetres(median) + between(k));
    }
    double spacing = (along.back().first - along.front().first) / double(along.size() - 1);
    // Within the positions' precision of the in-plane spacing: even spacing, as the scanner meant.
    if (series.spacing[0] == series.spacing[1] &&
        std::fabs(spacing - series.spacing[0]) < 1e-4 * series.spacing[0])
        spacing = series.spacing[0];
    series.spacing[2] = spacing;
    for (const auto& [position, i] : along)
        series.order.push_back(i);
    return series;
}

}  // namespace qz::io::dicom
