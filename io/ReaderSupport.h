#pragma once

// Small pieces every scan reader uses.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/VolumeReader.h"

namespace qz::io {

// Whether path ends in suffix, ignoring case (suffix in lower case).
inline bool hasSuffix(const std::string& path, const std::string& suffix) {
    if (path.size() < suffix.size())
        return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(path[path.size() - suffix.size() + i])) != suffix[i])
            return false;
    }
    return true;
}

// A stored spacing (its size), or 1 mm when it is not given (NaN); with a note when it is zero or
// infinite.
inline double spacingOrOne(double stored, int axis, std::vector<std::string>& notes) {
    const double s = std::fabs(stored);
    if (std::isfinite(s) && s > 0.0)
        return s;
    if (!std::isnan(s))
        notes.push_back("spacing " + std::to_string(stored) + " on axis " + std::to_string(axis + 1) +
                        "; 1 mm assumed");
    return 1.0;
}

// a * b * ..., false when the product leaves 0 .. 2^62.
inline bool productFits(const std::vector<std::int64_t>& factors, std::int64_t& product) {
    product = 1;
    for (std::int64_t f : factors) {
        if (f < 0 || __builtin_mul_overflow(product, f, &product) || product > (std::int64_t(1) << 62))
            return false;
    }
    return true;
}

// While alive, standard error goes nowhere: the format libraries print their own diagnostics
// there, and the user gets the reader's one line instead.
class QuietStderr {
  public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int saved_ = -1;
};

}  // namespace qz::io
