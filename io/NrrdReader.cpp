// NRRD (.nrrd, and .nhdr with its data file) through NrrdIO, the NRRD reader ITK ships on its own.

#include <NrrdIO.h>

#include <cstdlib>
#include <memory>

#include "io/Densities.h"
#include "io/ReaderSupport.h"
#include "io/Readers.h"

namespace qz::io {

namespace {

struct NrrdFree {
    void operator()(Nrrd* nrrd) const { nrrdNuke(nrrd); }
};
struct IoStateFree {
    void operator()(NrrdIoState* state) const { nrrdIoStateNix(state); }
};

// The innermost line of NrrdIO's error report, which names the actual problem.
std::string lastError() {
    char* text = biffGetDone(NRRD);
    std::string report = text ? text : "";
    std::free(text);
    while (!report.empty() && (report.back() == '\n' || report.back() == ' '))
        report.pop_back();
    const auto newline = report.find_last_of('\n');
    std::string line = newline == std::string::npos ? report : report.substr(newline + 1);
    const auto bracket = line.find("] ");
    if (line.rfind('[', 0) == 0 && bracket != std::string::npos)
        line = line.substr(bracket + 2);
    return line.empty() ? "unknown problem" : line;
}

SampleType sampleType(int type) {
    switch (type) {
        case nrrdTypeChar:
            return SampleType::Int8;
        case nrrdTypeUChar:
            return SampleType::UInt8;
        case nrrdTypeShort:
            return SampleType::Int16;
        case nrrdTypeUShort:
            return SampleType::UInt16;
        case nrrdTypeInt:
            return SampleType::Int32;
        case nrrdTypeUInt:
            return SampleType::UInt32;
        case nrrdTypeLLong:
            return SampleType::Int64;
        case nrrdTypeULLong:
            return SampleType::UInt64;
        case nrrdTypeFloat:
            return SampleType::Float32;
        case nrrdTypeDouble:
            return SampleType::Float64;
        default:
            throw ScanError("unsupported NRRD sample type");
    }
}

// Loads path (only its header when headerOnly).
std::unique_ptr<Nrrd, NrrdFree> load(const std::string& path, bool headerOnly) {
    std::unique_ptr<Nrrd, NrrdFree> nrrd(nrrdNew());
    const std::unique_ptr<NrrdIoState, IoStateFree> state(nrrdIoStateNew());
    if (!nrrd || !state)
        throw std::bad_alloc();
    nrrdIoStateSet(state.get(), nrrdIoStateSkipData, headerOnly ? 1 : 0);
    int failed;
    {
        const QuietStderr quiet;
        failed = nrrdLoad(nrrd.get(), path.c_str(), state.get());
    }
    if (failed != 0) {
        throw ScanError(headerOnly
                            ? "not a readable NRRD header: " + lastError()
                            : "the samples cannot be read (truncated, damaged or unsupported encoding): " +
                                  lastError());
    }
    return nrrd;
}

class NrrdReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        return hasSuffix(path, ".nrrd") || hasSuffix(path, ".nhdr");
    }

    Scan read(const std::string& path, const ReadOptions& options, ProgressPoster& progress) const override {
        Scan scan;
        std::array<std::int64_t, 3> dims{1, 1, 1};
        SampleType type;
        std::int64_t volumes = 1;
        {
            // The header first: sizes are checked before the library allocates anything.
            const auto header = load(path, true);
            type = sampleType(header->type);
            const unsigned dim = header->dim;
            if (dim < 1)
                throw ScanError("the header gives no dimensions");
            // A short first axis of colour, vector or complex kind holds components, not samples.
            const int kind = header->axis[0].kind;
            if (dim > 1 && kind != nrrdKindUnknown && kind != nrrdKindDomain && kind != nrrdKindSpace &&
                kind != nrrdKindTime) {
                throw ScanError(
                    "samples with several components (colour, vector or complex) cannot be shown "
                    "as densities");
            }
            std::vector<std::int64_t> extra;
            for (unsigned a = 0; a < dim; ++a) {
                const auto size = std::int64_t(header->axis[a].size);
                if (a < 3) {
                    dims[a] = size;
                } else {
                    extra.push_back(size);
                }
            }
            if (!productFits(extra, volumes) || volumes < 1)
                throw ScanError("header sizes overflow");
            checkScanFits(dims, dims[0] * dims[1] * dims[2] * volumes * bytesPerSample(type));
            for (unsigned a = 0; a < 3; ++a) {
                double spacing = 0.0, direction[NRRD_SPACE_DIM_MAX];
                if (a < dim)
                    nrrdSpacingCalculate(header.get(), a, &spacing, direction);
                scan.spacing[a] = a < dim ? spacingOrOne(spacing, int(a), scan.notes) : 1.0;
            }
        }
        if (volumes > 1)
            scan.notes.push_back("holds " + std::to_string(volumes) + " volumes; the first is shown");
        const auto nrrd = load(path, false);
        if (sampleType(nrrd->type) != type || !nrrd->data ||
            std::int64_t(nrrdElementNumber(nrrd.get())) < dims[0] * dims[1] * dims[2])
            throw ScanError("the file changed while reading");
        progress.postIfHigher(100);
        for (int a = 0; a < 3; ++a)
            scan.dims[a] = int(dims[a]);
        Samples source;
        source.data = nrrd->data;
        source.type = type;
        source.count = dims[0] * dims[1] * dims[2];  // the first volume leads the data
        scan.densities = densitiesOf(source, options, scan.notes);
        return scan;
    }
};

}  // namespace

std::unique_ptr<VolumeReader> makeNrrdReader() {
    return std::make_unique<NrrdReader>();
}

}  // namespace qz::io
