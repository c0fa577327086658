#include "cmm/cmmPagedMemory.h"

#include "platform/ApiLock.h"

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

float* cmmPagedMemory::Lock() {
    LMX_API_ENTRY();
    return Lock(cmmBlock(page->dims));
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
