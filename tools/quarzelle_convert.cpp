// quarzelle-convert: writes any volume Quarzelle opens as a .dat file.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "data/Data.h"
#include "platform/AtomicWrite.h"
#include "platform/NotificationCenter.h"
#include "platform/RegularFile.h"
#include "tools/volume_input.h"

namespace {

const char* const kUsage =
    "usage: quarzelle-convert IN OUT.dat [--window LO HI]\n"
    "\n"
    "Reads IN (a .dat file, a DICOM series folder or file, NIfTI .nii/.nii.gz, NRRD .nrrd/.nhdr or\n"
    "MetaImage .mha/.mhd), turns it into 12-bit densities and writes OUT.dat: three little-endian\n"
    "16-bit dimensions, then one 16-bit density per voxel, x fastest. A .dat has no voxel spacing,\n"
    "so the scan's spacing is dropped (the tool says so).\n"
    "\n"
    "  --window LO HI  map scan values LO .. HI (e.g. Hounsfield units) onto 0 .. 4095 instead of\n"
    "                  the automatic rule (see README)\n"
    "\n"
    "Errors give one line on standard error and exit status 1 (2 for bad arguments); OUT is written\n"
    "whole or not at all, as quarzelle-render writes its images.\n";

// The volume as .dat bytes, written in slices of whole rows.
bool writeDat(std::FILE* file, const qz::VolumeData& volume, std::string* error) {
    auto put16 = [](std::vector<unsigned char>& out, unsigned v) {
        out.push_back(static_cast<unsigned char>(v & 0xff));
        out.push_back(static_cast<unsigned char>(v >> 8));
    };
    std::vector<unsigned char> bytes;
    for (int d : {volume.xDim(), volume.yDim(), volume.zDim()})
        put16(bytes, unsigned(d));
    const std::int64_t n = volume.sampleCount();
    constexpr std::int64_t kChunk = std::int64_t(1) << 20;
    for (std::int64_t begin = 0; begin < n; begin += kChunk) {
        for (std::int64_t i = begin; i < std::min(n, begin + kChunk); ++i)
            put16(bytes, volume.densities()[i]);
        if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            *error = std::strerror(errno);
            return false;
        }
        bytes.clear();
    }
    return true;
}

int fail(const std::string& message, int status) {
    std::fflush(stdout);
    std::fprintf(stderr, "quarzelle-convert: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    qz::ReadOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--window") {
            if (i + 2 >= argc || !qz::cli::parseWindow(argv[i + 1], argv[i + 2], &options))
                return fail("--window needs two finite numbers, LO < HI (see --help)", 2);
            i += 2;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail("unknown option " + qz::quotedPath(arg) + " (see --help)", 2);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2)
        return fail("give one input and one output file (see --help)", 2);
    const std::string& out = paths[1];
    if (out.size() < 4 || out.compare(out.size() - 4, 4, ".dat") != 0)
        return fail("output " + qz::quotedPath(out) + " must end in .dat", 2);

    qz::removeTempFilesOnSignals();
    qz::NotificationCenter center;
    qz::Data data(center);
    std::string error;
    try {
        // The output's temporary file first: an unusable folder shows before the load.
        qz::AtomicFile file;
        if (!file.open(out, &error))
            return fail("cannot write " + qz::quotedPath(out) + ": " + error, 1);
        if (!qz::cli::loadVolume(data, paths[0], options, &error))
            return fail(error, 1);
        if (!writeDat(file.stream(), *data.volume(), &error) || !file.commit(&error))
            return fail("cannot write " + qz::quotedPath(out) + ": " + error, 1);
    } catch (const std::bad_alloc&) {
        return fail("not enough memory", 1);
    }
    const auto volume = data.volume();
    const auto& s = volume->spacing();
    std::printf("wrote %s: %d x %d x %d densities; the spacing %g x %g x %g mm is dropped (.dat has none)\n",
                qz::quotedPath(out).c_str(), volume->xDim(), volume->yDim(), volume->zDim(), s[0], s[1],
                s[2]);
    return 0;
}
