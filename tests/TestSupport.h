#pragma once
// Helpers shared by the tests of both backends: images from host values, reference data, manager
// hygiene, and the runtime's counters where the backend keeps them. What only the CPU backend's
// stand-in offers (capacity, fault injection, the launch log) is in cpu/StandIn.h.

#include <lumerix/Lumerix.h>

#include "lumerix/LumerixUtils.h"
#include "runtime/Backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace lmxtest {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// True where device memory is host memory with the stand-in's counters (the cpu backend): the
// counts of copies and allocations in RuntimeTotals mean something there only.
constexpr bool kCpuBackend = lmx::kDeviceMemoryIsHost;

// Expects the statement to throw std::runtime_error with exactly the given message.
#define LMX_EXPECT_RUNTIME_ERROR(statement, message)                                 \
    do {                                                                             \
        try {                                                                        \
            statement;                                                               \
            ADD_FAILURE() << #statement " threw nothing";                            \
        } catch (const std::runtime_error& lmxError_) {                              \
            EXPECT_STREQ(lmxError_.what(), message) << #statement;                   \
        } catch (...) {                                                              \
            ADD_FAILURE() << #statement " threw something other than runtime_error"; \
        }                                                                            \
    } while (0)

inline bool deviceAvailable() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    cudaGetLastError();
    return status == cudaSuccess && count > 0;
}

// ---- values and images -----------------------------------------------------------------------

inline std::vector<float> randomValues(std::size_t n, float lo, float hi, unsigned seed = 1) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// from, from + 1, ..., n values.
inline std::vector<float> ramp(int n, float from = 0.0f) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + static_cast<float>(i);
    return v;
}

// An image of the given extents whose pixels are the given values (written on the host).
inline Lumerix imageOf(const cmm::cmmDims& dims, const std::vector<float>& values) {
    Lumerix img(dims);
    std::memcpy(img.GetHostPtr(), values.data(), values.size() * sizeof(float));
    return img;
}

inline Lumerix imageOf(const std::vector<float>& values) {
    return imageOf(cmm::cmmDims(static_cast<int>(values.size())), values);
}

// The pixels of an image, read back through its host pointer.
inline std::vector<float> pixels(Lumerix& img) {
    const float* host = img.GetHostPtr();
    return std::vector<float>(host, host + img.GetDimensions().Size());
}
inline std::vector<float> pixels(Lumerix&& img) {
    return pixels(img);
}

// Bit-exact comparison of floats (NaN equal to NaN of any payload).
inline bool sameFloat(float a, float b) {
    if (a != a && b != b) return true;
    std::uint32_t ua, ub;
    std::memcpy(&ua, &a, 4);
    std::memcpy(&ub, &b, 4);
    return ua == ub;
}

inline ::testing::AssertionResult sameFloats(const std::vector<float>& got,
                                             const std::vector<float>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " values, want " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!sameFloat(got[i], want[i]))
            return ::testing::AssertionFailure()
                   << "at " << i << ": got " << got[i] << ", want " << want[i];
    return ::testing::AssertionSuccess();
}

// Device memory for a test, released at the end of it.
struct DeviceBuffer {
    explicit DeviceBuffer(std::size_t bytes) { EXPECT_EQ(cudaMalloc(&ptr, bytes), cudaSuccess); }
    ~DeviceBuffer() { cudaFree(ptr); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    float* get() const { return static_cast<float*>(ptr); }
    void* ptr = nullptr;
};

// ---- manager state and device contents -------------------------------------------------------

// The manager's process-wide counters at one moment; tests compare two snapshots, since other
// tests of the process have moved the counters before.
struct ManagerTotals {
    long long locks = 0, relocks = 0, cacheHits = 0, putDowns = 0, spills = 0;

