#include "cmm/cmmPagedMemory.h"

namespace cmm {

cmmPagedMemory::cmmPagedMemory(const cmmDims& dims, float* host, bool ownsHost)
    : page(new cmmPage()) {
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
    page->Free();
}

float* cmmPagedMemory::Lock() {
    return Lock(cmmBlock(page->dims));
}

float* cmmPagedMemory::Lock(const cmmBlock& block) {
    page->Lock(block);
    return page->device;
}

void cmmPagedMemory::Release() {
    page->Release();
}
void cmmPagedMemory::Flush() {
    page->Flush();
}

float* cmmPagedMemory::GetHostPtr() {
    page->Flush();
    return page->host;
}

float* cmmPagedMemory::GetDevicePtr() const {
    return page->device;
}
cmmDims cmmPagedMemory::GetDimensions() const {
    return page->dims;
}
cmmBlock cmmPagedMemory::GetBlock() const {
    return page->block;
}

}  // namespace cmm
