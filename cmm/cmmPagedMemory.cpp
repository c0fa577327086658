#include "cmm/cmmPagedMemory.h"

#include "platform/ApiLock.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace cmm {

cmmPagedMemory::cmmPagedMemory(const cmmDims& dims, float* host, bool ownsHost) : page(nullptr) {
    LMX_API_ENTRY();
    page = new cmmPage();  // under the lock: a new page joins the manager's lists
    try {
        page->Associate(dims, host, ownsHost);
    } catch (...) {
        // Refused extents: the new page holds nothing and goes at once (as a zombie would).
        page->state.Change(cmmZombie());
        delete page;
        throw;
    }
}

cmmPagedMemory::~cmmPagedMemory() noexcept(false) {
    LMX_API_ENTRY();
    page->Free();
}

namespace {

// True when the page's device block is the whole array: what cmmBlock(dims) would compare equal
// to, read without building one (two lists of four).
bool holdsWholeArray(const cmmPage& p) {
    const std::vector<int>& start = p.block.start;
    return p.block.end == p.dims.dims &&
           std::all_of(start.begin(), start.end(), [](int s) { return s == 0; }) &&
           start.size() == p.dims.dims.size();
}

// b = cmmBlock(d), reusing b's lists.
void wholeArray(cmmBlock& b, const cmmDims& d) {
    b.start.assign(d.dims.size(), 0);
    b.end = d.dims;
    long long count = 1;
    for (const int extent : d.dims) {
        count *= extent;
        if (count > INT_MAX || count < INT_MIN) {
            b = cmmBlock(d);  // throws the constructor's overflow error
            return;
        }
    }
    b.size = static_cast<int>(count);
}

}  // namespace

float* cmmPagedMemory::Lock() {
    LMX_API_ENTRY();
    // An image used again (a relock, or one more lock of a locked image) is the common case; it
    // goes the way cmmPage::Lock takes it without making the whole-array block first.
    cmmPage& p = *page;
    if ((p.state == cmmLocked() || p.state == cmmCached()) && holdsWholeArray(p)) {
        ++lockTotal;
        if (p.state == cmmCached()) {
            ++relockTotal;
            p.state.Change(cmmLocked());
        }
        ++p.lockCount;
        return p.device;
    }
    if (p.state == cmmStored()) {
        // A new image (an operation's result): the page's own empty block becomes the whole
        // array in place, without a block of new lists; a refused lock leaves it empty again.
        try {
            wholeArray(p.block, p.dims);
            p.Lock(p.block);
        } catch (...) {
            p.block = cmmBlock();
            throw;
        }
        return p.device;
    }
    return Lock(cmmBlock(p.dims));
}

float* cmmPagedMemory::Lock(const cmmBlock& block) {
    LMX_API_ENTRY();
    page->Lock(block);
    return page->device;
}

void cmmPagedMemory::Release() {
    LMX_API_ENTRY();
    page->Release();
}
void cmmPagedMemory::Flush() {
    LMX_API_ENTRY();
    page->Flush();
}

float* cmmPagedMemory::GetHostPtr() {
    LMX_API_ENTRY();
    page->Flush();
    return page->host;
}

float* cmmPagedMemory::GetDevicePtr() const {
    LMX_API_ENTRY();
    return page->device;
}
cmmDims cmmPagedMemory::GetDimensions() const {
    LMX_API_ENTRY();
    return page->dims;
}
cmmBlock cmmPagedMemory::GetBlock() const {
    LMX_API_ENTRY();
    return page->block;
}

}  // namespace cmm
