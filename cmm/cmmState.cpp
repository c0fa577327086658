#include "cmm/cmmState.h"

#include "cmm/cmmPage.h"

#include <cstddef>
#include <iterator>
#include <stdexcept>

namespace cmm {

cmmState::cmmState(std::list<cmmPage*>* stateList) : list(stateList), page(nullptr) {}

namespace {

// List nodes of pages that are gone, kept for the next pages: every image makes a page and every
// operation frees one, and a node moves between lists without allocating (splice). Pages come
// and go under the library lock. Never destroyed, like the state lists. The sanitizer build keeps
// none, so that a use of a page's node after the page is reported.
#if defined(LMX_SANITIZE)
constexpr std::size_t kSpareNodes = 0;
#else
constexpr std::size_t kSpareNodes = 64;
#endif

std::list<cmmPage*>& spareNodes() {
    static std::list<cmmPage*>* spare = new std::list<cmmPage*>;
    return *spare;
}

}  // namespace

cmmState::cmmState(cmmPage* owner, cmmState& initial) : list(nullptr), page(owner) {
    if (owner && !initial.page && initial.list) {
        std::list<cmmPage*>& spare = spareNodes();
        if (!spare.empty()) {
            spare.front() = owner;
            initial.list->splice(initial.list->end(), spare, spare.begin());
            list = initial.list;
            position = std::prev(list->end());
            return;
        }
    }
    Change(initial);
}

cmmState::~cmmState() {
    if (page) {
        if (!list) return;
        std::list<cmmPage*>& spare = spareNodes();
        if (spare.size() < kSpareNodes)
            spare.splice(spare.end(), *list, position);
        else
            list->erase(position);
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
