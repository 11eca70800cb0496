#include "render/Slices.h"

#include <cstring>
#include <vector>

#include "platform/Progress.h"
#include "platform/Threads.h"
#include "render/Sampling.h"

namespace qz {

namespace {

// The image size of a section of `volume` along `axis`, its longer side `resolution`; with uneven
// spacing the sides keep the section's physical proportions.
void sectionSize(const VolumeData& volume, int axis, int resolution, int* width, int* height) {
    const int columnAxis = axis == 0 ? 2 : 0, rowAxis = axis == 1 ? 2 : 1;
    const int dims[3] = {volume.xDim(), volume.yDim(), volume.zDim()};
    int w = dims[columnAxis];
    int h = dims[rowAxis];
    if (!volume.evenSpacing()) {
        const double wl = w * volume.spacing()[columnAxis], hl = h * volume.spacing()[rowAxis];
        *width = wl > hl ? resolution : static_cast<int>(double(resolution) * wl / hl);
        *height = wl > hl ? static_cast<int>(double(resolution) * hl / wl) : resolution;
        return;
    }
    const float r = static_cast<float>(resolution);
    if (w > h) {
        *width = resolution;
        *height = static_cast<int>(r * static_cast<float>(h) / static_cast<float>(w));
    } else {
        *height = resolution;
        *width = static_cast<int>(r * static_cast<float>(w) / static_cast<float>(h));
    }
}

}  // namespace

Slices::Slices(Data& data, TransferFkt& transferFkt) : Renderer(data, transferFkt, DeferObservation{}) {
    setMaxImageResolution(100);
    observeNewData();
}

Slices::~Slices() {
    stopObservingNewData();
}

std::unique_ptr<Renderer> Slices::createSameClass() const {
    return std::make_unique<Slices>(data_, transferFkt_);
}

void Slices::processNewData() {
    // Size first, then the flag: a render that clears the flag in between still sees the
    // flag set again afterwards.
    std::lock_guard lock(mutex_);
    calcWidthHeight();
    markStale();
}

void Slices::setMaxImageResolution(int resolution) {
    if (!acceptResolution(resolution))
        return;
    std::lock_guard lock(mutex_);
    maxImageResolution_ = resolution;
    calcWidthHeight();
    markStale();
}

void Slices::setDepth(float depth) {
    std::lock_guard lock(mutex_);
    depth_ = depth;
    markStale();
}

float Slices::depth() const {
    std::lock_guard lock(mutex_);
    return depth_;
}

void Slices::setAxis(int axis) {
    std::lock_guard lock(mutex_);
    axis_ = axis;
    calcWidthHeight();
    markStale();
}

int Slices::axis() const {
    std::lock_guard lock(mutex_);
    return axis_;
}

void Slices::calcWidthHeight() {
    const std::shared_ptr<const VolumeData> volume = data_.volume();
    if (!volume->hasData())
        return;
    std::lock_guard lock(mutex_);
    sectionSize(*volume, axis_, maxImageResolution_, &width_, &height_);
}

std::shared_ptr<const RgbaImage> Slices::updateImageRef() {
    // The volume first, then its section's size: a load landing before its "newDataAvailable"
    // reaches processNewData must not pair the new samples with the old volume's size.
    const std::shared_ptr<const VolumeData> volume = data_.volume();
    // No pixels without a volume: also after a load of an empty volume, which keeps the old size.
    if (!volume->hasData())
        return nullptr;
    int width, height, axis;
    float depth;
    {
        std::lock_guard lock(mutex_);
        axis = axis_;
        depth = depth_;
        sectionSize(*volume, axis, maxImageResolution_, &width, &height);
    }
    const ColorTable table = transferFkt_.table();
    if (width <= 0 || height <= 0)
        return nullptr;

    std::shared_ptr<RgbaImage> image = allocateImage(width, height);

    // The image coordinates advance by repeated single-precision additions, column by column
    // and row by row; precomputing them keeps every pixel's coordinates identical.
    const float du = static_cast<float>(1.0 / width);
    const float dv = static_cast<float>(1.0 / height);
    std::vector<float> us(width), vs(height);
    float u = 0.0f;
    for (int c = 0; c < width; ++c, u += du)
        us[c] = u;
    float v = 0.0f;
    for (int r = 0; r < height; ++r, v += dv)
        vs[r] = v;

    // Which volume axis the columns, the rows and the depth run along.
    int columnAxis = 0, rowAxis = 1, depthAxis = 2;
    if (axis == 0) {
        columnAxis = 2;
        rowAxis = 1;
        depthAxis = 0;
    } else if (axis == 1) {
        columnAxis = 0;
        rowAxis = 2;
        depthAxis = 1;
    }
    const int dims[3] = {volume->xDim(), volume->yDim(), volume->zDim()};
    // Every pixel's lookup is the volume's interpolated one; its cell and fraction per axis depend
    // on the column, the row or the depth alone, so they are found once each.
    std::vector<sampling::AxisCell> columnCells(width), rowCells(height);
    for (int c = 0; c < width; ++c)
        columnCells[c] = sampling::axisCell(us[c], dims[columnAxis]);
    for (int r = 0; r < height; ++r)
        rowCells[r] = sampling::axisCell(vs[r], dims[rowAxis]);
    const sampling::AxisCell depthCell = sampling::axisCell(depth, dims[depthAxis]);
    const sampling::CellReader reader(*volume);

    ParallelProgress progress(lookBehindPercentSchedule(std::int64_t(width) * height), "calculate slice",
                              data_.notificationCenter());
    std::uint8_t* pixels = image->pixels.data();
    parallelChunks(height, 16, [&](std::int64_t rowBegin, std::int64_t rowEnd) {
        if (cancelled_.load(std::memory_order_relaxed))
            return;  // the rows left are never shown
        sampling::AxisCell cells[3];
        cells[depthAxis] = depthCell;
        for (std::int64_t r = rowBegin; r < rowEnd; ++r) {
            cells[rowAxis] = rowCells[r];
            std::uint8_t* out = pixels + std::size_t(4) * std::size_t(width) * std::size_t(r);
            for (int c = 0; c < width; ++c, out += 4) {
                cells[columnAxis] = columnCells[c];
                const int density = reader.density(reader.corners(cells[0], cells[1], cells[2]),
                                                   cells[0].fraction, cells[1].fraction, cells[2].fraction);
                std::memcpy(out, table.data() + 4 * density, 4);
            }
        }
        progress.addDone((rowEnd - rowBegin) * width);
    });
    progress.finish();
    return image;
}

}  // namespace qz
