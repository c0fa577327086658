// The block-cooperative kernels size their shared arrays by the constants of their launch shapes;
// a launch of another block size (or of more blocks than their output has room for) must do
// nothing rather than write past those arrays or past the output.

#include "TestSupport.h"

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"

#include <vector>

using namespace lmxtest;

namespace {

struct DeviceArray {
    explicit DeviceArray(std::size_t size) : bytes(size) {
        EXPECT_EQ(cudaMalloc(&ptr, bytes), cudaSuccess);
    }
    ~DeviceArray() { cudaFree(ptr); }
    template <class T>
    void fill(T value) {
        const std::vector<T> v(bytes / sizeof(T), value);
        EXPECT_EQ(cudaMemcpy(ptr, v.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    }
    template <class T>
    std::vector<T> values() const {
        std::vector<T> v(bytes / sizeof(T));
        EXPECT_EQ(cudaMemcpy(v.data(), ptr, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
        return v;
    }
    std::size_t bytes;
    void* ptr = nullptr;
};

}  // namespace

TEST(KernelShape, ReductionsRefuseAnotherBlockSizeOrMoreBlocksThanPartials) {
    const int n = 20000;
    DeviceArray in(n * sizeof(float));
    in.fill(2.0f);
    // Room for the partials of the largest grid tried, so that only the kernel's own rule keeps
    // it from writing.
    DeviceArray partial(2 * lmx::kReduceBlocks * sizeof(float));
    float* pixels = static_cast<float*>(in.ptr);
    float* out = static_cast<float*>(partial.ptr);
    const struct {
        unsigned blocks, threads;
    } refused[] = {{64, 256}, {64, 64}, {64, 1024}, {128, 128}};
    for (auto kernel : {&LumerixPixelSumI2F, &LumerixPixelMinI2F, &LumerixPixelMaxI2F}) {
        for (const auto& shape : refused) {
            partial.fill(-1.0f);
            lmx::launch(kernel, dim3(shape.blocks), dim3(shape.threads), 0, pixels, out, n);
            EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
            EXPECT_EQ(cudaGetLastError(), cudaSuccess);
            EXPECT_EQ(partial.values<float>(), std::vector<float>(2 * lmx::kReduceBlocks, -1.0f))
                << shape.blocks << " x " << shape.threads;
        }
        // The shape the kernels are written for still works.
        partial.fill(-1.0f);
        lmx::launch(kernel, dim3(lmx::kReduceBlocks), dim3(lmx::kReduceThreads), 0, pixels, out, n);
        const std::vector<float> got = partial.values<float>();
        float total = 0.0f;
        for (int b = 0; b < lmx::kReduceBlocks; ++b) total += got[static_cast<std::size_t>(b)];
        EXPECT_EQ(got[lmx::kReduceBlocks], -1.0f);
        if (kernel == &LumerixPixelSumI2F) {
            EXPECT_EQ(total, 2.0f * n);
        } else {
            EXPECT_EQ(got[0], 2.0f);
        }
    }
}

TEST(KernelShape, HistogramKernelsRefuseAnotherBlockSizeOrMoreBlocks) {
    const int n = 40000;
    DeviceArray data(n);
    data.fill<unsigned char>(3);
    const std::size_t counters = 2 * lmx::kHistogramBlocks * lmx::kBins;
    DeviceArray partial(counters * sizeof(unsigned int));
    auto* out = static_cast<unsigned int*>(partial.ptr);
    auto* words = static_cast<unsigned int*>(data.ptr);
    const std::vector<unsigned int> untouched(counters, 0xDEADBEEFu);
    for (const dim3 block : {dim3(256), dim3(96), dim3(1024)}) {
        partial.fill(0xDEADBEEFu);
        lmx::launch(&histogram256Kernel, dim3(lmx::kHistogramBlocks), block, 0, out, words, n);
        EXPECT_EQ(partial.values<unsigned int>(), untouched) << block.x << " threads";
        lmx::launch(&mergeHistogram256Kernel, dim3(lmx::kBins), block, 0, out);
        EXPECT_EQ(partial.values<unsigned int>(), untouched) << block.x << " threads";
    }
    partial.fill(0xDEADBEEFu);
    lmx::launch(&histogram256Kernel, dim3(2 * lmx::kHistogramBlocks), dim3(lmx::kHistogramThreads),
                0, out, words, n);
    lmx::launch(&mergeHistogram256Kernel, dim3(2 * lmx::kBins), dim3(lmx::kHistogramBlocks), 0,
                out);
    EXPECT_EQ(partial.values<unsigned int>(), untouched) << "more blocks than histograms";
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    // The shapes they are written for still count every pixel.
    lmx::launch(&histogram256Kernel, dim3(lmx::kHistogramBlocks), dim3(lmx::kHistogramThreads), 0,
                out, words, n);
    lmx::launch(&mergeHistogram256Kernel, dim3(lmx::kBins), dim3(lmx::kHistogramBlocks), 0, out);
    const std::vector<unsigned int> got = partial.values<unsigned int>();
    EXPECT_EQ(got[3], static_cast<unsigned int>(n));
    EXPECT_EQ(got[0], 0u);
}
