// The statistics report: reductions and the 256-bin histogram of an image, checked against a
// plain loop on the host, then the memory manager's report.

#include <lumerix/Lumerix.h>

#include <cmath>
#include <cstdio>

int main() {
    const int width = 500, height = 300, n = width * height;
    Lumerix image(cmm::cmmDims(width, height));
    float* p = image.GetHostPtr();
    double hostSum = 0;
    unsigned int hostBins[256] = {};
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<float>((i * 37) % 1000) * 0.25f;  // 0 .. 249.75
        hostSum += p[i];
        ++hostBins[static_cast<int>(p[i])];
    }
    Lumerix shifted = image + 10.0f;  // stays on the device; the reductions read it there

    unsigned int bins[256];
    histogram256(image, bins);
    const float s = sum(shifted), lo = fmin(shifted), hi = fmax(shifted);
    const float m = mean(shifted), v = var(shifted);
    std::printf("sum %.6g  min %g  max %g  mean %.6g  var %.6g\n", s, lo, hi, m, v);
    std::printf("histogram, bins 0-7: %u %u %u %u %u %u %u %u\n", bins[0], bins[1], bins[2],
                bins[3], bins[4], bins[5], bins[6], bins[7]);
    std::printf("%s", cmmGetStatistics().Report());

    bool ok = std::fabs(s - (hostSum + 10.0 * n)) <= 1e-5 * (hostSum + 10.0 * n) && lo == 10.0f &&
              hi == 259.75f && std::fabs(m - (hostSum / n + 10.0)) < 1e-3;
    for (int b = 0; b < 256; ++b) ok = ok && bins[b] == hostBins[b];
    if (!ok) std::printf("the figures differ from the host's\n");
    return ok ? 0 : 1;
}
