#pragma once
// The handle through which everything outside the manager uses managed memory.

#include <cmm/cmmDims.h>
#include <cmm/cmmExport.h>
#include <cmm/cmmPage.h>

namespace cmm {

//! Owns one page covering the whole array.
class LMX_API cmmPagedMemory {
public:
    cmmPage* page;

    //! host may be null (no data yet). With ownsHost the host array is released with free().
    cmmPagedMemory(const cmmDims& dims, float* host, bool ownsHost);
    ~cmmPagedMemory() noexcept(false);

    // Two handles over one page would free it twice; images copy through Lumerix instead.
    cmmPagedMemory(const cmmPagedMemory&) = delete;
    cmmPagedMemory& operator=(const cmmPagedMemory&) = delete;

    float* Lock();
    float* Lock(const cmmBlock& block);
    void Release();
    void Flush();
    //! Makes the host copy current and returns it; "Invalid state" while locked.
    float* GetHostPtr();
    float* GetDevicePtr() const;
    cmmDims GetDimensions() const;
    cmmBlock GetBlock() const;
};

}  // namespace cmm
