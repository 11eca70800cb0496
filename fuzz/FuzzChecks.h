#pragma once

// The properties every input must keep, shared by the fuzz targets and by the hostile-input tests
// that replay their corpora. Each check returns an empty string when the input was handled soundly,
// otherwise a line naming the broken property.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "data/Data.h"
#include "platform/NotificationCenter.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktText.h"

namespace qz::fuzz {

inline bool writeFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), std::streamsize(size));
    return bool(out);
}

inline std::vector<std::uint8_t> volumeFile(int x, int y, int z, const std::vector<int>& samples) {
    std::vector<std::uint8_t> bytes;
    for (int d : {x, y, z}) {
        bytes.push_back(std::uint8_t(d & 0xff));
        bytes.push_back(std::uint8_t((d >> 8) & 0xff));
    }
    for (int s : samples) {
        bytes.push_back(std::uint8_t(s & 0xff));
        bytes.push_back(std::uint8_t((s >> 8) & 0xff));
    }
    return bytes;
}

// Counts what a load posts, and checks each phase's progress rises strictly within 1..100.
class LoadRecorder {
  public:
    explicit LoadRecorder(NotificationCenter& center)
        : progress_(center, kUpdateProgressBar, nullptr,
                    [this](const Notification& n) {
                        const std::string info = n.stringValue("info");
                        const int p = n.intValue("progress", -1);
                        int& last = lastProgress_[info];
                        if (p < 1 || p > 100 || p <= last)
                            problem_ = "progress '" + info + "' went from " + std::to_string(last) + " to " +
                                       std::to_string(p);
                        last = p;
                    }),
          newData_(center, kNewDataAvailable, nullptr, [this](const Notification&) { ++newData; }),
          failed_(center, kDataLoadFailed, nullptr, [this](const Notification& n) {
              ++failed;
              failReason = n.stringValue("info");
          }) {}

    void reset() {
        newData = failed = 0;
        failReason.clear();
        lastProgress_.clear();
    }
    const std::string& problem() const { return problem_; }

    int newData = 0;
    int failed = 0;
    std::string failReason;

  private:
    std::map<std::string, int> lastProgress_;
    std::string problem_;
    Observation progress_, newData_, failed_;
};

// Checks a loaded volume against the file bytes it came from.
inline std::string checkVolumeMatches(const VolumeData& v, const std::uint8_t* bytes, std::size_t size) {
    auto word = [&](std::size_t at) { return int(bytes[at]) | (int(bytes[at + 1]) << 8); };
    if (size < 6)
        return "a file under 6 bytes was loaded";
    if (v.xDim() != word(0) || v.yDim() != word(2) || v.zDim() != word(4))
        return "loaded dimensions differ from the header";
    const std::int64_t n = v.sampleCount();
    if (n > 0 && std::uint64_t(size) < 6 + 2 * std::uint64_t(n))
        return "a file shorter than its header promises was loaded";
    if (n == 0) {
        for (float o : v.occurrence())
            if (o != 0.0f)
                return "an empty volume has a histogram";
        return {};
    }

    // Densities: every sample, clamped to the domain.
    std::vector<std::int64_t> count(kMaxDensity, 0);
    for (std::int64_t i = 0; i < n; ++i) {
        const int expect = std::min(word(6 + 2 * std::size_t(i)), kMaxDensity - 1);
        if (v.densities()[i] != expect)
            return "sample " + std::to_string(i) + " read wrongly";
        if (expect > 10)
            ++count[expect];
    }
    // Histogram: counts of densities above 10, normalised by the largest.
    const std::int64_t most = *std::max_element(count.begin(), count.end());
    for (int d = 0; d < kMaxDensity; ++d) {
        const float expect = most == 0 ? 0.0f : float(count[d]) / float(most);
        if (v.getNormalizedOccurrenceForDensity(d) != expect)
            return "histogram entry " + std::to_string(d) + " is " +
                   std::to_string(v.getNormalizedOccurrenceForDensity(d)) + ", not " + std::to_string(expect);
    }
    // Gradients: finite, unit length or zero.
    for (std::int64_t i = 0; i < n; ++i) {
        const _Vector g = v.gradients()[i];
        const float len = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
        if (!std::isfinite(len) || (len != 0.0f && std::fabs(len - 1.0f) > 1e-3f))
            return "gradient " + std::to_string(i) + " has length " + std::to_string(len);
    }

    // Lookups: corners read their voxels, outside the grid reads the border, relative reads stay in
    // the domain.
    const int X = v.xDim() - 1, Y = v.yDim() - 1, Z = v.zDim() - 1;
    for (int c = 0; c < 8; ++c) {
        const int x = (c & 1) ? X : 0, y = (c & 2) ? Y : 0, z = (c & 4) ? Z : 0;
        const int voxel = v.densities()[v.index(x, y, z)];
        if (v.getDensity(x, y, z) != voxel)
            return "corner voxel lookup differs from its sample";
        if (v.getDensityForRelative(float(c & 1), float((c >> 1) & 1), float((c >> 2) & 1)) != voxel)
            return "relative lookup at a corner differs from its voxel";
        const int ox = (c & 1) ? X + 7 : -7, oy = (c & 2) ? Y + 1000 : -1, oz = (c & 4) ? Z + 1 : -100000;
        if (v.getDensity(ox, oy, oz) != voxel)
            return "a lookup outside the grid does not read the border";
    }
    for (float r : {0.0f, 0.25f, 0.5f, 0.999f, 1.0f}) {
        const int d = v.getDensityForRelative(r, 1.0f - r, r * 0.5f);
        if (d < 0 || d >= kMaxDensity)
            return "relative lookup left the density domain";
        const _Vector g = v.getGradientForRelative(r, r, 1.0f - r);
        if (!std::isfinite(g.x) || !std::isfinite(g.y) || !std::isfinite(g.z))
            return "relative gradient lookup is not finite";
    }
    return {};
}

