// Uses the installed library through its public header alone: adds two images on the device and
// checks one pixel and the sum. Returns non-zero on a wrong result.

#include <lumerix/Lumerix.h>

#include <cstdio>

int main() {
    const int w = 37;  // not a multiple of any block width
    const int h = 5;
    Lumerix a(cmm::cmmDims(w, h));
    Lumerix b(cmm::cmmDims(w, h));
    float* pa = a.GetHostPtr();
    float* pb = b.GetHostPtr();
    double expected = 0.0;
    for (int i = 0; i < w * h; ++i) {
        pa[i] = static_cast<float>(i);
        pb[i] = 2.0f;
        expected += static_cast<double>(i) + 2.0;
    }

    Lumerix c = a + b;
    const float pixel = c.GetHostPtr()[3 * w + 4];
    const float total = sum(c);
    std::printf("c(4, 3) = %.1f, sum = %.1f\n", pixel, total);

    // Small integers: every value and partial sum is exact in float.
    if (pixel != static_cast<float>(3 * w + 4) + 2.0f) {
        std::fprintf(stderr, "wrong pixel: %f\n", pixel);
        return 1;
    }
    if (static_cast<double>(total) != expected) {
        std::fprintf(stderr, "wrong sum: %f, expected %f\n", total, expected);
        return 1;
    }
    return 0;
}
