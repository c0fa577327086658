#include "cmm/cmmPage.h"

#include "cmm/cmmCheck.h"
#include "cmm/cmmReclaim.h"
#include "platform/HostMemory.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

namespace cmm {

long long lockTotal = 0;
long long relockTotal = 0;
long long cacheHitTotal = 0;
long long putDownTotal = 0;
long long spillTotal = 0;

namespace {

[[noreturn]] void invalidState() {
    throw std::runtime_error("Invalid state");
}

std::size_t floatBytes(int count) {
    return static_cast<std::size_t>(count) * sizeof(float);
}

std::string rangeText(const cmmBlock& b) {
    std::string text;
    for (int i = 0; i < 4; ++i)
        text +=
            (i ? " x [" : "[") + std::to_string(b.Start(i)) + ", " + std::to_string(b.End(i)) + ")";
    return text;
}

std::string extentText(const cmmDims& d) {
    return "(" + std::to_string(d.Dim(0)) + ", " + std::to_string(d.Dim(1)) + ", " +
           std::to_string(d.Dim(2)) + ", " + std::to_string(d.Dim(3)) + ")";
}

// A block moves between host and device as a region of rows and columns, so it must lie inside
// the first two extents (0 <= start < end <= extent) and cover the last two whole. The whole
// array always qualifies, also when one of its extents is 0.
// The block's element count must also be that of its ranges (or, for the whole array, the
// array's own count, 0 for an image without pixels): the empty block cmmBlock() has ranges of
// one element yet holds none, and would otherwise be uploaded into no device memory.
void requireBlockInside(const cmmBlock& b, const cmmDims& d) {
    bool whole = true, inside = true;
    long long count = 1;
    // Every lock passes here: the four entries are read without the checked accessors once they
    // are known to be there (the lists are public and may have been shortened).
    if (b.start.size() < 4 || b.end.size() < 4 || d.dims.size() < 4)
        for (int i = 0; i < 4; ++i) {
            (void)b.Start(i);  // throws std::out_of_range past the end, as it always did
            (void)b.End(i);
            (void)d.Dim(i);
        }
    for (std::size_t i = 0; i < 4; ++i) {
        const int start = b.start[i], end = b.end[i], extent = d.dims[i];
        whole = whole && start == 0 && end == extent && extent >= 0;
        inside = inside &&
                 (i < 2 ? 0 <= start && start < end && end <= extent : start == 0 && end == extent);
        count *= static_cast<long long>(end) - start;
    }
    const bool counted = count == b.Size() || (whole && b.Size() == d.Size());
    if ((!whole && !inside) || !counted)
        throw std::invalid_argument("cmmPage::Lock: block " + rangeText(b) +
                                    " does not lie inside the extents " + extentText(d));
}

// A zombie's device memory is taken over or released; the zombie itself goes.
void destroyZombie(cmmPage* zombie) {
    zombie->device = nullptr;
    delete zombie;
}

}  // namespace

namespace {

// Memory of deleted pages, for the next. In the sanitizer build every page has memory of its
// own, so that a use of a deleted page is reported.
#if !defined(LMX_SANITIZE)
constexpr int kKeptPages = 64;
void* keptPages[kKeptPages];
int keptPageCount = 0;
#endif

}  // namespace

void* cmmPage::operator new(std::size_t bytes) {
#if !defined(LMX_SANITIZE)
    if (bytes == sizeof(cmmPage) && keptPageCount > 0) return keptPages[--keptPageCount];
#endif
    return ::operator new(bytes);
}

void cmmPage::operator delete(void* memory) noexcept {
#if !defined(LMX_SANITIZE)
    if (memory && keptPageCount < kKeptPages) {
        keptPages[keptPageCount++] = memory;
        return;
    }
#endif
    ::operator delete(memory);
}

cmmPage::cmmPage() : state(this, cmmNew()) {
    cmmInitialiseDevice();
}

cmmPage::~cmmPage() noexcept(false) {
    if (state != cmmZombie()) {
        if (std::uncaught_exceptions() > 0) {
            std::fprintf(stderr,
                         "cmmPage destroyed in a state other than zombie during unwinding;"
                         " the page is left alone\n");
            return;
        }
        invalidState();
    }
}

void cmmPage::Associate(const cmmDims& extents, float* hostArray, bool ownsHostArray) {
    if (state != cmmNew()) invalidState();
    // Refused here, before a lock would reclaim all device memory for an impossible size.
    if (extents.Size() < 0)
        throw std::invalid_argument("cmmPage::Associate: extents " + extentText(extents) +
                                    " give a negative element count " +
                                    std::to_string(extents.Size()));
    dims = extents;
    host = hostArray;
    ownsHost = ownsHostArray;
    state.Change(cmmStored());
}

void cmmPage::obtainDevice(const cmmBlock& lockBlock) {
    const int wanted = lockBlock.Size();
    // Cache hit: the oldest zombie of the same element count hands over its buffer.
    for (cmmPage* zombie : *cmmZombie().list) {
        if (zombie->block.Size() == wanted) {
            ++cacheHitTotal;
            device = zombie->device;
            destroyZombie(zombie);
            return;
        }
    }
    void* memory = nullptr;
    for (;;) {
        const cudaError_t status = cudaMalloc(&memory, floatBytes(wanted));
        if (status == cudaSuccess) break;
        // Only a full device is worth reclaiming for; any other status (a fault left by an
        // earlier kernel, say) is reported as what it is.
        if (status != cudaErrorMemoryAllocation) cmmCheck(status);
        cudaGetLastError();
        if (lmx::putDownOldestZombie()) continue;
        if (lmx::releaseDeviceCaches()) continue;
        std::list<cmmPage*>& cached = *cmmCached().list;
        if (cached.empty()) throw std::runtime_error("Out of memory");
        ++spillTotal;
        cached.front()->Flush();
        // The spilled page's memory is now the only zombie; take it if it fits.
        cmmPage* zombie = cmmZombie().list->front();
        if (zombie->block.Size() == wanted) {
            device = zombie->device;
            destroyZombie(zombie);
            return;
        }
    }
    device = static_cast<float*>(memory);
}

void cmmPage::Lock(const cmmBlock& lockBlock) {
    // Only a page of an array has extents to hold the block against; the others are in a
    // state that Lock refuses anyway.
    if (state == cmmStored() || state == cmmCached() || state == cmmLocked())
        requireBlockInside(lockBlock, dims);
    ++lockTotal;
    if (state == cmmLocked() && lockBlock == block) {
        ++lockCount;
        return;
    }
    if (state == cmmCached()) {
        if (lockBlock == block) {
            ++relockTotal;
            ++lockCount;
            state.Change(cmmLocked());
            return;
        }
        Flush();
    }
    if (state != cmmStored()) invalidState();

    obtainDevice(lockBlock);
    cudaGetLastError();  // failed allocation attempts must not reach the next launch check

    // No copy of zero bytes: the device pointer of an image without pixels may be null.
    if (host && lockBlock.Size() > 0 && dims.Size() > 0) {
        if (lockBlock.Size() == dims.Size()) {
            cmmCheckSync(cudaMemcpy(device, host, floatBytes(dims.Size()), cudaMemcpyHostToDevice));
        } else {
            const std::size_t w = static_cast<std::size_t>(lockBlock.End(0) - lockBlock.Start(0));
            const float* origin = host + lockBlock.Start(0) +
                                  static_cast<std::ptrdiff_t>(dims.Dim(0)) * lockBlock.Start(1);
            cmmCheckSync(
                cudaMemcpy2D(device, w * 4, origin, floatBytes(dims.Dim(0)), w * 4,
                             static_cast<std::size_t>(lockBlock.End(1) - lockBlock.Start(1)),
                             cudaMemcpyHostToDevice));
        }
    }
    block = lockBlock;
    ++lockCount;
    state.Change(cmmLocked());
}

void cmmPage::Release() {
    if (state != cmmLocked()) invalidState();
    if (--lockCount == 0) state.Change(cmmCached());
}

void cmmPage::Flush() {
    if (!host) {
        // At least one element: the block of an image without pixels still covers one.
        host =
            static_cast<float*>(lmx::allocateHost(floatBytes(dims.Size() > 0 ? dims.Size() : 1)));
        if (!host) throw std::runtime_error("Out of memory");
    }
    if (state == cmmStored()) return;
    if (state != cmmCached()) invalidState();

    if (block.Size() == 0 || dims.Size() == 0) {
        // Nothing to gather, and no copy of zero bytes from a device pointer that may be null.
    } else if (block.Size() == dims.Size()) {
        cmmCheckSync(cudaMemcpy(host, device, floatBytes(dims.Size()), cudaMemcpyDeviceToHost));
    } else {
        const std::size_t w = static_cast<std::size_t>(block.End(0) - block.Start(0));
        float* origin =
            host + block.Start(0) + static_cast<std::ptrdiff_t>(dims.Dim(0)) * block.Start(1);
        cmmCheckSync(cudaMemcpy2D(origin, floatBytes(dims.Dim(0)), device, w * 4, w * 4,
                                  static_cast<std::size_t>(block.End(1) - block.Start(1)),
                                  cudaMemcpyDeviceToHost));
    }
    // The device buffer lives on in a zombie until a lock of the same size takes it over.
    cmmPage* zombie = new cmmPage();
    zombie->block = block;
    zombie->device = device;
    zombie->state.Change(cmmZombie());

    device = nullptr;
    block = cmmBlock();
    state.Change(cmmStored());
}

void cmmPage::Free() {
    if (state != cmmStored() && state != cmmCached()) {
        if (std::uncaught_exceptions() > 0) {
            std::fprintf(stderr,
                         "cmmPage freed while locked during unwinding; the page is left"
                         " alone\n");
            return;
        }
        invalidState();
    }
    if (ownsHost && host) {
        // A large host array is kept for the next image of its size (HostMemory.h); memory
        // pressure on the device gives the kept arrays back first.
        static const bool registered = (lmx::registerDeviceCache(&lmx::freeOneKeptHostArray), true);
        (void)registered;
        lmx::releaseHost(host);
    }
    host = nullptr;
    state.Change(cmmZombie());
    if (!device) delete this;
}

}  // namespace cmm

namespace lmx {

bool putDownOldestZombie() {
    std::list<cmm::cmmPage*>& zombies = *cmm::cmmZombie().list;
    if (zombies.empty()) return false;
    ++cmm::putDownTotal;
    cmm::cmmPage* zombie = zombies.front();
    cmmCheckSync(cudaFree(zombie->device));
    zombie->device = nullptr;
    delete zombie;
    return true;
}

bool reclaimOnePage() {
    std::list<cmm::cmmPage*>& zombies = *cmm::cmmZombie().list;
    if (zombies.empty()) {
        std::list<cmm::cmmPage*>& cached = *cmm::cmmCached().list;
        if (cached.empty()) return false;
        ++cmm::spillTotal;
        cached.front()->Flush();  // its device buffer becomes the youngest zombie
    }
    return putDownOldestZombie();
}

}  // namespace lmx
