#pragma once
// Locks images for the span of a launch and releases them in lock order, also when an
// exception leaves the operation (an image left locked could never be destroyed).

#include <lumerix/LumerixImage.h>

#include <stdexcept>

namespace lmx {

class LockGuard {
public:
    LockGuard() = default;
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { release(); }

    //! Locks the whole image and returns its device address.
    float* lock(Lumerix& image) {
        float* device = image.Lock();
        held_[count_++] = &image;
        return device;
    }

    //! Releases every held image, in the order of locking.
    void release() {
        for (int i = 0; i < count_; ++i) held_[i]->Release();
        count_ = 0;
    }

private:
    Lumerix* held_[8] = {};
    int count_ = 0;
};

//! Throws "Invalid state" unless the image's page may be replaced (stored or cached, not
//! locked). Operations that hand new pages to output images check every output before any
//! work, so that a refused call leaves all of them as they were.
inline void requireReplaceable(Lumerix& image) {
    const cmm::cmmPage* page = image.page;
    if (page->state != cmm::cmmStored() && page->state != cmm::cmmCached())
        throw std::runtime_error("Invalid state");
}

}  // namespace lmx
