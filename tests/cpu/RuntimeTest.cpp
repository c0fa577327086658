// The CPU backend's stand-in for the CUDA runtime: last-error semantics, device memory with a
// capacity, copies checked against device allocations, counters, launches and fault injection.
// Nothing here exists on the cuda backend.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <vector>

using namespace lmxtest;
using lmx::cpu::Fault;

namespace {

// Every test starts and ends with no pending error and no fault planned.
class Runtime : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
};

float hostOnly[16];

}  // namespace

TEST_F(Runtime, AFailedCallRecordsItsErrorUntilGetLastErrorClearsIt) {
    EXPECT_EQ(cudaFree(hostOnly), cudaErrorInvalidValue);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);  // peeking does not clear
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);          // success leaves it in place
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    // A later failure replaces the recorded error.
    EXPECT_EQ(cudaFree(hostOnly), cudaErrorInvalidValue);
    cudaDeviceProp prop;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 7), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(Runtime, DeviceMemoryHasACapacityAndFreeAcceptsOnlyLiveAllocations) {
    const ScopedDeviceCapacity capacity(1000);
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    const lmx::cpu::Counters before = lmx::cpu::counters();
    void *a = nullptr, *b = reinterpret_cast<void*>(1), *c = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 600), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 401), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaMalloc(&b, 400), cudaSuccess);  // fills the device exactly
    std::size_t freeBytes = 1, totalBytes = 0;
    EXPECT_EQ(cudaMemGetInfo(&freeBytes, &totalBytes), cudaSuccess);
    EXPECT_EQ(freeBytes, 0u);
    EXPECT_EQ(totalBytes, inUse + 1000);
    EXPECT_EQ(cudaFree(static_cast<char*>(a) + 4), cudaErrorInvalidValue);  // not its start
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaErrorInvalidValue);  // already freed
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse + 400);
    EXPECT_EQ(cudaMalloc(&c, 600), cudaSuccess);  // the freed room is usable again
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(cudaMalloc(&none, 0), cudaSuccess);  // zero bytes: a null address
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(lmx::cpu::counters().failedAllocations - before.failedAllocations, 1);
    EXPECT_EQ(lmx::cpu::counters().frees - before.frees, 1);
    cudaFree(b);
    cudaFree(c);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse);
}

TEST_F(Runtime, CopiesRefuseAddressesOfTheWrongSideAndAreCountedPerDirection) {
    DeviceBuffer device(64), other(64);
    std::vector<float> host(16, 1.0f), back(16, 2.0f);
    lmx::cpu::Counters before = lmx::cpu::counters();
    const struct {
        void* dst;
        const void* src;
        cudaMemcpyKind kind;
    } refused[] = {{back.data(), host.data(), cudaMemcpyHostToDevice},
                   {back.data(), host.data(), cudaMemcpyDeviceToHost},
                   {device.get(), device.get(), cudaMemcpyHostToDevice},
                   {device.get(), host.data(), cudaMemcpyDeviceToDevice},
                   {device.get() + 8, host.data(), cudaMemcpyHostToDevice}};  // past its end
    for (const auto& r : refused) {
        EXPECT_EQ(cudaMemcpy(r.dst, r.src, 64, r.kind), cudaErrorInvalidValue);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    }
    EXPECT_EQ(back, std::vector<float>(16, 2.0f));  // nothing was moved
    for (int kind = 0; kind < 5; ++kind)
        EXPECT_EQ(lmx::cpu::counters().copies[kind], before.copies[kind]);
    const std::vector<float> values = ramp(16);
    EXPECT_EQ(cudaMemcpy(device.get(), values.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(other.get() + 8, device.get(), 32, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), other.get() + 8, 16, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data() + 4, device.get() + 4, 8, cudaMemcpyDefault), cudaSuccess);
    const lmx::cpu::Counters& after = lmx::cpu::counters();
    EXPECT_EQ(after.hostToDevice() - before.hostToDevice(), 1);
    EXPECT_EQ(after.deviceToDevice() - before.deviceToDevice(), 1);
    EXPECT_EQ(after.deviceToHost() - before.deviceToHost(), 2);  // the default one included
    EXPECT_EQ(after.bytes[cudaMemcpyHostToDevice] - before.bytes[cudaMemcpyHostToDevice], 64u);
    EXPECT_EQ(after.bytes[cudaMemcpyDeviceToDevice] - before.bytes[cudaMemcpyDeviceToDevice], 32u);
    EXPECT_EQ(after.bytes[cudaMemcpyDeviceToHost] - before.bytes[cudaMemcpyDeviceToHost], 24u);
    EXPECT_EQ(std::vector<float>(back.begin(), back.begin() + 7),
              (std::vector<float>{0, 1, 2, 3, 4, 5, 2}));
}

