// 8- and 16-bit pixel conversion: the narrow data crosses the bus through a scratch buffer and
// is converted on the device.

#include <lumerix/LumerixImage.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/HostMemory.h"

#include <cstdlib>
#include <new>

namespace {
// When the image cannot be locked, the scratch buffer (and a result array) must not leak.
void giveBack(void* shortdata, void* data = nullptr) {
    LumerixFree(shortdata);
    std::free(data);
}
}  // namespace

Lumerix& Lumerix::SetDataInt8(const unsigned char* const data) {
    if (GetDimensions().Size() <= 0) return *this;  // no pixels: nothing to move
    unsigned char* shortdata = nullptr;
    LumerixCheck(LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned char)));
    LumerixCheck(cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned char), cudaMemcpyHostToDevice));
    const int n = GetDimensions().Size();
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(*this);
        lmx::launchPixels(&LumerixPixelInt8ToFloat, n, shortdata, pixels, n);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        giveBack(shortdata);
        throw;
    }
    LumerixCheck(LumerixFree(shortdata));
    return *this;
}

unsigned char* Lumerix::GetDataInt8() {
    const int n = GetDimensions().Size();
    if (n <= 0) return static_cast<unsigned char*>(std::malloc(1));
    unsigned char* shortdata = nullptr;
    LumerixCheck(LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned char)));
    unsigned char* data = static_cast<unsigned char*>(lmx::allocateHost(static_cast<std::size_t>(n)));
    if (!data) {
        LumerixFree(shortdata);
        throw std::bad_alloc();
    }
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(*this);
        lmx::launchPixels(&LumerixPixelFloatToInt8, n, pixels, shortdata, n);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        giveBack(shortdata, data);
        throw;
    }
    LumerixCheck(cudaMemcpy(data, shortdata, GetDimensions().Size()*sizeof(unsigned char), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(shortdata));
    return data;
}

Lumerix& Lumerix::SetDataInt16(const unsigned short* const data) {
    if (GetDimensions().Size() <= 0) return *this;
    unsigned short* shortdata = nullptr;
    LumerixCheck(LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned short)));
    LumerixCheck(cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned short), cudaMemcpyHostToDevice));
    const int n = GetDimensions().Size();
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(*this);
        lmx::launchPixels(&LumerixPixelInt16ToFloat, n, shortdata, pixels, n);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        giveBack(shortdata);
        throw;
    }
    LumerixCheck(LumerixFree(shortdata));
    return *this;
}

unsigned short* Lumerix::GetDataInt16() {
    const int n = GetDimensions().Size();
    if (n <= 0) return static_cast<unsigned short*>(std::malloc(sizeof(unsigned short)));
    unsigned short* shortdata = nullptr;
    LumerixCheck(LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned short)));
    auto* data = static_cast<unsigned short*>(
        lmx::allocateHost(static_cast<std::size_t>(n) * sizeof(unsigned short)));
    if (!data) {
        LumerixFree(shortdata);
        throw std::bad_alloc();
    }
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(*this);
        lmx::launchPixels(&LumerixPixelFloatToInt16, n, pixels, shortdata, n);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        giveBack(shortdata, data);
        throw;
    }
    LumerixCheck(cudaMemcpy(data, shortdata, GetDimensions().Size()*sizeof(unsigned short), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(shortdata));
    return data;
}
