#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qz {

RegularFile::RegularFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        folder_ = S_ISDIR(status.st_mode);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    size_ = status.st_size;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

const char* RegularFile::problem() const {
    if (isOpen())
        return nullptr;
    if (openError_ != 0)
        return std::strerror(openError_);
    return folder_ ? "it is a folder" : "it is not a regular file";
}

std::int64_t RegularFile::readAt(void* buffer, std::int64_t size, std::int64_t offset) const {
    auto* out = static_cast<char*>(buffer);
    std::int64_t total = 0;
    while (total < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(size - total, 1 << 30));
        const ssize_t got = ::pread(fd_, out + total, want, offset + total);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

std::string quotedPath(const std::string& path, char quote) {
    std::string out(1, quote);
    for (const char ch : path) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        } else {
            if (ch == quote || ch == '\\')
                out += '\\';
            out += ch;
        }
    }
    return out + quote;
}

}  // namespace qz
