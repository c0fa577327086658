#pragma once
// The FFT plans of the process: a small cache per (width, height), one narrow
// interface over cuFFT and the CPU backend's stand-in alike.
//
// A plan runs in a work area that the operation holding it takes from the chunk allocator and
// gives back after; the cache itself is one of the idle device caches that the manager empties
// when it must reclaim memory (a plan's own state is device memory too); a plan held by an
// operation is never released.

#include "runtime/Backend.h"

#include <cstddef>

//! Ends the process with the "LUMERIX error" report when a cuFFT result is a failure; the
//! FFT counterpart of LumerixCheckText, naming the checked expression.
#define LumerixCheckFftText(expression, text)                                                    \
    do {                                                                                         \
        const cufftResult lmxFftStatus_ = (expression);                                          \
        if (lmxFftStatus_ != CUFFT_SUCCESS)                                                      \
            ::lmx::fatalBox(kReportedUnit, __LINE__, ::lmx::fftResultText(lmxFftStatus_), text); \
    } while (0)
#define LumerixCheckFft(expression) LumerixCheckFftText(expression, #expression)

namespace lmx {

//! The plan of the in-place complex transform of h rows of w values (either direction), held
//! for one operation. Taken from the cache, or created there: when creation fails for lack of
//! device memory, cached plans, zombie pages and then cached pages are given back one at a time and
//! creation is tried again; when nothing is left to give back, "Out of memory" is thrown.
class FftPlan {
public:
    FftPlan(int w, int h);
    ~FftPlan();
    FftPlan(const FftPlan&) = delete;
    FftPlan& operator=(const FftPlan&) = delete;

    //! False for a single value, whose transform is the value itself: there is no plan to run.
    explicit operator bool() const { return slot_ >= 0; }
    cufftHandle handle() const;

private:
    // Takes the plan's work area from the chunk allocator and hands it to the plan; throws "Out
    // of memory", holding nothing, when the device cannot give it.
    void attachWorkArea();

    int slot_ = -1;
    void* work_ = nullptr;  // the work area, a scratch chunk, while the plan is held
};

//! Destroys the least recently used idle cached plan; false when there is none.
bool releaseOneFftPlan();

//! Plans in the cache, held or idle.
std::size_t cachedFftPlans();

}  // namespace lmx
