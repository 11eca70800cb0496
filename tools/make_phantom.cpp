// quarzelle-phantom: writes a synthetic CT-like head phantom as a .dat volume.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "tools/phantom.h"

namespace {

const char* const kUsage =
    "usage: quarzelle-phantom X Y Z OUT.dat [--seed S]\n"
    "  Writes an X x Y x Z head phantom (each 1..65535) with 12-bit densities:\n"
    "  air 0, skin 1000, skull 2800-3200, brain 1120/1260, ventricles 400, lesions 2200-3450,\n"
    "  plus deterministic noise chosen by the seed S (default 1).\n";

bool parseUnsigned(const char* text, unsigned long max, unsigned long* value) {
    if (!text || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "quarzelle-phantom: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string positional[4];
    int count = 0;
    unsigned long seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--seed") {
            if (i + 1 >= argc)
                return usageError("--seed needs a value");
            if (!parseUnsigned(argv[++i], 0xffffffffUL, &seed)) {
                return usageError("bad seed " + qz::quotedPath(argv[i]) + " (0 .. 4294967295)");
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return usageError("unknown option " + qz::quotedPath(arg));
        if (count == 4)
            return usageError("too many arguments");
        positional[count++] = arg;
    }
    if (count < 4)
        return usageError("missing arguments");
    unsigned long dims[3];
    for (int i = 0; i < 3; ++i) {
        if (!parseUnsigned(positional[i].c_str(), 65535, &dims[i]) || dims[i] == 0) {
            return usageError("bad dimension " + qz::quotedPath(positional[i]) + " (1 .. 65535)");
        }
    }
    qz::removeTempFilesOnSignals();
    std::string error;
    try {
        if (qz::phantom::writeFile(positional[3], int(dims[0]), int(dims[1]), int(dims[2]),
                                   std::uint32_t(seed), &error))
            return 0;
    } catch (const std::bad_alloc&) {
        error = "not enough memory";
    }
    std::fprintf(stderr, "quarzelle-phantom: %s\n", error.c_str());
    return 1;
}
