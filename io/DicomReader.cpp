// DICOM series (a folder, or any file of the series) through GDCM: GDCM reads the headers and
// decodes the pixel data, each in a child process of its own; DicomSeries.h picks, sorts and
// checks the slices.

#include <fcntl.h>
#include <gdcmImageReader.h>
#include <gdcmScanner.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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
    kIntercept(0x0028, 0x1052), kSlope(0x0028, 0x1053), kRescaleType(0x0028, 0x1054),
    kBitsAllocated(0x0028, 0x0100), kPixelRepresentation(0x0028, 0x0103);
// The tags read from every file, in the order the header records carry them.
const gdcm::Tag kHeaderTags[] = {kSeriesUid,       kSeriesDescription, kModality,
                                 kPosition,        kOrientation,       kRows,
                                 kColumns,         kPixelSpacing,      kFrames,
                                 kSamplesPerPixel, kIntercept,         kSlope,
                                 kRescaleType,     kBitsAllocated,     kPixelRepresentation};
constexpr char kSeparator = '\x1f';

std::string trimmed(const char* value) {
    std::string s = value ? value : "";
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    const auto start = s.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : s.substr(start);
}

// Whether path is a file with DICOM's "DICM" mark after the 128-byte preamble. Only such files
// reach GDCM: Debian's build keeps its assertions, and its reading of files without the mark
// (old ACR-NEMA ones, or not DICOM at all) aborts on some.
bool hasDicomMark(const std::string& path) {
    const RegularFile file(path);
    char mark[4];
    return file.isOpen() && file.readAt(mark, 4, 128) == 4 && std::memcmp(mark, "DICM", 4) == 0;
}

// The sample type of BitsAllocated and PixelRepresentation (1: signed).
SampleType storedType(int bits, int sign) {
    if (bits == 8)
        return sign ? SampleType::Int8 : SampleType::UInt8;
    if (bits == 16)
        return sign ? SampleType::Int16 : SampleType::UInt16;
    if (bits == 32)
        return sign ? SampleType::Int32 : SampleType::UInt32;
    throw ScanError("unsupported pixel format (" + std::to_string(bits) + " bits allocated)");
}

gdcm::PixelFormat::ScalarType scalarType(SampleType type) {
    switch (type) {
        case SampleType::UInt8:
            return gdcm::PixelFormat::UINT8;
        case SampleType::Int8:
            return gdcm::PixelFormat::INT8;
        case SampleType::UInt16:
            return gdcm::PixelFormat::UINT16;
        case SampleType::Int16:
            return gdcm::PixelFormat::INT16;
        case SampleType::UInt32:
            return gdcm::PixelFormat::UINT32;
        case SampleType::Int32:
            return gdcm::PixelFormat::INT32;
        default:
            return gdcm::PixelFormat::UNKNOWN;
    }
}

std::string baseName(const std::string& path) {
    return fs::path(path).filename().string();
}

// Writes one line (control characters made spaces) to fd.
void send(int fd, std::string line) {
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 && c != kSeparator)
            c = ' ';
    }
    line += '\n';
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

