#pragma once
// A managed page: an optional host copy of the whole array and at most one block on the device.

#include <cmm/cmmDims.h>
#include <cmm/cmmExport.h>
#include <cmm/cmmState.h>

namespace cmm {

class LMX_API cmmPage {
public:
    cmmState state;
    bool ownsHost = true;
    int lockCount = 0;
    float* host = nullptr;
    cmmDims dims;
    float* device = nullptr;
    cmmBlock block;

    //! Enters cmmNew; the first page of the process selects the device.
    cmmPage();
    //! Only for a zombie; otherwise throws "Invalid state" (never while unwinding).
    ~cmmPage() noexcept(false);

    cmmPage(const cmmPage&) = delete;
    cmmPage& operator=(const cmmPage&) = delete;

    void Associate(const cmmDims& extents, float* hostArray, bool ownsHostArray);
    void Lock(const cmmBlock& lockBlock);
    void Release();
    void Flush();
    //! Frees the page: the owned host array is released, device memory becomes a zombie.
    //! The page object is deleted when it holds no device memory.
    void Free();

private:
    void obtainDevice(const cmmBlock& lockBlock);
};

// Process-wide counters, read by the statistics. 64 bits: a long-running program makes more
// than 2^31 locks; the statistics publish them as int, saturated.
LMX_API extern long long lockTotal;
LMX_API extern long long relockTotal;
LMX_API extern long long cacheHitTotal;
LMX_API extern long long putDownTotal;
LMX_API extern long long spillTotal;

}  // namespace cmm
