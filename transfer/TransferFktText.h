#pragma once

#include <string>

#include "transfer/TransferFkt.h"

namespace qz {

// Plain-text transfer functions, one command per line, applied in order:
//   rgb DENSITY R G B    adds a colour reference point (0..4095, bytes 0..255)
//   alpha DENSITY A      adds an opacity reference point
// '#' starts a comment; blank lines are ignored. On the first bad line nothing is applied,
// false is returned and error names the line and the problem.
bool applyTransferFktText(const std::string& text, TransferFkt& fkt, std::string* error);

// Reads the file and applies it as above; a file that cannot be read is an error too.
bool loadTransferFktFile(const std::string& path, TransferFkt& fkt, std::string* error);

// The reference points that text (or the file at path) gives when applied to a new function (the
// grey ramp); false with error set, as above, when it cannot be applied.
bool transferFktPointsFromText(const std::string& text, TransferFktPoints* points, std::string* error);
bool transferFktPointsFromFile(const std::string& path, TransferFktPoints* points, std::string* error);

// Text with one line per reference point, colours then opacities by rising density. Applied to a
// new function it gives back exactly these points, and so the same table.
std::string transferFktText(const TransferFktPoints& points);

}  // namespace qz
