#include "transfer/TransferFkt.h"

#include <algorithm>

namespace qz {

namespace {

bool inDomain(int density) {
    return density >= 0 && density < kMaxDensity;
}

int clampDensity(int density) {
    return std::clamp(density, 0, kMaxDensity - 1);
}

// Byte of a running value: truncation toward zero, kept inside the byte's range.
std::uint8_t truncateToByte(float v) {
    if (!(v > 0.0f))
        return 0;
    if (v >= 255.0f)
        return 255;
    return static_cast<std::uint8_t>(static_cast<int>(v));
}

}  // namespace

TransferFktPoints TransferFktPoints::greyRamp() {
    return {{{0, 0, 0, 0}, {kMaxDensity - 1, 255, 255, 255}}, {{0, 255}, {kMaxDensity - 1, 255}}};
}

TransferFkt& TransferFkt::sharedInstance() {
    // Never destroyed: renderers and observers may still read it while statics are torn down.
    static TransferFkt* instance = new TransferFkt();
    return *instance;
}

TransferFkt::TransferFkt(NotificationCenter& center) : center_(center) {
    std::lock_guard lock(mutex_);
    createLookupTables();
    created_ = true;
}

void TransferFkt::createLookupTables() {
    isColorFixedPerDensity_.assign(kMaxDensity, 0);
    isOpacityFixedPerDensity_.assign(kMaxDensity, 0);
    table_.fill(0);

    // A grey ramp from black to white, opaque everywhere. Built through the ordinary edit
    // operations so the first table comes out exactly as later edits would compute it.
    const std::uint8_t black[4] = {0, 0, 0, 0};
    const std::uint8_t white[4] = {255, 255, 255, 0};
    addRGBReferencePointForDensity(0, black);
    addRGBReferencePointForDensity(kMaxDensity - 1, white);
    addOpacityReferencePointForDensity(0, 255);
    addOpacityReferencePointForDensity(kMaxDensity - 1, 255);
    update();
}

void TransferFkt::postChanged(int count) {
    // Called without the lock, so observers may read or edit the model from their handlers.
    for (int i = 0; i < count; ++i)
        center_.post(kTransferFktChanged);
}

void TransferFkt::setNeedsUpdateRGB(bool needsUpdate) {
    std::lock_guard lock(mutex_);
    needsUpdateRGB_ = needsUpdate;
}

void TransferFkt::setNeedsUpdateOpacity(bool needsUpdate) {
    std::lock_guard lock(mutex_);
    needsUpdateOpacity_ = needsUpdate;
}

bool TransferFkt::needsUpdateRGB() const {
    std::lock_guard lock(mutex_);
    return needsUpdateRGB_;
}

bool TransferFkt::needsUpdateOpacity() const {
    std::lock_guard lock(mutex_);
    return needsUpdateOpacity_;
}

int TransferFkt::updateLocked() {
    int posts = 0;
    if (needsUpdateRGB_)
        posts += walkLocked(true);
    if (needsUpdateOpacity_)
        posts += walkLocked(false);
    return posts;
}

int TransferFkt::readLocked(std::uint8_t* rgba, int density) {
    // A read brings the table up to date first; the caller posts what the walks announced.
    int posts = 0;
    if (needsUpdateRGB_ || needsUpdateOpacity_)
        posts = updateLocked();
    const std::size_t at = 4 * std::size_t(clampDensity(density));
    std::copy_n(table_.begin() + at, 4, rgba);
    return posts;
}

int TransferFkt::walkLocked(bool color) {
    const std::vector<std::int32_t>& fixed = color ? isColorFixedPerDensity_ : isOpacityFixedPerDensity_;
    const int firstChannel = color ? 0 : 3;
    const int channels = color ? 3 : 1;
    int posts = 0;

    if (color) {
        needsUpdateRGB_ = false;
    } else {
        needsUpdateOpacity_ = false;
    }

    // Step from one reference point to the next; both ends are always reference points.
    int i = 0;
    while (i < kMaxDensity - 1) {
        // Reading through the lazy path lets a pending walk of the other kind run first.
        std::uint8_t start[4];
        posts += readLocked(start, i);
        float v[3];
        for (int c = 0; c < channels; ++c)
            v[c] = float(start[firstChannel + c]) + 0.5f;
        if (i + 1 >= kMaxDensity - 1)
            break;

        int j = i + 1;
        while (j < kMaxDensity - 1 && fixed[j] == 0)
            ++j;
        std::uint8_t end[4];
        posts += readLocked(end, j);

        // n counts the densities strictly between the points; the one below j gets j's value.
        const int n = j - i - 1;
        if (n > 0) {
            float step[3];
            for (int c = 0; c < channels; ++c) {
                const int diff = int(end[firstChannel + c]) - int(start[firstChannel + c]);
                step[c] = float(diff) / float(n);
            }
            for (int k = 1; k <= n; ++k) {
                std::uint8_t* entry = table_.data() + 4 * std::size_t(i + k);
                for (int c = 0; c < channels; ++c) {
                    v[c] += step[c];
                    entry[firstChannel + c] = truncateToByte(v[c]);
                }
            }
        }
        i = j;
    }

    if (created_)
        ++posts;
    return posts;
}

void TransferFkt::update() {
    int posts;
    {
        std::lock_guard lock(mutex_);
        posts = updateLocked();
    }
    postChanged(posts);
}

void TransferFkt::updateRGBPerDensity() {
    int posts;
    {
        std::lock_guard lock(mutex_);
        posts = walkLocked(true);
    }
    postChanged(posts);
}

void TransferFkt::updateOpacityPerDensity() {
    int posts;
    {
        std::lock_guard lock(mutex_);
        posts = walkLocked(false);
    }
    postChanged(posts);
}

ColorTable TransferFkt::table() {
    ColorTable copy;
    int posts;
    {
        std::lock_guard lock(mutex_);
        posts = 0;
        if (needsUpdateRGB_ || needsUpdateOpacity_)
            posts = updateLocked();
        copy = table_;
    }
    postChanged(posts);
    return copy;
}

ColorTable TransferFkt::tableAsIs() const {
    std::lock_guard lock(mutex_);
    return table_;
}

void TransferFkt::setRGBA(const std::uint8_t* rgba, int density) {
    if (!inDomain(density))
        return;
    std::lock_guard lock(mutex_);
    std::copy_n(rgba, 4, table_.begin() + 4 * std::size_t(density));
}

void TransferFkt::getRGBA(std::uint8_t* rgba, int density) {
    int posts;
    {
        std::lock_guard lock(mutex_);
        posts = readLocked(rgba, density);
    }
    postChanged(posts);
}

void TransferFkt::setColor(const Color& color, int density) {
    if (!inDomain(density))
        return;
    // Components outside 0 .. 1 are limited so the byte conversion stays defined.
    auto toByte = [](float component) {
        const double scaled = double(std::clamp(component, 0.0f, 1.0f)) * 255.0;
        return static_cast<std::uint8_t>(static_cast<int>(scaled));
    };
    const std::uint8_t rgba[4] = {toByte(color.red), toByte(color.green), toByte(color.blue),
                                  toByte(color.alpha)};
    setRGBA(rgba, density);
}

Color TransferFkt::getColorForDensity(int density) {
    std::uint8_t rgba[4];
    getRGBA(rgba, density);
    constexpr double kByteToUnit = 0.00392156862745098;
    return Color{float(rgba[0] * kByteToUnit), float(rgba[1] * kByteToUnit), float(rgba[2] * kByteToUnit),
                 float(rgba[3] * kByteToUnit)};
}

void TransferFkt::addRGBReferencePointForDensity(int density, const std::uint8_t* rgba) {
    if (!inDomain(density))
        return;
    std::lock_guard lock(mutex_);
    isColorFixedPerDensity_[density] = 1;
    std::copy_n(rgba, 3, table_.begin() + 4 * std::size_t(density));
    needsUpdateRGB_ = true;
}

void TransferFkt::removeRGBReferencePointForDensity(int density) {
    // The walks start at density 0 and stop at the last density: the ends stay reference points.
    if (density <= 0 || density >= kMaxDensity - 1)
        return;
    std::lock_guard lock(mutex_);
    isColorFixedPerDensity_[density] = 0;
    needsUpdateRGB_ = true;
}

bool TransferFkt::isRGBReferencePoint(int density) const {
    if (!inDomain(density))
        return false;
    std::lock_guard lock(mutex_);
    return isColorFixedPerDensity_[density] != 0;
}

void TransferFkt::addOpacityReferencePointForDensity(int density, std::uint8_t opacity) {
    if (!inDomain(density))
        return;
    int posts;
    {
        std::lock_guard lock(mutex_);
        isOpacityFixedPerDensity_[density] = 1;
        // The read runs a pending update first, so the entry's colour is current when written back.
        std::uint8_t rgba[4];
        posts = readLocked(rgba, density);
        rgba[3] = opacity;
        std::copy_n(rgba, 4, table_.begin() + 4 * std::size_t(density));
        needsUpdateOpacity_ = true;
    }
    postChanged(posts);
}

void TransferFkt::removeOpacityReferencePointForDensity(int density) {
    if (density <= 0 || density >= kMaxDensity - 1)
        return;
    std::lock_guard lock(mutex_);
    isOpacityFixedPerDensity_[density] = 0;
    needsUpdateOpacity_ = true;
}

bool TransferFkt::isOpacityReferencePoint(int density) const {
    if (!inDomain(density))
        return false;
    std::lock_guard lock(mutex_);
    return isOpacityFixedPerDensity_[density] != 0;
}

TransferFktPoints TransferFkt::referencePoints() const {
    // A reference point's own entry holds its value whatever walks are pending.
    std::lock_guard lock(mutex_);
    TransferFktPoints points;
    for (int d = 0; d < kMaxDensity; ++d) {
        const std::uint8_t* entry = table_.data() + 4 * std::size_t(d);
        if (isColorFixedPerDensity_[d] != 0)
            points.color.push_back({d, entry[0], entry[1], entry[2]});
        if (isOpacityFixedPerDensity_[d] != 0)
            points.opacity.push_back({d, entry[3]});
    }
    return points;
}

void TransferFkt::setReferencePoints(const TransferFktPoints& points) {
    {
        std::lock_guard lock(mutex_);
        for (int d = 1; d < kMaxDensity - 1; ++d) {
            isColorFixedPerDensity_[d] = 0;
            isOpacityFixedPerDensity_[d] = 0;
        }
        for (const TransferFktPoints::ColorPoint& p : points.color) {
            if (!inDomain(p.density))
                continue;
            std::uint8_t* entry = table_.data() + 4 * std::size_t(p.density);
            entry[0] = p.red;
            entry[1] = p.green;
            entry[2] = p.blue;
            isColorFixedPerDensity_[p.density] = 1;
        }
        for (const TransferFktPoints::OpacityPoint& p : points.opacity) {
            if (!inDomain(p.density))
                continue;
            table_[4 * std::size_t(p.density) + 3] = p.opacity;
            isOpacityFixedPerDensity_[p.density] = 1;
        }
        needsUpdateRGB_ = true;
        needsUpdateOpacity_ = true;
    }
    update();
}

}  // namespace qz
