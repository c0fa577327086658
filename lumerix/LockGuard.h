#pragma once
// Locks images for the span of a launch and releases them in lock order, also when an
// exception leaves the operation (an image left locked could never be destroyed).

#include <lumerix/LumerixImage.h>

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

}  // namespace lmx
