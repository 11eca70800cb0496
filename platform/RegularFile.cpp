#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qz {

RegularFile::RegularFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
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

}  // namespace qz
