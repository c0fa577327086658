#pragma once
// A snapshot of the manager: pages per state, memory held, cache effectiveness.

#include <cmm/cmmExport.h>
#include <cmm/cmmState.h>

namespace cmm {

class LMX_API cmmStatistics {
public:
    cmmStateStatistics stored, cached, locked, zombie;
    int pages = 0;
    long long deviceMemory = 0;
    long long managedHostMemory = 0;
    long long unmanagedHostMemory = 0;
    int locks = 0;
    int relocks = 0;
    int cacheHits = 0;
    int zombiesPutDown = 0;
    int pagesSpilled = 0;

    //! Formats the snapshot into a process-wide 2048-character buffer (overwritten by each call).
    char* Report();
};

}  // namespace cmm

//! Fills a snapshot from the four reported states and the manager's counters.
LMX_API cmm::cmmStatistics cmmGetStatistics();
