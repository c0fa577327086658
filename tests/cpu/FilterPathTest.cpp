// The CPU backend runs morphology and convolution with traversals of its own (rows resolved
// once, columns vectorised, taps outer over a strip of accumulators); every pixel must come out
// with the bits of the kernel body as written, run through the plain loop shape.

#include "TestSupport.h"

#if defined(LMX_BACKEND_CPU)

#include "backend/cpu/Registry.h"
#include "backend/cpu/Traversal.h"
#include "kernels/Dialect.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <cmath>
#include <string>
#include <vector>

using lmxtest::DeviceBuffer;

namespace {

// Runs one launch of the plane shape over w x h with the given invoker; returns the plane.
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

struct Plane {
    int w, h;
};
// Widths around the traversal's strip of 64 and the edge columns; heights around the radii.
const Plane kPlanes[] = {{1, 1},  {2, 3},    {3, 2},    {17, 13},  {64, 5},
                         {79, 9}, {130, 67}, {301, 40}, {1030, 33}};

// Pixels that make the order of the folds visible: mostly signed zeros, so that the least (or,
// with sign -1, the largest) value of a window is often a tie of +0 and -0, with infinities and
// NaN among them.
std::vector<float> pixelsWithSpecials(int w, int h, unsigned seed, float sign) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(w) * h, 0, 4, seed);
    for (float& x : v) x = x < 1 ? -0.0f : (x < 2 ? 0.0f : sign * std::floor(x - 1));
    for (std::size_t i = 5; i < v.size(); i += 97) v[i] = lmxtest::kNaN;
    for (std::size_t i = 11; i < v.size(); i += 89) v[i] = (i % 2) ? lmxtest::kInf : -lmxtest::kInf;
    return v;
}

}  // namespace

TEST(FilterPath, MorphologyMatchesThePlainKernelsBitForBit) {
    const void* kernels[] = {reinterpret_cast<const void*>(&LumerixErosion4I2I),
                             reinterpret_cast<const void*>(&LumerixErosionI2I),
                             reinterpret_cast<const void*>(&LumerixDilation4I2I),
                             reinterpret_cast<const void*>(&LumerixDilationI2I)};
    for (const Plane& p : kPlanes) {
        for (int k = 0; k < 4; ++k) {
            const std::vector<float> values =
                pixelsWithSpecials(p.w, p.h, p.w + p.h, k < 2 ? 1.0f : -1.0f);
            const std::size_t bytes = values.size() * sizeof(float);
            DeviceBuffer in(bytes), out(bytes);
            cudaMemcpy(in.ptr, values.data(), bytes, cudaMemcpyHostToDevice);
            int w = p.w, h = p.h, margin = 1;
            void* args[] = {&in.ptr, &out.ptr, &w, &h, &margin, &margin};
            const auto& e = entry(kernels[k]);
            ASSERT_NE(e.invoke, e.plain) << e.name << " has no CPU traversal";
            float* o = static_cast<float*>(out.ptr);
            const auto fast = run(e.invoke, w, h, args, o);
            const auto plain = run(e.plain, w, h, args, o);
            EXPECT_TRUE(lmxtest::sameFloats(fast, plain)) << e.name << " " << w << "x" << h;
        }
    }
}

TEST(FilterPath, ConvolutionMatchesThePlainKernelsBitForBit) {
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "wide strips" : "narrow strips");
        const bool saved = lmx::cpu::useWideFilterStrips(wide);
        const struct {
            int xr, yr;
        } radii[] = {{0, 0}, {1, 0}, {0, 1}, {2, 2}, {3, 1}, {7, 7}, {22, 2}, {112, 0}, {0, 112}};
        for (const Plane& p : kPlanes)
            for (const auto& r : radii) {
                SCOPED_TRACE(::testing::Message()
                             << p.w << "x" << p.h << " radii " << r.xr << "," << r.yr);
                const int count = (2 * r.xr + 1) * (2 * r.yr + 1);
                std::vector<float> taps = lmxtest::randomValues(count, -1, 1, count);
                ASSERT_EQ(lmx::uploadFilterTaps(taps.data(), r.xr, r.yr), cudaSuccess);
                std::vector<float> values = lmxtest::randomValues(
                    static_cast<std::size_t>(p.w) * p.h, -100, 100, p.w * 7 + r.xr);
                if (values.size() > 40) values[values.size() / 2] = lmxtest::kInf;
                const std::size_t bytes = values.size() * sizeof(float);
                DeviceBuffer in(bytes), out(bytes);
                cudaMemcpy(in.ptr, values.data(), bytes, cudaMemcpyHostToDevice);
                float* o = static_cast<float*>(out.ptr);
                int w = p.w, h = p.h, xr = r.xr, yr = r.yr;
                void* args[] = {&in.ptr, &xr, &yr, &out.ptr, &w, &h, &xr, &yr};
                const auto& e = entry(reinterpret_cast<const void*>(&LumerixConvolveIDD2I));
                ASSERT_NE(e.invoke, e.plain);
                const auto fast = run(e.invoke, w, h, args, o);
                const auto plain = run(e.plain, w, h, args, o);
                ASSERT_TRUE(lmxtest::sameFloats(fast, plain));
                // The one-radius variant is the same correlation over a square table.
                if (r.xr == r.yr) {
                    void* square[] = {&in.ptr, &xr, &out.ptr, &w, &h, &xr, &yr};
                    const auto& s = entry(reinterpret_cast<const void*>(&LumerixConvolveID2I));
                    EXPECT_TRUE(lmxtest::sameFloats(run(s.invoke, w, h, square, o), plain));
                    EXPECT_TRUE(lmxtest::sameFloats(run(s.plain, w, h, square, o), plain));
                }
            }
        lmx::cpu::useWideFilterStrips(saved);
    }
}

#endif  // LMX_BACKEND_CPU
