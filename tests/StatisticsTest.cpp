// Statistics: pages and memory per state, the manager's counters, and the text of the report.

#include "TestSupport.h"

#include <climits>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

using cmm::cmmBlock;
using cmm::cmmDims;
using cmm::cmmStateStatistics;
using cmm::cmmStatistics;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

cmmStateStatistics figures(int pages, long long device, long long managed, long long unmanaged) {
    cmmStateStatistics s;
    s.pages = pages;
    s.deviceMemory = device;
    s.managedHostMemory = managed;
    s.unmanagedHostMemory = unmanaged;
    return s;
}

// The change of one state's figures between two snapshots.
cmmStateStatistics delta(const cmmStateStatistics& now, const cmmStateStatistics& before) {
    return figures(now.pages - before.pages, now.deviceMemory - before.deviceMemory,
                   now.managedHostMemory - before.managedHostMemory,
                   now.unmanagedHostMemory - before.unmanagedHostMemory);
}

void expectFigures(const cmmStateStatistics& s, int pages, long long device, long long managed,
                   long long unmanaged, const char* what) {
    EXPECT_EQ(s.pages, pages) << what;
    EXPECT_EQ(s.deviceMemory, device) << what;
    EXPECT_EQ(s.managedHostMemory, managed) << what;
    EXPECT_EQ(s.unmanagedHostMemory, unmanaged) << what;
}

const char* const kCudaLine = "CUDA reports [0-9]+ MB out of [0-9]+ MB available";

}  // namespace

TEST(Statistics, DefaultFiguresAreZero) {
    const cmmStateStatistics s;
    expectFigures(s, 0, 0, 0, 0, "state");
    const cmmStatistics all;
    expectFigures(all.stored, 0, 0, 0, 0, "stored");
    expectFigures(all.cached, 0, 0, 0, 0, "cached");
    expectFigures(all.locked, 0, 0, 0, 0, "locked");
    expectFigures(all.zombie, 0, 0, 0, 0, "zombie");
}

TEST(Statistics, PageIsCountedInTheStateItIsIn) {
    lmxtest::putDownAllZombies();  // so that the lock cannot take over an earlier zombie
    const cmmStatistics start = cmmGetStatistics();
    {
        Lumerix image = lmxtest::imageOf(cmmDims(640, 480), std::vector<float>(307200, 1.0f));
        const long long bytes = 640LL * 480 * 4;
        cmmStatistics s = cmmGetStatistics();
        expectFigures(delta(s.stored, start.stored), 1, 0, bytes, 0, "stored with its host array");

        image.Lock();
        s = cmmGetStatistics();
        expectFigures(delta(s.stored, start.stored), 0, 0, 0, 0, "locked: stored");
        expectFigures(delta(s.locked, start.locked), 1, bytes, bytes, 0, "locked");

        image.Release();
        s = cmmGetStatistics();
        expectFigures(delta(s.locked, start.locked), 0, 0, 0, 0, "cached: locked");
        expectFigures(delta(s.cached, start.cached), 1, bytes, bytes, 0, "cached");
    }
    // Destroyed while cached: the host array is gone, the device memory waits in a zombie.
    const cmmStatistics end = cmmGetStatistics();
    expectFigures(delta(end.cached, start.cached), 0, 0, 0, 0, "freed: cached");
    const cmmStateStatistics zombies = delta(end.zombie, start.zombie);
    EXPECT_EQ(zombies.pages, 1);
    EXPECT_EQ(zombies.deviceMemory, 640LL * 480 * 4);
    EXPECT_EQ(zombies.managedHostMemory, 0);
}

TEST(Statistics, NewImageIsOneStoredPageOfNoBytes) {
    const cmmStatistics start = cmmGetStatistics();
    const Lumerix image(cmmDims(100, 100));
    expectFigures(delta(cmmGetStatistics().stored, start.stored), 1, 0, 0, 0, "stored");
}

TEST(Statistics, PageInNewStateIsNotCounted) {
    const cmmStatistics start = cmmGetStatistics();
    auto* page = new cmm::cmmPage();
    const cmmStatistics s = cmmGetStatistics();
    EXPECT_EQ(s.pages, start.pages);
    EXPECT_EQ(s.stored.pages, start.stored.pages);
    page->Associate(cmmDims(2), nullptr, true);
    EXPECT_EQ(cmmGetStatistics().stored.pages, start.stored.pages + 1);
    page->Free();
}

