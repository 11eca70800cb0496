// DICOM series (a folder, or any file of the series) through GDCM: GDCM reads the headers and
// decodes the pixel data; DicomSeries.h picks, sorts and checks the slices.

#include <gdcmImageReader.h>
#include <gdcmScanner.h>
#include <gdcmTrace.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "io/Densities.h"
#include "io/DicomSeries.h"
#include "io/ReaderSupport.h"
#include "io/Readers.h"
#include "platform/RegularFile.h"

namespace qz::io {

namespace {

namespace fs = std::filesystem;

const gdcm::Tag kSeriesUid(0x0020, 0x000e), kSeriesDescription(0x0008, 0x103e), kModality(0x0008, 0x0060),
    kPosition(0x0020, 0x0032), kOrientation(0x0020, 0x0037), kRows(0x0028, 0x0010), kColumns(0x0028, 0x0011),
    kPixelSpacing(0x0028, 0x0030), kFrames(0x0028, 0x0008), kSamplesPerPixel(0x0028, 0x0002),
    kIntercept(0x0028, 0x1052), kSlope(0x0028, 0x1053), kRescaleType(0x0028, 0x1054);

std::string trimmed(const char* value) {
    std::string s = value ? value : "";
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    const auto start = s.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : s.substr(start);
}

// Whether path is a file with DICOM's "DICM" mark after the 128-byte preamble.
bool hasDicomMark(const std::string& path) {
    const RegularFile file(path);
    char mark[4];
    return file.isOpen() && file.readAt(mark, 4, 128) == 4 && std::memcmp(mark, "DICM", 4) == 0;
}

SampleType sampleType(const gdcm::PixelFormat& format) {
    switch (format.GetScalarType()) {
        case gdcm::PixelFormat::UINT8:
            return SampleType::UInt8;
        case gdcm::PixelFormat::INT8:
            return SampleType::Int8;
        case gdcm::PixelFormat::UINT16:
            return SampleType::UInt16;
        case gdcm::PixelFormat::INT16:
            return SampleType::Int16;
        case gdcm::PixelFormat::UINT32:
            return SampleType::UInt32;
        case gdcm::PixelFormat::INT32:
            return SampleType::Int32;
        case gdcm::PixelFormat::FLOAT32:
            return SampleType::Float32;
        case gdcm::PixelFormat::FLOAT64:
            return SampleType::Float64;
        default:
            throw ScanError(std::string("unsupported pixel format ") + format.GetScalarTypeAsString());
    }
}

class DicomReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        std::error_code error;
        return fs::is_directory(path, error) || hasSuffix(path, ".dcm") || hasSuffix(path, ".ima") ||
               hasDicomMark(path);
    }