TEST_F(Runtime, TwoDimensionalCopiesMoveRowsBetweenPitches) {
    // A 3 x 2 region of a 5-wide host array into a dense device block, and back elsewhere.
    const std::vector<float> host = ramp(15);
    DeviceBuffer block(6 * sizeof(float));
    const std::size_t uploaded = lmx::cpu::counters().bytes[cudaMemcpyHostToDevice];
    EXPECT_EQ(cudaMemcpy2D(block.get(), 12, host.data() + 6, 20, 12, 2, cudaMemcpyHostToDevice),
              cudaSuccess);
    EXPECT_EQ(lmx::cpu::counters().bytes[cudaMemcpyHostToDevice] - uploaded, 24u);
    EXPECT_EQ(deviceValues(block.get(), 6), (std::vector<float>{6, 7, 8, 11, 12, 13}));
    std::vector<float> target(15, -1.0f);
    EXPECT_EQ(cudaMemcpy2D(target.data(), 20, block.get(), 12, 12, 2, cudaMemcpyDeviceToHost),
              cudaSuccess);
    EXPECT_EQ(target,
              (std::vector<float>{6, 7, 8, -1, -1, 11, 12, 13, -1, -1, -1, -1, -1, -1, -1}));
    // A row wider than its pitch, and a device block too small for the rows.
    EXPECT_EQ(cudaMemcpy2D(block.get(), 8, host.data(), 20, 12, 2, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaMemcpy2D(block.get(), 12, host.data(), 20, 12, 3, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(Runtime, AnInjectedFaultHitsTheNthCallOfItsKindOnly) {
    DeviceBuffer device(64);
    std::vector<float> host(16, 3.0f), back(16, 0.0f);
    lmx::cpu::injectFault(Fault::Copy, 3, cudaErrorLaunchFailure);
    lmx::cpu::injectFault(Fault::Free, 1, cudaErrorInvalidDevicePointer);
    lmx::cpu::injectFault(Fault::Synchronize, 1, cudaErrorLaunchFailure);
    lmx::cpu::injectFault(Fault::Synchronize, 2, cudaErrorUnknown);  // replaces the pending one
    EXPECT_EQ(cudaMemcpy(device.get(), host.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host.data(), device.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    int count = 0;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);  // other kinds are not affected
    void* extra = nullptr;
    ASSERT_EQ(cudaMalloc(&extra, 16), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), device.get(), 64, cudaMemcpyDeviceToHost),
              cudaErrorLaunchFailure);
    EXPECT_EQ(back, std::vector<float>(16, 0.0f));  // the failed copy moved nothing
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaMemcpy(back.data(), device.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, std::vector<float>(16, 3.0f));
    EXPECT_EQ(cudaFree(extra), cudaErrorInvalidDevicePointer);
    EXPECT_EQ(cudaFree(extra), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorUnknown);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    // A persistent fault hits every call from the nth on, until cleared.
    lmx::cpu::injectPersistentFault(Fault::Allocation, 2, cudaErrorMemoryAllocation);
    void* p[4] = {};
    EXPECT_EQ(cudaMalloc(&p[0], 32), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&p[1], 32), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&p[2], 32), cudaErrorMemoryAllocation);
    lmx::cpu::clearFaults();
    EXPECT_EQ(cudaMalloc(&p[3], 32), cudaSuccess);
    EXPECT_TRUE(p[1] == nullptr && p[2] == nullptr);
    for (void* q : p) cudaFree(q);
}

TEST_F(Runtime, AFailedLaunchRunsNothingAndLaunchesAreLogged) {
    const int n = 300;
    DeviceBuffer a(n * sizeof(float)), b(n * sizeof(float)), c(n * sizeof(float));
    writeDevice(a.get(), std::vector<float>(n, 1.0f));
    writeDevice(b.get(), std::vector<float>(n, 2.0f));
    const long launches = lmx::cpu::counters().launches;
    lmx::cpu::injectFault(Fault::Launch, 2, cudaErrorLaunchFailure);
    const float expected[] = {3.0f, 3.0f, 5.0f};  // c = a + b, then c + b twice; the 2nd fails
    for (int k = 0; k < 3; ++k) {
        lmx::launchPixels(&LumerixPixelAddII2I, n, k == 0 ? a.get() : c.get(), b.get(), c.get(), n);
        EXPECT_EQ(cudaGetLastError(), k == 1 ? cudaErrorLaunchFailure : cudaSuccess) << k;
        EXPECT_EQ(deviceValues(c.get(), n), std::vector<float>(n, expected[k])) << k;
    }
    EXPECT_EQ(lmx::cpu::counters().launches - launches, 2);
    EXPECT_EQ(lastKernel(), "LumerixPixelAddII2I");
    EXPECT_EQ(lmx::cpu::launchLog().back().grid.x, 2u);  // 300 pixels in blocks of 256
    EXPECT_EQ(lmx::cpu::launchLog().back().block.x, 256u);
    // Unknown functions and impossible shapes are refused.
    static int notAKernel;
    float* none = nullptr;
    int zero = 0;
    void* args[] = {&none, &none, &none, &zero};
    EXPECT_EQ(cudaLaunchKernel(&notAKernel, dim3(1), dim3(32), args),
              cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);
    const void* add = reinterpret_cast<const void*>(&LumerixPixelAddII2I);
    EXPECT_EQ(cudaLaunchKernel(add, dim3(1), dim3(2048), args), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaLaunchKernel(add, dim3(0), dim3(256), args), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
}

// Each thread of the team stands for a multiprocessor that runs one block at a time; a block the
// device cannot run fits zero times, and only kernels of the module have an occupancy.
TEST_F(Runtime, EachMultiprocessorRunsOneBlockAtATime) {
    const void* kernel = reinterpret_cast<const void*>(&histogram256GridKernel);
    const struct {
        int threads;
        std::size_t shared;
        int blocks;
    } cases[] = {
        {192, 0, 1}, {1024, 48 * 1024, 1}, {0, 0, 0}, {1025, 0, 0}, {64, 48 * 1024 + 1, 0}};
    for (const auto& c : cases) {
        int blocks = -1;
        EXPECT_EQ(
            cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, kernel, c.threads, c.shared),
            cudaSuccess);
        EXPECT_EQ(blocks, c.blocks) << c.threads << " threads, " << c.shared << " bytes";
    }
    int blocks = -1;
    EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, hostOnly, 192, 0),
              cudaErrorInvalidDeviceFunction);
}
