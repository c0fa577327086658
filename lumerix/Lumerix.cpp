// The image class: construction, deep copy and assignment (device to device), moves, and float
// data in and out.

#include <lumerix/LumerixImage.h>

#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"
#include "platform/HostMemory.h"
#include "runtime/Backend.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("Lumerix.cpp")

using cmm::cmmDims;

namespace {

[[noreturn]] void invalidState() {
    throw std::runtime_error("Invalid state");
}

bool isLocked(const cmm::cmmPage* page) {
    return page->state == cmm::cmmLocked();
}

// A page of an image without pixels, for a moved-from image.
cmm::cmmPage* emptyPage() {
    cmm::cmmPage* page = new cmm::cmmPage();
    page->Associate(cmmDims(), nullptr, true);
    return page;
}

std::size_t floatBytes(const cmmDims& dims) {
    return static_cast<std::size_t>(dims.Size()) * sizeof(float);
}

}  // namespace

Lumerix::Lumerix() : cmm::cmmPagedMemory(cmmDims(), nullptr, true) {}

Lumerix::Lumerix(const cmmDims& dims) : cmm::cmmPagedMemory(dims, nullptr, true) {}

Lumerix::Lumerix(Lumerix& other) : cmm::cmmPagedMemory(other.GetDimensions(), nullptr, true) {
    LMX_API_ENTRY();
    copyFrom(other);
}

Lumerix::Lumerix(Lumerix&& other) : cmm::cmmPagedMemory(cmmDims(), nullptr, true) {
    LMX_API_ENTRY();
    // Someone holds the device address of a locked page; it cannot change hands.
    if (isLocked(other.page)) invalidState();
    std::swap(page, other.page);
}

// Copies other's data, wherever it is, into this image's device memory. An image without data
// gives a copy without data and no device work.
void Lumerix::copyFrom(Lumerix& other) {
    if (!other.page->host && !other.page->device) return;
    lmx::LockGuard locks;
    float* src = locks.lock(other);
    float* dst = locks.lock(*this);
    // Unchecked, as a failure here would surface at the next synchronising call. No copy of
    // zero bytes: the pointers of an image without pixels may be null.
    const std::size_t bytes = floatBytes(GetDimensions());
    if (bytes > 0) cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToDevice);
}

Lumerix& Lumerix::operator=(Lumerix& other) {
    LMX_API_ENTRY();
    if (&other == this) return *this;
    // Always a new page, even for equal extents: the old page's device memory becomes a zombie
    // of the same size, which the new page's first lock takes over.
    page->Free();
    page = new cmm::cmmPage();
    page->Associate(other.GetDimensions(), nullptr, true);
    copyFrom(other);
    return *this;
}

Lumerix& Lumerix::operator=(Lumerix&& other) {
    LMX_API_ENTRY();
    if (&other == this) return *this;
    if (isLocked(page) || isLocked(other.page)) invalidState();
    cmm::cmmPage* empty = emptyPage();
    page->Free();  // cannot throw: the page is neither locked nor a zombie
    page = other.page;
    other.page = empty;
    return *this;
}

Lumerix& Lumerix::SetData(const float* data) {
    LMX_API_ENTRY();
    const std::size_t bytes = floatBytes(GetDimensions());
    if (bytes == 0) return *this;
    // An owned host copy is about to be stale: dropping it spares its upload in Lock.
    if (page->state == cmm::cmmStored() && page->ownsHost && page->host) {
        lmx::releaseHost(page->host);
        page->host = nullptr;
    }
    lmx::LockGuard locks;
    float* device = locks.lock(*this);
    // Default: the caller's array may also be device memory (another library's, or a view of
    // an image), which the runtime tells apart by its address.
    LumerixCheck(cudaMemcpy(device, data, bytes, cudaMemcpyDefault));
    return *this;
}

void Lumerix::CopyTo(float* data) {
    LMX_API_ENTRY();
    const std::size_t bytes = floatBytes(GetDimensions());
    if (bytes == 0) return;
    const bool whole = page->block.Size() == GetDimensions().Size();
    if (page->device && whole && (page->state == cmm::cmmCached() || isLocked(page))) {
        LumerixCheck(cudaMemcpy(data, page->device, bytes, cudaMemcpyDefault));
        return;
    }
    if (isLocked(page)) invalidState();  // a part of the array is on the device, in use
    if (page->device) Flush();           // a part of the array: gather it on the host
    if (page->host)
        LumerixCheck(cudaMemcpy(data, page->host, bytes, cudaMemcpyDefault));
    else
        std::memset(data, 0, bytes);
}

Lumerix& Lumerix::Reshape(const cmmDims& dims) {
    LMX_API_ENTRY();
    if (dims.Size() != GetDimensions().Size())
        throw std::invalid_argument("Reshape: " + std::to_string(dims.Size()) +
                                    " elements requested for an image of " +
                                    std::to_string(GetDimensions().Size()));
    if (isLocked(page)) invalidState();
    // A device copy of the whole array stays the whole array under the new extents.
    if (page->device && page->block.Size() == GetDimensions().Size())
        page->block = cmm::cmmBlock(dims);
    else if (page->device)
        Flush();
    page->dims = dims;
    return *this;
}
