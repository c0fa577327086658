// Geometric operations with any offsets, windows, origins, sizes, coefficients and canvases,
// huge, negative, zero, NaN and infinite values included, over images of 0 x 0 to 64 x 64 and
// 1 x N / N x 1. Shift and crop are checked against plain re-indexing.

#include "FuzzSupport.h"

#include <climits>
#include <stdexcept>

namespace {

int offsetFrom(FuzzedDataProvider& in, int side) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return in.ConsumeBool() ? INT_MAX : INT_MIN;
        case 1:
            return in.ConsumeIntegral<int>();
        default:
            return in.ConsumeIntegralInRange(-3 * side - 2, 3 * side + 2);
    }
}

int wrap(long long p, int n) {
    const long long q = p % n;
    return static_cast<int>(q < 0 ? q + n : q);
}

void checkShift(Lumerix& source, int dx, int dy) {
    const cmm::cmmDims d = source.GetDimensions();
    Lumerix r = source(dx, dy);
    LMX_FUZZ_CHECK(r.GetDimensions() == d);
    if (d.Size() == 0) return;
    const int w = d.Dim(0), h = d.Dim(1);
    const float* s = source.GetHostPtr();
    const float* p = r.GetHostPtr();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float expected = s[wrap(1LL * y + dy, h) * w + wrap(1LL * x + dx, w)];
            const float got = p[y * w + x];
            LMX_FUZZ_CHECK(got == expected || (got != got && expected != expected));
        }
    for (int i = w * h; i < d.Size(); ++i) LMX_FUZZ_CHECK(p[i] == 0.0f);
}

void checkCrop(Lumerix& source, int x0, int x1, int y0, int y1) {
    const cmm::cmmDims d = source.GetDimensions();
    const bool valid = 0 <= x0 && x0 <= x1 && x1 <= d.Dim(0) && 0 <= y0 && y0 <= y1 &&
                       y1 <= d.Dim(1) && d.Size() > 0;
    try {
        Lumerix r = source(x0, x1, y0, y1);
        LMX_FUZZ_CHECK(valid || d.Size() == 0);
        if (!valid) return;
        const cmm::cmmDims rd = r.GetDimensions();
        const int w = x1 - x0, h = y1 - y0;
        LMX_FUZZ_CHECK(rd.Size() == w * h || (w * h == 0 && rd.Size() == 0));
        if (rd.Size() == 0) return;
        const float* s = source.GetHostPtr();
        const float* p = r.GetHostPtr();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float expected = s[(y + y0) * d.Dim(0) + x + x0];
                const float got = p[y * w + x];
                LMX_FUZZ_CHECK(got == expected || (got != got && expected != expected));
            }
    } catch (const std::out_of_range&) {
        LMX_FUZZ_CHECK(!valid);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lmxfuzz::useSmallDevice();
    FuzzedDataProvider in(data, size);
    lmxfuzz::run([&] {
        cmm::cmmDims dims = lmxfuzz::dimsFrom(in, 64);
        if (in.ConsumeBool())
            dims = in.ConsumeBool() ? cmm::cmmDims(1, in.ConsumeIntegralInRange(1, 200))
                                    : cmm::cmmDims(in.ConsumeIntegralInRange(1, 200), 1);
        Lumerix source = lmxfuzz::imageFrom(in, dims);
        const int side = dims.Dim(0) > dims.Dim(1) ? dims.Dim(0) : dims.Dim(1);
        switch (in.ConsumeIntegralInRange(0, 6)) {
            case 0:
                checkShift(source, offsetFrom(in, side), offsetFrom(in, side));
                break;
            case 1: {
                const int x0 = offsetFrom(in, side), x1 = offsetFrom(in, side);
                const int y0 = offsetFrom(in, side), y1 = offsetFrom(in, side);
                checkCrop(source, x0, x1, y0, y1);
                break;
            }
            case 2: {
                const float x = lmxfuzz::floatFrom(in), y = lmxfuzz::floatFrom(in);
                const int w = in.ConsumeIntegralInRange(-2, 80),
                          h = in.ConsumeIntegralInRange(-2, 80);
                Lumerix r = slice(source, x, y, w, h);
                lmxfuzz::touch(r);
                break;
            }
            case 3: {
                Lumerix a = xx(source);
                Lumerix b = yy(source);
                lmxfuzz::touch(a);
                lmxfuzz::touch(b);
                break;
            }
            case 4: {
                float m[6];
                for (float& v : m) v = lmxfuzz::floatFrom(in);
                Lumerix r = in.ConsumeBool() ? affine(source, m)
                                             : affine(source, m[0], m[1], m[2], m[3], m[4], m[5]);
                lmxfuzz::touch(r);
                break;
            }
            case 5: {
                const cmm::cmmDims canvas = lmxfuzz::dimsFrom(in, 80);
                const int a = offsetFrom(in, side), b = offsetFrom(in, side);
                Lumerix r = resize(source, canvas, a, b);
                LMX_FUZZ_CHECK(r.GetDimensions() == canvas);
                lmxfuzz::touch(r);
                break;
            }
            case 6: {  // sizes far beyond the device: a clear exception, never a wild allocation
                const int w = offsetFrom(in, 1 << 16), h = offsetFrom(in, 1 << 16);
                Lumerix r = slice(source, 0.5f, 0.5f, w, h);
                lmxfuzz::touch(r);
                break;
            }
        }
    });
    return 0;
}
