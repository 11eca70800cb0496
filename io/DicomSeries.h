#pragma once

// Assembles one DICOM series from the header values of a folder's files: grouping by Series
// Instance UID, the slice order along the slice normal, and the checks that the slices make one
// evenly spaced volume. Standard library only; the DICOM reader feeds it what GDCM read.

#include <array>
#include <string>
#include <vector>

namespace qz::io::dicom {

// What one file's header says, as far as the assembly needs it.
struct SliceHeader {
    std::string file;
    std::string seriesUid;
    std::string seriesDescription;
    bool hasPosition = false;
    std::array<double, 3> position{};  // Image Position (Patient), mm
    bool hasOrientation = false;
    std::array<double, 6> orientation{};  // row direction, then column direction
    int rows = 0;
    int columns = 0;
    bool hasPixelSpacing = false;
    std::array<double, 2> pixelSpacing{};  // between rows, between columns (mm)
    int frames = 1;
    int samplesPerPixel = 1;
};

// One series ready to read: its files in slice order, the grid and the spacing (x = columns,
// y = rows, z = slices).
struct Series {
    std::vector<std::size_t> order;  // indices into the headers, first slice first
    std::array<int, 3> dims{};
    std::array<double, 3> spacing{};
    std::vector<std::string> notes;
};

// Picks the series of the file named preferredFile when given (else the one with most slices),
// sorts it and checks it; throws ScanError with the reason otherwise.
Series assemble(const std::vector<SliceHeader>& headers, const std::string& preferredFile);

// Parses a DICOM multi-valued decimal string ("1.5\-2\3e1") into exactly count numbers.
bool parseDecimals(const std::string& text, double* out, int count);

}  // namespace qz::io::dicom
