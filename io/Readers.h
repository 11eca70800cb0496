#pragma once

// The scan readers of this folder, each behind the core's VolumeReader interface.

#include <memory>

#include "data/VolumeReader.h"

namespace qz::io {

std::unique_ptr<VolumeReader> makeDicomReader();      // a folder, or a file of a series
std::unique_ptr<VolumeReader> makeNiftiReader();      // .nii, .nii.gz
std::unique_ptr<VolumeReader> makeNrrdReader();       // .nrrd, .nhdr
std::unique_ptr<VolumeReader> makeMetaImageReader();  // .mha, .mhd

// Registers every reader above with the volume holder; later calls do nothing.
void registerScanReaders();

}  // namespace qz::io