// Loads a known volume, then the input from `path`; the outcome must be either the input's volume
// with "newDataAvailable", or the known volume untouched with the failure notification.
inline std::string checkVolumeLoad(const std::uint8_t* bytes, std::size_t size, const std::string& path) {
    NotificationCenter center;
    Data data(center);
    LoadRecorder rec(center);

    // The known volume sits beside the input and is written once.
    const std::string knownPath = path + ".known";
    if (!std::filesystem::exists(knownPath)) {
        const auto known = volumeFile(2, 1, 1, {100, 200});
        if (!writeFile(knownPath, known.data(), known.size()))
            return "cannot write " + knownPath;
    }
    data.loadFromFileName(knownPath);
    const auto before = data.volume();
    if (rec.newData != 1 || before->xDim() != 2)
        return "the known volume did not load";
    rec.reset();

    if (!writeFile(path, bytes, size))
        return "cannot write " + path;
    data.loadFromFileName(path);
    if (!rec.problem().empty())
        return rec.problem();
    const auto after = data.volume();
    if (rec.newData + rec.failed != 1)
        return "a load posted " + std::to_string(rec.newData) + " newDataAvailable and " +
               std::to_string(rec.failed) + " failures";
    if (rec.failed == 1) {
        if (after != before || data.xDim() != 2 || data.filename() != knownPath)
            return "a failed load changed the volume";
        if (rec.failReason.empty())
            return "a failure without a reason";
        return {};
    }
    if (after == before)
        return "newDataAvailable without a new volume";
    if (data.filename() != path || after->filename() != path)
        return "the new volume lost its file name";
    return checkVolumeMatches(*after, bytes, size);
}

// Settings for one render, read from the first bytes of a fuzz input. Floats are taken bit for
// bit, so NaN, infinities and huge angles come up as often as ordinary values.
struct RenderSettings {
    static constexpr std::size_t kBytes = 20;
    int kind = 0;  // 0 slices, 1 volume, 2 MIP
    int resolution = 0;
    int quality = 0;
    bool shading = false;
    int axis = 0;
    float depth = 0.0f;
    _Vector orientation{0.0f, 0.0f, 0.0f};

    static RenderSettings from(const std::uint8_t* b) {
        auto f = [&](std::size_t at) {
            float v;
            std::memcpy(&v, b + at, sizeof v);
            return v;
        };
        RenderSettings s;
        s.kind = b[0] % 3;
        s.resolution = int(b[1] % 16) - 2;  // small images, and a few refused values below 0
        s.quality = b[2] % 3 == 2 ? int(std::int8_t(b[2])) : b[2] % 2;
        s.shading = b[3] & 1;
        s.axis = int(std::int8_t(b[3])) >> 1;
        s.depth = f(4);
        s.orientation = MakeVector(f(8), f(12), f(16));
        return s;
    }
};