// Runs work in a child process with its output going nowhere but the lines it sends on the fd it
// is given; onLine sees each line as it arrives. True when the child ended normally (GDCM's
// assertions abort the child, not the program).
bool runIsolated(const std::function<void(int)>& work,
                 const std::function<void(const std::string&)>& onLine) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw ScanError(std::string("cannot start reading (") + std::strerror(errno) + ")");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw ScanError(std::string("cannot start reading (") + std::strerror(errno) + ")");
    }
    if (pid == 0) {
        ::close(fds[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        try {
            work(fds[1]);
        } catch (...) {
            send(fds[1], "E not enough memory to read the series");
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            onLine(pending.substr(0, end));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Memory a child process writes into and this one reads: anonymous and shared.
class SharedBlock {
  public:
    explicit SharedBlock(std::size_t bytes) : bytes_(std::max<std::size_t>(bytes, 1)) {
        data_ = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (data_ == MAP_FAILED)
            throw std::bad_alloc();
    }
    ~SharedBlock() { ::munmap(data_, bytes_); }
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;
    void* data() const { return data_; }

  private:
    std::size_t bytes_;
    void* data_;
};

class DicomReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        std::error_code error;
        return fs::is_directory(path, error) || hasSuffix(path, ".dcm") || hasSuffix(path, ".ima") ||
               hasDicomMark(path);
    }

    Scan read(const std::string& path, const ReadOptions& options, ProgressPoster& progress) const override {
        // A folder: every file under it. A file: the files beside it, and its series.
        std::error_code error;
        const bool folder = fs::is_directory(path, error);
        std::vector<std::string> files;
        auto take = [&](const fs::directory_entry& entry) {
            if (entry.is_regular_file(error) && hasDicomMark(entry.path().string()))
                files.push_back(entry.path().string());
        };
        if (folder) {
            for (auto it = fs::recursive_directory_iterator(
                     path, fs::directory_options::skip_permission_denied, error);
                 !error && it != fs::recursive_directory_iterator(); it.increment(error))
                take(*it);
        } else {
            const fs::path parent =
                fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
            for (auto it = fs::directory_iterator(parent, error); !error && it != fs::directory_iterator();
                 it.increment(error))
                take(*it);
        }
        if (error)
            throw ScanError("cannot list the folder (" + error.message() + ")");
        std::sort(files.begin(), files.end());

        // The headers, read in a child process: GDCM aborts on some damaged files. Such a file is
        // skipped and the reading goes on after it in a new child.
        std::vector<std::vector<std::string>> values(files.size());
        std::vector<std::string> skipped;
        std::size_t current = 0;
        for (std::size_t start = 0; start < files.size(); start = current + 1) {
            current = start;
            const bool scanned = runIsolated(
                [&](int fd) {
                    for (std::size_t i = start; i < files.size(); ++i) {
                        send(fd, "F " + std::to_string(i));
                        gdcm::Scanner scanner;
                        for (const gdcm::Tag& tag : kHeaderTags)
                            scanner.AddTag(tag);
                        if (!scanner.Scan({files[i]}) || !scanner.IsKey(files[i].c_str()))
                            continue;
                        std::string record = "R " + std::to_string(i);
                        for (const gdcm::Tag& tag : kHeaderTags)
                            record += kSeparator + trimmed(scanner.GetValue(files[i].c_str(), tag));
                        send(fd, record);
                    }
                },
                [&](const std::string& line) {
                    const std::size_t i = std::strtoull(line.c_str() + 2, nullptr, 10);
                    if (i >= files.size())
                        return;
                    current = i;
                    for (std::size_t at = line.find(kSeparator); line[0] == 'R' && at != std::string::npos;) {
                        const std::size_t next = line.find(kSeparator, at + 1);
                        values[i].push_back(
                            line.substr(at + 1, next == std::string::npos ? next : next - at - 1));
                        at = next;
                    }
                });
            if (scanned)
                break;
            values[current].clear();
            skipped.push_back(baseName(files[current]));
        }

        // Image files only (a DICOMDIR or a report has no rows).
        std::vector<dicom::SliceHeader> headers;
        std::vector<Rescale> rescales;
        std::vector<bool> hounsfield;
        std::vector<int> bits, signs;
        std::string preferred;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (values[i].size() != std::size(kHeaderTags))
                continue;
            auto value = [&](const gdcm::Tag& tag) {
                return values[i][std::find(std::begin(kHeaderTags), std::end(kHeaderTags), tag) -
                                 std::begin(kHeaderTags)];
            };
            dicom::SliceHeader h;
            h.file = files[i];
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
            bits.push_back(std::atoi(value(kBitsAllocated).c_str()));
            signs.push_back(std::atoi(value(kPixelRepresentation).c_str()));
            if (!folder && fs::equivalent(files[i], path, error))
                preferred = files[i];
            headers.push_back(std::move(h));
        }
        if (headers.empty())
            throw ScanError(folder ? "no DICOM images in the folder" : "no DICOM image in the file");
        if (!folder && preferred.empty())
            throw ScanError("not a DICOM image");
        dicom::Series series = dicom::assemble(headers, preferred);

        Scan scan;
        if (!skipped.empty()) {
            scan.notes.push_back("skipped " + std::to_string(skipped.size()) +
                                 " files the DICOM library stops on (damaged or unusual), first " +
                                 skipped.front());
        }
        scan.dims = series.dims;
        scan.spacing = series.spacing;
        scan.notes.insert(scan.notes.end(), series.notes.begin(), series.notes.end());
        const std::int64_t sliceSamples = std::int64_t(series.dims[0]) * series.dims[1];
        const std::int64_t count = sliceSamples * series.dims[2];
        const std::size_t first = series.order.front();
        Samples source;
        source.type = storedType(bits[first], signs[first]);
        source.count = count;
        source.sliceSamples = sliceSamples;
        source.rescale.clear();
        source.hounsfield = true;
        for (std::size_t i : series.order) {
            if (bits[i] != bits[first] || signs[i] != signs[first])
                throw ScanError(baseName(headers[i].file) +
                                " stores its pixels differently from the other slices");
            source.rescale.push_back(rescales[i]);
            source.hounsfield = source.hounsfield && hounsfield[i];
        }
        const std::int64_t sliceBytes = sliceSamples * bytesPerSample(source.type);
        checkScanFits({series.dims[0], series.dims[1], series.dims[2]}, count * bytesPerSample(source.type));

        // The pixels, decoded in a child process straight into memory shared with it.
        const SharedBlock raw(std::size_t(count * bytesPerSample(source.type)));
        std::string problem;
        const bool decoded = runIsolated(
            [&](int fd) {
                for (std::size_t k = 0; k < series.order.size(); ++k) {
                    const std::string name = baseName(headers[series.order[k]].file);
                    send(fd, "F " + std::to_string(k));
                    gdcm::ImageReader reader;
                    reader.SetFileName(headers[series.order[k]].file.c_str());
                    if (!reader.Read())
                        return send(fd, "E cannot read " + name);
                    const gdcm::Image& image = reader.GetImage();
                    const gdcm::PixelFormat& format = image.GetPixelFormat();
                    if (format.GetSamplesPerPixel() != 1 ||
                        std::int64_t(image.GetBufferLength()) != sliceBytes ||
                        format.GetScalarType() != scalarType(source.type)) {
                        return send(fd, "E " + name + " does not hold one " + std::to_string(series.dims[0]) +
                                            " x " + std::to_string(series.dims[1]) +
                                            " grey image like the other slices");
                    }
                    if (!image.GetBuffer(static_cast<char*>(raw.data()) + k * sliceBytes)) {
                        return send(fd, "E cannot decode the pixels of " + name + " (transfer syntax " +
                                            trimmed(image.GetTransferSyntax().GetString()) + ")");
                    }
                    send(fd, "D " + std::to_string(k));
                }
            },
            [&](const std::string& line) {
                if (line[0] == 'E') {
                    problem = line.substr(2);
                } else {
                    current = std::strtoull(line.c_str() + 2, nullptr, 10);
                    if (line[0] == 'D')
                        progress.postIfHigher(int(100 * (current + 1) / series.order.size()));
                }
            });
        if (!problem.empty())
            throw ScanError(problem);
        if (!decoded || current + 1 != series.order.size()) {
            throw ScanError(baseName(headers[series.order[std::min(current, series.order.size() - 1)]].file) +
                            " stops the DICOM library (a damaged or unusual file)");
        }
        source.data = raw.data();
        scan.densities = densitiesOf(source, options, scan.notes);
        return scan;
    }
};

}  // namespace

std::unique_ptr<VolumeReader> makeDicomReader() {
    return std::make_unique<DicomReader>();
}

}  // namespace qz::io
