// Binary PGM (P5) and PPM (P6): a text header, then samples of one byte (maxval up to 255) or
// two big-endian bytes (maxval up to 65535).

#include "tools/imageio/ImageFile.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

namespace lmx::io {
namespace {

// Reads one decimal header field, skipping white space and comments.
long long headerNumber(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                       const std::string& name) {
    for (;;) {
        while (pos < size && std::isspace(data[pos])) ++pos;
        if (pos < size && data[pos] == '#') {
            while (pos < size && data[pos] != '\n') ++pos;
            continue;
        }
        break;
    }
    if (pos >= size || !std::isdigit(data[pos]))
        throw ImageFileError(
            name + ": " + (pos >= size ? "truncated PGM/PPM header" : "malformed PGM/PPM header"));
    long long value = 0;
    while (pos < size && std::isdigit(data[pos])) {
        value = value * 10 + (data[pos++] - '0');
        if (value > (1LL << 40)) throw ImageFileError(name + ": PGM/PPM header value too large");
    }
    return value;
}

void writeAll(int fd, const std::uint8_t* p, std::size_t n, const std::string& name) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0)
            throw ImageFileError(name + ": cannot write: " + std::strerror(w < 0 ? errno : EIO));
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

HostImage decodePnm(const std::uint8_t* data, std::size_t size, const std::string& name,
                    std::size_t maxPixels) {
    const int channels = data[1] == '6' ? 3 : 1;
    std::size_t pos = 2;
    const long long width = headerNumber(data, size, pos, name);
    const long long height = headerNumber(data, size, pos, name);
    const long long maxval = headerNumber(data, size, pos, name);
    if (pos >= size || !std::isspace(data[pos]))
        throw ImageFileError(name + ": truncated PGM/PPM header");
    ++pos;  // the single white-space character before the samples
    if (maxval < 1 || maxval > 65535)
        throw ImageFileError(name + ": PGM/PPM maxval " + std::to_string(maxval) +
                             " (1 to 65535 are read)");
    checkExtents(width, height, channels, name, maxPixels);
    HostImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.channels = channels;
    image.type = maxval <= 255 ? SampleType::UInt8 : SampleType::UInt16;
    const std::size_t n = image.sampleCount();
    const std::size_t bytes = image.type == SampleType::UInt8 ? n : 2 * n;
    if (size - pos < bytes) throw ImageFileError(name + ": truncated PGM/PPM: the file ends early");
    image.allocate();
    if (image.type == SampleType::UInt8) {
        std::memcpy(image.u8.data(), data + pos, n);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            image.u16[i] =
                static_cast<std::uint16_t>(data[pos + 2 * i] << 8 | data[pos + 2 * i + 1]);
    }
    return image;
}

void encodePnm(int fd, const HostImage& image, const std::string& name) {
    try {
        const bool wide = image.type == SampleType::UInt16;
        const std::string header =
            std::string(image.channels == 3 ? "P6\n" : "P5\n") + std::to_string(image.width) + " " +
            std::to_string(image.height) + "\n" + (wide ? "65535\n" : "255\n");
        writeAll(fd, reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), name);
        const std::size_t n = image.sampleCount();
        if (!wide) {
            writeAll(fd, image.u8.data(), n, name);
        } else {
            std::vector<std::uint8_t> be(2 * n);
            for (std::size_t i = 0; i < n; ++i) {
                be[2 * i] = static_cast<std::uint8_t>(image.u16[i] >> 8);
                be[2 * i + 1] = static_cast<std::uint8_t>(image.u16[i] & 0xff);
            }
            writeAll(fd, be.data(), be.size(), name);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw ImageFileError(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace lmx::io
