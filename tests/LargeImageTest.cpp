// Images past 2^31 bytes: byte counts and the statistics' sums must not wrap.

#include "TestSupport.h"

#include <climits>
#include <string>

#if defined(LMX_BACKEND_CPU)

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

#endif

TEST(LargeImage, ExtentsWhoseCountOverflowsAnIntAreRefused) {
    EXPECT_THROW(cmm::cmmDims(1 << 16, 1 << 15), std::overflow_error);
    EXPECT_THROW(cmm::cmmDims(1 << 10, 1 << 10, 1 << 10, 4), std::overflow_error);
    EXPECT_NO_THROW(cmm::cmmDims(1 << 15, 1 << 15, 1, 1));
}
