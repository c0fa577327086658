#pragma once
// Helpers shared by the tests: images from host values, random data, manager hygiene.

#include <lumerix/Lumerix.h>

#include "platform/Runtime.h"

#if defined(LMX_BACKEND_CPU)
#include "backend/cpu/Control.h"
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace lmxtest {

constexpr bool kCpuBackend =
#if defined(LMX_BACKEND_CPU)
    true;
#else
    false;
#endif

// Skips a test whose assertions only the CPU backend's stand-in can check (capacity, injected
// faults, copy counters, launch shapes).
#define LMX_CPU_BACKEND_ONLY() \
    if (!::lmxtest::kCpuBackend) GTEST_SKIP() << "checks the CPU backend's stand-in"

inline bool deviceAvailable() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    cudaGetLastError();
    return status == cudaSuccess && count > 0;
}

// An image of the given extents whose pixels are the given values (written on the host).
inline Lumerix imageOf(const cmm::cmmDims& dims, const std::vector<float>& values) {
    Lumerix img(dims);
    float* host = img.GetHostPtr();
    std::memcpy(host, values.data(), values.size() * sizeof(float));
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

inline std::vector<float> randomValues(std::size_t n, float lo, float hi, unsigned seed = 1) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
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

// Bit-exact comparison of floats (NaN equal to NaN of any payload).
inline bool sameFloat(float a, float b) {
    if (a != a && b != b) return true;
    std::uint32_t ua, ub;
    std::memcpy(&ua, &a, 4);
    std::memcpy(&ub, &b, 4);
    return ua == ub;
}

}  // namespace lmxtest