TEST(Statistics, CallersArrayCountsAsUnmanagedHostMemory) {
    std::vector<float> caller(2048, 0.0f);
    const cmmStatistics start = cmmGetStatistics();
    cmm::cmmPagedMemory handle(cmmDims(64, 32), caller.data(), false);
    expectFigures(delta(cmmGetStatistics().stored, start.stored), 1, 0, 0, 2048 * 4, "stored");
    handle.Lock(cmmBlock(0, 16, 0, 8));
    // The device holds only the block; the host figure is the whole array.
    expectFigures(delta(cmmGetStatistics().locked, start.locked), 1, 16 * 8 * 4, 0, 2048 * 4,
                  "locked");
    handle.Release();
}

TEST(Statistics, TotalsAreTheSumsOverTheFourStates) {
    Lumerix stored = lmxtest::imageOf(cmmDims(10, 10), std::vector<float>(100, 1.0f));
    Lumerix locked(cmmDims(20, 20));
    locked.Lock();
    Lumerix cached(cmmDims(30, 30));
    cached.Lock();
    cached.Release();
    const cmmStatistics s = cmmGetStatistics();
    EXPECT_EQ(s.pages, s.stored.pages + s.cached.pages + s.locked.pages + s.zombie.pages);
    EXPECT_EQ(s.deviceMemory, s.stored.deviceMemory + s.cached.deviceMemory +
                                  s.locked.deviceMemory + s.zombie.deviceMemory);
    EXPECT_EQ(s.managedHostMemory, s.stored.managedHostMemory + s.cached.managedHostMemory +
                                       s.locked.managedHostMemory + s.zombie.managedHostMemory);
    EXPECT_EQ(s.unmanagedHostMemory, s.stored.unmanagedHostMemory + s.cached.unmanagedHostMemory +
                                         s.locked.unmanagedHostMemory +
                                         s.zombie.unmanagedHostMemory);
    EXPECT_GE(s.locked.pages, 1);
    EXPECT_GE(s.cached.pages, 1);
    locked.Release();
}

TEST(Statistics, CountersCopyTheManagersTotals) {
    Lumerix image(cmmDims(17, 3));
    const cmmStatistics start = cmmGetStatistics();
    image.Lock();  // a new lock
    image.Release();
    image.Lock();  // a relock
    image.Lock();  // a second lock of the locked page
    image.Release();
    image.Release();
    const cmmStatistics s = cmmGetStatistics();
    EXPECT_EQ(s.locks - start.locks, 3);
    EXPECT_EQ(s.relocks - start.relocks, 1);
    EXPECT_EQ(s.locks, cmm::lockTotal);
    EXPECT_EQ(s.relocks, cmm::relockTotal);
    EXPECT_EQ(s.cacheHits, cmm::cacheHitTotal);
    EXPECT_EQ(s.zombiesPutDown, cmm::putDownTotal);
    EXPECT_EQ(s.pagesSpilled, cmm::spillTotal);
}

TEST(Statistics, HostArraysBeyondTwoGigabytesDoNotWrap) {
#if defined(__unix__)
    // A caller's array of 2^29 + 1 floats: reserved address space, never touched by the manager
    // while the page is stored, so no memory is committed.
    const int count = (1 << 29) + 1;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
    void* reserved = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) GTEST_SKIP() << "cannot reserve 2 GiB of address space";
    const cmmStatistics start = cmmGetStatistics();
    {
        cmm::cmmPagedMemory handle(cmmDims(count), static_cast<float*>(reserved), false);
        const cmmStatistics s = cmmGetStatistics();
        EXPECT_EQ(s.stored.unmanagedHostMemory - start.stored.unmanagedHostMemory,
                  static_cast<long long>(bytes));
        EXPECT_EQ(s.unmanagedHostMemory - start.unmanagedHostMemory, static_cast<long long>(bytes));
        EXPECT_GT(s.unmanagedHostMemory, static_cast<long long>(INT_MAX));
        // The report shows the megabytes, not a wrapped count.
        const std::string report = cmmGetStatistics().Report();
        const long long mb = s.unmanagedHostMemory / 1048576;
        EXPECT_NE(report.find("MB managed host memory, and " + std::to_string(mb) +
                              " MB unmanaged host memory."),
                  std::string::npos)
            << report;
    }
    munmap(reserved, bytes);
#else
    GTEST_SKIP() << "needs mmap";
#endif
}

