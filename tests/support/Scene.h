#pragma once

// A notification centre, a volume holder and a transfer function of the test's own.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "data/Data.h"
#include "support/TestFiles.h"
#include "transfer/TransferFkt.h"

namespace qz::testing {

struct Scene {
    TempDir dir;
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};

    // Loads an x * y * z volume of these samples (x fastest), silently.
    // Uneven spacing goes through a scan reader.
    void load(int x, int y, int z, const std::vector<std::uint16_t>& samples,
              const std::array<double, 3>& spacing = {1.0, 1.0, 1.0}) {
        const bool even = spacing[0] == spacing[1] && spacing[1] == spacing[2];
        const std::string path = dir.file(even ? "v.dat" : "v.spaced");
        if (even) {
            writeVolumeFile(path, x, y, z, samples);
        } else {
            writeSpacedVolume(path, x, y, z, samples, spacing);
        }
        stdoutLines([&] { data.loadFromFileName(path); });
        ASSERT_EQ(data.xDim() * 1000000 + data.yDim() * 1000 + data.zDim(), x * 1000000 + y * 1000 + z);
        ASSERT_EQ(data.volume()->spacing(), spacing);
    }
    // Replaces the opacity curve by these (density, alpha) points; 0 and 4095 must be among them.
    void setOpacity(const std::vector<std::pair<int, int>>& points) {
        for (int d = 1; d < kMaxDensity - 1; ++d)
            fkt.removeOpacityReferencePointForDensity(d);
        for (auto [d, a] : points)
            fkt.addOpacityReferencePointForDensity(d, std::uint8_t(a));
        fkt.update();
    }
    void setColor(int density, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        const std::uint8_t rgba[4] = {r, g, b, 0};
        fkt.addRGBReferencePointForDensity(density, rgba);
        fkt.update();
    }
};

}  // namespace qz::testing
