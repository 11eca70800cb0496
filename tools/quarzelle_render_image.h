#pragma once

// Image files for quarzelle-render: PNG that keeps RGBA bytes exactly, JPEG flattened onto black.

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/AtomicWrite.h"

namespace qz::cli {

// Writes width x height RGBA pixels (top row first) to an open file. False with error set when
// a write fails.
bool writePng(std::FILE* file, int width, int height, const std::uint8_t* rgba, std::string* error);
bool writeJpeg(std::FILE* file, int width, int height, const std::uint8_t* rgba, int quality,
               std::string* error);

// Writes the image into file (open) and commits it; jpeg selects the format. On failure nothing
// is left behind and error says why.
bool writeImageFile(AtomicFile& file, bool jpeg, int width, int height, const std::uint8_t* rgba,
                    std::string* error);

}  // namespace qz::cli
