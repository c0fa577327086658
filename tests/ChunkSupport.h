#pragma once
// Scratch buffers taken from and given back to the chunk allocator, each call checked.

#include "TestSupport.h"

#include <cstddef>

namespace lmxtest {

inline void* allocate(std::size_t bytes) {
    void* p = nullptr;
    EXPECT_EQ(LumerixMalloc(&p, bytes), cudaSuccess) << bytes;
    EXPECT_NE(p, nullptr) << bytes;
    return p;
}

inline void release(void* p) {
    EXPECT_EQ(LumerixFree(p), cudaSuccess);
}

}  // namespace lmxtest
