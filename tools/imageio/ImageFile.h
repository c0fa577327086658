#pragma once
// Image files in memory and on disk: PNG (8/16-bit grey and RGB), TIFF (8/16-bit, 32-bit float),
// JPEG (8-bit grey and RGB) and binary PGM/PPM. This target knows nothing of the image library, so
// a fuzz target can link a reader alone.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lmx::io {

enum class SampleType { UInt8, UInt16, Float32 };
enum class FileFormat { Png, Tiff, Pnm, Jpeg };

//! Pixels of one image, samples of a pixel interleaved, rows top to bottom, host byte order.
//! Exactly one of the three sample vectors is used, as type says.
struct HostImage {
    int width = 0;
    int height = 0;
    int channels = 1;  // 1 (grey), 3 (RGB); 2 (grey, alpha) and 4 (RGBA) only where asked for
    SampleType type = SampleType::UInt8;
    bool alphaDropped = false;  // the file had an alpha channel that reading left out
    std::vector<std::uint8_t> u8;
    std::vector<std::uint16_t> u16;
    std::vector<float> f32;

    std::size_t sampleCount() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
               static_cast<std::size_t>(channels);
    }
    //! Sizes the vector that type names for width x height x channels samples.
    void allocate();
};

//! A file that cannot be read or written, with a message fit for one line ("in.png: ...").
class ImageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

//! The most samples an image may hold: the library counts pixels in an int.
constexpr std::size_t kMaxSamples = std::size_t(1) << 30;

//! Decodes a whole file held in memory; the format is found from its first bytes.
//! name only labels messages. An image of more than maxPixels pixels (width x height) is
//! refused from its header, before its samples are allocated. A PNG's alpha channel is kept
//! (2 or 4 channels) when keepAlpha is set, else dropped and alphaDropped set.
HostImage decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name,
                      std::size_t maxPixels = kMaxSamples, bool keepAlpha = false);
//! Reads and decodes a file; folders, empty and unreadable files are errors.
HostImage readImage(const std::string& path, std::size_t maxPixels = kMaxSamples,
                    bool keepAlpha = false);

//! The quality of a JPEG written without one given (1 to 100).
constexpr int kDefaultJpegQuality = 90;

//! The format that a file name's extension selects (.png, .tif, .tiff, .jpg, .jpeg, .pgm, .ppm,
//! .pnm);
//! throws ImageFileError for any other.
FileFormat formatForPath(const std::string& path);
//! Throws ImageFileError when the format cannot hold the image's type and channels.
void checkWritable(FileFormat format, SampleType type, int channels, const std::string& path);
//! Encodes the image into a temporary file beside path and renames it into place, so path is
//! either left as it was or holds the whole new file. jpegQuality (1 to 100) applies to JPEG.
void writeImage(const std::string& path, const HostImage& image,
                int jpegQuality = kDefaultJpegQuality);

// The codecs, each over whole files in memory (reading) or an open descriptor (writing).
HostImage decodePng(const std::uint8_t* data, std::size_t size, const std::string& name,
                    std::size_t maxPixels = kMaxSamples, bool keepAlpha = false);
HostImage decodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name,
                     std::size_t maxPixels = kMaxSamples);
HostImage decodePnm(const std::uint8_t* data, std::size_t size, const std::string& name,
                    std::size_t maxPixels = kMaxSamples);
HostImage decodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name,
                     std::size_t maxPixels = kMaxSamples);
void encodePng(int fd, const HostImage& image, const std::string& name);
void encodeJpeg(int fd, const HostImage& image, const std::string& name, int quality);
void encodeTiff(int fd, const HostImage& image, const std::string& name);
void encodePnm(int fd, const HostImage& image, const std::string& name);

//! Throws ImageFileError unless width x height x channels (1 to 4) is a size the library can
//! hold and width x height is at most maxPixels.
void checkExtents(long long width, long long height, int channels, const std::string& name,
                  std::size_t maxPixels = kMaxSamples);

}  // namespace lmx::io
