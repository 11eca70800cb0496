// NIfTI-1 and NIfTI-2 (.nii, .nii.gz) through the NIfTI C library.

#include <nifti2_io.h>

#include <cstdlib>
#include <memory>

#include "io/Densities.h"
#include "io/ReaderSupport.h"
#include "io/Readers.h"

namespace qz::io {

namespace {

struct ImageFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};

// The sample type of a NIfTI data type; complex and colour data are refused.
SampleType sampleType(int datatype) {
    switch (datatype) {
        case DT_UINT8:
            return SampleType::UInt8;
        case DT_INT8:
            return SampleType::Int8;
        case DT_UINT16:
            return SampleType::UInt16;
        case DT_INT16:
            return SampleType::Int16;
        case DT_UINT32:
            return SampleType::UInt32;
        case DT_INT32:
            return SampleType::Int32;
        case DT_UINT64:
            return SampleType::UInt64;
        case DT_INT64:
            return SampleType::Int64;
        case DT_FLOAT32:
            return SampleType::Float32;
        case DT_FLOAT64:
            return SampleType::Float64;
        case DT_COMPLEX64:
        case DT_COMPLEX128:
        case DT_COMPLEX256:
            throw ScanError("complex samples cannot be shown as densities");
        case DT_RGB24:
        case DT_RGBA32:
            throw ScanError("colour (RGB) samples cannot be shown as densities");
        default:
            throw ScanError("unsupported NIfTI data type " + std::to_string(datatype));
    }
}

class NiftiReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        return hasSuffix(path, ".nii") || hasSuffix(path, ".nii.gz");
    }

    Scan read(const std::string& path, const ReadOptions& options, ProgressPoster& progress) const override {
        nifti_set_debug_level(0);  // the library's own messages would go to standard error
        std::unique_ptr<nifti_image, ImageFree> image;
        {
            const QuietStderr quiet;
            image.reset(nifti_image_read(path.c_str(), 0));
        }
        if (!image)
            throw ScanError("not a readable NIfTI file (missing, or its header is damaged)");
        Scan scan;
        const SampleType type = sampleType(image->datatype);
        if (image->ndim < 1 || image->ndim > 7)
            throw ScanError("header gives " + std::to_string(image->ndim) + " dimensions (1 .. 7 allowed)");
        // Dimensions beyond the third count volumes; the first is read.
        std::int64_t volumes = 0;
        const std::vector<std::int64_t> extra = {
            image->dim[4] < 1 ? 1 : image->dim[4], image->dim[5] < 1 ? 1 : image->dim[5],
            image->dim[6] < 1 ? 1 : image->dim[6], image->dim[7] < 1 ? 1 : image->dim[7]};
        if (image->ndim < 4) {
            volumes = 1;
        } else if (!productFits({extra.begin(), extra.begin() + (image->ndim - 3)}, volumes)) {
            throw ScanError("header sizes overflow");
        }
        std::array<std::int64_t, 3> dims{1, 1, 1};
        for (int a = 0; a < std::min<int>(3, int(image->ndim)); ++a)
            dims[a] = image->dim[a + 1];
        checkScanFits(dims, dims[0] * dims[1] * dims[2] * bytesPerSample(type));
        if (volumes > 1)
            scan.notes.push_back("holds " + std::to_string(volumes) + " volumes; the first is shown");
        for (int a = 0; a < 3; ++a) {
            scan.dims[a] = int(dims[a]);
            scan.spacing[a] = a < image->ndim ? spacingOrOne(image->pixdim[a + 1], a, scan.notes) : 1.0;
        }

        // The first volume only: index 0 on every dimension past the third.
        const int64_t which[8] = {0, -1, -1, -1, 0, 0, 0, 0};
        void* raw = nullptr;
        const std::int64_t count = dims[0] * dims[1] * dims[2];
        std::int64_t got;
        {
            const QuietStderr quiet;
            got = nifti_read_collapsed_image(image.get(), which, &raw);
        }
        const std::unique_ptr<void, decltype(&std::free)> samples(raw, &std::free);
        if (got != count * bytesPerSample(type))
            throw ScanError("the file ends before its samples do (truncated or damaged)");
        progress.postIfHigher(100);

        Samples source;
        source.data = samples.get();
        source.type = type;
        source.count = count;
        // A slope of 0 (or not a number) means the stored values are the values.
        if (std::isfinite(image->scl_slope) && image->scl_slope != 0.0 && std::isfinite(image->scl_inter))
            source.rescale = {Rescale{image->scl_slope, image->scl_inter}};
        scan.densities = densitiesOf(source, options, scan.notes);
        return scan;
    }
};

}  // namespace

std::unique_ptr<VolumeReader> makeNiftiReader() {
    return std::make_unique<NiftiReader>();
}

}  // namespace qz::io
