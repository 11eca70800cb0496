#pragma once

// What the command-line tools share about their input volume: the --window option and the load
// with its one-line reason on failure.

#include <string>

#include "data/Data.h"

namespace qz::cli {

// Parses "--window LO HI" values: finite numbers with LO < HI.
bool parseWindow(const char* lo, const char* hi, ReadOptions* options);

// Loads path (a .dat, a scan file or a DICOM folder) into data with the scan readers; false with
// a one-line message naming the file when nothing was loaded or the volume holds no samples.
bool loadVolume(Data& data, const std::string& path, const ReadOptions& options, std::string* message);

}  // namespace qz::cli