TEST(StatisticsReport, WithoutLocksHasTheHeaderTheFourStatesAndTheDeviceLine) {
    cmmStatistics s;
    s.stored = figures(3, 0, 2 * 1048576, 5 * 1048576 + 1);
    s.cached = figures(1, 1228800, 1228800, 0);
    s.locked = figures(0, 0, 0, 0);
    s.zombie = figures(4, 3 * 1048576 - 1, 0, 0);
    s.pages = 8;
    s.deviceMemory = 1228800 + 3 * 1048576 - 1;
    s.managedHostMemory = 2 * 1048576 + 1228800;
    s.unmanagedHostMemory = 5 * 1048576 + 1;
    const std::vector<std::string> lines = linesOf(s.Report());

    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0],
              "Managing 8 pages for 4 MB device memory, 3 MB managed host memory, and 5 MB "
              "unmanaged host memory.");
    EXPECT_EQ(lines[1], "Distribution:");
    EXPECT_EQ(lines[2], "  Stored: 3 pages, 0 MB, 2 MB, 5 MB");
    EXPECT_EQ(lines[3], "  Cached: 1 pages, 1 MB, 1 MB, 0 MB");
    EXPECT_EQ(lines[4], "  Locked: 0 pages, 0 MB, 0 MB, 0 MB");
    EXPECT_EQ(lines[5], "  Zombie: 4 pages, 2 MB, 0 MB, 0 MB");
    EXPECT_TRUE(std::regex_match(lines[6], std::regex(kCudaLine))) << lines[6];
    EXPECT_EQ(std::string(s.Report()).back(), '\n');
}

TEST(StatisticsReport, LockLinesGivePercentagesOfAllLocks) {
    cmmStatistics s;
    s.locks = 4;
    s.relocks = 1;
    s.cacheHits = 1;
    s.zombiesPutDown = 7;
    s.pagesSpilled = 2;
    const std::vector<std::string> lines = linesOf(s.Report());

    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[6],
              "There were 4 page locks, 25% of which were relocks, and 25% hit in the cache");
    EXPECT_EQ(lines[7], "7 zombie pages had to be put down, and 2 pages spilled to free up memory");
    EXPECT_TRUE(std::regex_match(lines[8], std::regex(kCudaLine))) << lines[8];
}

TEST(StatisticsReport, PercentagesTruncateAndDoNotOverflow) {
    cmmStatistics s;
    s.locks = 3;
    s.relocks = 2;    // 66.7 %
    s.cacheHits = 1;  // 33.3 %
    EXPECT_EQ(linesOf(s.Report())[6],
              "There were 3 page locks, 66% of which were relocks, and 33% hit in the cache");

    // relocks * 100 is beyond an int here.
    s.locks = 2000000000;
    s.relocks = 1000000000;
    s.cacheHits = 1999999999;
    EXPECT_EQ(linesOf(s.Report())[6],
              "There were 2000000000 page locks, 50% of which were relocks, and 99% hit in the "
              "cache");
}

TEST(StatisticsReport, MegabytesBeyondTwoGigabytesAreNotWrapped) {
    cmmStatistics s;
    s.zombie = figures(2, 6LL << 30, 0, 0);
    s.pages = 2;
    s.deviceMemory = 6LL << 30;
    const std::vector<std::string> lines = linesOf(s.Report());
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0],
              "Managing 2 pages for 6144 MB device memory, 0 MB managed host memory, and 0 MB "
              "unmanaged host memory.");
    EXPECT_EQ(lines[5], "  Zombie: 2 pages, 6144 MB, 0 MB, 0 MB");
}

TEST(StatisticsReport, EachReportOverwritesTheLastInOneBuffer) {
    cmmStatistics a;
    a.locks = 1;
    cmmStatistics b;
    char* first = a.Report();
    const std::string firstText = first;
    char* second = b.Report();
    EXPECT_EQ(first, second);
    EXPECT_EQ(linesOf(firstText).size(), 9u);
    EXPECT_EQ(linesOf(second).size(), 7u);
}

TEST(StatisticsReport, DeviceLineGivesFreeThenTotalMegabytes) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    // 3 MB and a little free; the total is what is in use plus that.
    const lmxtest::ScopedDeviceCapacity capacity(3 * 1048576 + 4096);
    const std::size_t total = lmx::cpu::deviceCapacity();
    cmmStatistics s;
    const std::vector<std::string> lines = linesOf(s.Report());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[6],
              "CUDA reports 3 MB out of " + std::to_string(total >> 20) + " MB available");
#endif
}
