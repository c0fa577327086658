// Large host arrays are kept when they are given back and handed out again for the next array
// of their size, so that an operation that returns a new image each time does not write into a
// fresh mapping (a page fault per page) each time.

#include "TestSupport.h"

#include "platform/HostMemory.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kMiB = std::size_t(1) << 20;

void forgetKeptArrays() {
    while (lmx::freeOneKeptHostArray()) {
    }
}

#if defined(LMX_SANITIZE)
#define LMX_SKIP_WITHOUT_KEPT_ARRAYS() GTEST_SKIP() << "the sanitizer build frees every array"
#else
#define LMX_SKIP_WITHOUT_KEPT_ARRAYS() (void)0
#endif

}  // namespace

TEST(HostArray, AGivenBackArrayServesTheNextOfItsSizeOnly) {
    LMX_SKIP_WITHOUT_KEPT_ARRAYS();
    forgetKeptArrays();
    struct Case {
        std::size_t kept, asked;
        bool reused;
    };
    const Case cases[] = {
        {40 * kMiB, 40 * kMiB, true},
        {40 * kMiB + 8, 40 * kMiB, true},  // the same mapping: less than a page over
        {40 * kMiB, 48 * kMiB, false},     // too small
        {40 * kMiB, 24 * kMiB, false},     // far larger than asked
        {1 * kMiB, 1 * kMiB, false},       // small arrays are freed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kept << " bytes kept, " << c.asked << " asked");
        void* p = lmx::allocateHost(c.kept);
        ASSERT_NE(p, nullptr);
        std::memset(p, 1, c.kept);
        lmx::releaseHost(p);
        void* q = lmx::allocateHost(c.asked);
        ASSERT_NE(q, nullptr);
        // A small array is freed: malloc may then hand out the same address, or another.
        if (c.kept >= 16 * kMiB) {
            EXPECT_EQ(q == p, c.reused);
        }
        std::memset(q, 2, c.asked);  // the whole array is writable
        lmx::releaseHost(q);
        forgetKeptArrays();
    }
}

TEST(HostArray, AtMostFourArraysAreKeptAndEachCanBeFreed) {
    LMX_SKIP_WITHOUT_KEPT_ARRAYS();
    forgetKeptArrays();
    std::vector<void*> given;
    for (int i = 0; i < 6; ++i) given.push_back(lmx::allocateHost(20 * kMiB));
    for (void* p : given) lmx::releaseHost(p);
    int freed = 0;
    while (lmx::freeOneKeptHostArray()) ++freed;
    EXPECT_EQ(freed, 4);
    EXPECT_FALSE(lmx::freeOneKeptHostArray());
}

TEST(HostArray, AnImagesHostArrayServesTheNextImageOfItsSize) {
    LMX_SKIP_WITHOUT_KEPT_ARRAYS();
    forgetKeptArrays();
    const cmm::cmmDims dims(2048, 2048);  // 16 MiB of floats
    float* first = nullptr;
    {
        Lumerix a(dims);
        first = a.GetHostPtr();
        first[0] = 1.0f;
    }
    Lumerix b(dims);
    EXPECT_EQ(b.GetHostPtr(), first);
    forgetKeptArrays();
}