    static ManagerTotals now() {
        return {cmm::lockTotal, cmm::relockTotal, cmm::cacheHitTotal, cmm::putDownTotal,
                cmm::spillTotal};
    }
    ManagerTotals since(const ManagerTotals& e) const {
        return {locks - e.locks, relocks - e.relocks, cacheHits - e.cacheHits,
                putDowns - e.putDowns, spills - e.spills};
    }
};

// True when the page is in the state's list and its stored node is its own.
inline bool inState(const cmm::cmmPage* page, const cmm::cmmState& state) {
    if (page->state != state || page->state.list != state.list) return false;
    for (const cmm::cmmPage* p : *state.list)
        if (p == page) return *page->state.position == page;
    return false;
}

// Pages in a state's list, oldest first.
inline std::vector<cmm::cmmPage*> pagesOf(const cmm::cmmState& state) {
    return std::vector<cmm::cmmPage*>(state.list->begin(), state.list->end());
}

// Device pointers held by the zombie pages, oldest first.
inline std::vector<float*> zombieBuffers() {
    std::vector<float*> buffers;
    for (const cmm::cmmPage* z : *cmm::cmmZombie().list) buffers.push_back(z->device);
    return buffers;
}

inline bool holdsZombie(const float* buffer) {
    const std::vector<float*> zombies = zombieBuffers();
    return std::find(zombies.begin(), zombies.end(), buffer) != zombies.end();
}

// Releases the device memory of every zombie page, so that a test of reclamation starts from a
// known zombie list.
inline void putDownAllZombies() {
    auto& zombies = *cmm::cmmZombie().list;
    while (!zombies.empty()) {
        cmm::cmmPage* z = zombies.front();
        cudaFree(z->device);
        z->device = nullptr;
        delete z;
    }
}

// Writes every cached page back to its host array and puts every zombie down: the device then
// holds only locked pages, and the reclamation order is the test's own.
inline void startClean() {
    while (!cmm::cmmCached().list->empty()) cmm::cmmCached().list->front()->Flush();
    putDownAllZombies();
    cudaGetLastError();
}

// Reads n floats of device memory (a blocking copy; counted as device to host).
inline std::vector<float> deviceValues(const float* device, int n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    EXPECT_EQ(cudaMemcpy(v.data(), device, v.size() * sizeof(float), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return v;
}

// Writes values to device memory (counted as host to device).
inline void writeDevice(float* device, const std::vector<float>& values) {
    EXPECT_EQ(
        cudaMemcpy(device, values.data(), values.size() * sizeof(float), cudaMemcpyHostToDevice),
        cudaSuccess);
}

// Gives an image device contents only (a ramp from `first`), as an operation's result has, and
// leaves it cached.
inline void fillOnDevice(Lumerix& image, float first) {
    writeDevice(image.Lock(), ramp(image.GetDimensions().Size(), first));
    image.Release();
}

// Puts the images' data on the device, unlocked, with no zombie left to reclaim.
inline void onDevice(std::initializer_list<Lumerix*> images) {
    for (Lumerix* img : images) {
        img->Lock();
        img->Release();
    }
    putDownAllZombies();
}

// An image that an operation has let go of: unlocked, cached, with the given pixels.
inline void expectCachedWith(Lumerix& img, const std::vector<float>& values) {
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_TRUE(inState(img.page, cmm::cmmCached()));
    EXPECT_TRUE(sameFloats(pixels(img), values));
}

// The CPU backend's allocation, launch and copy counters at one moment (all zero on the cuda
// backend, where only assertions guarded by kCpuBackend may read them).
struct RuntimeTotals {
    long allocations = 0, frees = 0, launches = 0;
    long hostToDevice = 0, deviceToHost = 0, deviceToDevice = 0;  // copies
    std::size_t hostToDeviceBytes = 0, deviceToHostBytes = 0;

    // Defined by cpu/Counters.cpp from the stand-in's counters, or as all zero by
    // NoCounters.cpp where the backend keeps none; CMake builds the one that applies.
    static RuntimeTotals now();
    RuntimeTotals since(const RuntimeTotals& e) const {
        // clang-format off
        return {allocations - e.allocations,       frees - e.frees,
                launches - e.launches,             hostToDevice - e.hostToDevice,
                deviceToHost - e.deviceToHost,     deviceToDevice - e.deviceToDevice,
                hostToDeviceBytes - e.hostToDeviceBytes, deviceToHostBytes - e.deviceToHostBytes};
        // clang-format on
    }
    // No allocation and no copy in any direction.
    bool quiet() const {
        return allocations == 0 && hostToDevice == 0 && deviceToHost == 0 && deviceToDevice == 0;
    }
};

// The kernel that the most recent launch ran, where the backend keeps a launch log (the cpu
// backend); empty elsewhere, so only assertions that kCpuBackend guards may read it.
std::string lastKernel();

// Bytes of device memory in use, as the runtime reports them (total less free).
inline std::size_t deviceBytesUsed() {
    std::size_t freeBytes = 0, totalBytes = 0;
    EXPECT_EQ(cudaMemGetInfo(&freeBytes, &totalBytes), cudaSuccess);
    return totalBytes - freeBytes;
}

}  // namespace lmxtest
