// TIFF through libtiff: strips of 8 or 16-bit unsigned or 32-bit float samples, grey or RGB,
// interleaved. libtiff's messages go to a buffer (not to standard error) and end up in the one
// line that the error carries.

#include "tools/imageio/ImageFile.h"

#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace lmx::io {
namespace {

char lastMessage[256];

void onError(const char*, const char* format, va_list args) {
    std::vsnprintf(lastMessage, sizeof lastMessage, format, args);
}
void onWarning(const char*, const char*, va_list) {}

// Installs the quiet handlers for the lifetime of one read or write.
struct QuietTiff {
    TIFFErrorHandler error = TIFFSetErrorHandler(onError);
    TIFFErrorHandler warning = TIFFSetWarningHandler(onWarning);
    QuietTiff() { lastMessage[0] = '\0'; }
    ~QuietTiff() {
        TIFFSetErrorHandler(error);
        TIFFSetWarningHandler(warning);
    }
};

std::string reason(const char* fallback) {
    return lastMessage[0] ? std::string(lastMessage) : std::string(fallback);
}

// A read-only file in memory, as libtiff's client procedures see it.
struct MemoryFile {
    const std::uint8_t* data;
    toff_t size;
    toff_t pos;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (n < 0) return -1;
    const toff_t left = f->pos < f->size ? f->size - f->pos : 0;
    const toff_t count = static_cast<toff_t>(n) < left ? static_cast<toff_t>(n) : left;
    std::memcpy(buf, f->data + f->pos, count);
    f->pos += count;
    return static_cast<tmsize_t>(count);
}
tmsize_t memWrite(thandle_t, void*, tmsize_t) {
    return -1;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
    f->pos = base + off;
    return f->pos;
}
int memClose(thandle_t) {
    return 0;
}
toff_t memSize(thandle_t h) {
    return static_cast<MemoryFile*>(h)->size;
}
int memMap(thandle_t, void**, toff_t*) {
    return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}

struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() {
        if (tif) TIFFClose(tif);
    }
};

}  // namespace