    Scan read(const std::string& path, const ReadOptions& options, ProgressPoster& progress) const override {
        gdcm::Trace::SetDebug(false);  // GDCM's own messages would go to standard error
        gdcm::Trace::SetWarning(false);
        gdcm::Trace::SetError(false);

        // A folder: every file under it. A file: the files beside it, and its series.
        std::error_code error;
        const bool folder = fs::is_directory(path, error);
        std::vector<std::string> files;
        if (folder) {
            for (auto it = fs::recursive_directory_iterator(
                     path, fs::directory_options::skip_permission_denied, error);
                 !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                if (it->is_regular_file(error))
                    files.push_back(it->path().string());
            }
        } else {
            const fs::path parent =
                fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
            for (auto it = fs::directory_iterator(parent, error); !error && it != fs::directory_iterator();
                 it.increment(error)) {
                if (it->is_regular_file(error))
                    files.push_back(it->path().string());
            }
        }
        if (error)
            throw ScanError("cannot list the folder (" + error.message() + ")");
        std::sort(files.begin(), files.end());

        gdcm::Scanner scanner;
        for (const gdcm::Tag& tag :
             {kSeriesUid, kSeriesDescription, kModality, kPosition, kOrientation, kRows, kColumns,
              kPixelSpacing, kFrames, kSamplesPerPixel, kIntercept, kSlope, kRescaleType})
            scanner.AddTag(tag);
        {
            const QuietStderr quiet;
            scanner.Scan(files);
        }

        // Image files only (a DICOMDIR or a report has no rows).
        std::vector<dicom::SliceHeader> headers;
        std::vector<Rescale> rescales;
        std::vector<bool> hounsfield;
        std::string preferred;
        for (const std::string& file : files) {
            if (!scanner.IsKey(file.c_str()))
                continue;
            auto value = [&](const gdcm::Tag& tag) { return trimmed(scanner.GetValue(file.c_str(), tag)); };
            dicom::SliceHeader h;
            h.file = file;
            h.rows = std::atoi(value(kRows).c_str());
            h.columns = std::atoi(value(kColumns).c_str());
            if (h.rows <= 0 && h.columns <= 0)
                continue;
            h.seriesUid = value(kSeriesUid);
            h.seriesDescription = value(kSeriesDescription);
            h.hasPosition = dicom::parseDecimals(value(kPosition), h.position.data(), 3);
            h.hasOrientation = dicom::parseDecimals(value(kOrientation), h.orientation.data(), 6);
            h.hasPixelSpacing = dicom::parseDecimals(value(kPixelSpacing), h.pixelSpacing.data(), 2);
            const std::string frames = value(kFrames), samples = value(kSamplesPerPixel);
            h.frames = frames.empty() ? 1 : std::atoi(frames.c_str());
            h.samplesPerPixel = samples.empty() ? 1 : std::atoi(samples.c_str());
            Rescale r;
            double v;
            if (dicom::parseDecimals(value(kSlope), &v, 1) && v != 0.0)
                r.slope = v;
            if (dicom::parseDecimals(value(kIntercept), &v, 1))
                r.intercept = v;
            rescales.push_back(r);
            hounsfield.push_back(value(kModality) == "CT" || value(kRescaleType) == "HU");
            if (!folder && fs::equivalent(file, path, error))
                preferred = file;
            headers.push_back(std::move(h));
        }
        if (headers.empty())
            throw ScanError(folder ? "no DICOM images in the folder" : "no DICOM image in the file");
        if (!folder && preferred.empty())
            throw ScanError("not a DICOM image");
        dicom::Series series = dicom::assemble(headers, preferred);

        Scan scan;
        scan.dims = series.dims;
        scan.spacing = series.spacing;
        scan.notes = std::move(series.notes);
        const std::int64_t sliceSamples = std::int64_t(series.dims[0]) * series.dims[1];
        const std::int64_t count = sliceSamples * series.dims[2];

        // Decode the slices in order into one block of their stored type.
        Samples source;
        source.count = count;
        source.sliceSamples = sliceSamples;
        source.rescale.clear();
        source.hounsfield = true;
        std::unique_ptr<char[]> raw;
        std::int64_t sliceBytes = 0;
        for (std::size_t k = 0; k < series.order.size(); ++k) {
            const std::size_t i = series.order[k];
            const std::string name = fs::path(headers[i].file).filename().string();
            gdcm::ImageReader reader;
            reader.SetFileName(headers[i].file.c_str());
            bool decoded = false;
            {
                // GDCM's codecs (libjpeg and others) write to standard error themselves.
                const QuietStderr quiet;
                if (!reader.Read())
                    throw ScanError("cannot read " + name);
            }
            const gdcm::Image& image = reader.GetImage();
            const SampleType type = sampleType(image.GetPixelFormat());
            if (k == 0) {
                source.type = type;
                sliceBytes = sliceSamples * bytesPerSample(type);
                checkScanFits({series.dims[0], series.dims[1], series.dims[2]}, count * bytesPerSample(type));
                raw.reset(new char[std::size_t(count * bytesPerSample(type))]);
            } else if (type != source.type) {
                throw ScanError(name + " stores its pixels differently from the other slices");
            }
            if (image.GetPixelFormat().GetSamplesPerPixel() != 1 ||
                std::int64_t(image.GetBufferLength()) != sliceBytes)
                throw ScanError(name + " does not hold one " + std::to_string(series.dims[0]) + " x " +
                                std::to_string(series.dims[1]) + " grey image");
            {
                const QuietStderr quiet;
                decoded = image.GetBuffer(raw.get() + k * sliceBytes);
            }
            if (!decoded) {
                throw ScanError("cannot decode the pixels of " + name + " (transfer syntax " +
                                trimmed(image.GetTransferSyntax().GetString()) + ")");
            }
            source.rescale.push_back(rescales[i]);
            source.hounsfield = source.hounsfield && hounsfield[i];
            progress.postIfHigher(int(100 * (k + 1) / series.order.size()));
        }
        source.data = raw.get();
        scan.densities = densitiesOf(source, options, scan.notes);
        return scan;
    }
};

}  // namespace

std::unique_ptr<VolumeReader> makeDicomReader() {
    return std::make_unique<DicomReader>();
}

}  // namespace qz::io
