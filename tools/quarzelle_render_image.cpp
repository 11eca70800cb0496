#include "tools/quarzelle_render_image.h"

#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

namespace qz::cli {

namespace {

std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320U ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(std::uint8_t(v >> 24));
    out.push_back(std::uint8_t(v >> 16));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

// PNG chunks written as they fill: the zlib stream of the pixels is cut into IDAT chunks of a
// bounded size, so a large image never needs a second copy in memory.
class PngStream {
  public:
    explicit PngStream(std::FILE* file) : file_(file) {}

    bool ok() const { return ok_; }

    void chunk(const char* type, const std::uint8_t* data, std::size_t size) {
        std::vector<std::uint8_t> head;
        putBigEndian(head, std::uint32_t(size));
        head.insert(head.end(), type, type + 4);
        std::uint32_t crc = crc32Update(0xffffffffU, head.data() + 4, 4);
        crc = crc32Update(crc, data, size) ^ 0xffffffffU;
        std::vector<std::uint8_t> tail;
        putBigEndian(tail, crc);
        write(head.data(), head.size());
        write(data, size);
        write(tail.data(), tail.size());
    }

    // Bytes of the zlib stream, collected into IDAT chunks.
    void idat(const std::uint8_t* data, std::size_t size) {
        pending_.insert(pending_.end(), data, data + size);
        if (pending_.size() >= kIdatBytes)
            flushIdat();
    }
    void flushIdat() {
        if (!pending_.empty())
            chunk("IDAT", pending_.data(), pending_.size());
        pending_.clear();
    }

  private:
    static constexpr std::size_t kIdatBytes = std::size_t(1) << 20;

    void write(const std::uint8_t* data, std::size_t size) {
        if (ok_ && size > 0 && std::fwrite(data, 1, size, file_) != size)
            ok_ = false;
    }

    std::FILE* file_;
    bool ok_ = true;
    std::vector<std::uint8_t> pending_;
};

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegOutputMessage(j_common_ptr) {}  // warnings are not worth a line on the terminal

}  // namespace

bool writePng(std::FILE* file, int width, int height, const std::uint8_t* rgba, std::string* error) {
    PngStream png(file);
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (std::fwrite(signature, 1, 8, file) != 8) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> header;
    putBigEndian(header, std::uint32_t(width));
    putBigEndian(header, std::uint32_t(height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, filter 0, no interlace
    png.chunk("IHDR", header.data(), header.size());

    // zlib stream of stored (uncompressed) deflate blocks: every scanline is filter byte 0 + the row.
    const std::uint8_t zlibHeader[2] = {0x78, 0x01};
    png.idat(zlibHeader, 2);
    const std::uint64_t rowBytes = 4 * std::uint64_t(width);
    const std::uint64_t total = std::uint64_t(height) * (rowBytes + 1);
    std::uint64_t remaining = total;  // raw bytes not yet placed in a block
    std::uint64_t blockLeft = 0;      // raw bytes the open block still takes
    std::uint32_t adlerA = 1, adlerB = 0;
    auto raw = [&](const std::uint8_t* data, std::uint64_t size) {
        while (size > 0) {
            if (blockLeft == 0) {
                const std::uint16_t length = std::uint16_t(remaining < 65535 ? remaining : 65535);
                const std::uint8_t block[5] = {std::uint8_t(remaining == length ? 1 : 0),
                                               std::uint8_t(length), std::uint8_t(length >> 8),
                                               std::uint8_t(~length),
                                               std::uint8_t(std::uint16_t(~length) >> 8)};
                png.idat(block, 5);
                blockLeft = length;
                remaining -= length;
            }
            const std::size_t n = std::size_t(size < blockLeft ? size : blockLeft);
            png.idat(data, n);
            for (std::size_t i = 0; i < n; ++i) {
                adlerA = (adlerA + data[i]) % 65521;
                adlerB = (adlerB + adlerA) % 65521;
            }
            data += n;
            size -= n;
            blockLeft -= n;
        }
    };
    const std::uint8_t filterNone = 0;
    for (int y = 0; y < height; ++y) {
        raw(&filterNone, 1);
        raw(rgba + std::uint64_t(y) * rowBytes, rowBytes);
    }
    std::vector<std::uint8_t> adler;
    putBigEndian(adler, (adlerB << 16) | adlerA);
    png.idat(adler.data(), adler.size());
    png.flushIdat();
    png.chunk("IEND", nullptr, 0);
    if (!png.ok()) {
        if (error)
            *error = std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

bool writeJpeg(std::FILE* file, int width, int height, const std::uint8_t* rgba, int quality,
               std::string* error) {
    jpeg_compress_struct info{};
    JpegErrors errors{};
    std::vector<JSAMPLE> row(std::size_t(width) * 3);
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegErrorExit;
    errors.manager.output_message = jpegOutputMessage;
    if (setjmp(errors.jump)) {
        // A failed write of the file says why in the system's words ("No space left on device").
        const int code = errno;
        jpeg_destroy_compress(&info);
        if (error)
            *error = std::ferror(file) && code != 0 ? std::strerror(code) : errors.message;
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        // JPEG has no alpha: each colour is composited onto black.
        const std::uint8_t* src = rgba + std::size_t(info.next_scanline) * 4 * std::size_t(width);
        for (int x = 0; x < width; ++x) {
            const unsigned a = src[4 * x + 3];
            for (int c = 0; c < 3; ++c)
                row[3 * std::size_t(x) + c] = JSAMPLE((src[4 * x + c] * a + 127) / 255);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool writeImageFile(AtomicFile& file, bool jpeg, int width, int height, const std::uint8_t* rgba,
                    std::string* error) {
    errno = 0;
    const bool ok = jpeg ? writeJpeg(file.stream(), width, height, rgba, 90, error)
                         : writePng(file.stream(), width, height, rgba, error);
    if (!ok) {
        file.abandon();
        return false;
    }
    return file.commit(error);
}

}  // namespace qz::cli
