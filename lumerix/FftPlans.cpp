// The FFT plan cache. Single images and 1 x N or N x 1 images take one-dimensional plans (a
// two-dimensional transform with one extent of 1 is the one-dimensional transform of the other).

#include "lumerix/FftPlans.h"

#include "cmm/cmmReclaim.h"
#include "lumerix/LumerixUtils.h"

#include <stdexcept>

LMX_REPORTED_UNIT("LumerixFFT.cpp")

namespace lmx {
namespace {

// Four plans cover a forward and an inverse transform of two sizes in turn.
constexpr int kSlots = 4;

struct Slot {
    int w = 0, h = 0, direction = 0;
    cufftHandle handle = 0;
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

cufftHandle create(int w, int h) {
    for (;;) {
        cufftHandle handle = 0;
        const cufftResult result = (w == 1 || h == 1) ? cufftPlan1d(&handle, w * h, CUFFT_C2C, 1)
                                                      : cufftPlan2d(&handle, h, w, CUFFT_C2C);
        if (result == CUFFT_SUCCESS) return handle;
        // Only a full device is worth reclaiming for; anything else is reported as it is.
        if (result != CUFFT_ALLOC_FAILED)
            LumerixCheckFftText(result, "cufftPlan2d(&handle, h, w, CUFFT_C2C)");
        cudaGetLastError();  // the failed allocation must not reach the next launch check
        if (releaseOneFftPlan()) continue;
        if (putDownOldestZombie()) continue;
        if (releaseDeviceCaches()) continue;
        if (reclaimOnePage()) continue;
        throw std::runtime_error("Out of memory");
    }
}

}  // namespace

FftPlan::FftPlan(int w, int h, int direction) {
    if (1LL * w * h <= 1) return;
    registerDeviceCache(&releaseOneFftPlan);
    ++useClock;
    for (int i = 0; i < kSlots; ++i) {
        Slot& s = slots[i];
        if (s.valid && !s.held && s.w == w && s.h == h && s.direction == direction) {
            s.held = true;
            s.lastUse = useClock;
            slot_ = i;
            return;
        }
    }
    const cufftHandle handle = create(w, h);
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
    *free = Slot{w, h, direction, handle, true, true, useClock};
    slot_ = static_cast<int>(free - slots);
}

FftPlan::~FftPlan() {
    if (slot_ >= 0) slots[slot_].held = false;
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
