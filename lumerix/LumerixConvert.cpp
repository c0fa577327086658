// 8- and 16-bit pixel conversion: the narrow data crosses the bus through a scratch buffer and
// the page-locked staging buffer and is converted on the device (on the CPU backend, all but
// small conversions run on the caller's host array). Both widths run the same steps; the checks
// report the expression of each width.

#include <lumerix/LumerixImage.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"
#include "platform/HostMemory.h"
#include "runtime/Backend.h"

#include <cstdlib>
#include <new>

LMX_REPORTED_UNIT("Lumerix.cpp")

namespace {

template <class T>
struct Narrow;

template <>
struct Narrow<unsigned char> {
    static constexpr auto toFloat = &LumerixPixelInt8ToFloat;
    static constexpr auto fromFloat = &LumerixPixelFloatToInt8;
    static constexpr const char* kMalloc =
        "LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned char))";
    static constexpr const char* kUpload =
        "cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned char), "
        "cudaMemcpyHostToDevice)";
    static constexpr const char* kDownload =
        "cudaMemcpy(data, shortdata, GetDimensions().Size()*sizeof(unsigned char), "
        "cudaMemcpyDeviceToHost)";
};

template <>
struct Narrow<unsigned short> {
    static constexpr auto toFloat = &LumerixPixelInt16ToFloat;
    static constexpr auto fromFloat = &LumerixPixelFloatToInt16;
    static constexpr const char* kMalloc =
        "LumerixMalloc((void **)&shortdata, GetDimensions().Size()*sizeof(unsigned short))";
    static constexpr const char* kUpload =
        "cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned short), "
        "cudaMemcpyHostToDevice)";
    static constexpr const char* kDownload =
        "cudaMemcpy(data, shortdata, GetDimensions().Size()*sizeof(unsigned short), "
        "cudaMemcpyDeviceToHost)";
};

constexpr const char* kFree = "LumerixFree(shortdata)";

// Locks the image for one conversion launch; when the image cannot be locked, the scratch
// buffer (and the caller's result array, not yet handed out) must not leak.
template <class Launch>
void convert(Lumerix& image, void* shortdata, void* data, Launch launchOn) {
    try {
        lmx::LockGuard locks;
        launchOn(locks.lock(image), image.GetDimensions().Size());
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        LumerixFree(shortdata);
        std::free(data);
        throw;
    }
}

template <class T>
void setData(Lumerix& image, const T* data) {
    const std::size_t bytes = static_cast<std::size_t>(image.GetDimensions().Size()) * sizeof(T);
    if (bytes == 0) return;  // no pixels: nothing to move
    // The scratch buffer is reserved even where the launch reads the caller's array, so that
    // the call needs, and reports, the same memory on every backend.
    T* shortdata = nullptr;
    LumerixCheckText(LumerixMalloc((void**)&shortdata, bytes), Narrow<T>::kMalloc);
    const bool inPlace = lmx::convertsInPlaceOnHost(bytes);
    if (!inPlace)
        LumerixCheckText(lmx::stagedCopy(shortdata, data, bytes, cudaMemcpyHostToDevice),
                         Narrow<T>::kUpload);
    T* source = inPlace ? const_cast<T*>(data) : shortdata;  // the kernel only reads it
    convert(image, shortdata, nullptr, [&](float* pixels, int n) {
        lmx::launchPixels(Narrow<T>::toFloat, n, source, pixels, n);
    });
    if (inPlace) lmx::countInPlaceTransfer(cudaMemcpyHostToDevice, bytes);
    LumerixCheckText(LumerixFree(shortdata), kFree);
}

template <class T>
T* getData(Lumerix& image) {
    const std::size_t bytes = static_cast<std::size_t>(image.GetDimensions().Size()) * sizeof(T);
    if (bytes == 0) return static_cast<T*>(std::malloc(sizeof(T)));
    T* shortdata = nullptr;
    LumerixCheckText(LumerixMalloc((void**)&shortdata, bytes), Narrow<T>::kMalloc);
    T* data = static_cast<T*>(lmx::allocateHost(bytes));
    if (!data) {
        LumerixFree(shortdata);
        throw std::bad_alloc();
    }
    const bool inPlace = lmx::convertsInPlaceOnHost(bytes);
    convert(image, shortdata, data, [&](float* pixels, int n) {
        lmx::launchPixels(Narrow<T>::fromFloat, n, pixels, inPlace ? data : shortdata, n);
    });
    if (inPlace)
        lmx::countInPlaceTransfer(cudaMemcpyDeviceToHost, bytes);
    else
        LumerixCheckText(lmx::stagedCopy(data, shortdata, bytes, cudaMemcpyDeviceToHost),
                         Narrow<T>::kDownload);
    LumerixCheckText(LumerixFree(shortdata), kFree);
    return data;
}

}  // namespace

Lumerix& Lumerix::SetDataInt8(const unsigned char* const data) {
    LMX_API_ENTRY();
    setData(*this, data);
    return *this;
}

unsigned char* Lumerix::GetDataInt8() {
    LMX_API_ENTRY();
    return getData<unsigned char>(*this);
}

Lumerix& Lumerix::SetDataInt16(const unsigned short* const data) {
    LMX_API_ENTRY();
    setData(*this, data);
    return *this;
}

unsigned short* Lumerix::GetDataInt16() {
    LMX_API_ENTRY();
    return getData<unsigned short>(*this);
}
