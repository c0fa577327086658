// Neighbourhood filters with any radii and coefficients, morphology shapes and iteration counts
// (negative and large), and Gaussians of any sigma, over images of 0 x 0 to 48 x 48.

#include "FuzzSupport.h"

#include <climits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lmxfuzz::useSmallDevice();
    FuzzedDataProvider in(data, size);
    lmxfuzz::run([&] {
        cmm::cmmDims dims = lmxfuzz::dimsFrom(in, 48);
        Lumerix source = lmxfuzz::imageFrom(in, dims);
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                int xr = in.ConsumeIntegralInRange(-3, 120),
                    yr = in.ConsumeIntegralInRange(-3, 120);
                if (in.ConsumeBool())
                    xr = in.ConsumeBool() ? INT_MIN : -in.ConsumeIntegralInRange(1, 1 << 20);
                // More than 225 taps ends the process by contract (the upload's fatal check,
                // covered by a death test); everything else must filter or throw.
                if (xr >= 0 && yr >= 0 && (2LL * xr + 1) * (2LL * yr + 1) > 225) return;
                std::vector<float> taps(225);
                for (float& t : taps) t = in.ConsumeBool() ? lmxfuzz::floatFrom(in) : 0.25f;
                Lumerix r = convolve(source, taps.data(), xr, yr);
                lmxfuzz::touch(r);
                break;
            }
            case 1:
            case 2: {
                int iterations = in.ConsumeIntegralInRange(-4, 12);
                if (in.ConsumeBool())
                    iterations = in.ConsumeBool() ? INT_MIN : in.ConsumeIntegralInRange(13, 300);
                const int shape = in.ConsumeIntegral<int>();
                Lumerix r = in.ConsumeBool() ? erosion(source, iterations, shape)
                                             : dilation(source, iterations, shape);
                LMX_FUZZ_CHECK(r.GetDimensions() == dims);
                lmxfuzz::touch(r);
                break;
            }
            case 3: {
                const float sigma = lmxfuzz::floatFrom(in);
                const int which = in.ConsumeIntegralInRange(0, 2);
                Lumerix r = which == 0   ? gauss(source, sigma)
                            : which == 1 ? gaussx(source, sigma)
                                         : gaussy(source, sigma);
                lmxfuzz::touch(r);
                break;
            }
        }
    });
    return 0;
}
