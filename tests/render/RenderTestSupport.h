#pragma once

// Shared helpers of the renderer tests: volumes written to temporary .dat files and loaded into a
// private Data, a private transfer function, and a recorder of progress notifications.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "data/Data.h"
#include "platform/NotificationCenter.h"
#include "transfer/TransferFkt.h"

namespace qz::test {

// Densities of an X x Y x Z volume, x fastest.
struct Grid {
    int X = 0, Y = 0, Z = 0;
    std::vector<std::uint16_t> v;
    Grid() = default;
    Grid(int x, int y, int z, std::uint16_t fill = 0) : X(x), Y(y), Z(z), v(std::size_t(x) * y * z, fill) {}
    std::uint16_t& at(int x, int y, int z) {
        return v[std::size_t(x) + std::size_t(X) * (y + std::size_t(Y) * z)];
    }
    static Grid from(int x, int y, int z, const std::function<int(int, int, int)>& density) {
        Grid g(x, y, z);
        for (int k = 0; k < z; ++k)
            for (int j = 0; j < y; ++j)
                for (int i = 0; i < x; ++i)
                    g.at(i, j, k) = std::uint16_t(density(i, j, k));
        return g;
    }
};

inline std::string tempPath(const std::string& stem) {
    static int counter = 0;
    return ::testing::TempDir() + "qz-render-" + std::to_string(::getpid()) + "-" + stem + "-" +
           std::to_string(++counter) + ".dat";
}

inline void writeDat(const std::string& path, const Grid& g) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::uint8_t header[6] = {std::uint8_t(g.X),      std::uint8_t(g.X >> 8), std::uint8_t(g.Y),
                                    std::uint8_t(g.Y >> 8), std::uint8_t(g.Z),      std::uint8_t(g.Z >> 8)};
    std::fwrite(header, 1, 6, f);
    for (std::uint16_t d : g.v) {
        const std::uint8_t bytes[2] = {std::uint8_t(d), std::uint8_t(d >> 8)};
        std::fwrite(bytes, 1, 2, f);
    }
    std::fclose(f);
}

// A notification centre, a volume holder and a transfer function of the test's own.
struct World {
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};

    void load(const Grid& g) {
        const std::string path = tempPath("grid");
        writeDat(path, g);
        data.loadFromFileName(path);
        std::remove(path.c_str());
        ASSERT_EQ(data.xDim(), g.X);
    }
    // Replaces the opacity curve by the given (density, alpha) points; 0 and 4095 must be among them.
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

// Records "updateProgressBar" posts with one info text.
class ProgressLog {
  public:
    ProgressLog(NotificationCenter& center, std::string info)
        : info_(std::move(info)),
          observation_(center, kUpdateProgressBar, nullptr, [this](const Notification& n) {
              if (n.stringValue("info") != info_)
                  return;
              std::lock_guard lock(mutex_);
              values_.push_back(n.intValue("progress", -1));
          }) {}
    std::vector<int> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

  private:
    std::string info_;
    mutable std::mutex mutex_;
    std::vector<int> values_;
    Observation observation_;
};

inline std::vector<int> range(int from, int to) {
    std::vector<int> r;
    for (int i = from; i <= to; ++i)
        r.push_back(i);
    return r;
}

}  // namespace qz::test
