// Images past 2^31 bytes on the CPU backend: its byte counts must not wrap, and the pixel loop
// and the conversion traversal reach the last pixel of an INT_MAX count.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

TEST(LargeImage, DeviceBytesOfAPageBeyondTwoGigabytesAreCountedIn64Bits) {
    // 2^29 + 1 floats: 2 GiB and 4 bytes. Locking a page without host data only reserves the
    // memory (nothing is written), so this is cheap on the CPU backend.
    const int count = (1 << 29) + 1;
    lmxtest::putDownAllZombies();
    const std::size_t before = lmx::cpu::deviceBytesInUse();
    {
        Lumerix big{cmm::cmmDims(count)};
        big.Lock();
        EXPECT_EQ(lmx::cpu::deviceBytesInUse() - before, static_cast<std::size_t>(count) * 4);
        const cmm::cmmStatistics stats = cmmGetStatistics();
        EXPECT_GE(stats.locked.deviceMemory, static_cast<long long>(count) * 4);
        EXPECT_GT(stats.deviceMemory, static_cast<long long>(INT_MAX));
        const std::string report = cmmGetStatistics().Report();
        EXPECT_NE(report.find("  Locked: 1 pages, 2048 MB, 0 MB, 0 MB\n"), std::string::npos)
            << report;
        big.Release();
    }
    lmxtest::putDownAllZombies();
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), before);
}

#if defined(__linux__)

namespace {

// Address space for count elements that costs memory only where it is written: reads of
// untouched pages see the shared zero page.
template <class T>
struct Reserved {
    explicit Reserved(std::size_t count) : bytes(count * sizeof(T)) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data = p == MAP_FAILED ? nullptr : static_cast<T*>(p);
#if defined(MADV_HUGEPAGE)
        // One fault per 2 MiB instead of per 4 KiB (reads then see the huge zero page).
        if (data) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    }
    ~Reserved() {
        if (data) munmap(data, bytes);
    }
    std::size_t bytes;
    T* data;
};

}  // namespace

// The pixel loop forms chunk ends as lo + 4096; near INT_MAX that sum does not fit an int, and
// the last chunk must still be run: every index of an INT_MAX count reaches the body.
TEST(LargeImage, ThePixelLoopRunsTheLastChunkOfAnIntMaxCount) {
    const int n = INT_MAX, tail = 10000;
    std::vector<unsigned char> seen(tail, 0);
    unsigned char* mark = seen.data();
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{lmx::pixelGrid(n), dim3(lmx::kPixelThreads)};
    lmx::forEachPixel(n, [=](int i) {
        if (i >= n - tail) mark[i - (n - tail)] = 1;
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), tail);
}

// The CPU traversal of the 8-bit conversion forms its chunk ends and its vector steps the same
// way; run over INT_MAX pixels whose last 5000 are non-zero, it must convert them all.
TEST(LargeImage, TheConversionTraversalReachesTheLastPixelOfAnIntMaxCount) {
#if defined(LMX_SANITIZE)
    GTEST_SKIP() << "8 GiB read and 2 GiB written; the plain build covers it";
#else
    const lmx::cpu::KernelEntry* e =
        lmx::cpu::findKernel(reinterpret_cast<const void*>(&LumerixPixelFloatToInt8));
    ASSERT_NE(e, nullptr);
    if (e->invoke == e->plain) GTEST_SKIP() << "no traversal of its own on this machine";
    int n = INT_MAX;
    const int tail = 5000;
    Reserved<float> src(static_cast<std::size_t>(n));
    Reserved<unsigned char> dst(static_cast<std::size_t>(n));
    if (!src.data || !dst.data) GTEST_SKIP() << "cannot reserve 10 GiB of address space";
    for (int i = n - tail; i < n; ++i) src.data[i] = static_cast<float>(1 + i % 200);
    void* args[] = {&src.data, &dst.data, &n};
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{lmx::pixelGrid(n), dim3(lmx::kPixelThreads)};
    e->invoke(args);
    int wrong = 0;
    for (int i = n - tail; i < n && wrong < 5; ++i) {
        if (dst.data[i] != 1 + i % 200) {
            ++wrong;
            ADD_FAILURE() << "pixel " << i << " is " << int(dst.data[i]);
        }
    }
    EXPECT_EQ(dst.data[n - tail - 1], 0);
#endif
}

#endif
