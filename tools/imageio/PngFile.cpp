// PNG through libpng. libpng reports errors by longjmp; the functions that call it keep only
// plain values and raw pointers alive across setjmp, so the jump skips no destructor, and the
// message travels back in the context to be thrown from ordinary C++ code.

#include "tools/imageio/ImageFile.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace lmx::io {
namespace {

struct PngContext {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    int fd = -1;
    char message[256] = {};
};

void onError(png_structp png, png_const_charp text) {
    auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
    std::snprintf(ctx->message, sizeof ctx->message, "%s", text);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readBytes(png_structp png, png_bytep out, png_size_t count) {
    auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
    if (count > ctx->size - ctx->pos) png_error(png, "truncated PNG: the file ends early");
    std::memcpy(out, ctx->data + ctx->pos, count);
    ctx->pos += count;
}

void writeBytes(png_structp png, png_bytep in, png_size_t count) {
    auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
    while (count > 0) {
        const ssize_t n = ::write(ctx->fd, in, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) png_error(png, std::strerror(n < 0 ? errno : EIO));
        in += n;
        count -= static_cast<std::size_t>(n);
    }
}

void flushBytes(png_structp) {}

struct Header {
    png_uint_32 width = 0, height = 0;
    int channels = 0;
    int depth = 0;
    bool alpha = false;
};

// Reads the header and sets up the transformations to grey or RGB of 8 or 16 bits in host
// byte order. Returns false with ctx.message set on error.
bool readHeader(png_structp png, png_infop info, PngContext& ctx, Header& h, bool keepAlpha) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, &ctx, readBytes);
    png_read_info(png, info);
    int depth = 0, colour = 0;
    png_get_IHDR(png, info, &h.width, &h.height, &depth, &colour, nullptr, nullptr, nullptr);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    // Transparency is an alpha channel, or the alpha that expanding a palette with a tRNS chunk
    // adds (grey and RGB files keep tRNS as a chunk, not as samples): kept when asked for, else
    // dropped and said so.
    h.alpha = (colour & PNG_COLOR_MASK_ALPHA) ||
              (colour == PNG_COLOR_TYPE_PALETTE && png_get_valid(png, info, PNG_INFO_tRNS));
    if (h.alpha && !keepAlpha) png_set_strip_alpha(png);
    if (depth == 16) png_set_swap(png);
    png_read_update_info(png, info);
    h.channels = png_get_channels(png, info);
    h.depth = png_get_bit_depth(png, info);
    return true;
}

bool readRows(png_structp png, png_bytep* rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

const int kColourTypes[4] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                             PNG_COLOR_TYPE_RGB_ALPHA};

bool writeAll(png_structp png, png_infop info, PngContext& ctx, const HostImage& image,
              png_bytep* rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, &ctx, writeBytes, flushBytes);
    const int depth = image.type == SampleType::UInt16 ? 16 : 8;
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), depth, kColourTypes[image.channels - 1],
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (depth == 16) png_set_swap(png);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

HostImage decodePng(const std::uint8_t* data, std::size_t size, const std::string& name,
                    std::size_t maxPixels, bool keepAlpha) {
    PngContext ctx;
    ctx.data = data;
    ctx.size = size;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw ImageFileError(name + ": out of memory for the PNG reader");
    }
    HostImage image;
    Header h;
    bool ok = readHeader(png, info, ctx, h, keepAlpha);
    if (ok) {
        std::vector<png_bytep> rows;
        try {
            checkExtents(h.width, h.height, h.channels, name, maxPixels);
            // Deflate packs at most about 1032 bytes into one: a file far too small for the
            // pixels it claims is damaged, and is refused before they are allocated.
            const double rawBytes =
                static_cast<double>(h.width) * h.height * h.channels * (h.depth == 16 ? 2 : 1);
            if (rawBytes > 1100.0 * static_cast<double>(size) + 65536.0)
                throw ImageFileError(name + ": damaged PNG: " + std::to_string(h.width) + " x " +
                                     std::to_string(h.height) + " pixels cannot fit in " +
                                     std::to_string(size) + " bytes");
            image.width = static_cast<int>(h.width);
            image.height = static_cast<int>(h.height);
            image.channels = h.channels;
            image.alphaDropped = h.alpha && !keepAlpha;
            image.type = h.depth == 16 ? SampleType::UInt16 : SampleType::UInt8;
            image.allocate();
            rows.resize(h.height);
        } catch (...) {
            png_destroy_read_struct(&png, &info, nullptr);
            throw;
        }
        const std::size_t rowSamples = static_cast<std::size_t>(h.width) * h.channels;
        for (png_uint_32 y = 0; y < h.height; ++y)
            rows[y] = h.depth == 16 ? reinterpret_cast<png_bytep>(image.u16.data() + y * rowSamples)
                                    : image.u8.data() + y * rowSamples;
        ok = readRows(png, rows.data());
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (!ok) throw ImageFileError(name + ": " + ctx.message);
    return image;
}

void encodePng(int fd, const HostImage& image, const std::string& name) {
    PngContext ctx;
    ctx.fd = fd;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
    const std::size_t rowSamples = static_cast<std::size_t>(image.width) * image.channels;
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = image.type == SampleType::UInt16
                      ? reinterpret_cast<png_bytep>(
                            const_cast<std::uint16_t*>(image.u16.data() + y * rowSamples))
                      : const_cast<png_bytep>(image.u8.data() + y * rowSamples);
    const bool created = info != nullptr;
    const bool ok = created && writeAll(png, info, ctx, image, rows.data());
    png_destroy_write_struct(&png, &info);
    const bool closed = ::close(fd) == 0;
    if (!created) throw ImageFileError(name + ": out of memory for the PNG writer");
    if (!ok) throw ImageFileError(name + ": cannot write: " + ctx.message);
    if (!closed) throw ImageFileError(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace lmx::io
