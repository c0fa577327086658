// The CPU backend's stand-in for the CUDA runtime: last-error semantics, device memory with a
// capacity, copies checked against device allocations, counters, device queries and fault
// injection. Nothing here exists on the cuda backend.

#include "TestSupport.h"

#if defined(LMX_BACKEND_CPU)

#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <cstring>
#include <string>
#include <vector>

using lmx::cpu::Fault;
using lmxtest::ScopedDeviceCapacity;

namespace {

// Device memory for a test, released at the end of it.
class DeviceBuffer {
public:
    explicit DeviceBuffer(std::size_t bytes) { EXPECT_EQ(cudaMalloc(&ptr_, bytes), cudaSuccess); }
    ~DeviceBuffer() { cudaFree(ptr_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    float* get() const { return static_cast<float*>(ptr_); }

private:
    void* ptr_ = nullptr;
};

// Every test starts and ends with no pending error and no fault planned.
class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
    void TearDown() override {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
};

// Restores the device the backend reports by default: one device of compute capability 8.
class ScopedDevices {
public:
    ScopedDevices(int count, int major) {
        lmx::cpu::setDeviceCount(count);
        lmx::cpu::setComputeMajor(major);
    }
    ~ScopedDevices() {
        lmx::cpu::setDeviceCount(1);
        lmx::cpu::setComputeMajor(8);
    }
};

const void* notADeviceAddress() {
    static float hostOnly[4];
    return hostOnly;
}

}  // namespace

// ---- last error -----------------------------------------------------------------------------

TEST_F(Runtime, FailedCallRecordsItsErrorUntilGetLastErrorClearsIt) {
    EXPECT_EQ(cudaFree(const_cast<void*>(notADeviceAddress())), cudaErrorInvalidValue);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);  // peeking does not clear

    // A successful call leaves the recorded error in place.
    DeviceBuffer buffer(64);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

TEST_F(Runtime, LaterFailureReplacesTheRecordedError) {
    EXPECT_EQ(cudaFree(const_cast<void*>(notADeviceAddress())), cudaErrorInvalidValue);
    cudaDeviceProp prop;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 7), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(Runtime, ErrorTextsAreTheRuntimes) {
    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_EQ(static_cast<int>(cudaErrorMemoryAllocation), 2);
    EXPECT_EQ(static_cast<int>(cudaErrorLaunchFailure), 719);
}

// ---- device memory --------------------------------------------------------------------------

TEST_F(Runtime, CapacityRefusesAnAllocationBeyondIt) {
    const ScopedDeviceCapacity capacity(1000);
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    const lmx::cpu::Counters before = lmx::cpu::counters();

    void* a = nullptr;
    void* b = reinterpret_cast<void*>(1);
    ASSERT_EQ(cudaMalloc(&a, 600), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 401), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaMalloc(&b, 400), cudaSuccess);  // fills the device exactly
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse + 1000);

    std::size_t freeBytes = 1, totalBytes = 0;
    EXPECT_EQ(cudaMemGetInfo(&freeBytes, &totalBytes), cudaSuccess);
    EXPECT_EQ(freeBytes, 0u);
    EXPECT_EQ(totalBytes, inUse + 1000);

    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse + 400);
    void* c = nullptr;
    EXPECT_EQ(cudaMalloc(&c, 600), cudaSuccess);  // the freed room is usable again

    const lmx::cpu::Counters& after = lmx::cpu::counters();
    EXPECT_EQ(after.allocations - before.allocations, 3);
    EXPECT_EQ(after.failedAllocations - before.failedAllocations, 1);
    EXPECT_EQ(after.frees - before.frees, 1);
    cudaFree(b);
    cudaFree(c);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse);
}

TEST_F(Runtime, ZeroBytesAreAllocatedAsANullAddress) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(Runtime, FreeAcceptsOnlyLiveAllocations) {
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 128), cudaSuccess);
    EXPECT_EQ(cudaFree(static_cast<char*>(p) + 4), cudaErrorInvalidValue);  // inside, not its start
    EXPECT_EQ(cudaFree(p), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue);  // already freed
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

// ---- copies ---------------------------------------------------------------------------------

