#pragma once

// How every Quarzelle program writes a file (the tools' images and volumes, the application's
// saved pictures):
// - the bytes go to a temporary file beside the target, named after it ("NAME.tmp-XXXXXX", the
//   name shortened to fit the file system's 255-byte limit), which is renamed over the target only
//   once complete: a failure never leaves a partial file, and an existing file stays as it was;
// - a symbolic link is written through: the file it names is replaced, the link stays;
// - an existing file keeps its permission bits (and, for root, its owner); a new one gets 0666
//   less the umask;
// - anything but a regular file at the target (a folder, a device, a pipe) is refused;
// - the temporary file is removed on every failure, and on SIGINT, SIGTERM or SIGHUP once
//   removeTempFilesOnSignals() was called.

#include <cstddef>
#include <cstdio>
#include <string>

namespace qz {

class AtomicFile {
  public:
    AtomicFile() = default;
    ~AtomicFile();  // abandons a file not committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file for path, so an unusable folder shows before any work is done.
    // False with error set to the reason (without the path) when it cannot be created.
    bool open(const std::string& path, std::string* error);
    // Where the bytes go while the file is open.
    std::FILE* stream() const { return stream_; }
    // Flushes and closes the temporary file and renames it over the target. False with error set
    // (the system's words, "No space left on device" for a full disk) and nothing left behind.
    bool commit(std::string* error);
    // Removes the temporary file; the target is not touched.
    void abandon();

  private:
    std::FILE* stream_ = nullptr;
    std::string target_;
    std::string temp_;
    int entry_ = -1;  // in the signal handler's table
};

// Writes size bytes to path as above; false with error set to the reason.
bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, std::string* error);

// From now on SIGINT, SIGTERM and SIGHUP remove the temporary files still open, then end the
// process as the signal would; SIGXFSZ is ignored, so a write beyond the file size limit fails
// as an error. For a program's main().
void removeTempFilesOnSignals();

}  // namespace qz
