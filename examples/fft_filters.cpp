// Filters and the Fourier transform: a Gaussian blur, an erosion, and an FFT round trip that
// gives the image back times its pixel count (the transforms are unnormalised).

#include <lumerix/Lumerix.h>

#include <cmath>
#include <cstdio>

int main() {
    const int width = 128, height = 96;
    Lumerix image(cmm::cmmDims(width, height));
    float* p = image.GetHostPtr();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[y * width + x] = (x - 64) * (x - 64) + (y - 48) * (y - 48) < 400 ? 100.0f : 0.0f;

    Lumerix blurred = gauss(image, 2.0f);
    Lumerix eroded = erosion(image, 2, 2);  // two passes of the 3 x 3 square
    std::printf("sum: image %.1f, blurred %.1f; eroded keeps %.0f of %.0f disc pixels\n",
                sum(image), sum(blurred), sum(eroded) / 100, sum(image) / 100);

    Lumerix re, im;
    fft(image, re, im);
    Lumerix back = ifft(re, im) / static_cast<float>(width * height);
    const float error = fmax(abs(back - image));
    std::printf("FFT round trip: largest error %g\n", error);
    const bool ok = error < 1e-3f && std::fabs(sum(blurred) - sum(image)) < 1e-2f * sum(image) &&
                    sum(eroded) < sum(image);
    return ok ? 0 : 1;
}
