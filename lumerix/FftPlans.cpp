// The FFT plan cache. Single images and 1 x N or N x 1 images take one-dimensional plans (a
// two-dimensional transform with one extent of 1 is the one-dimensional transform of the other).
//
// Plans are made without a work area of their own (cufftSetAutoAllocation off): an operation
// takes the work area its plan needs from the chunk allocator while it holds the plan and gives
// it back after, so the memory of every plan is one scratch buffer that the manager counts and
// reclaims like any other, and idle plans hold no device memory.

#include "lumerix/FftPlans.h"

#include "cmm/cmmReclaim.h"
#include "lumerix/LumerixUtils.h"

#include <stdexcept>

LMX_REPORTED_UNIT("LumerixFFT.cpp")

namespace lmx {
namespace {

// Four plans cover four sizes in turn; a complex plan serves both directions (the direction is
// an argument of each transform), so a forward and an inverse transform share one.
constexpr int kSlots = 4;

struct Slot {
    int w = 0, h = 0;
    cufftHandle handle = 0;
    std::size_t workBytes = 0;  // the work area the plan runs in
    bool valid = false;
    bool held = false;
    unsigned long lastUse = 0;
};

Slot slots[kSlots];
unsigned long useClock = 0;

void destroy(Slot& slot) {
    // A failure here leaves nothing the library could act on; the plan is gone either way.
    cufftDestroy(slot.handle);
    slot = Slot{};
}

// The least recently used idle plan, or null.
Slot* oldestIdle() {
    Slot* oldest = nullptr;
    for (Slot& s : slots)
        if (s.valid && !s.held && (!oldest || s.lastUse < oldest->lastUse)) oldest = &s;
    return oldest;
}

cufftHandle create(int w, int h, std::size_t& workBytes) {
    for (;;) {
        cufftHandle handle = 0;
        const bool line = w == 1 || h == 1;
        workBytes = 0;
        cufftResult result = cufftCreate(&handle);
        if (result == CUFFT_SUCCESS) {
            LumerixCheckFft(cufftSetAutoAllocation(handle, 0));
            result = line ? cufftMakePlan1d(handle, w * h, CUFFT_C2C, 1, &workBytes)
                          : cufftMakePlan2d(handle, h, w, CUFFT_C2C, &workBytes);
            if (result == CUFFT_SUCCESS) return handle;
            cufftDestroy(handle);
        }
        // Only a full device is worth reclaiming for; anything else is reported as it is, with
        // the call that failed.
        if (result != CUFFT_ALLOC_FAILED)
            LumerixCheckFftText(result,
                                line ? "cufftMakePlan1d(handle, w * h, CUFFT_C2C, 1, &workBytes)"
                                     : "cufftMakePlan2d(handle, h, w, CUFFT_C2C, &workBytes)");
        cudaGetLastError();  // the failed allocation must not reach the next launch check
        if (releaseOneFftPlan()) continue;
        if (putDownOldestZombie()) continue;
        if (releaseDeviceCaches()) continue;
        if (reclaimOnePage()) continue;
        throw std::runtime_error("Out of memory");
    }
}

}  // namespace

FftPlan::FftPlan(int w, int h) {
    if (1LL * w * h <= 1) return;
    registerDeviceCache(&releaseOneFftPlan);
    ++useClock;
    for (int i = 0; i < kSlots; ++i) {
        Slot& s = slots[i];
        if (s.valid && !s.held && s.w == w && s.h == h) {
            s.held = true;
            s.lastUse = useClock;
            slot_ = i;
            attachWorkArea();
            return;
        }
    }
    std::size_t workBytes = 0;
    const cufftHandle handle = create(w, h, workBytes);
    Slot* free = nullptr;
    for (Slot& s : slots)
        if (!s.valid) free = &s;
    if (!free) {
        free = oldestIdle();
        if (free) destroy(*free);
    }
    if (!free) {
        // Every slot is held, which one operation at a time never does.
        cufftDestroy(handle);
        throw std::logic_error("FftPlan: every cached plan is in use");
    }
    *free = Slot{w, h, handle, workBytes, true, true, useClock};
    slot_ = static_cast<int>(free - slots);
    attachWorkArea();
}

void FftPlan::attachWorkArea() {
    const Slot& s = slots[slot_];
    if (s.workBytes > 0) {
        // The allocator gives back idle chunks, zombie pages, idle caches (other plans
        // included, never this held one) and cached pages before it reports a full device.
        const cudaError_t status = LumerixMalloc(&work_, s.workBytes);
        if (status == cudaErrorMemoryAllocation) {
            work_ = nullptr;
            slots[slot_].held = false;
            slot_ = -1;
            throw std::runtime_error("Out of memory");
        }
        LumerixCheck(status);
    }
    LumerixCheckFft(cufftSetWorkArea(s.handle, work_));
}

FftPlan::~FftPlan() {
    if (slot_ >= 0) slots[slot_].held = false;
    if (work_) LumerixFree(work_);  // back to the chunk cache, reclaimable
}

cufftHandle FftPlan::handle() const {
    return slots[slot_].handle;
}

bool releaseOneFftPlan() {
    Slot* oldest = oldestIdle();
    if (!oldest) return false;
    destroy(*oldest);
    return true;
}

std::size_t cachedFftPlans() {
    std::size_t count = 0;
    for (const Slot& s : slots) count += s.valid ? 1 : 0;
    return count;
}

}  // namespace lmx
