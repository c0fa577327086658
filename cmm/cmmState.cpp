#include "cmm/cmmState.h"

#include "cmm/cmmPage.h"

#include <stdexcept>

namespace cmm {

cmmState::cmmState(std::list<cmmPage*>* stateList) : list(stateList), page(nullptr) {}

cmmState::cmmState(cmmPage* owner, cmmState& initial) : list(nullptr), page(owner) {
    Change(initial);
}

cmmState::~cmmState() {
    if (page) {
        if (list) list->erase(position);
    } else {
        delete list;
    }
}

void cmmState::Change(cmmState& to) {
    if (!page) throw std::runtime_error("Invalid object");
    if (list) {
        // The node moves between the lists (position stays valid): a state change allocates
        // nothing, and an operation changes states several times.
        to.list->splice(to.list->end(), *list, position);
        list = to.list;
        return;
    }
    list = to.list;
    position = list->insert(list->end(), page);
}

cmmStateStatistics cmmState::GetStatistics() {
    cmmStateStatistics s;
    if (!list) return s;
    for (const cmmPage* p : *list) {
        ++s.pages;
        if (p->device) s.deviceMemory += static_cast<long long>(p->block.Size()) * 4;
        if (p->host) {
            const long long bytes = static_cast<long long>(p->dims.Size()) * 4;
            (p->ownsHost ? s.managedHostMemory : s.unmanagedHostMemory) += bytes;
        }
    }
    return s;
}

namespace {
// Never destroyed: pages may be freed during static destruction, after any static state would be.
cmmState& makeState() {
    return *new cmmState(new std::list<cmmPage*>);
}
}  // namespace

cmmState& cmmNew() {
    static cmmState& s = makeState();
    return s;
}
cmmState& cmmStored() {
    static cmmState& s = makeState();
    return s;
}
cmmState& cmmLocked() {
    static cmmState& s = makeState();
    return s;
}
cmmState& cmmCached() {
    static cmmState& s = makeState();
    return s;
}
cmmState& cmmZombie() {
    static cmmState& s = makeState();
    return s;
}

}  // namespace cmm
