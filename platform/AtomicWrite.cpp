#include "platform/AtomicWrite.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qz {

namespace {

// The temporary files the signal handler removes: a fixed table, since a handler may neither
// allocate nor lock. An entry is 0 free, 1 being filled, 2 a file to remove.
struct TempEntry {
    std::atomic<int> state{0};
    char path[PATH_MAX];
};
constexpr int kTempEntries = 16;
TempEntry tempEntries[kTempEntries];

int registerTemp(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kTempEntries; ++i) {
        int expected = 0;
        if (tempEntries[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(tempEntries[i].path, path.c_str(), path.size() + 1);
            tempEntries[i].state.store(2);
            return i;
        }
    }
    return -1;  // more files open at once than the table holds: they go unguarded
}

void unregisterTemp(int entry) {
    if (entry >= 0)
        tempEntries[entry].state.store(0);
}

extern "C" void removeTempFilesAndRaise(int signal) {
    for (TempEntry& entry : tempEntries) {
        if (entry.state.load() == 2)
            ::unlink(entry.path);
    }
    // The signal is blocked while its handler runs: raised again with the default action, it ends
    // the process as soon as the handler returns.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// The file path names once symbolic links are followed; it need not exist. False with errno set.
bool followLinks(std::string path, std::string* target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            *target = path;
            return true;
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length <= 0 || std::size_t(length) >= link.size()) {
            errno = length < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        link.resize(std::size_t(length));
        const std::size_t slash = path.find_last_of('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    errno = ELOOP;
    return false;
}

// "NAME.tmp-XXXXXX" beside target, NAME cut (not inside a UTF-8 character) to fit NAME_MAX.
std::string tempTemplate(const std::string& target) {
    static constexpr char kSuffix[] = ".tmp-XXXXXX";
    const std::size_t slash = target.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string name = target.substr(nameStart);
    std::size_t keep = NAME_MAX - (sizeof kSuffix - 1);
    if (name.size() > keep) {
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80)
            --keep;
        name.resize(keep);
    }
    return target.substr(0, nameStart) + name + kSuffix;
}

}  // namespace

AtomicFile::~AtomicFile() {
    abandon();
}

bool AtomicFile::open(const std::string& path, std::string* error) {
    abandon();
    auto fail = [error](const char* reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (path.empty())
        return fail(std::strerror(ENOENT));
    if (!followLinks(path, &target_))
        return fail(std::strerror(errno));
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode))
        return fail(std::strerror(EISDIR));
    if (exists && !S_ISREG(existing.st_mode))
        return fail("not a regular file");

    std::string temp = tempTemplate(target_);
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(std::strerror(errno));
    temp_ = temp;
    entry_ = registerTemp(temp_);
    mode_t mode;
    if (exists) {
        // Owner first: a change of owner clears the set-id bits the mode may restore.
        if (::geteuid() == 0 && ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            // the file stays root's
        }
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        const int code = errno;
        ::close(fd);
        abandon();
        return fail(std::strerror(code));
    }
    return true;
}

bool AtomicFile::commit(std::string* error) {
    int code = EBADF;
    bool ok = false;
    if (stream_) {
        errno = 0;
        ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
        code = errno;
        if (std::fclose(stream_) != 0 && ok) {
            ok = false;
            code = errno;
        }
        stream_ = nullptr;
        if (ok && ::rename(temp_.c_str(), target_.c_str()) != 0) {
            ok = false;
            code = errno;
        }
    }
    if (!ok) {
        abandon();
        if (error)
            *error = std::strerror(code ? code : EIO);
        return false;
    }
    unregisterTemp(entry_);
    entry_ = -1;
    temp_.clear();
    return true;
}

void AtomicFile::abandon() {
    if (stream_)
        std::fclose(stream_);
    stream_ = nullptr;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
    unregisterTemp(entry_);
    entry_ = -1;
}

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, std::string* error) {
    AtomicFile file;
    if (!file.open(path, error))
        return false;
    errno = 0;
    if (size > 0 && std::fwrite(data, 1, size, file.stream()) != size) {
        if (error)
            *error = std::strerror(errno ? errno : EIO);
        return false;
    }
    return file.commit(error);
}

void removeTempFilesOnSignals() {
    struct sigaction action {};
    action.sa_handler = removeTempFilesAndRaise;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace qz
