#pragma once
//! \file
//! A snapshot of the manager: pages per state, memory held, cache effectiveness.

#include <cmm/cmmExport.h>
#include <cmm/cmmState.h>

namespace cmm {

//! Pages and memory per state, their sums, and the manager's counters since the process began
//! (cmmGetStatistics()). Pages not yet given extents are not counted.
class LMX_API cmmStatistics {
public:
    //! The figures of the stored, cached, locked and zombie pages.
    //!@{
    cmmStateStatistics stored, cached, locked, zombie;
    //!@}
    //! Pages in the four states.
    int pages = 0;
    //! Bytes of device memory held, over the four states.
    long long deviceMemory = 0;
    //! Bytes of host arrays the pages own, over the four states.
    long long managedHostMemory = 0;
    //! Bytes of host arrays the caller owns, over the four states.
    long long unmanagedHostMemory = 0;
    //! Page locks.
    int locks = 0;
    //! Locks of a cached page's own block: no allocation, no copy.
    int relocks = 0;
    //! Locks that took over a zombie's device memory of the same size.
    int cacheHits = 0;
    //! Zombies whose device memory was released to make room.
    int zombiesPutDown = 0;
    //! Cached pages copied to the host to make room.
    int pagesSpilled = 0;

    //! Formats the snapshot into a process-wide 2048-character buffer (overwritten by each call).
    char* Report();
};

}  // namespace cmm

//! Fills a snapshot from the four reported states and the manager's counters.
LMX_API cmm::cmmStatistics cmmGetStatistics();
