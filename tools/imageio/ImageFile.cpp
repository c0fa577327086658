// Reading by content, writing by extension, and the temporary-file-and-rename step that keeps a
// half-written output from ever standing under the output's name.

#include "tools/imageio/ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace lmx::io {

void HostImage::allocate() {
    const std::size_t n = sampleCount();
    u8.clear();
    u16.clear();
    f32.clear();
    switch (type) {
        case SampleType::UInt8:
            u8.assign(n, 0);
            break;
        case SampleType::UInt16:
            u16.assign(n, 0);
            break;
        case SampleType::Float32:
            f32.assign(n, 0.0f);
            break;
    }
}

void checkExtents(long long width, long long height, int channels, const std::string& name,
                  std::size_t maxPixels) {
    if (width <= 0 || height <= 0)
        throw ImageFileError(name + ": image of " + std::to_string(width) + " x " +
                             std::to_string(height) + " pixels has no pixels");
    if (channels < 1 || channels > 4)
        throw ImageFileError(name + ": " + std::to_string(channels) +
                             " channels (grey or RGB are read)");
    const long long limit = static_cast<long long>(kMaxSamples);
    if (width > limit || height > limit || width * height > limit / channels)
        throw ImageFileError(name + ": image of " + std::to_string(width) + " x " +
                             std::to_string(height) + " pixels is too large");
    // A small file can claim a huge image (a flat picture deflates a thousandfold): the limit
    // keeps such a file from taking gigabytes before anything is computed.
    if (static_cast<unsigned long long>(width * height) > maxPixels)
        throw ImageFileError(name + ": image of " + std::to_string(width) + " x " +
                             std::to_string(height) + " pixels is more than the " +
                             std::to_string(maxPixels) +
                             " allowed (--max-pixels or LUMERIX_MAX_PIXELS raise the limit)");
}

HostImage decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name,
                      std::size_t maxPixels, bool keepAlpha) {
    if (size == 0) throw ImageFileError(name + ": empty file");
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size >= 8 && std::memcmp(data, kPng, 8) == 0)
        return decodePng(data, size, name, maxPixels, keepAlpha);
    if (size >= 4 && ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
                      (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42)))
        return decodeTiff(data, size, name, maxPixels);
    if (size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff)
        return decodeJpeg(data, size, name, maxPixels);
    if (size >= 2 && data[0] == 'P' && (data[1] == '5' || data[1] == '6'))
        return decodePnm(data, size, name, maxPixels);
    throw ImageFileError(name + ": not an image this tool reads (PNG, TIFF, binary PGM/PPM)");
}

HostImage readImage(const std::string& path, std::size_t maxPixels, bool keepAlpha) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw ImageFileError(path + ": cannot open: " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw ImageFileError(path + ": is a folder, not an image file");
    if (!S_ISREG(st.st_mode)) throw ImageFileError(path + ": is not a regular file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ImageFileError(path + ": cannot open: " + std::strerror(errno));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            ::close(fd);
            throw ImageFileError(path + ": cannot read" +
                                 (error ? std::string(": ") + std::strerror(error) : ""));
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return decodeImage(bytes.data(), bytes.size(), path, maxPixels, keepAlpha);
}

FileFormat formatForPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "png") return FileFormat::Png;
    if (ext == "tif" || ext == "tiff") return FileFormat::Tiff;
    if (ext == "pgm" || ext == "ppm" || ext == "pnm") return FileFormat::Pnm;
    if (ext == "jpg" || ext == "jpeg") return FileFormat::Jpeg;
    throw ImageFileError(path + ": unknown output format (name it .png, .tif, .jpg, .pgm or .ppm)");
}

void checkWritable(FileFormat format, SampleType type, int channels, const std::string& path) {
    if ((channels == 2 || channels == 4) && format != FileFormat::Png)
        throw ImageFileError(path +
                             ": only PNG keeps an alpha channel (name the output .png, or "
                             "leave out --per-channel to drop it)");
    if (format == FileFormat::Jpeg && type != SampleType::UInt8)
        throw ImageFileError(path + ": JPEG holds 8-bit samples (--depth 8, or a PNG or TIFF)");
    if (format != FileFormat::Tiff && type == SampleType::Float32)
        throw ImageFileError(path + ": PNG and PGM/PPM hold 8 or 16-bit samples, not float");
    if (format == FileFormat::Pnm) {
        const std::size_t dot = path.find_last_of('.');
        std::string ext = path.substr(dot + 1);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (ext == "pgm" && channels != 1)
            throw ImageFileError(path + ": PGM holds grey images (name a colour one .ppm)");
        if (ext == "ppm" && channels != 3)
            throw ImageFileError(path + ": PPM holds colour images (name a grey one .pgm)");
    }
}

void writeImage(const std::string& path, const HostImage& image, int jpegQuality) {
    const FileFormat format = formatForPath(path);
    checkWritable(format, image.type, image.channels, path);
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) throw ImageFileError(path + ": cannot create: " + std::strerror(errno));
    try {
        switch (format) {
            case FileFormat::Png:
                encodePng(fd, image, path);
                break;
            case FileFormat::Tiff:
                encodeTiff(fd, image, path);
                break;
            case FileFormat::Pnm:
                encodePnm(fd, image, path);
                break;
            case FileFormat::Jpeg:
                encodeJpeg(fd, image, path, jpegQuality);
                break;
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    // The encoders close the descriptor. mkstemp creates 0600; an image is an ordinary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp.c_str(), 0666 & ~mask);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw ImageFileError(path + ": cannot write: " + std::strerror(error));
    }
}

}  // namespace lmx::io
