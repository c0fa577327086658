#pragma once
// The FFT tests' reference: a direct DFT in double precision, the comparison against it, and the
// sizes and checks both backends' tests share.

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace lmxtest {

using Spectrum = std::vector<std::complex<double>>;

// The plain 2-D DFT: sum of f(x, y) e^(sign 2 pi i (ux / W + vy / H)) at u + v W.
inline Spectrum directDft(const Spectrum& f, int w, int h, int sign) {
    const double pi = std::acos(-1.0);
    Spectrum out(f.size());
    for (int v = 0; v < h; ++v)
        for (int u = 0; u < w; ++u) {
            std::complex<double> s = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    // Reduced first, so the angle stays small and exact for large sizes.
                    const double turns = static_cast<double>((1LL * u * x) % w) / w +
                                         static_cast<double>((1LL * v * y) % h) / h;
                    s += f[static_cast<std::size_t>(y * w + x)] *
                         std::polar(1.0, sign * 2 * pi * turns);
                }
            out[static_cast<std::size_t>(v * w + u)] = s;
        }
    return out;
}

inline Spectrum realSpectrum(const std::vector<float>& values) {
    return Spectrum(values.begin(), values.end());
}

// Expects re and im to hold want within 1e-4 of its largest magnitude.
inline ::testing::AssertionResult closeTo(const std::vector<float>& re,
                                          const std::vector<float>& im, const Spectrum& want) {
    if (re.size() != want.size() || im.size() != want.size())
        return ::testing::AssertionFailure() << re.size() << " values, want " << want.size();
    double largest = 0;
    for (const auto& z : want) largest = std::max(largest, std::abs(z));
    const double tolerance = 1e-4 * std::max(largest, 1e-30);
    for (std::size_t k = 0; k < want.size(); ++k) {
        const double error = std::abs(std::complex<double>(re[k], im[k]) - want[k]);
        if (!(error <= tolerance))
            return ::testing::AssertionFailure()
                   << "at " << k << ": got (" << re[k] << ", " << im[k] << "), want " << want[k]
                   << ", tolerance " << tolerance;
    }
    return ::testing::AssertionSuccess();
}

inline std::vector<float> zeros(std::size_t n) {
    return std::vector<float>(n, 0.0f);
}

struct Size {
    int w, h;
};

// Odd, prime, non-square, one-row and one-column sizes, and a few that need more than one block
// of rows or columns in the CPU backend's passes.
inline const Size kSizes[] = {{7, 5},   {17, 5},  {1, 64}, {64, 1},  {1, 1},   {2, 1},
                              {16, 12}, {33, 20}, {5, 40}, {64, 48}, {100, 9}, {3, 129}};

// The image is left unlocked and cached on the device after an operation or a refusal.
inline void expectUsable(Lumerix& image, const std::vector<float>& values) {
    EXPECT_EQ(image.page->lockCount, 0);
    EXPECT_TRUE(sameFloats(pixels(image), values));
}

}  // namespace lmxtest
