// The two-pass reductions (a chain pass sized to the device, then the 64 trees) against the
// one-pass grid's order written out here: chain c folds pixels c, c + 8192, ... from the
// identity, block b's tree joins chains b * 128 ... b * 128 + 127 by halves, and the host folds
// the 64 partials in order. Every chain and partial must have these bits, whatever the grid and
// the alignment of the pixels; the operations must give the same bits on either path.

#include "TestSupport.h"

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "lumerix/ReducePath.h"

#include <cmath>
#include <limits>
#include <vector>

using namespace lmxtest;

namespace {

constexpr int kChains = 8192;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using Fold = float (*)(float, float);

// The folds as the operations define them: the sum; minimum and maximum that ignore NaN and keep
// the first of two equal values (so -0 and +0 keep their order); the squared deviation from 1.5.
const Fold kAdd = [](float a, float v) {
    return a + v;
};
const Fold kLess = [](float a, float v) {
    return a != a || v < a ? v : a;
};
const Fold kMore = [](float a, float v) {
    return a != a || v > a ? v : a;
};
const Fold kDeviation = [](float a, float v) {
    const float d = v - 1.5f;
    return a + d * d;
};

template <void (*kKernel)(float*, float*, int)>
void launchChains(unsigned grid, float* in, float* out, int n, float) {
    lmx::launch(kKernel, dim3(grid), dim3(lmx::kChainThreads), 0, in, out, n);
}
void launchDeviationChains(unsigned grid, float* in, float* out, int n, float mean) {
    lmx::launch(&LumerixPixelSquaredDeviationChainsI2F, dim3(grid), dim3(lmx::kChainThreads), 0, in,
                out, n, mean);
}

struct Case {
    const char* name;
    void (*launchChains)(unsigned, float*, float*, int, float);
    void (*trees)(float*, float*);
    float identity;
    Fold fold;
    Fold join;
};

const Case kOperations[] = {
    {"sum", &launchChains<&LumerixPixelSumChainsI2F>, &LumerixPixelSumTreesI2F, 0.0f, kAdd, kAdd},
    {"min", &launchChains<&LumerixPixelMinChainsI2F>, &LumerixPixelMinTreesI2F, kNaN, kLess, kLess},
    {"max", &launchChains<&LumerixPixelMaxChainsI2F>, &LumerixPixelMaxTreesI2F, kNaN, kMore, kMore},
    {"squared deviation", &launchDeviationChains, &LumerixPixelSumTreesI2F, 0.0f, kDeviation, kAdd},
};

// Value sets: plain values, and the special values each operation defines a result for.
std::vector<float> valuesOf(int kind, int n) {
    std::vector<float> v = randomValues(n, -1000.0f, 1000.0f, static_cast<unsigned>(n + kind));
    for (int i = 0; i < n; ++i) {
        const unsigned h = static_cast<unsigned>(i) * 2654435761u >> 20;
        if (kind == 1 && h % 97 == 0) v[i] = kNaN;
        if (kind == 2 && h % 89 == 0) v[i] = h % 2 ? kInf : -kInf;
        if (kind == 3) v[i] = h % 3 ? -0.0f : 0.0f;
        if (kind == 4) v[i] = kNaN;
    }
    return v;
}
const char* const kKinds[] = {"plain", "some NaN", "some inf", "signed zeros", "all NaN"};

// Sizes: one pixel, not multiples of 4, 16 or 8192, around the stride, and three stages of
// staged rows (the first stage's buffer taken again), the last one short.
const int kSizes[] = {1, 3, 1073, 8191, 8192, 8193, 8192 * 256 + 8189};
// Grids of one block, of fewer blocks than groups, and of more.
const unsigned kGrids[] = {1, 3, 300};

}  // namespace

TEST(TwoPassReduction, ChainsAndPartialsKeepTheOnePassOrder) {
    if (!deviceAvailable()) GTEST_SKIP() << "no device";
    for (const Case& op : kOperations)
        for (int kind = 0; kind < 5; ++kind)
            for (int n : kSizes) {
                SCOPED_TRACE(testing::Message() << op.name << ", " << kKinds[kind] << ", n=" << n);
                const std::vector<float> v = valuesOf(kind, n);
                std::vector<float> chains(kChains, op.identity);
                for (int c = 0; c < kChains; ++c)
                    for (long long i = c; i < n; i += kChains) chains[c] = op.fold(chains[c], v[i]);
                std::vector<float> partials(64);
                for (int b = 0; b < 64; ++b) {
                    float slot[128];
                    for (int t = 0; t < 128; ++t) slot[t] = chains[b * 128 + t];
                    for (int s = 64; s > 0; s /= 2)
                        for (int t = 0; t < s; ++t) slot[t] = op.join(slot[t], slot[t + s]);
                    partials[b] = slot[0];
                }
                // One float more, so the pixels can also start 4 bytes past an aligned address.
                DeviceBuffer in((n + 1) * sizeof(float)), out((kChains + 64) * sizeof(float));
                for (int offset : {0, 1}) {
                    writeDevice(in.get() + offset, v);
                    for (unsigned grid : kGrids) {
                        SCOPED_TRACE(testing::Message()
                                     << "offset " << offset << ", grid " << grid);
                        writeDevice(out.get(), std::vector<float>(kChains + 64, 12345.0f));
                        op.launchChains(grid, in.get() + offset, out.get(), n, 1.5f);
                        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
                        lmx::launch(op.trees, dim3(64), dim3(128), 0, out.get(),
                                    out.get() + kChains);
                        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
                        EXPECT_TRUE(sameFloats(deviceValues(out.get(), kChains), chains));
                        EXPECT_TRUE(sameFloats(deviceValues(out.get() + kChains, 64), partials));
                    }
                }
            }
}

// The operations give the same bits through either path, on images of one pixel, one row, one
// column and sizes that are no multiple of the grid.
TEST(TwoPassReduction, OperationsGiveTheSameBitsOnBothPaths) {
    if (!deviceAvailable()) GTEST_SKIP() << "no device";
    const bool chosen = lmx::twoPassReductions();
    const cmm::cmmDims shapes[] = {cmm::cmmDims(1, 1), cmm::cmmDims(9001, 1), cmm::cmmDims(1, 8195),
                                   cmm::cmmDims(517, 389)};
    for (const cmm::cmmDims& dims : shapes)
        for (int kind = 0; kind < 5; ++kind) {
            SCOPED_TRACE(testing::Message() << dims.Size() << " pixels, " << kKinds[kind]);
            Lumerix img = imageOf(dims, valuesOf(kind, dims.Size()));
            std::vector<float> got[2];
            for (int twoPass = 0; twoPass < 2; ++twoPass) {
                lmx::setTwoPassReductions(twoPass == 1);
                got[twoPass] = {sum(img), fmin(img), fmax(img), mean(img), var(img)};
            }
            lmx::setTwoPassReductions(false);
            EXPECT_TRUE(sameFloats(got[1], got[0]));
        }
    EXPECT_EQ(lmx::twoPassReductions(), chosen);
}
