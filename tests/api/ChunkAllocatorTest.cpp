// The device scratch-buffer allocator: released buffers are cached (16 descriptors) and handed
// out again for a request of exactly the same byte size.
//
// The allocator's lists are process-wide, so every test that counts allocations starts by
// draining it to a known state: no chunk cached, none tracked as in use.

#include "ChunkSupport.h"
#include "TestSupport.h"

#include <cstdlib>
#include <vector>

using namespace cmm;
using namespace lmxtest;

TEST(ChunkAllocator, AReleasedChunkIsHandedOutAgainForTheSameSize) {
    const std::size_t size = 255900;
    void* p = allocate(size);
    void* q = allocate(size);
    EXPECT_NE(p, q);  // two outstanding chunks of one size are distinct
    release(p);
    release(q);
    // Both are cached now; two more requests get both back, in some order.
    void* r = allocate(size);
    void* s = allocate(size);
    EXPECT_TRUE((r == p && s == q) || (r == q && s == p));
    release(r);
    release(s);
}
