// The CPU backend runs the reductions and the histogram with traversals of its own; they must
// give exactly the partial results of the kernels as written.

#include "TestSupport.h"

#if defined(LMX_BACKEND_CPU)

#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"
#include "kernels/Shapes.h"

#include <cmath>
#include <cstdint>
#include <vector>

using lmxtest::DeviceBuffer;

namespace {

template <class T>
std::vector<T> run(lmx::cpu::Invoker invoker, dim3 grid, dim3 block, void** args, T* out,
                   std::size_t count) {
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{grid, block};
    std::fill(out, out + count, T(7));  // anything the kernel fails to write shows up
    invoker(args);
    return std::vector<T>(out, out + count);
}

const lmx::cpu::KernelEntry& entry(const void* kernel) {
    const lmx::cpu::KernelEntry* e = lmx::cpu::findKernel(kernel);
    EXPECT_NE(e, nullptr);
    return *e;
}

// Pixel counts around the grid's stride (64 x 128 = 8192) and the histogram's (12288 words).
const int kCounts[] = {1, 3, 127, 129, 8191, 8192, 8193, 12288 * 4 - 1, 12288 * 4 + 3, 300007};

}  // namespace

TEST(FastPath, ReductionsMatchThePlainKernelsBitForBit) {
    const void* kernels[] = {reinterpret_cast<const void*>(&LumerixPixelSumI2F),
                             reinterpret_cast<const void*>(&LumerixPixelMinI2F),
                             reinterpret_cast<const void*>(&LumerixPixelMaxI2F),
                             reinterpret_cast<const void*>(&LumerixPixelSquaredDeviationI2F)};
    for (int n : kCounts) {
        std::vector<float> values = lmxtest::randomValues(n, -1000.f, 1000.f, n);
        if (n > 10) values[n / 2] = NAN;  // NaN handling must agree as well
        DeviceBuffer in(n * sizeof(float)), partial(lmx::kReduceBlocks * sizeof(float));
        cudaMemcpy(in.ptr, values.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        float mean = 3.25f;  // the squared deviations' fourth argument; the others take three
        void* args[] = {&in.ptr, &partial.ptr, &n, &mean};
        for (const void* k : kernels) {
            const auto& e = entry(k);
            ASSERT_NE(e.invoke, e.plain) << e.name << " has no CPU traversal";
            float* out = static_cast<float*>(partial.ptr);
            const auto fast = run(e.invoke, dim3(64), dim3(128), args, out, lmx::kReduceBlocks);
            const auto plain = run(e.plain, dim3(64), dim3(128), args, out, lmx::kReduceBlocks);
            for (int b = 0; b < lmx::kReduceBlocks; ++b)
                ASSERT_TRUE(lmxtest::sameFloat(fast[b], plain[b]))
                    << e.name << " n=" << n << " block " << b << ": " << fast[b] << " vs "
                    << plain[b];
        }
    }
}

TEST(FastPath, HistogramCountsMatchThePlainKernelPerBlock) {
    const auto& e = entry(reinterpret_cast<const void*>(&histogram256Kernel));
    ASSERT_NE(e.invoke, e.plain);
    for (int n : kCounts) {
        std::vector<unsigned char> bytes(n);
        for (int i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 24);
        DeviceBuffer data(n), partial(lmx::kHistogramBlocks * lmx::kBins * sizeof(unsigned));
        cudaMemcpy(data.ptr, bytes.data(), n, cudaMemcpyHostToDevice);
        void* args[] = {&partial.ptr, &data.ptr, &n};
        unsigned* out = static_cast<unsigned*>(partial.ptr);
        const std::size_t count = lmx::kHistogramBlocks * lmx::kBins;
        const auto fast = run(e.invoke, dim3(64), dim3(192), args, out, count);
        const auto plain = run(e.plain, dim3(64), dim3(192), args, out, count);
        ASSERT_EQ(fast, plain) << "n=" << n;
        std::uint64_t total = 0;
        for (unsigned c : fast) total += c;
        EXPECT_EQ(total, static_cast<std::uint64_t>(n));
    }
}

#endif

#if defined(LMX_BACKEND_CPU)

// The CPU backend may convert float pixels to 8 and 16 bits with vector instructions of its own;
// every value, special ones included, must come out as the kernel body gives it.
TEST(FastPath, ConversionsMatchThePlainKernelsByteForByte) {
    std::vector<float> values = lmxtest::randomValues(70001, -300.f, 70000.f, 5);
    const float special[] = {NAN,      -NAN,     INFINITY, -INFINITY, -0.0f,  0.0f,
                             0.999f,   1.0f,     254.999f, 255.0f,    255.5f, 256.0f,
                             65534.9f, 65535.0f, 65536.0f, 3e9f,      -1e-30f};
    for (std::size_t i = 0; i < sizeof special / sizeof special[0]; ++i) values[i * 7] = special[i];
    for (int n : {1, 15, 16, 31, 33, 4097, 70001}) {
        DeviceBuffer in(n * sizeof(float)), out(n * sizeof(unsigned short));
        cudaMemcpy(in.ptr, values.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        void* args[] = {&in.ptr, &out.ptr, &n};
        const dim3 grid(n / 256 + 1), block(256);
        {
            const auto& e = entry(reinterpret_cast<const void*>(&LumerixPixelFloatToInt8));
            auto* bytes = static_cast<unsigned char*>(out.ptr);
            const auto fast = run(e.invoke, grid, block, args, bytes, n);
            const auto plain = run(e.plain, grid, block, args, bytes, n);
            ASSERT_EQ(fast, plain) << "8-bit, n=" << n;
        }
        {
            const auto& e = entry(reinterpret_cast<const void*>(&LumerixPixelFloatToInt16));
            auto* words = static_cast<unsigned short*>(out.ptr);
            const auto fast = run(e.invoke, grid, block, args, words, n);
            const auto plain = run(e.plain, grid, block, args, words, n);
            ASSERT_EQ(fast, plain) << "16-bit, n=" << n;
        }
    }
}

#endif
