// Labelling of random masks of random sizes, checked against a flood fill: components numbered
// 1..K in the raster order of their first pixel, 4-connected, 0 for background.

#include "FuzzSupport.h"

#include <vector>

namespace {

std::vector<int> floodFill(const std::vector<bool>& fg, int w, int h) {
    std::vector<int> labels(fg.size(), 0);
    std::vector<int> stack;
    int next = 0;
    for (int start = 0; start < w * h; ++start) {
        if (!fg[start] || labels[start]) continue;
        labels[start] = ++next;
        stack.assign(1, start);
        while (!stack.empty()) {
            const int p = stack.back();
            stack.pop_back();
            const int x = p % w, y = p / w;
            const int around[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
            for (const auto& q : around) {
                if (q[0] < 0 || q[0] >= w || q[1] < 0 || q[1] >= h) continue;
                const int i = q[1] * w + q[0];
                if (fg[i] && !labels[i]) {
                    labels[i] = next;
                    stack.push_back(i);
                }
            }
        }
    }
    return labels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lmxfuzz::useSmallDevice();
    FuzzedDataProvider in(data, size);
    lmxfuzz::run([&] {
        const cmm::cmmDims dims = lmxfuzz::dimsFrom(in, 96);
        const int w = dims.Dim(0), h = dims.Dim(1);
        const int density = in.ConsumeIntegralInRange(0, 255);
        Lumerix image(dims);
        std::vector<bool> fg(static_cast<size_t>(dims.Size() > 0 ? w * h : 0));
        if (dims.Size() > 0) {
            float* p = image.GetHostPtr();
            for (int i = 0; i < dims.Size(); ++i) {
                const bool on = in.ConsumeIntegralInRange(0, 255) < density;
                p[i] = on ? (in.ConsumeBool() ? lmxfuzz::floatFrom(in) : 1.0f)
                          : (in.ConsumeBool() ? -0.0f : 0.0f);
                if (p[i] == 0.0f) p[i] = on ? 1.0f : p[i];  // a drawn -0 or 0 stays background only
                if (i < w * h) fg[i] = on;
            }
        }
        Lumerix labels = label(image);
        LMX_FUZZ_CHECK(labels.GetDimensions() == dims);
        if (dims.Size() == 0) return;
        const std::vector<int> expected = floodFill(fg, w, h);
        const float* got = labels.GetHostPtr();
        for (int i = 0; i < w * h; ++i) LMX_FUZZ_CHECK(got[i] == static_cast<float>(expected[i]));
        for (int i = w * h; i < dims.Size(); ++i) LMX_FUZZ_CHECK(got[i] == 0.0f);
    });
    return 0;
}
