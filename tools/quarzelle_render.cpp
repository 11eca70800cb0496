// quarzelle-render: renders a volume file to an image without a display.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "data/Data.h"
#include "platform/AtomicWrite.h"
#include "platform/NotificationCenter.h"
#include "platform/RegularFile.h"
#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tools/quarzelle_render_image.h"
#include "tools/transfer_presets.h"
#include "tools/volume_input.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktText.h"

namespace {

const char* const kUsage =
    "usage: quarzelle-render VOLUME --renderer slices|volume|mip --out IMAGE.png|.jpg [options]\n"
    "\n"
    "Renders a volume to an image, as the interactive renderers would. VOLUME is a .dat file, a\n"
    "DICOM series (its folder or any of its files), NIfTI (.nii, .nii.gz), NRRD (.nrrd, .nhdr) or\n"
    "MetaImage (.mha, .mhd).\n"
    "\n"
    "  --renderer R           slices, volume (ray casting) or mip (maximum intensity projection)\n"
    "  --out FILE             .png keeps the RGBA bytes exactly; .jpg/.jpeg has no alpha, so every\n"
    "                         pixel is composited onto black (slice images may be transparent)\n"
    "  --resolution N         largest image side, 1 .. 16384 (default 100)\n"
    "  --quality 0|1          1 samples trilinearly (default 0 for volume and mip)\n"
    "  --shading              Phong shading with the light at the eye (volume and mip)\n"
    "  --opacity-correction   opacities count per voxel length, not per ray step, so images of\n"
    "                         any resolution agree (volume)\n"
    "  --orientation AX AY AZ rotation angles in radians about x, y, z (default 0 0 0)\n"
    "  --axis 0|1|2           slice axis (default 2)\n"
    "  --depth D              slice depth, 0 = first layer, 1 = last (default 0.5)\n"
    "  --tf FILE              transfer function text: 'rgb DENSITY R G B', 'alpha DENSITY A', '#' comments,\n"
    "                         applied in order to the initial grey ramp\n"
    "  --tf preset:NAME       a built-in transfer function: ct-bone, ct-skin, ct-skin-bone, mip-vessels,\n"
    "                         mri-brain\n"
    "  --window LO HI         map scan values LO .. HI (e.g. Hounsfield units) onto densities 0 .. 4095\n"
    "                         instead of the automatic rule (see README)\n"
    "  --threads N            worker threads, 1 .. 1024 (default: all cores)\n"
    "  --time                 print 'load: S s' and 'render: S s' on standard output\n"
    "  --turntable N          N frames from one load, frame I turned by 2 pi I / N about y (I = 0 .. N-1,\n"
    "                         N up to 100000); --out holds one printf integer, e.g. frame%03d.png; --time\n"
    "                         prints 'frame I: S s' per frame, then 'render: median S s, max S s'\n"
    "  --help                 this text\n"
    "\n"
    "Diagnostics of the loader and the renderers go to standard output; a progress bar goes to\n"
    "standard error when it is a terminal. Errors give one line on standard error and exit status 1\n"
    "(2 for bad arguments); no partial image is written. The image goes to a temporary file beside\n"
    "FILE, renamed when complete (through a symbolic link to its target, keeping an existing file's\n"
    "permissions) and removed on failure or interruption.\n";

struct Options {
    std::string volume;
    std::string renderer;
    std::string out;
    bool jpeg = false;
    int resolution = 100;
    std::optional<int> quality;
    bool shading = false;
    bool opacityCorrection = false;
    float orientation[3] = {0.0f, 0.0f, 0.0f};
    int axis = 2;
    float depth = 0.5f;
    std::string transferFkt;
    qz::ReadOptions read;
    int threads = 0;
    bool time = false;
    int turntable = 0;  // frames; 0: one image
};

// A one-line complaint and the exit status that goes with it.
struct Failure {
    std::string message;
    int status;
};

bool parseInt(const char* text, long lo, long hi, int* value) {
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *value = int(v);
    return true;
}

bool parseFloat(const char* text, float* value) {
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    const float v = std::strtof(text, &end);
    // An underflow (1e-50) reads as the nearest float, zero or subnormal; an overflow is refused.
    if ((errno != 0 && !(errno == ERANGE && std::fabs(v) < 1.0f)) || *end != '\0' || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size())
        return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i])
            return false;
    }
    return true;
}

