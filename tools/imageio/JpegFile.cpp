// JPEG through libjpeg (8-bit grey and RGB). libjpeg reports errors by calling a function that
// must not return; ours longjmps back to the function that started the call, which keeps only
// plain values and raw pointers alive across setjmp, so the jump skips no destructor. Warnings
// (corrupt data, a file that ends early, which libjpeg would otherwise pad with grey) are
// errors here too: a damaged file is refused, never read as a plausible picture.

#include "tools/imageio/ImageFile.h"

#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace lmx::io {
namespace {

struct JpegError {
    jpeg_error_mgr manager;  // first, so that libjpeg's pointer to it is a pointer to this
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
    bool unsupported = false;  // a sound file of a kind not read, rather than a damaged one
};

[[noreturn]] void onError(j_common_ptr info) {
    auto* error = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
    if (level < 0) onError(info);  // a warning: the data is damaged
}

JpegError* errorsOf(jpeg_error_mgr* manager) {
    return reinterpret_cast<JpegError*>(manager);
}

void setUp(JpegError& error) {
    jpeg_std_error(&error.manager);
    error.manager.error_exit = onError;
    error.manager.emit_message = onMessage;
}

// The largest working memory a decoder may take (a progressive file keeps all its
// coefficients): a file that claims more is refused rather than allowed to exhaust the host.
constexpr long kMostDecoderBytes = 1L << 30;

bool readHeader(jpeg_decompress_struct* info, const std::uint8_t* data, std::size_t size,
                int& channels) {
    if (setjmp(errorsOf(info->err)->jump)) return false;
    jpeg_create_decompress(info);
    info->mem->max_memory_to_use = kMostDecoderBytes;
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    jpeg_read_header(info, TRUE);
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK) {
        std::snprintf(errorsOf(info->err)->message, JMSG_LENGTH_MAX,
                      "CMYK JPEG (grey and RGB are read)");
        errorsOf(info->err)->unsupported = true;
        return false;
    }
    channels = info->num_components == 1 ? 1 : 3;
    info->out_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    return true;
}

// The rows are appended as they are decoded, so a file that ends early is refused before it
// has claimed memory for all the pixels its header promised.
bool readRows(jpeg_decompress_struct* info, std::vector<std::uint8_t>& samples) {
    if (setjmp(errorsOf(info->err)->jump)) return false;
    jpeg_start_decompress(info);
    const std::size_t row = static_cast<std::size_t>(info->output_width) *
                            static_cast<std::size_t>(info->output_components);
    while (info->output_scanline < info->output_height) {
        const std::size_t y = info->output_scanline;
        samples.resize((y + 1) * row);
        JSAMPROW at = samples.data() + y * row;
        jpeg_read_scanlines(info, &at, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

bool writeAll(jpeg_compress_struct* info, std::FILE* file, const HostImage& image, int quality) {
    if (setjmp(errorsOf(info->err)->jump)) return false;
    jpeg_create_compress(info);
    jpeg_stdio_dest(info, file);
    info->image_width = static_cast<JDIMENSION>(image.width);
    info->image_height = static_cast<JDIMENSION>(image.height);
    info->input_components = image.channels;
    info->in_color_space = image.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, quality, TRUE);
    jpeg_start_compress(info, TRUE);
    const std::size_t row = static_cast<std::size_t>(image.width) * image.channels;
    while (info->next_scanline < info->image_height) {
        JSAMPROW at = const_cast<JSAMPROW>(image.u8.data() + info->next_scanline * row);
        jpeg_write_scanlines(info, &at, 1);
    }
    jpeg_finish_compress(info);
    return true;
}

}  // namespace

HostImage decodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name,
                     std::size_t maxPixels) {
    jpeg_decompress_struct info = {};
    JpegError error;
    setUp(error);
    info.err = &error.manager;
    HostImage image;
    int channels = 0;
    bool ok = readHeader(&info, data, size, channels);
    if (ok) {
        try {
            checkExtents(info.image_width, info.image_height, channels, name, maxPixels);
            image.width = static_cast<int>(info.image_width);
            image.height = static_cast<int>(info.image_height);
            image.channels = channels;
            image.type = SampleType::UInt8;
            ok = readRows(&info, image.u8);
        } catch (...) {
            jpeg_destroy_decompress(&info);
            throw;
        }
    }
    jpeg_destroy_decompress(&info);
    if (!ok)
        throw ImageFileError(name + (error.unsupported ? ": " : ": damaged JPEG: ") +
                             error.message);
    if (image.u8.size() != image.sampleCount())
        throw ImageFileError(name + ": damaged JPEG: the decoder gave fewer rows than promised");
    return image;
}

void encodeJpeg(int fd, const HostImage& image, const std::string& name, int quality) {
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int e = errno;
        ::close(fd);
        throw ImageFileError(name + ": cannot write: " + std::strerror(e));
    }
    jpeg_compress_struct info = {};
    JpegError error;
    setUp(error);
    info.err = &error.manager;
    const bool ok = writeAll(&info, file, image, quality);
    jpeg_destroy_compress(&info);
    const bool closed = std::fclose(file) == 0;
    if (!ok) throw ImageFileError(name + ": cannot write: " + error.message);
    if (!closed) throw ImageFileError(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace lmx::io
