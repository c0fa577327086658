// The image class: construction, deep copy and assignment (device to device).

#include <lumerix/LumerixImage.h>

#include "lumerix/LockGuard.h"
#include "runtime/Backend.h"

using cmm::cmmDims;

Lumerix::Lumerix() : cmm::cmmPagedMemory(cmmDims(), nullptr, true) {}

Lumerix::Lumerix(const cmmDims& dims) : cmm::cmmPagedMemory(dims, nullptr, true) {}

Lumerix::Lumerix(Lumerix& other) : cmm::cmmPagedMemory(other.GetDimensions(), nullptr, true) {
    copyFrom(other);
}

// Copies other's data, wherever it is, into this image's device memory. An image without data
// gives a copy without data and no device work.
void Lumerix::copyFrom(Lumerix& other) {
    if (!other.page->host && !other.page->device) return;
    lmx::LockGuard locks;
    float* src = locks.lock(other);
    float* dst = locks.lock(*this);
    // Unchecked, as a failure here would surface at the next synchronising call.
    cudaMemcpy(dst, src, static_cast<std::size_t>(GetDimensions().Size()) * sizeof(float),
               cudaMemcpyDeviceToDevice);
}

Lumerix& Lumerix::operator=(Lumerix& other) {
    if (&other == this) return *this;
    // Always a new page, even for equal extents: the old page's device memory becomes a zombie
    // of the same size, which the new page's first lock takes over.
    page->Free();
    page = new cmm::cmmPage();
    page->Associate(other.GetDimensions(), nullptr, true);
    copyFrom(other);
    return *this;
}
