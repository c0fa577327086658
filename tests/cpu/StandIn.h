#pragma once
// Helpers of the tests that only the CPU backend's stand-in can run: its device-memory capacity,
// fault injection, and the launch log.

#include "TestSupport.h"

#include "backend/cpu/Control.h"

#include <cstddef>

namespace lmxtest {

// Limits the CPU backend's device memory to what is allocated now plus headroom bytes, and
// restores the previous capacity when it goes out of scope.
class ScopedDeviceCapacity {
public:
    explicit ScopedDeviceCapacity(std::size_t headroom) : saved_(lmx::cpu::deviceCapacity()) {
        lmx::cpu::setDeviceCapacity(lmx::cpu::deviceBytesInUse() + headroom);
    }
    ~ScopedDeviceCapacity() { lmx::cpu::setDeviceCapacity(saved_); }
    ScopedDeviceCapacity(const ScopedDeviceCapacity&) = delete;
    ScopedDeviceCapacity& operator=(const ScopedDeviceCapacity&) = delete;

private:
    std::size_t saved_;
};

// Makes every cudaMalloc fail for as long as it lives; leaves no fault and no error behind.
struct NoDeviceMemory {
    NoDeviceMemory() {
        lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    }
    ~NoDeviceMemory() {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
};

// A byte size that nothing else in the process asks for, so no chunk of it is ever cached.
constexpr std::size_t kUnusedChunkSize = 768017;

// Releases every chunk of the scratch-buffer allocator's cache: a request that the device cannot
// serve gives the cached chunks back one after another before it reports the failure.
inline void releaseCachedChunks() {
    NoDeviceMemory full;
    void* p = nullptr;
    EXPECT_EQ(LumerixMalloc(&p, kUnusedChunkSize), cudaErrorMemoryAllocation);
    EXPECT_EQ(p, nullptr);
}

}  // namespace lmxtest