// Whether name holds exactly one printf integer conversion (%d or %i, with an optional 0 flag and
// width below 100) and otherwise only %% escapes.
bool isFramePattern(const std::string& name) {
    int conversions = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%')
            continue;
        if (i + 1 < name.size() && name[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < name.size() && j < i + 3 && std::isdigit(static_cast<unsigned char>(name[j])))
            ++j;
        if (j >= name.size() || (name[j] != 'd' && name[j] != 'i'))
            return false;
        ++conversions;
        i = j;
    }
    return conversions == 1;
}

std::string frameName(const std::string& pattern, int frame) {
    char name[4096];
    const int length = std::snprintf(name, sizeof name, pattern.c_str(), frame);  // checked by isFramePattern
    return length >= 0 && std::size_t(length) < sizeof name ? std::string(name) : pattern;
}

std::optional<Failure> parse(int argc, char** argv, Options* o) {
    auto bad = [](const std::string& message) { return Failure{message + " (see --help)", 2}; };
    auto quoted = [](const std::string& text) { return qz::quotedPath(text); };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](int offset = 1) -> const char* {
            return i + offset < argc ? argv[i + offset] : nullptr;
        };
        auto need = [&](int count) -> std::optional<Failure> {
            if (i + count >= argc)
                return bad(arg + " needs " +
                           (count == 1   ? "a value"
                            : count == 2 ? "two values"
                                         : "three values"));
            return std::nullopt;
        };
        if (arg == "--renderer") {
            if (auto f = need(1))
                return f;
            o->renderer = value();
            if (o->renderer != "slices" && o->renderer != "volume" && o->renderer != "mip") {
                return bad("unknown renderer " + quoted(o->renderer) + " (slices, volume or mip)");
            }
            ++i;
        } else if (arg == "--out") {
            if (auto f = need(1))
                return f;
            o->out = value();
            ++i;
        } else if (arg == "--resolution") {
            if (auto f = need(1))
                return f;
            if (!parseInt(value(), 1, qz::Renderer::kMaxImageSide, &o->resolution)) {
                return bad("bad resolution " + quoted(value()) + " (1 .. 16384)");
            }
            ++i;
        } else if (arg == "--quality") {
            if (auto f = need(1))
                return f;
            int q;
            if (!parseInt(value(), 0, 1, &q))
                return bad("bad quality " + quoted(value()) + " (0 or 1)");
            o->quality = q;
            ++i;
        } else if (arg == "--shading") {
            o->shading = true;
        } else if (arg == "--opacity-correction") {
            o->opacityCorrection = true;
        } else if (arg == "--orientation") {
            if (auto f = need(3))
                return f;
            for (int k = 0; k < 3; ++k) {
                if (!parseFloat(value(k + 1), &o->orientation[k])) {
                    return bad("bad orientation angle " + quoted(value(k + 1)) + " (a finite number)");
                }
            }
            i += 3;
        } else if (arg == "--axis") {
            if (auto f = need(1))
                return f;
            if (!parseInt(value(), 0, 2, &o->axis))
                return bad("bad axis " + quoted(value()) + " (0, 1 or 2)");
            ++i;
        } else if (arg == "--depth") {
            if (auto f = need(1))
                return f;
            if (!parseFloat(value(), &o->depth)) {
                return bad("bad depth " + quoted(value()) + " (a finite number)");
            }
            ++i;
        } else if (arg == "--tf") {
            if (auto f = need(1))
                return f;
            o->transferFkt = value();
            ++i;
        } else if (arg == "--window") {
            if (auto f = need(2))
                return f;
            if (!qz::cli::parseWindow(value(1), value(2), &o->read)) {
                return bad("bad window " + quoted(std::string(value(1)) + " " + value(2)) +
                           " (two finite numbers, LO < HI)");
            }
            i += 2;
        } else if (arg == "--threads") {
            if (auto f = need(1))
                return f;
            if (!parseInt(value(), 1, 1024, &o->threads)) {
                return bad("bad thread count " + quoted(value()) + " (1 .. 1024)");
            }
            ++i;
        } else if (arg == "--time") {
            o->time = true;
        } else if (arg == "--turntable") {
            if (auto f = need(1))
                return f;
            if (!parseInt(value(), 1, 100000, &o->turntable))
                return bad("bad frame count '" + std::string(value()) + "' (1 .. 100000)");
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad("unknown option " + quoted(arg));
        } else if (o->volume.empty()) {
            o->volume = arg;
        } else {
            return bad("unexpected argument " + quoted(arg));
        }
    }
    if (o->volume.empty())
        return bad("no volume file given");
    if (o->renderer.empty())
        return bad("no renderer given (--renderer slices|volume|mip)");
    if (o->out.empty())
        return bad("no output file given (--out IMAGE.png|.jpg)");
    if (endsWith(o->out, ".png")) {
        o->jpeg = false;
    } else if (endsWith(o->out, ".jpg") || endsWith(o->out, ".jpeg")) {
        o->jpeg = true;
    } else {
        return bad("output " + quoted(o->out) + " must end in .png, .jpg or .jpeg");
    }
    if (o->turntable > 0 && !isFramePattern(o->out))
        return bad("output " + quoted(o->out) + " needs one integer conversion such as %03d for --turntable");
    return std::nullopt;
}

