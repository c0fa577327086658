#pragma once
//! \file
//! A managed page: an optional host copy of the whole array and at most one block on the device.

#include <cmm/cmmDims.h>
#include <cmm/cmmExport.h>
#include <cmm/cmmState.h>

#include <cstddef>

namespace cmm {

//! The unit the manager moves between host and device: an optional host copy of the whole
//! array and at most one block of it in device memory. Its state (new, stored, cached, locked
//! or zombie) decides what Lock, Release, Flush and Free do.
class LMX_API cmmPage {
public:
    //! The page's membership in one of the global state lists.
    cmmState state;
    //! Whether the page releases its host array with free().
    bool ownsHost = true;
    //! Locks not yet released; positive exactly while the page is locked.
    int lockCount = 0;
    //! The host copy of the whole array, or null.
    float* host = nullptr;
    //! The array's extents.
    cmmDims dims;
    //! The device buffer holding block, or null.
    float* device = nullptr;
    //! The block held on the device (cmmBlock() when none).
    cmmBlock block;

    //! Enters cmmNew; the first page of the process selects the device.
    cmmPage();
    //! Only for a zombie; otherwise throws "Invalid state" (never while unwinding).
    ~cmmPage() noexcept(false);

    cmmPage(const cmmPage&) = delete;
    cmmPage& operator=(const cmmPage&) = delete;

    //! Every image makes a page and every flush a zombie: their memory is kept in a short free
    //! list. Pages are made and deleted under the library lock.
    //!@{
    static void* operator new(std::size_t bytes);
    static void operator delete(void* memory) noexcept;
    //!@}

    //! Gives a new page its extents and host array (null: no data yet) and stores it. An owned
    //! array must come from malloc. "Invalid state" unless the page is new.
    void Associate(const cmmDims& extents, float* hostArray, bool ownsHostArray);
    //! Makes device hold lockBlock with current data and counts one lock. Locking the block
    //! already held copies nothing (a relock); device memory comes from a zombie of the same
    //! size, or is reclaimed from zombies and cached pages; "Out of memory" when none can be.
    void Lock(const cmmBlock& lockBlock);
    //! Gives back one lock; the last one leaves the page cached. "Invalid state" unless locked.
    void Release();
    //! Makes the host copy current and gives the device buffer to a new zombie page.
    //! "Invalid state" while locked, new or a zombie.
    void Flush();
    //! Frees the page: the owned host array is released, device memory becomes a zombie.
    //! The page object is deleted when it holds no device memory.
    void Free();

private:
    void obtainDevice(const cmmBlock& lockBlock);
};

//! Process-wide counters, read by the statistics. 64 bits: a long-running program makes more
//! than 2^31 locks; the statistics publish them as int, saturated.
//!@{
LMX_API extern long long lockTotal;
LMX_API extern long long relockTotal;
LMX_API extern long long cacheHitTotal;
LMX_API extern long long putDownTotal;
LMX_API extern long long spillTotal;
//!@}

}  // namespace cmm