// Loads the volume after the settings bytes and renders it once: the image, if any, has the
// renderer's size, a slice shows only transfer-function entries, a ray-cast image is opaque, and
// neither the volume nor the transfer function changes.
inline std::string checkRender(const std::uint8_t* bytes, std::size_t size, const std::string& path) {
    if (size < RenderSettings::kBytes)
        return {};
    const RenderSettings s = RenderSettings::from(bytes);
    NotificationCenter center;
    Data data(center);
    if (!writeFile(path, bytes + RenderSettings::kBytes, size - RenderSettings::kBytes))
        return "cannot write " + path;
    data.loadFromFileName(path);
    const auto volume = data.volume();

    TransferFkt fkt(center);
    const std::uint8_t red[4] = {255, 0, 0, 0};
    fkt.addRGBReferencePointForDensity(1000, red);
    fkt.addOpacityReferencePointForDensity(200, 0);
    fkt.addOpacityReferencePointForDensity(3000, 90);
    const ColorTable table = fkt.table();

    std::unique_ptr<Renderer> r;
    if (s.kind == 0) {
        auto slices = std::make_unique<Slices>(data, fkt);
        slices->setAxis(s.axis);
        slices->setDepth(s.depth);
        r = std::move(slices);
    } else if (s.kind == 1) {
        r = std::make_unique<Volume>(data, fkt);
    } else {
        r = std::make_unique<MIP>(data, fkt);
    }
    r->setMaxImageResolution(s.resolution);
    r->setQuality(s.quality);
    r->setDoShading(s.shading);
    r->setOrientation(s.orientation);
    const std::shared_ptr<const RgbaImage> image = r->imageRef();

    if (data.volume() != volume)
        return "a render changed the volume";
    if (fkt.table() != table)
        return "a render changed the transfer function";
    if (!image)
        return {};
    if (image->width != r->width() || image->height != r->height() ||
        image->pixels.size() != std::size_t(4) * image->width * image->height)
        return std::string(r->className()) + " image does not have the renderer's size";
    auto word = [](const std::uint8_t* p) {
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    };
    std::vector<std::uint32_t> entries(kMaxDensity);
    for (int d = 0; d < kMaxDensity; ++d)
        entries[d] = word(table.data() + 4 * d);
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
        const std::uint8_t* px = image->pixels.data() + i;
        if (s.kind == 1 && px[3] != 255)
            return "a ray-cast pixel is not opaque";
        if (s.kind == 0 && !std::binary_search(entries.begin(), entries.end(), word(px)))
            return "a slice pixel is no transfer-function entry";
    }
    return {};
}

// The text's lines as the reader splits them: at each '\n', with a last line only when the
// text does not end in one.
inline std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Applies the text to a fresh transfer function and holds the result against the reader's own
// answers for each line alone: refused text leaves the function as it was and names a line that
// is refused alone for the same reason after lines that are accepted alone; accepted text gives
// the table and reference points of its lines applied one after another, and applying it again
// changes nothing.
inline std::string checkTransferText(const std::string& text) {
    NotificationCenter center;
    TransferFkt fkt(center);
    const ColorTable before = fkt.table();
    std::string error;
    const bool ok = applyTransferFktText(text, fkt, &error);
    const ColorTable after = fkt.table();

    if (!fkt.isRGBReferencePoint(0) || !fkt.isRGBReferencePoint(kMaxDensity - 1) ||
        !fkt.isOpacityReferencePoint(0) || !fkt.isOpacityReferencePoint(kMaxDensity - 1))
        return "an end point stopped being a reference point";
    if (fkt.tableAsIs() != after)
        return "the table is stale after a read";
    for (int d : {-2147483647 - 1, -1, 0, 4095, 4096, 2147483647}) {
        std::uint8_t rgba[4];
        fkt.getRGBA(rgba, d);
        const int at = 4 * std::clamp(d, 0, kMaxDensity - 1);
        if (std::memcmp(rgba, after.data() + at, 4) != 0)
            return "getRGBA disagrees with the table";
    }

    const std::string tooLarge = "transfer function text larger than ";
    const std::vector<std::string> lines = textLines(text);
    TransferFkt stepwise(center);
    std::size_t refusedLine = 0;  // 1-based; 0 while every line alone is accepted
    std::string lineError;
    for (std::size_t i = 0; i < lines.size() && refusedLine == 0; ++i) {
        // After the first line a byte-order mark is an ordinary (unknown) word: an empty line first
        // keeps it one ("line 2: " is as long as the "line 1: " the comparison below drops).
        if (!applyTransferFktText(i == 0 ? lines[i] : "\n" + lines[i], stepwise, &lineError))
            refusedLine = i + 1;
    }

    if (!ok) {
        if (error.empty())
            return "refused without an error";
        if (error.find('\n') != std::string::npos)
            return "the error is more than one line";
        if (after != before)
            return "refused text changed the table";
        for (int d = 1; d < kMaxDensity - 1; ++d)
            if (fkt.isRGBReferencePoint(d) || fkt.isOpacityReferencePoint(d))
                return "refused text left a reference point";
        if (error.rfind(tooLarge, 0) == 0)
            return {};
        const std::string prefix = "line " + std::to_string(refusedLine) + ": ";
        if (refusedLine == 0 || error != prefix + lineError.substr(std::strlen("line 1: ")))
            return "refused as '" + error + "', but the first line refused alone is " +
                   std::to_string(refusedLine) + " ('" + lineError + "')";
        return {};
    }
    if (refusedLine != 0)
        return "accepted text whose line " + std::to_string(refusedLine) + " alone is refused: " + lineError;
    if (stepwise.table() != after)
        return "the lines applied one by one give another table";
    for (int d = 0; d < kMaxDensity; ++d) {
        if (stepwise.isRGBReferencePoint(d) != fkt.isRGBReferencePoint(d) ||
            stepwise.isOpacityReferencePoint(d) != fkt.isOpacityReferencePoint(d))
            return "the lines applied one by one give other reference points (density " + std::to_string(d) +
                   ")";
    }
    if (!applyTransferFktText(text, fkt, &error) || fkt.table() != after)
        return "applying accepted text a second time changed the table";
    return {};
}

}  // namespace qz::fuzz
