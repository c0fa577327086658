#pragma once
//! \file
//! The handle through which everything outside the manager uses managed memory.

#include <cmm/cmmDims.h>
#include <cmm/cmmExport.h>
#include <cmm/cmmPage.h>

namespace cmm {

//! Owns one page covering the whole array.
class LMX_API cmmPagedMemory {
public:
    //! The page this handle owns.
    cmmPage* page;

    //! host may be null (no data yet). With ownsHost the host array is released with free().
    cmmPagedMemory(const cmmDims& dims, float* host, bool ownsHost);
    ~cmmPagedMemory() noexcept(false);

    // Two handles over one page would free it twice; images copy through Lumerix instead.
    cmmPagedMemory(const cmmPagedMemory&) = delete;
    cmmPagedMemory& operator=(const cmmPagedMemory&) = delete;

    //! Locks the whole array on the device and returns its device pointer.
    float* Lock();
    //! Locks block on the device and returns a pointer to it, stored densely with rows of
    //! block.End(0) - block.Start(0) elements. "Invalid state" while locked with another block.
    float* Lock(const cmmBlock& block);
    //! Gives back one lock.
    void Release();
    //! Makes the host copy current and frees the device copy for reuse.
    void Flush();
    //! Makes the host copy current and returns it; "Invalid state" while locked.
    float* GetHostPtr();
    //! The device pointer without locking: null unless the page holds a device block, and
    //! meaningful only between Lock and Release.
    float* GetDevicePtr() const;
    //! A copy of the extents.
    cmmDims GetDimensions() const;
    //! A copy of the block held on the device (cmmBlock() when none).
    cmmBlock GetBlock() const;
};

}  // namespace cmm
