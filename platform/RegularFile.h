#pragma once

#include <cstdint>
#include <string>

namespace qz {

// A regular file opened for reading. The open does not block (a FIFO without a writer cannot
// hang it); anything but a regular file is closed again at once and counts as not open.
class RegularFile {
  public:
    explicit RegularFile(const std::string& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // True for a regular file open for reading.
    bool isOpen() const { return fd_ >= 0; }
    // The errno of a failed open; 0 when the open succeeded (then a closed file is not regular).
    int openError() const { return openError_; }
    // Why the file is not open in plain words (the system's, "it is a folder" or "it is not a
    // regular file"); null when it is open.
    const char* problem() const;
    // The size when opened, in bytes.
    std::int64_t size() const { return size_; }

    // Reads up to size bytes at offset, retrying short and interrupted reads; returns the bytes
    // read (fewer only at end of file), or -1 with errno set. Safe from several threads at once.
    std::int64_t readAt(void* buffer, std::int64_t size, std::int64_t offset) const;

  private:
    int fd_ = -1;
    int openError_ = 0;
    bool folder_ = false;
    std::int64_t size_ = 0;
};

// path between quote characters for a one-line message, control characters written as \n, \t or
// \xNN (the quote and a backslash in the name are escaped too), so no name can split a line.
std::string quotedPath(const std::string& path, char quote = '\'');

}  // namespace qz
