// The CPU backend runs the correlations, the one-dimensional passes and the 3 x 3 and 5 x 5
// medians with traversals of its own; every pixel must come out with the bits of the kernel body as
// written, run through the plain loop shape, under every border.

#include "TestSupport.h"

#if defined(LMX_BACKEND_CPU)

#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <string>
#include <vector>

using lmxtest::DeviceBuffer;

namespace {

std::vector<float> run(lmx::cpu::Invoker invoker, int w, int h, void** args, float* out) {
    lmx::cpu::currentLaunch =
        lmx::cpu::LaunchShape{lmx::planeGrid(w, h), dim3(lmx::kPlaneThreadsX, lmx::kPlaneThreadsY)};
    std::fill(out, out + static_cast<std::size_t>(w) * h, 7.0f);  // unwritten pixels show
    invoker(args);
    return std::vector<float>(out, out + static_cast<std::size_t>(w) * h);
}

const lmx::cpu::KernelEntry& entry(const void* kernel) {
    const lmx::cpu::KernelEntry* e = lmx::cpu::findKernel(kernel);
    EXPECT_NE(e, nullptr);
    return *e;
}

// Widths around the strips of 16 and the edge columns; heights around the radii.
const struct {
    int w, h;
} kPlanes[] = {{1, 1}, {3, 2}, {17, 13}, {20, 5}, {37, 9}, {64, 3}, {101, 30}};

// Values with ties, signed zeros, infinities and NaN of both signs among them.
std::vector<float> pixelsWithSpecials(int w, int h, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(w) * h, -4, 4, seed);
    const float specials[] = {-0.0f,         0.0f,           lmxtest::kInf, -lmxtest::kInf,
                              lmxtest::kNaN, -lmxtest::kNaN, 1.0f};
    for (std::size_t i = 0; i < v.size(); i += 5) v[i] = specials[(i / 5) % 7];
    return v;
}

}  // namespace

TEST(BorderFilterTraversal, PassesAndMediansMatchThePlainKernelsBitForBit) {
    const void* passes[] = {reinterpret_cast<const void*>(&LumerixCorrelateRowsIT2I),
                            reinterpret_cast<const void*>(&LumerixCorrelateColumnsIT2I)};
    const void* medianKernel = reinterpret_cast<const void*>(&LumerixMedianI2I);
    for (const auto& p : kPlanes)
        for (int border = 0; border < 5; ++border) {
            SCOPED_TRACE(::testing::Message() << p.w << "x" << p.h << " border " << border);
            const std::vector<float> values = pixelsWithSpecials(p.w, p.h, p.w * 5 + border);
            const std::size_t bytes = values.size() * sizeof(float);
            DeviceBuffer in(bytes), out(bytes), taps(225 * sizeof(float));
            cudaMemcpy(in.ptr, values.data(), bytes, cudaMemcpyHostToDevice);
            const std::vector<float> table = lmxtest::randomValues(225, -1, 1, border);
            cudaMemcpy(taps.ptr, table.data(), table.size() * sizeof(float),
                       cudaMemcpyHostToDevice);
            float* o = out.get();
            int w = p.w, h = p.h, b = border;
            float cval = 2.5f;
            for (int r : {0, 1, 3, 20})
                for (const void* kernel : passes) {
                    void* args[] = {&in.ptr, &taps.ptr, &out.ptr, &w, &h, &r, &b, &cval};
                    const auto& e = entry(kernel);
                    ASSERT_NE(e.invoke, e.plain) << e.name << " has no CPU traversal";
                    EXPECT_TRUE(lmxtest::sameFloats(run(e.invoke, w, h, args, o),
                                                    run(e.plain, w, h, args, o)))
                        << e.name << " radius " << r;
                }
            // Two-dimensional tables: in d_kernel (I2I) and in device memory (IT2I).
            for (int xr : {0, 2, 5})
                for (int yr : {1, 3}) {
                    ASSERT_EQ(lmx::uploadFilterTaps(table.data(), xr, yr), cudaSuccess);
                    void* inTable[] = {&in.ptr, &out.ptr, &w, &h, &xr, &yr, &b, &cval};
                    void* inMemory[] = {&in.ptr, &taps.ptr, &out.ptr, &w, &h, &xr, &yr, &b, &cval};
                    const struct {
                        const void* kernel;
                        void** args;
                    } forms[] = {
                        {reinterpret_cast<const void*>(&LumerixCorrelateBorderI2I), inTable},
                        {reinterpret_cast<const void*>(&LumerixCorrelateBorderIT2I), inMemory}};
                    for (const auto& f : forms) {
                        const auto& e = entry(f.kernel);
                        ASSERT_NE(e.invoke, e.plain) << e.name << " has no CPU traversal";
                        EXPECT_TRUE(lmxtest::sameFloats(run(e.invoke, w, h, f.args, o),
                                                        run(e.plain, w, h, f.args, o)))
                            << e.name << " radii " << xr << "," << yr;
                    }
                }
            for (int r : {1, 2}) {
                void* args[] = {&in.ptr, &out.ptr, &w, &h, &r, &r, &b};
                const auto& e = entry(medianKernel);
                ASSERT_NE(e.invoke, e.plain);
                EXPECT_TRUE(
                    lmxtest::sameFloats(run(e.invoke, w, h, args, o), run(e.plain, w, h, args, o)))
                    << "median radius " << r;
            }
        }
}

#endif  // LMX_BACKEND_CPU