TEST_F(Runtime, CopiesRefuseHostMemoryOnADeviceSideAndDeviceMemoryOnAHostSide) {
    DeviceBuffer device(16 * sizeof(float));
    std::vector<float> host(16, 1.0f);
    std::vector<float> other(16, 2.0f);
    const lmx::cpu::Counters before = lmx::cpu::counters();

    EXPECT_EQ(cudaMemcpy(other.data(), host.data(), 64, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(other.data(), host.data(), 64, cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device.get(), device.get(), 64, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device.get(), host.data(), 64, cudaMemcpyDeviceToDevice),
              cudaErrorInvalidValue);
    // A device range past the end of its allocation.
    EXPECT_EQ(cudaMemcpy(device.get() + 8, host.data(), 64, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(other, std::vector<float>(16, 2.0f));  // nothing was moved
    const lmx::cpu::Counters& after = lmx::cpu::counters();
    for (int kind = 0; kind < 4; ++kind) EXPECT_EQ(after.copies[kind], before.copies[kind]);

    // Inside the allocation, from any offset, is fine.
    EXPECT_EQ(cudaMemcpy(device.get() + 8, host.data(), 32, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(lmxtest::deviceValues(device.get() + 8, 8), std::vector<float>(8, 1.0f));
}

TEST_F(Runtime, CopiesAreCountedPerDirectionWithTheirBytes) {
    DeviceBuffer a(256);
    DeviceBuffer b(256);
    std::vector<float> host(64);
    for (int i = 0; i < 64; ++i) host[static_cast<std::size_t>(i)] = static_cast<float>(i);
    std::vector<float> back(64, 0.0f);
    const lmx::cpu::Counters before = lmx::cpu::counters();

    EXPECT_EQ(cudaMemcpy(a.get(), host.data(), 256, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(b.get(), a.get(), 128, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), b.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data() + 16, a.get(), 16, cudaMemcpyDefault), cudaSuccess);

    const lmx::cpu::Counters& after = lmx::cpu::counters();
    EXPECT_EQ(after.hostToDevice() - before.hostToDevice(), 1);
    EXPECT_EQ(after.deviceToDevice() - before.deviceToDevice(), 1);
    EXPECT_EQ(after.deviceToHost() - before.deviceToHost(), 2);  // the default one included
    EXPECT_EQ(after.bytes[cudaMemcpyHostToDevice] - before.bytes[cudaMemcpyHostToDevice], 256u);
    EXPECT_EQ(after.bytes[cudaMemcpyDeviceToDevice] - before.bytes[cudaMemcpyDeviceToDevice], 128u);
    EXPECT_EQ(after.bytes[cudaMemcpyDeviceToHost] - before.bytes[cudaMemcpyDeviceToHost], 80u);
    std::vector<float> expected(64, 0.0f);
    for (int i = 0; i < 16; ++i) expected[static_cast<std::size_t>(i)] = static_cast<float>(i);
    for (int i = 0; i < 4; ++i) expected[static_cast<std::size_t>(16 + i)] = static_cast<float>(i);
    EXPECT_EQ(back, expected);
}

TEST_F(Runtime, TwoDimensionalCopiesMoveRowsBetweenPitches) {
    // A 3 x 2 region of a 5-wide host array into a dense device block, and back elsewhere.
    std::vector<float> host(5 * 3);
    for (int i = 0; i < 15; ++i) host[static_cast<std::size_t>(i)] = static_cast<float>(i);
    DeviceBuffer block(6 * sizeof(float));
    const lmx::cpu::Counters before = lmx::cpu::counters();

    EXPECT_EQ(cudaMemcpy2D(block.get(), 12, host.data() + 6, 20, 12, 2, cudaMemcpyHostToDevice),
              cudaSuccess);
    EXPECT_EQ(lmxtest::deviceValues(block.get(), 6), (std::vector<float>{6, 7, 8, 11, 12, 13}));
    std::vector<float> target(5 * 3, -1.0f);
    EXPECT_EQ(cudaMemcpy2D(target.data(), 20, block.get(), 12, 12, 2, cudaMemcpyDeviceToHost),
              cudaSuccess);
    EXPECT_EQ(target,
              (std::vector<float>{6, 7, 8, -1, -1, 11, 12, 13, -1, -1, -1, -1, -1, -1, -1}));
    const lmx::cpu::Counters& after = lmx::cpu::counters();
    EXPECT_EQ(after.bytes[cudaMemcpyHostToDevice] - before.bytes[cudaMemcpyHostToDevice], 24u);

    // A row wider than its pitch, and a device block too small for the rows.
    EXPECT_EQ(cudaMemcpy2D(block.get(), 8, host.data(), 20, 12, 2, cudaMemcpyHostToDevice),
              cudaErrorInvalidPitchValue);
    EXPECT_EQ(cudaMemcpy2D(block.get(), 12, host.data(), 20, 12, 3, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

// ---- device queries -------------------------------------------------------------------------

TEST_F(Runtime, DeviceQueriesReportTheConfiguredDevices) {
    const ScopedDevices devices(2, 3);
    int count = 0;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
    cudaDeviceProp prop;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
    EXPECT_EQ(prop.major, 3);
    EXPECT_EQ(prop.totalGlobalMem, lmx::cpu::deviceCapacity());
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 2), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

// ---- fault injection ------------------------------------------------------------------------

TEST_F(Runtime, InjectedFaultHitsTheNthCallOnly) {
    DeviceBuffer device(64);
    std::vector<float> host(16, 3.0f);
    lmx::cpu::injectFault(Fault::Copy, 3, cudaErrorLaunchFailure);

    EXPECT_EQ(cudaMemcpy(device.get(), host.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host.data(), device.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<float> back(16, 0.0f);
    EXPECT_EQ(cudaMemcpy(back.data(), device.get(), 64, cudaMemcpyDeviceToHost),
              cudaErrorLaunchFailure);
    EXPECT_EQ(back, std::vector<float>(16, 0.0f));  // the failed copy moved nothing
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaMemcpy(back.data(), device.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, std::vector<float>(16, 3.0f));
}

TEST_F(Runtime, PersistentFaultHitsEveryCallFromTheNthUntilCleared) {
    lmx::cpu::injectPersistentFault(Fault::Allocation, 2, cudaErrorMemoryAllocation);
    void* p[4] = {};
    EXPECT_EQ(cudaMalloc(&p[0], 32), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&p[1], 32), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&p[2], 32), cudaErrorMemoryAllocation);
    lmx::cpu::clearFaults();
    EXPECT_EQ(cudaMalloc(&p[3], 32), cudaSuccess);
    EXPECT_EQ(p[1], nullptr);
    EXPECT_EQ(p[2], nullptr);
    for (void* q : p) cudaFree(q);
}

TEST_F(Runtime, LaterInjectionReplacesThePendingFaultOfItsKind) {
    lmx::cpu::injectFault(Fault::Synchronize, 1, cudaErrorLaunchFailure);
    lmx::cpu::injectFault(Fault::Synchronize, 2, cudaErrorUnknown);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorUnknown);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(Runtime, FaultsOfOneKindLeaveTheOthersAlone) {
    lmx::cpu::injectFault(Fault::Free, 1, cudaErrorInvalidDevicePointer);
    DeviceBuffer device(64);  // allocations are not affected
    ASSERT_NE(device.get(), nullptr);
    std::vector<float> host(16, 0.0f);
    EXPECT_EQ(cudaMemcpy(device.get(), host.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
    int count = 0;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    void* extra = nullptr;
    ASSERT_EQ(cudaMalloc(&extra, 16), cudaSuccess);
    EXPECT_EQ(cudaFree(extra), cudaErrorInvalidDevicePointer);  // the first free
    EXPECT_EQ(cudaFree(extra), cudaSuccess);
}

TEST_F(Runtime, InjectedLaunchFaultFailsTheLaunchWithoutRunningIt) {
    const int n = 300;
    DeviceBuffer a(n * sizeof(float));
    DeviceBuffer b(n * sizeof(float));
    DeviceBuffer c(n * sizeof(float));
    lmxtest::writeDevice(a.get(), std::vector<float>(n, 1.0f));
    lmxtest::writeDevice(b.get(), std::vector<float>(n, 2.0f));
    lmxtest::writeDevice(c.get(), std::vector<float>(n, 0.0f));
    const long launches = lmx::cpu::counters().launches;
    lmx::cpu::injectFault(Fault::Launch, 2, cudaErrorLaunchFailure);

    lmx::launchPixels(&LumerixPixelAddII2I, n, a.get(), b.get(), c.get(), n);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(lmxtest::deviceValues(c.get(), n), std::vector<float>(n, 3.0f));

    lmx::launchPixels(&LumerixPixelAddII2I, n, c.get(), b.get(), c.get(), n);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(lmxtest::deviceValues(c.get(), n), std::vector<float>(n, 3.0f));

    lmx::launchPixels(&LumerixPixelAddII2I, n, c.get(), b.get(), c.get(), n);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(lmxtest::deviceValues(c.get(), n), std::vector<float>(n, 5.0f));

    EXPECT_EQ(lmx::cpu::counters().launches - launches, 2);
    const std::vector<lmx::cpu::LaunchRecord>& log = lmx::cpu::launchLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().kernel, "LumerixPixelAddII2I");
    EXPECT_EQ(log.back().grid.x, 2u);  // 300 pixels in blocks of 256
    EXPECT_EQ(log.back().block.x, 256u);
}

TEST_F(Runtime, LaunchesOfUnknownFunctionsOrImpossibleShapesFail) {
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

#endif  // LMX_BACKEND_CPU
