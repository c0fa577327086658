#pragma once
// Test and tuning controls of the CPU backend: device-memory capacity, fault injection, counters.
//
// "Device memory" on this backend is host memory with a capacity, so that the memory manager's
// reclamation (zombies put down, cached pages spilled, "Out of memory") can be driven by tests.

#include "backend/cpu/CudaRuntime.h"

#include <cstddef>
#include <string>
#include <vector>

namespace lmx::cpu {

//! Capacity of device memory in bytes. The default is the memory available at start-up less a
//! margin, or LUMERIX_CPU_DEVICE_MEMORY (bytes, or a number with K, M or G) where it is set.
void setDeviceCapacity(std::size_t bytes);
std::size_t deviceCapacity();
//! Bytes currently allocated through cudaMalloc and not freed.
std::size_t deviceBytesInUse();

//! Launches that write at least this many bytes write them with streaming stores, which skip
//! the cache (default: half the last-level cache). Tests lower it to reach both paths.
void setStreamingStoreBytes(std::size_t bytes);
std::size_t streamingStoreThreshold();

//! 8- and 16-bit conversions whose narrow array has at least this many bytes run straight on
//! the caller's host array (default 64 KiB); smaller ones cross through a scratch buffer and the
//! staging buffer, as on a GPU. Tests raise it to reach the transfer path at any size.
void setInPlaceConversionBytes(std::size_t bytes);
std::size_t inPlaceConversionThreshold();

//! Fixes the work (pixels, or pixel-tap products) from which launches are split between the
//! team's threads, in place of the threshold learned from what split launches cost; returns the
//! threshold in force before. Tests set 0 to split every launch and a large value to split none.
long long setParallelWork(long long work);
//! Goes back to the learned threshold (the default), learning on from where it was.
void learnParallelWork();

//! The kinds of runtime call that fault injection can make fail.
//! HostAllocation is cudaMallocHost (page-locked host memory).
enum class Fault {
    Allocation,
    Copy,
    Launch,
    Free,
    Synchronize,
    DeviceQuery,
    FftPlan,
    FftExec,
    HostAllocation,
};

//! Makes the nth call of the given kind from now on (1 = the next one) fail with error.
//! One pending fault per kind; a later call replaces it.
void injectFault(Fault kind, long nth, cudaError_t error);
//! Makes every call of the kind from the nth on fail (used for "memory is full from here").
void injectPersistentFault(Fault kind, long nth, cudaError_t error);
void clearFaults();

//! Number of devices and compute capability major reported by the device queries
//! (default 1 device of major 8); lets tests reach the device start-up failures.
void setDeviceCount(int count);
void setComputeMajor(int major);

struct LaunchRecord {
    std::string kernel;
    dim3 grid;
    dim3 block;
};

struct Counters {
    // clang-format off
    long allocations = 0;       // successful cudaMalloc calls
    long failedAllocations = 0;
    long frees = 0;             // successful cudaFree calls of a non-null pointer
    long launches = 0;
    long copies[5] = {};        // successful copies per cudaMemcpyKind
    std::size_t bytes[5] = {};  // bytes moved per cudaMemcpyKind
    // clang-format on
    long synchronizations = 0;
    // Copies and sets of zero bytes: a real runtime may refuse one whose pointer is null (an
    // image without pixels has no device memory), so the library issues none.
    long emptyCopies = 0;
    // Successful cufftPlan1d and cufftPlan2d calls.
    long fftPlans = 0;
    // FFTW plans that measured (not made from wisdom, of this process or of a wisdom file).
    long fftPlannings = 0;
    // Page-locked host memory: successful cudaMallocHost calls, their failures, and successful
    // cudaFreeHost calls of a non-null pointer.
    long hostAllocations = 0;
    long failedHostAllocations = 0;
    long hostFrees = 0;

    long hostToDevice() const { return copies[cudaMemcpyHostToDevice]; }
    long deviceToHost() const { return copies[cudaMemcpyDeviceToHost]; }
    long deviceToDevice() const { return copies[cudaMemcpyDeviceToDevice]; }
};

const Counters& counters();
void resetCounters();

//! The most recent launches (at most 4096 kept), oldest first; cleared by resetCounters. The
//! records are made when the log is read: the vector holds until the next call.
const std::vector<LaunchRecord>& launchLog();

// Hooks for the backend's other stand-ins (the FFT): the error injected for this call of the
// kind (cudaSuccess when none is due), and the counts of plans made and of plans measured.
cudaError_t injectedFault(Fault kind);
//! Whether a fault of the kind is pending, without counting a call: the FFT's fused paths leave
//! a transform with a pending fault to cufftExecC2C, where the fault is counted.
bool faultPending(Fault kind);
void countFftPlan();
void countFftPlanning();

}  // namespace lmx::cpu
