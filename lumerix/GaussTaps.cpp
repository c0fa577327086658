// Gaussian tables: weights exp(-(i^2 + j^2) / 2 sigma^2), each value rounded to float where the
// filters have always rounded it, so that a table is the same to the bit on every machine.

#include "lumerix/GaussTaps.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace lmx {

int gaussRadius(float sigma) {
    float t = 2.0f * sigma;
    if (!(t > 1.0f)) t = 1.0f;  // NaN fails the test as well
    if (!(t < 7.0f)) t = 7.0f;
    return static_cast<int>(t);
}

GaussTaps gaussTaps(float sigma, GaussKind kind, const char* operation) {
    GaussTaps g;
    const int r = gaussRadius(sigma);
    g.radius = r;
    const double s2 = (2.0 * sigma) * sigma;
    float s = 0.0f;
    const int span = 2 * r + 1;
    for (int i = -r; i <= r; ++i)
        for (int j = -r; j <= r; ++j) {
            const float e = static_cast<float>(-(j * j) / s2 - (i * i) / s2);
            const float w = static_cast<float>(std::exp(static_cast<double>(e)));
            float tap = w;
            if (kind == GaussKind::DerivX) tap = static_cast<float>((-2 * j / s2) * w);
            if (kind == GaussKind::DerivY) tap = static_cast<float>((-2 * i / s2) * w);
            g.taps[(i + r) * span + (j + r)] = tap;
            s = kind == GaussKind::Smooth ? s + tap : s + std::fabs(tap);
        }
    g.sum = s;
    // s2 = 0 (sigma 0) and NaN make every weight NaN; the sum catches them with the rest.
    if (!(s != 0.0f && std::isfinite(s))) {
        std::ostringstream text;
        text << operation << ": sigma " << sigma << " gives no finite filter (normalising sum " << s
             << ")";
        throw std::invalid_argument(text.str());
    }
    for (int k = 0; k < span * span; ++k) g.taps[k] = g.taps[k] / s;
    return g;
}

long long gaussianRadius(float sigma, float truncate, long long most) {
    const double r = static_cast<double>(truncate) * sigma + 0.5;
    return r > static_cast<double>(most) ? most + 1 : static_cast<long long>(r);
}

std::vector<float> gaussianLine(float sigma, int radius) {
    const double scale = -0.5 / (static_cast<double>(sigma) * sigma);
    std::vector<double> weights(2 * static_cast<std::size_t>(radius) + 1);
    double sum = 0.0;
    for (int x = -radius; x <= radius; ++x) {
        const double wx = std::exp(scale * x * x);
        weights[static_cast<std::size_t>(x + radius)] = wx;
        sum += wx;
    }
    std::vector<float> taps(weights.size());
    for (std::size_t i = 0; i < taps.size(); ++i) taps[i] = static_cast<float>(weights[i] / sum);
    return taps;
}

}  // namespace lmx
