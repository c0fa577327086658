// The image readers (PNG, TIFF, JPEG, PGM/PPM, chosen by content): any bytes must decode into a
// consistent image or be refused with ImageFileError, never crash or read outside the buffer.

#include "tools/imageio/ImageFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const lmx::io::HostImage image = lmx::io::decodeImage(data, size, "fuzz");
        // A decoded image holds exactly the samples its header promises.
        const std::size_t held = image.type == lmx::io::SampleType::UInt8    ? image.u8.size()
                                 : image.type == lmx::io::SampleType::UInt16 ? image.u16.size()
                                                                             : image.f32.size();
        if (image.width < 1 || image.height < 1 || image.sampleCount() == 0 ||
            held != image.sampleCount() || (image.channels != 1 && image.channels != 3)) {
            std::fprintf(stderr, "decoded image of %d x %d x %d holds %zu samples\n", image.width,
                         image.height, image.channels, held);
            std::abort();
        }
    } catch (const lmx::io::ImageFileError&) {
    }
    return 0;
}
