#include "tools/volume_input.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "io/ReaderSupport.h"
#include "io/Readers.h"
#include "platform/RegularFile.h"

namespace qz::cli {

namespace {

bool parseNumber(const char* text, double* value) {
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && std::isfinite(*value);
}

}  // namespace

bool parseWindow(const char* lo, const char* hi, ReadOptions* options) {
    DensityWindow w;
    if (!parseNumber(lo, &w.lo) || !parseNumber(hi, &w.hi) || !(w.lo < w.hi))
        return false;
    options->useWindow = true;
    options->window = w;
    return true;
}

bool loadVolume(Data& data, const std::string& path, const ReadOptions& options, std::string* message) {
    io::registerScanReaders();
    // The .dat loader only says "file < 6 Bytes" for a file it cannot open; say why here. Folders
    // hold DICOM series, unless named as a .dat.
    std::error_code error;
    if (!std::filesystem::is_directory(path, error) || io::hasSuffix(path, ".dat")) {
        if (const char* problem = RegularFile(path).problem()) {
            *message = "cannot read volume " + quotedPath(path) + ": " + problem;
            return false;
        }
    }
    std::string failure;
    const Observation failed(data.notificationCenter(), kDataLoadFailed, nullptr,
                             [&](const Notification& n) { failure = n.stringValue("info", "cannot load"); });
    data.loadFromFileName(path, options);
    if (!failure.empty()) {
        // "Data:Error: NAME: problem" for scans, "Data:Error: problem" for .dat files.
        std::string text = failure.rfind("Data:Error: ", 0) == 0 ? failure.substr(12) : failure;
        std::string name = path;
        while (name.size() > 1 && name.back() == '/')
            name.pop_back();
        name = std::filesystem::path(name).filename().string();
        if (text.rfind(name + ": ", 0) == 0)
            text = text.substr(name.size() + 2);
        *message = "cannot load volume " + quotedPath(path) + ": " + text;
        return false;
    }
    if (!data.hasData()) {
        *message = "volume " + quotedPath(path) + " holds no samples (a dimension is 0)";
        return false;
    }
    return true;
}

}  // namespace qz::cli
