#pragma once

#include <QString>

namespace qz {

class VolumeData;

// The status bar's line for a loaded volume: file name, dimensions, spacing and density range
// ("head.dat   128 × 128 × 62 voxels   spacing 1 × 1 × 1 mm   densities 12 – 4095"); "No volume"
// without one.
QString volumeSummary(const VolumeData& volume);

// A loader's failure line ("Data:Error: ...") in plain words for the user, e.g. "The file is
// shorter than its header says: 26 of 206 bytes." path tells a missing or unreadable file apart.
QString plainLoadError(const QString& loaderLine, const QString& path);

}  // namespace qz
