// MetaImage (.mha, and .mhd with its data file) through MetaIO, the MetaImage reader ITK ships on
// its own.

#include <metaImage.h>

#include <iostream>
#include <sstream>

#include "io/Densities.h"
#include "io/ReaderSupport.h"
#include "io/Readers.h"

namespace qz::io {

namespace {

SampleType sampleType(MET_ValueEnumType type) {
    switch (type) {
        case MET_CHAR:
            return SampleType::Int8;
        case MET_UCHAR:
            return SampleType::UInt8;
        case MET_SHORT:
            return SampleType::Int16;
        case MET_USHORT:
            return SampleType::UInt16;
        case MET_INT:
        case MET_LONG:
            return SampleType::Int32;
        case MET_UINT:
        case MET_ULONG:
            return SampleType::UInt32;
        case MET_LONG_LONG:
            return SampleType::Int64;
        case MET_ULONG_LONG:
            return SampleType::UInt64;
        case MET_FLOAT:
            return SampleType::Float32;
        case MET_DOUBLE:
            return SampleType::Float64;
        default:
            throw ScanError("unsupported MetaImage element type");
    }
}

// MetaIO reports on std::cerr; while it runs, its words are kept for our own message instead.
class QuietCerr {
  public:
    QuietCerr() : old_(std::cerr.rdbuf(words_.rdbuf())) {}
    ~QuietCerr() { std::cerr.rdbuf(old_); }
    // The first line MetaIO wrote so far, or nothing.
    std::string said() const {
        const std::string words = words_.str();
        return words.substr(0, words.find('\n'));
    }

  private:
    std::ostringstream words_;
    std::streambuf* old_;
};

class MetaImageReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        return hasSuffix(path, ".mha") || hasSuffix(path, ".mhd");
    }

    Scan read(const std::string& path, const ReadOptions& options, ProgressPoster& progress) const override {
        const QuietStderr silent;
        const QuietCerr quiet;
        MetaImage image;
        // The header first: sizes are checked before the library allocates anything.
        if (!image.Read(path.c_str(), false))
            throw ScanError("not a readable MetaImage header");
        const int ndims = image.NDims();
        if (ndims < 1 || ndims > 3)
            throw ScanError("the header gives " + std::to_string(ndims) + " dimensions (1 .. 3 load)");
        if (image.ElementNumberOfChannels() != 1)
            throw ScanError(
                "samples with several components (colour or vector) cannot be shown as densities");
        const SampleType type = sampleType(image.ElementType());
        Scan scan;
        std::array<std::int64_t, 3> dims{1, 1, 1};
        for (int a = 0; a < ndims; ++a)
            dims[a] = image.DimSize(a);
        checkScanFits(dims, dims[0] * dims[1] * dims[2] * bytesPerSample(type));
        for (int a = 0; a < 3; ++a) {
            scan.dims[a] = int(dims[a]);
            scan.spacing[a] = a < ndims ? spacingOrOne(image.ElementSpacing(a), a, scan.notes) : 1.0;
        }
        MetaImage full;
        // MetaIO complains about a short data file but may still answer true.
        if (!full.Read(path.c_str(), true) || !quiet.said().empty() || !full.ElementData() ||
            full.ElementType() != image.ElementType() || full.Quantity() != dims[0] * dims[1] * dims[2]) {
            throw ScanError(
                "the samples cannot be read (missing or short data file, or damaged compression)" +
                (quiet.said().empty() ? std::string() : ": " + quiet.said()));
        }
        progress.postIfHigher(100);
        Samples source;
        source.data = full.ElementData();
        source.type = type;
        source.count = dims[0] * dims[1] * dims[2];
        scan.densities = densitiesOf(source, options, scan.notes);
        return scan;
    }
};

}  // namespace

std::unique_ptr<VolumeReader> makeMetaImageReader() {
    return std::make_unique<MetaImageReader>();
}

}  // namespace qz::io