HostImage decodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name,
                     std::size_t maxPixels) {
    QuietTiff quiet;
    MemoryFile file{data, static_cast<toff_t>(size), 0};
    TIFF* tif = TIFFClientOpen(name.c_str(), "rm", &file, memRead, memWrite, memSeek, memClose,
                               memSize, memMap, memUnmap);
    if (!tif) throw ImageFileError(name + ": " + reason("not a readable TIFF"));
    TiffCloser closer{tif};
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    HostImage image;
    if (bits == 8 && format == SAMPLEFORMAT_UINT)
        image.type = SampleType::UInt8;
    else if (bits == 16 && format == SAMPLEFORMAT_UINT)
        image.type = SampleType::UInt16;
    else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP)
        image.type = SampleType::Float32;
    else
        throw ImageFileError(name + ": TIFF of " + std::to_string(bits) + "-bit " +
                             (format == SAMPLEFORMAT_IEEEFP ? "float" : "integer") +
                             " samples (8, 16-bit unsigned or 32-bit float are read)");
    if (TIFFIsTiled(tif)) throw ImageFileError(name + ": tiled TIFF is not read (strips only)");
    if (planar != PLANARCONFIG_CONTIG && samples > 1)
        throw ImageFileError(name + ": TIFF with separate colour planes is not read");
    if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB)
        throw ImageFileError(name + ": TIFF photometric " + std::to_string(photometric) +
                             " (grey as min-is-black or RGB are read)");
    // Extra samples (alpha) are dropped: the first one or three are kept.
    const int keep = photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if (samples < keep) throw ImageFileError(name + ": RGB TIFF with fewer than 3 samples");
    checkExtents(width, height, keep, name, maxPixels);
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.channels = keep;
    // The samples grow row by row as they are read, so a header that claims a huge image costs
    // no memory before its data fails to appear.
    const tmsize_t lineBytes = TIFFScanlineSize(tif);
    const std::size_t sampleBytes = bits / 8;
    if (lineBytes < static_cast<tmsize_t>(static_cast<std::size_t>(width) * samples * sampleBytes))
        throw ImageFileError(name + ": " + reason("inconsistent TIFF scanline size"));
    // The samples of every pixel pass through one line buffer, dropped ones included: a header
    // that claims tens of thousands of samples per pixel, or more lines than the file's bytes
    // could hold even at deflate's best ratio (about 1000 : 1, bounded here by 4096 : 1), is
    // refused before any of it is allocated.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const double claimed = static_cast<double>(lineBytes) * height;
    const double most =
        static_cast<double>(size) * (compression == COMPRESSION_NONE ? 1.0 : 4096.0);
    if (samples > 8 || claimed > most)
        throw ImageFileError(name + ": damaged TIFF: " + std::to_string(width) + " x " +
                             std::to_string(height) + " pixels of " + std::to_string(samples) +
                             " samples cannot fit in its " + std::to_string(size) + " bytes");
    std::vector<std::uint8_t> line(static_cast<std::size_t>(lineBytes));
    const std::size_t rowSamples = static_cast<std::size_t>(width) * keep;
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0)
            throw ImageFileError(name + ": " + reason("truncated TIFF: the file ends early"));
        const std::size_t filled = static_cast<std::size_t>(y + 1) * rowSamples;
        switch (image.type) {
            case SampleType::UInt8:
                image.u8.resize(filled);
                break;
            case SampleType::UInt16:
                image.u16.resize(filled);
                break;
            case SampleType::Float32:
                image.f32.resize(filled);
                break;
        }
        for (uint32_t x = 0; x < width; ++x) {
            const std::uint8_t* src =
                line.data() + static_cast<std::size_t>(x) * samples * sampleBytes;
            const std::size_t dst = y * rowSamples + static_cast<std::size_t>(x) * keep;
            switch (image.type) {
                case SampleType::UInt8:
                    std::memcpy(&image.u8[dst], src, keep);
                    break;
                case SampleType::UInt16:
                    std::memcpy(&image.u16[dst], src, 2 * keep);
                    break;
                case SampleType::Float32:
                    std::memcpy(&image.f32[dst], src, 4 * keep);
                    break;
            }
        }
    }
    return image;
}

void encodeTiff(int fd, const HostImage& image, const std::string& name) {
    QuietTiff quiet;
    TIFF* tif = TIFFFdOpen(fd, name.c_str(), "w");
    if (!tif) {
        ::close(fd);
        throw ImageFileError(name + ": cannot write: " + reason("libtiff refused the file"));
    }
    const int bits = image.type == SampleType::UInt8    ? 8
                     : image.type == SampleType::UInt16 ? 16
                                                        : 32;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, image.channels);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
                 image.type == SampleType::Float32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                 image.channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    const std::size_t rowBytes =
        static_cast<std::size_t>(image.width) * image.channels * (bits / 8);
    std::vector<std::uint8_t> line(rowBytes);
    bool ok = true;
    for (int y = 0; ok && y < image.height; ++y) {
        const std::size_t first = static_cast<std::size_t>(y) * image.width * image.channels;
        const void* src =
            image.type == SampleType::UInt8    ? static_cast<const void*>(&image.u8[first])
            : image.type == SampleType::UInt16 ? static_cast<const void*>(&image.u16[first])
                                               : static_cast<const void*>(&image.f32[first]);
        std::memcpy(line.data(), src, rowBytes);  // libtiff may change the buffer it is given
        ok = TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) >= 0;
    }
    ok = ok && TIFFFlush(tif) == 1;
    TIFFClose(tif);  // closes fd
    if (!ok) throw ImageFileError(name + ": cannot write: " + reason("libtiff failed"));
}

}  // namespace lmx::io