// A progress bar on a terminal: one line per phase, redrawn in place.
class ProgressBar {
  public:
    void update(const std::string& info, int percent) {
        std::lock_guard lock(mutex_);
        if (info != phase_ && !phase_.empty())
            std::fputc('\n', stderr);
        phase_ = info;
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r%-28.28s [%s%s] %3d%%", info.c_str(),
                     std::string(std::size_t(filled), '#').c_str(),
                     std::string(std::size_t(kWidth - filled), '.').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        std::lock_guard lock(mutex_);
        if (!phase_.empty())
            std::fputc('\n', stderr);
        phase_.clear();
    }

  private:
    std::mutex mutex_;
    std::string phase_;
};

// --tf preset:NAME applies a built-in preset; any other value names a file.
bool applyTransferFkt(const std::string& value, qz::TransferFkt& fkt, std::string* error) {
    const std::string prefix = "preset:";
    if (value.rfind(prefix, 0) != 0)
        return qz::loadTransferFktFile(value, fkt, error);
    const std::string name = value.substr(prefix.size());
    std::string names;
    for (int i = 0; i < qz::cli::kTransferFktPresetCount; ++i) {
        const qz::cli::TransferFktPreset& preset = qz::cli::kTransferFktPresets[i];
        if (preset.name == name)
            return qz::applyTransferFktText(std::string(preset.text), fkt, error);
        names += (names.empty() ? "" : ", ") + std::string(preset.name);
    }
    *error = "no such preset (there are " + names + ")";
    return false;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Renders o.turntable frames with one renderer, turning it about y, and writes each one.
std::optional<Failure> turntable(const Options& o, qz::Renderer& renderer, ProgressBar& bar,
                                 double loadSeconds) {
    if (o.time) {
        std::printf("load: %.3f s\n", loadSeconds);
        std::fflush(stdout);
    }
    std::vector<double> seconds;
    for (int frame = 0; frame < o.turntable; ++frame) {
        const double turn = 2.0 * std::numbers::pi * frame / o.turntable;
        renderer.setOrientation(
            qz::MakeVector(o.orientation[0], float(double(o.orientation[1]) + turn), o.orientation[2]));
        const auto start = std::chrono::steady_clock::now();
        const std::shared_ptr<const qz::RgbaImage> image = renderer.imageRef();
        seconds.push_back(secondsSince(start));
        bar.finish();
        if (!image || image->width <= 0 || image->height <= 0)
            return Failure{"the renderer produced no image (too large for memory?)", 1};
        const std::string name = frameName(o.out, frame);
        qz::AtomicFile file;
        std::string error;
        if (!file.open(name, &error) ||
            !qz::cli::writeImageFile(file, o.jpeg, image->width, image->height, image->pixels.data(), &error))
            return Failure{"cannot write " + qz::quotedPath(name) + ": " + error, 1};
        if (o.time) {
            std::printf("frame %d: %.4f s\n", frame, seconds.back());
            std::fflush(stdout);
        }
    }
    if (o.time) {
        std::sort(seconds.begin(), seconds.end());
        const std::size_t n = seconds.size();
        const double median = n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
        std::printf("render: median %.4f s, max %.4f s\n", median, seconds.back());
        std::fflush(stdout);
    }
    return std::nullopt;
}

std::optional<Failure> run(const Options& o) {
    if (o.threads > 0)
        qz::setThreadCount(o.threads);
    qz::NotificationCenter center;
    qz::Data data(center);
    qz::TransferFkt transferFkt(center);
    using qz::quotedPath;

    // The output's temporary file first: an unusable folder shows before the load and the render.
    qz::AtomicFile output;
    std::string error;
    if (!output.open(o.out, &error))
        return Failure{"cannot write " + quotedPath(o.out) + ": " + error, 1};

    if (!o.transferFkt.empty() && !applyTransferFkt(o.transferFkt, transferFkt, &error))
        return Failure{"transfer function " + quotedPath(o.transferFkt) + ": " + error, 1};

    ProgressBar bar;
    std::optional<qz::Observation> progress;
    if (::isatty(STDERR_FILENO)) {
        progress.emplace(center, qz::kUpdateProgressBar, nullptr, [&bar](const qz::Notification& n) {
            bar.update(n.stringValue("info"), n.intValue("progress"));
        });
    }

    const auto loadStart = std::chrono::steady_clock::now();
    std::string loadFailure;
    if (!qz::cli::loadVolume(data, o.volume, o.read, &loadFailure)) {
        bar.finish();
        return Failure{loadFailure, 1};
    }
    const double loadSeconds = secondsSince(loadStart);

    std::unique_ptr<qz::Renderer> renderer;
    if (o.renderer == "slices") {
        auto slices = std::make_unique<qz::Slices>(data, transferFkt);
        slices->setAxis(o.axis);
        slices->setDepth(o.depth);
        renderer = std::move(slices);
    } else if (o.renderer == "volume") {
        auto volume = std::make_unique<qz::Volume>(data, transferFkt);
        volume->setOpacityCorrection(o.opacityCorrection);
        renderer = std::move(volume);
    } else {
        renderer = std::make_unique<qz::MIP>(data, transferFkt);
    }
    // The interactive defaults: volume and MIP previews sample at quality 0.
    renderer->setQuality(o.quality.value_or(o.renderer == "slices" ? renderer->quality() : 0));
    renderer->setDoShading(o.shading);
    renderer->setOrientation(qz::MakeVector(o.orientation[0], o.orientation[1], o.orientation[2]));
    renderer->setMaxImageResolution(o.resolution);
    if (renderer->maxImageResolution() != o.resolution) {
        bar.finish();
        return Failure{"the renderer refused resolution " + std::to_string(o.resolution), 1};
    }

    if (o.turntable > 0)
        return turntable(o, *renderer, bar, loadSeconds);

    const auto renderStart = std::chrono::steady_clock::now();
    const std::shared_ptr<const qz::RgbaImage> image = renderer->imageRef();
    const double renderSeconds = secondsSince(renderStart);
    bar.finish();
    if (renderer->width() <= 0 || renderer->height() <= 0) {
        return Failure{"the image would be " + std::to_string(renderer->width()) + " x " +
                           std::to_string(renderer->height()) + " pixels: at resolution " +
                           std::to_string(o.resolution) + " the section is thinner than a pixel" +
                           " (raise --resolution or choose another --axis)",
                       1};
    }
    if (!image || image->width <= 0 || image->height <= 0) {
        return Failure{"the renderer produced no image (too large for memory?)", 1};
    }

    if (!qz::cli::writeImageFile(output, o.jpeg, image->width, image->height, image->pixels.data(), &error)) {
        return Failure{"cannot write " + quotedPath(o.out) + ": " + error, 1};
    }
    if (o.time) {
        std::printf("load: %.3f s\nrender: %.3f s\n", loadSeconds, renderSeconds);
        std::fflush(stdout);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    qz::removeTempFilesOnSignals();
    Options options;
    std::optional<Failure> failure = parse(argc, argv, &options);
    try {
        if (!failure)
            failure = run(options);
    } catch (const std::bad_alloc&) {
        failure = Failure{"not enough memory", 1};
    } catch (const std::exception& e) {
        failure = Failure{e.what(), 1};
    }
    if (failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "quarzelle-render: %s\n", failure->message.c_str());
        return failure->status;
    }
    return 0;
}
