#pragma once
// Page states: each state is a list of the pages in it, oldest entry first.

#include <cmm/cmmExport.h>

#include <list>

namespace cmm {

class cmmPage;

//! Figures of one state. Byte sums are 64-bit so that they do not wrap on large devices.
class LMX_API cmmStateStatistics {
public:
    int pages = 0;
    long long deviceMemory = 0;
    long long managedHostMemory = 0;
    long long unmanagedHostMemory = 0;
};

//! Either one of the five global states (page null, owns its list) or the state of one page
//! (its membership in one of those lists, with the node kept for constant-time removal).
class LMX_API cmmState {
public:
    std::list<cmmPage*>* list = nullptr;
    cmmPage* page = nullptr;
    std::list<cmmPage*>::iterator position;

    explicit cmmState(std::list<cmmPage*>* stateList);
    cmmState(cmmPage* owner, cmmState& initial);
    ~cmmState();

    // A page's state is its node in a list; a copy would remove that node twice.
    cmmState(const cmmState&) = delete;
    cmmState& operator=(const cmmState&) = delete;

    //! Moves the page to the back of the list of `to`. Throws "Invalid object" for a global state.
    void Change(cmmState& to);

    bool operator==(const cmmState& other) const { return list == other.list; }
    bool operator!=(const cmmState& other) const { return list != other.list; }

    cmmStateStatistics GetStatistics();
};

// The five global states. They are created on first use and never destroyed, so pages that
// outlive static destruction (zombies, images held in statics) still find their lists.
LMX_API cmmState& cmmNew();
LMX_API cmmState& cmmStored();
LMX_API cmmState& cmmLocked();
LMX_API cmmState& cmmCached();
LMX_API cmmState& cmmZombie();

}  // namespace cmm
