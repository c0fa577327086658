// libFuzzer entry: any bytes given to the readers must decode or be refused with
// ImageFileError, never crash or read outside the buffer (built with address sanitizer).

#include "tools/imageio/ImageFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        lmx::io::decodeImage(data, size, "fuzz");
    } catch (const lmx::io::ImageFileError&) {
    }
    return 0;
}
