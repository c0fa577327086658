// Misuse and extreme arguments: outputs held locked, transforms past the working array's count,
// iteration counts far past what changes a pixel, the variance's bits.

#include "TestSupport.h"
#include "VarianceSupport.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using cmm::cmmDims;
using lmxtest::imageOf;
using lmxtest::pixels;
using lmxtest::sameFloats;

namespace {

// ---- fft into an output the caller holds locked ----------------------------------------------

TEST(Hardening, FftWithALockedOutputLeavesBothOutputsAsTheyWere) {
    for (const bool lockIm : {false, true}) {
        SCOPED_TRACE(lockIm ? "im locked" : "re locked");
        Lumerix image = imageOf(cmmDims(5, 3), lmxtest::ramp(15));
        Lumerix re = imageOf({1.0f, 2.0f}), im = imageOf({3.0f, 4.0f, 5.0f});
        Lumerix& held = lockIm ? im : re;
        held.Lock();
        LMX_EXPECT_RUNTIME_ERROR(fft(image, re, im), "Invalid state");
        EXPECT_NO_THROW(held.Release());
        EXPECT_EQ(pixels(re), (std::vector<float>{1.0f, 2.0f}));
        EXPECT_EQ(pixels(im), (std::vector<float>{3.0f, 4.0f, 5.0f}));
    }
}

// ---- fft and ifft past the working array's element count --------------------------------------

TEST(Hardening, TransformsPastTwoToTheThirtyPixelsNameTheOperationAndExtents) {
    // Images without pixels on the host or the device: nothing is allocated before the check.
    const std::function<void(Lumerix&)> calls[] = {
        [](Lumerix& big) {
            Lumerix re, im;
            fft(big, re, im);
        },
        [](Lumerix& big) {
            Lumerix im(big.GetDimensions());
            ifft(big, im);
        },
    };
    const char* names[] = {"fft: ", "ifft: "};
    for (int k = 0; k < 2; ++k) {
        Lumerix big(cmmDims(32768, 32769));
        try {
            calls[k](big);
            ADD_FAILURE() << names[k] << "threw nothing";
        } catch (const std::overflow_error& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.rfind(names[k], 0), 0u) << text;
            EXPECT_NE(text.find("32768 x 32769"), std::string::npos) << text;
        }
    }
}

// ---- morphology: passes past the settled plane ----------------------------------------------

Lumerix onePass(bool dilate, Lumerix& image, int shape) {
    return dilate ? dilation(image, 1, shape) : erosion(image, 1, shape);
}

TEST(Hardening, MorphologyPastTheSettledPlaneGivesTheSameBitsWithoutRunningThePasses) {
    // Signed zeros keep moving after the values have settled, NaN is passed over.
    const float choices[] = {0.0f, -0.0f, 1.0f, -1.0f, lmxtest::kNaN, 2.0f};
    const struct { int w, h; } sizes[] = {{1, 1}, {9, 4}, {3, 11}, {17, 2}};
    std::mt19937 gen(5);
    for (const auto& size : sizes) {
        const int w = size.w, h = size.h;
        std::vector<float> values(static_cast<std::size_t>(w * h));
        for (float& v : values) v = choices[gen() % std::size(choices)];
        for (const bool dilate : {false, true}) {
            for (const int shape : {1, 2, 0}) {
                SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) +
                             (dilate ? " dilation" : " erosion") + ", shape " +
                             std::to_string(shape));
                // The reference: one pass per call, each with the schedule's neighbourhood, until
                // three passes in a row change nothing.
                const int passes = 8 * (w + h);
                Lumerix image = imageOf(cmmDims(w, h), values);
                std::vector<std::vector<float>> states;
                Lumerix state(image);
                for (int i = 0; i < passes; ++i) {
                    const int kernelShape = shape != 0 ? shape : (i % 2 == 0 ? 1 : 2);
                    state = onePass(dilate, state, kernelShape);
                    states.push_back(pixels(state));
                }
                ASSERT_TRUE(sameFloats(states[passes - 1], states[passes - 2]));
                ASSERT_TRUE(sameFloats(states[passes - 2], states[passes - 3]));
                const lmxtest::RuntimeTotals before = lmxtest::RuntimeTotals::now();
                Lumerix many =
                    dilate ? dilation(image, passes, shape) : erosion(image, passes, shape);
                if (lmxtest::kCpuBackend) {
                    EXPECT_LE(lmxtest::RuntimeTotals::now().since(before).launches, 3L * (w + h));
                }
                EXPECT_TRUE(sameFloats(pixels(many), states[passes - 1]));
                Lumerix most =
                    dilate ? dilation(image, INT_MAX, shape) : erosion(image, INT_MAX, shape);
                EXPECT_TRUE(sameFloats(pixels(most), states[passes - 1]));
            }
        }
    }
}

// ---- variance without images of the input's size --------------------------------------------

TEST(Hardening, VarianceOfAnImageAloneOnTheDeviceKeepsItsBits) {
    // The CPU backend's run with no room for another image of this size is in the cpu tests.
    lmxtest::expectVarianceKeepsItsBits([](Lumerix& image) { return var(image); });
}

}  // namespace
