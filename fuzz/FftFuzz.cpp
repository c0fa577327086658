// Forward and inverse FFT over extents 1 to 64 (primes included) and 3-D images; ifft with
// parts of other extents. A plain image must come back as N times itself.

#include "FuzzSupport.h"

#include <algorithm>
#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lmxfuzz::useSmallDevice();
    FuzzedDataProvider in(data, size);
    lmxfuzz::run([&] {
        const cmm::cmmDims dims = lmxfuzz::dimsFrom(in, 64);
        const bool plain = in.ConsumeBool();
        Lumerix source(dims);
        if (dims.Size() > 0) {
            float* p = source.GetHostPtr();
            for (int i = 0; i < dims.Size(); ++i)
                p[i] = plain ? static_cast<float>(in.ConsumeIntegralInRange(-8, 8))
                             : lmxfuzz::floatFrom(in);
        }
        Lumerix re, im;
        if (in.ConsumeBool()) {  // parts that do not belong together
            Lumerix a = lmxfuzz::imageFrom(in, lmxfuzz::dimsFrom(in, 64));
            Lumerix b = lmxfuzz::imageFrom(in, lmxfuzz::dimsFrom(in, 64));
            Lumerix r = ifft(a, b);
            lmxfuzz::touch(r);
            return;
        }
        fft(source, re, im);
        LMX_FUZZ_CHECK(re.GetDimensions() == dims && im.GetDimensions() == dims);
        Lumerix back = ifft(re, im);
        LMX_FUZZ_CHECK(back.GetDimensions() == dims);
        if (!plain || dims.Size() == 0) {
            lmxfuzz::touch(back);
            return;
        }
        const float* s = source.GetHostPtr();
        const float* b = back.GetHostPtr();
        const double n = dims.Size();
        double largest = 1.0;
        for (int i = 0; i < dims.Size(); ++i) largest = std::max(largest, std::fabs(double(s[i])));
        for (int i = 0; i < dims.Size(); ++i)
            LMX_FUZZ_CHECK(std::fabs(double(b[i]) - n * s[i]) <= 1e-3 * n * largest);
    });
    return 0;
}
