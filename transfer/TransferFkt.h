#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "data/Data.h"
#include "platform/NotificationCenter.h"

namespace qz {

// Colour with single-precision components in 0 .. 1 (device RGB).
struct Color {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
    float alpha = 1.0f;
};

// The reference points that define a transfer function, each kind by rising density: colour points
// fix red, green and blue, opacity points the opacity. The table follows from them alone.
struct TransferFktPoints {
    struct ColorPoint {
        int density = 0;
        std::uint8_t red = 0, green = 0, blue = 0;
        bool operator==(const ColorPoint&) const = default;
    };
    struct OpacityPoint {
        int density = 0;
        std::uint8_t opacity = 0;
        bool operator==(const OpacityPoint&) const = default;
    };
    std::vector<ColorPoint> color;
    std::vector<OpacityPoint> opacity;
    bool operator==(const TransferFktPoints&) const = default;

    // The points of a new function: black to white, opaque everywhere.
    static TransferFktPoints greyRamp();
};

// The 4096-entry RGBA table (bytes red, green, blue, alpha per density), as the renderers read it.
using ColorTable = std::array<std::uint8_t, 4 * kMaxDensity>;

// The transfer function: a colour and an opacity per density, interpolated between reference
// points of two kinds. Edits mark the table stale; update() or the next read brings it up to
// date and posts "transferFktChanged" once per interpolation walk. Safe to edit on one thread
// while others read; renderers classify from a copy taken with table().
class TransferFkt {
  public:
    static TransferFkt& sharedInstance();  // created on first use (grey ramp), never destroyed

    explicit TransferFkt(NotificationCenter& center = NotificationCenter::defaultCenter());
    TransferFkt(const TransferFkt&) = delete;
    TransferFkt& operator=(const TransferFkt&) = delete;

    int maxDensity() const { return kMaxDensity; }
    // Where "transferFktChanged" is posted.
    NotificationCenter& notificationCenter() const { return center_; }

    void setNeedsUpdateRGB(bool needsUpdate);
    void setNeedsUpdateOpacity(bool needsUpdate);
    bool needsUpdateRGB() const;
    bool needsUpdateOpacity() const;
    void update();
    void updateRGBPerDensity();
    void updateOpacityPerDensity();

    // The raw table without bringing it up to date (edits may be pending). Read it only on the
    // editing thread; renderers use table().
    const std::uint8_t* colorTable() const { return table_.data(); }
    // An up-to-date copy of the table.
    ColorTable table();
    // A copy of the table as it stands, pending edits not applied (what the editor's gradient shows).
    ColorTable tableAsIs() const;

    // Densities outside 0 .. kMaxDensity - 1 are ignored by the writers and limited to the domain by
    // the readers. The end points 0 and kMaxDensity - 1 cannot be removed.
    void setRGBA(const std::uint8_t* rgba, int density);
    void getRGBA(std::uint8_t* rgba, int density);
    void setColor(const Color& color, int density);
    Color getColorForDensity(int density);

    void addRGBReferencePointForDensity(int density, const std::uint8_t* rgba);
    void removeRGBReferencePointForDensity(int density);
    bool isRGBReferencePoint(int density) const;
    void addOpacityReferencePointForDensity(int density, std::uint8_t opacity);
    void removeOpacityReferencePointForDensity(int density);
    bool isOpacityReferencePoint(int density) const;

    // Every reference point with its value.
    TransferFktPoints referencePoints() const;
    // Makes points the only reference points and brings the table up to date: the same table as
    // any sequence of edits that leaves these points. Points outside the domain are ignored; an end
    // point that points leave out keeps its value.
    void setReferencePoints(const TransferFktPoints& points);

  private:
    void createLookupTables();
    // Runs the walks that are due under the lock; returns how many notifications to post.
    int updateLocked();
    int walkLocked(bool color);
    // Copies one entry (density limited to the domain), running pending walks first.
    int readLocked(std::uint8_t* rgba, int density);
    void postChanged(int count);

    NotificationCenter& center_;
    mutable std::recursive_mutex mutex_;
    ColorTable table_{};
    std::vector<std::int32_t> isColorFixedPerDensity_;
    std::vector<std::int32_t> isOpacityFixedPerDensity_;
    bool needsUpdateRGB_ = false;
    bool needsUpdateOpacity_ = false;
    bool created_ = false;  // no notification while the tables are first built
};

}  // namespace qz
