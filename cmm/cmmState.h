#pragma once
//! \file
//! Page states: each state is a list of the pages in it, oldest entry first.

#include <cmm/cmmExport.h>

#include <list>

namespace cmm {

class cmmPage;

//! Figures of one state. Byte sums are 64-bit so that they do not wrap on large devices.
class LMX_API cmmStateStatistics {
public:
    //! Pages in the state.
    int pages = 0;
    //! Bytes of device memory the pages hold.
    long long deviceMemory = 0;
    //! Bytes of host arrays the pages own.
    long long managedHostMemory = 0;
    //! Bytes of host arrays the caller owns.
    long long unmanagedHostMemory = 0;
};

//! Either one of the five global states (page null, owns its list) or the state of one page
//! (its membership in one of those lists, with the node kept for constant-time removal).
class LMX_API cmmState {
public:
    //! The list of the pages in this state.
    std::list<cmmPage*>* list = nullptr;
    //! The page whose state this is; null for a global state.
    cmmPage* page = nullptr;
    //! The page's node in list.
    std::list<cmmPage*>::iterator position;

    //! A global state that owns stateList.
    explicit cmmState(std::list<cmmPage*>* stateList);
    //! The state of owner, entered into initial.
    cmmState(cmmPage* owner, cmmState& initial);
    ~cmmState();

    // A page's state is its node in a list; a copy would remove that node twice.
    cmmState(const cmmState&) = delete;
    cmmState& operator=(const cmmState&) = delete;

    //! Moves the page to the back of the list of `to`. Throws "Invalid object" for a global state.
    void Change(cmmState& to);

    //! The same state: the same list.
    bool operator==(const cmmState& other) const { return list == other.list; }
    //! Another state.
    bool operator!=(const cmmState& other) const { return list != other.list; }

    //! The figures of the pages in this state's list.
    cmmStateStatistics GetStatistics();
};

//! The five global states. They are created on first use and never destroyed, so pages that
//! outlive static destruction (zombies, images held in statics) still find their lists.
//!@{
LMX_API cmmState& cmmNew();
LMX_API cmmState& cmmStored();
LMX_API cmmState& cmmLocked();
LMX_API cmmState& cmmCached();
LMX_API cmmState& cmmZombie();
//!@}

}  // namespace cmm
