#pragma once

// Image files for quarzelle-render: PNG that keeps RGBA bytes exactly, JPEG flattened onto black.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace qz::cli {

// Writes width x height RGBA pixels (top row first) to an open file. False with error set when
// a write fails.
bool writePng(std::FILE* file, int width, int height, const std::uint8_t* rgba, std::string* error);
bool writeJpeg(std::FILE* file, int width, int height, const std::uint8_t* rgba, int quality,
               std::string* error);

// Runs write on a temporary file in path's directory and renames it over path only when write
// and closing succeeded; on failure nothing is left behind. False with error set when anything
// fails (write sets error for its own failures).
bool writeFileAtomically(const std::string& path, const std::function<bool(std::FILE*, std::string*)>& write,
                         std::string* error);

// Writes the image to path through a temporary file in the same directory that is renamed over
// path only when complete; on failure nothing is left behind. jpeg selects the format.
bool writeImageFile(const std::string& path, bool jpeg, int width, int height, const std::uint8_t* rgba,
                    std::string* error);

}  // namespace qz::cli
