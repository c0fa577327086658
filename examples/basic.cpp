// Makes images, runs a chain of operations on the device, reads the result back and prints the
// memory manager's report.

#include <lumerix/Lumerix.h>

#include <cstdio>

int main() {
    Lumerix a(cmm::cmmDims(640, 480));
    Lumerix b(cmm::cmmDims(640, 480));
    float* pa = a.GetHostPtr();
    float* pb = b.GetHostPtr();
    for (int i = 0; i < 640 * 480; ++i) {
        pa[i] = static_cast<float>(i % 640);
        pb[i] = static_cast<float>(i / 640);
    }
    Lumerix c = (a + b) * 0.5f;  // stays on the device
    Lumerix copy(c);             // device-to-device copy
    const float* pc = copy.GetHostPtr();
    std::printf("c(10, 20) = %.1f, sum = %.1f, max = %.1f\n", pc[20 * 640 + 10], sum(c), fmax(c));
    std::printf("%s", cmmGetStatistics().Report());
    // (10 + 20) / 2 and the largest (639 + 479) / 2: what the chain must give.
    return pc[20 * 640 + 10] == 15.0f && fmax(c) == 559.0f ? 0 : 1;
}
