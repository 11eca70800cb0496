#pragma once

#include <string_view>

namespace qz::cli {

// A built-in transfer function: the name and text of one transfer/presets/NAME.tf file.
struct TransferFktPreset {
    std::string_view name;
    std::string_view text;
};

// Every preset, by name; generated from the files at build time.
extern const TransferFktPreset kTransferFktPresets[];
extern const int kTransferFktPresetCount;

}  // namespace qz::cli
