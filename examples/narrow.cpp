// 8 and 16-bit data in and out: bytes from a camera-like source become float pixels, a gain is
// applied on the device, and the result leaves as 16-bit data (saturating) and as 8-bit data.

#include <lumerix/Lumerix.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main() {
    const int width = 320, height = 240, n = width * height;
    std::vector<unsigned char> bytes(n);
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i % width * 255 / (width - 1));

    Lumerix image(cmm::cmmDims(width, height));
    image.SetDataInt8(bytes.data());  // 0..255 as float pixels
    Lumerix scaled = image * 300.0f;  // 0..76500: above 65535 saturates in 16 bits
    unsigned short* wide = scaled.GetDataInt16();
    Lumerix halved = image * 0.5f;  // fractions are truncated on the way to 8 bits
    unsigned char* narrow = halved.GetDataInt8();

    int wrong = 0;
    for (int i = 0; i < n; ++i) {
        const long want = bytes[i] * 300L > 65535 ? 65535 : bytes[i] * 300L;
        wrong += wide[i] != want || narrow[i] != bytes[i] / 2;
    }
    std::printf("first row, 16-bit: %u %u ... %u (saturated)\n", wide[0], wide[1], wide[width - 1]);
    std::printf("first row, 8-bit halves: %u %u ... %u\n", narrow[0], narrow[1], narrow[width - 1]);
    std::free(wide);  // the caller owns both arrays
    std::free(narrow);
    if (wrong != 0) {
        std::printf("%d pixels differ from the expected conversion\n", wrong);
        return 1;
    }
    return 0;
}
