// Statistics: pages and memory per state, the manager's counters, and the text of the report.

#include "TestSupport.h"

#include <climits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

using namespace cmm;
using namespace lmxtest;

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

// Expects the change of one state's figures between two snapshots.
void expectDelta(const cmmStateStatistics& now, const cmmStateStatistics& before, int pages,
                 long long device, long long managed, long long unmanaged, const char* what) {
    EXPECT_EQ(now.pages - before.pages, pages) << what;
    EXPECT_EQ(now.deviceMemory - before.deviceMemory, device) << what;
    EXPECT_EQ(now.managedHostMemory - before.managedHostMemory, managed) << what;
    EXPECT_EQ(now.unmanagedHostMemory - before.unmanagedHostMemory, unmanaged) << what;
}

const std::regex kCudaLine("CUDA reports [0-9]+ MB out of [0-9]+ MB available");

}  // namespace

TEST(Statistics, APageIsCountedInTheStateItIsIn) {
    putDownAllZombies();  // so that the lock cannot take over an earlier zombie
    const cmmStatistics start = cmmGetStatistics();
    const long long bytes = 640LL * 480 * 4;
    {
        auto* fresh = new cmmPage();  // a page in the new state is not counted
        EXPECT_EQ(cmmGetStatistics().pages, start.pages);
        fresh->Associate(cmmDims(2), nullptr, true);
        fresh->Free();
        const Lumerix empty(cmmDims(100, 100));  // one stored page of no bytes
        expectDelta(cmmGetStatistics().stored, start.stored, 1, 0, 0, 0, "without data");
    }
    {
        Lumerix image = imageOf(cmmDims(640, 480), std::vector<float>(307200, 1.0f));
        cmmStatistics s = cmmGetStatistics();
        expectDelta(s.stored, start.stored, 1, 0, bytes, 0, "stored with its host array");
        image.Lock();
        s = cmmGetStatistics();
        expectDelta(s.stored, start.stored, 0, 0, 0, 0, "locked: stored");
        expectDelta(s.locked, start.locked, 1, bytes, bytes, 0, "locked");
        image.Release();
        s = cmmGetStatistics();
        expectDelta(s.locked, start.locked, 0, 0, 0, 0, "cached: locked");
        expectDelta(s.cached, start.cached, 1, bytes, bytes, 0, "cached");
    }
    // Destroyed while cached: the host array is gone, the device memory waits in a zombie.
    const cmmStatistics end = cmmGetStatistics();
    expectDelta(end.cached, start.cached, 0, 0, 0, 0, "freed: cached");
    expectDelta(end.zombie, start.zombie, 1, bytes, 0, 0, "freed: zombie");
    // A caller's array is unmanaged host memory; the device holds only the locked block.
    std::vector<float> caller(2048, 0.0f);
    cmmPagedMemory handle(cmmDims(64, 32), caller.data(), false);
    expectDelta(cmmGetStatistics().stored, end.stored, 1, 0, 0, 2048 * 4, "caller's: stored");
    handle.Lock(cmmBlock(0, 16, 0, 8));
    expectDelta(cmmGetStatistics().locked, end.locked, 1, 16 * 8 * 4, 0, 2048 * 4, "caller's");
    handle.Release();
}

TEST(Statistics, TotalsAreSumsOverTheFourStatesAndCountersAreTheManagers) {
    Lumerix stored = imageOf(cmmDims(10, 10), std::vector<float>(100, 1.0f));
    Lumerix locked(cmmDims(20, 20)), cached(cmmDims(17, 3));
    locked.Lock();
    cached.Lock();
    cached.Release();
    const cmmStatistics s = cmmGetStatistics();
    const cmmStateStatistics* states[] = {&s.stored, &s.cached, &s.locked, &s.zombie};
    long long pages = 0, device = 0, managed = 0, unmanaged = 0;
    for (const cmmStateStatistics* st : states) {
        pages += st->pages;
        device += st->deviceMemory;
        managed += st->managedHostMemory;
        unmanaged += st->unmanagedHostMemory;
    }
    EXPECT_TRUE(s.locked.pages >= 1 && s.cached.pages >= 1);
    EXPECT_EQ(s.pages, pages);
    EXPECT_EQ(s.deviceMemory, device);
    EXPECT_EQ(s.managedHostMemory, managed);
    EXPECT_EQ(s.unmanagedHostMemory, unmanaged);
    EXPECT_EQ(s.locks, lockTotal);
    EXPECT_EQ(s.relocks, relockTotal);
    EXPECT_EQ(s.cacheHits, cacheHitTotal);
    EXPECT_EQ(s.zombiesPutDown, putDownTotal);
    EXPECT_EQ(s.pagesSpilled, spillTotal);
    locked.Release();
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
        cmmPagedMemory handle(cmmDims(count), static_cast<float*>(reserved), false);
        cmmStatistics s = cmmGetStatistics();
        expectDelta(s.stored, start.stored, 1, 0, 0, static_cast<long long>(bytes), "stored");
        EXPECT_EQ(s.unmanagedHostMemory - start.unmanagedHostMemory, static_cast<long long>(bytes));
        EXPECT_GT(s.unmanagedHostMemory, static_cast<long long>(INT_MAX));
        // The report shows the megabytes, not a wrapped count.
        const std::string report = s.Report();
        EXPECT_NE(report.find("MB managed host memory, and " +
                              std::to_string(s.unmanagedHostMemory / 1048576) +
                              " MB unmanaged host memory."),
                  std::string::npos)
            << report;
    }
    munmap(reserved, bytes);
#else
    GTEST_SKIP() << "needs mmap";
#endif
}

// Megabytes are truncated, and not wrapped beyond two gigabytes.
TEST(StatisticsReport, WithoutLocksHasTheHeaderTheFourStatesAndTheDeviceLine) {
    cmmStatistics s;
    s.stored = figures(3, 0, 2 * 1048576, 5 * 1048576 + 1);
    s.cached = figures(1, 1228800, 1228800, 0);
    s.zombie = figures(4, 6LL << 30, 0, 0);
    s.pages = 8;
    s.deviceMemory = 1228800 + (6LL << 30);
    s.managedHostMemory = 2 * 1048576 + 1228800;
    s.unmanagedHostMemory = 5 * 1048576 + 1;
    const std::string text = s.Report();
    const std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0],
              "Managing 8 pages for 6145 MB device memory, 3 MB managed host memory, and 5 MB "
              "unmanaged host memory.");
    EXPECT_EQ(lines[1], "Distribution:");
    EXPECT_EQ(lines[2], "  Stored: 3 pages, 0 MB, 2 MB, 5 MB");
    EXPECT_EQ(lines[3], "  Cached: 1 pages, 1 MB, 1 MB, 0 MB");
    EXPECT_EQ(lines[4], "  Locked: 0 pages, 0 MB, 0 MB, 0 MB");
    EXPECT_EQ(lines[5], "  Zombie: 4 pages, 6144 MB, 0 MB, 0 MB");
    EXPECT_TRUE(std::regex_match(lines[6], kCudaLine)) << lines[6];
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatisticsReport, LockLinesGiveTruncatedPercentagesThatDoNotOverflow) {
    cmmStatistics s;
    s.locks = 4;
    s.relocks = 1;
    s.cacheHits = 1;
    s.zombiesPutDown = 7;
    s.pagesSpilled = 2;
    std::vector<std::string> lines = linesOf(s.Report());
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[6],
              "There were 4 page locks, 25% of which were relocks, and 25% hit in the cache");
    EXPECT_EQ(lines[7], "7 zombie pages had to be put down, and 2 pages spilled to free up memory");
    EXPECT_TRUE(std::regex_match(lines[8], kCudaLine)) << lines[8];
    s.locks = 3;
    s.relocks = 2;    // 66.7 %
    s.cacheHits = 1;  // 33.3 %
    EXPECT_EQ(linesOf(s.Report())[6],
              "There were 3 page locks, 66% of which were relocks, and 33% hit in the cache");
    s.locks = 2000000000;  // relocks * 100 is beyond an int here
    s.relocks = 1000000000;
    s.cacheHits = 1999999999;
    EXPECT_EQ(linesOf(s.Report())[6],
              "There were 2000000000 page locks, 50% of which were relocks, and 99% hit in the "
              "cache");
}

TEST(StatisticsReport, EachReportOverwritesTheLastInOneBuffer) {
    cmmStatistics a;
    a.locks = 1;
    cmmStatistics b;
    char* first = a.Report();
    EXPECT_EQ(linesOf(first).size(), 9u);
    char* second = b.Report();
    EXPECT_EQ(first, second);
    EXPECT_EQ(linesOf(first).size(), 7u);  // default figures are zero: no lock lines
}

// The manager counts in 64 bits: 2^31 locks (hours of small operations on a GPU) do not wrap
// its counters, and the published int statistics stop at INT_MAX.
TEST(Statistics, CountersPastIntMaxSaturateInThePublishedStatistics) {
    startClean();  // no zombie for the image to take over
    long long* counters[] = {&lockTotal, &relockTotal, &cacheHitTotal, &putDownTotal, &spillTotal};
    long long saved[5];
    for (int i = 0; i < 5; ++i) {
        saved[i] = *counters[i];
        *counters[i] = INT_MAX - 1LL;
    }
    Lumerix image(cmmDims(16));
    for (int i = 0; i < 3; ++i) {  // a lock, then two relocks
        image.Lock();
        image.Release();
    }
    EXPECT_EQ(lockTotal, INT_MAX + 2LL);
    EXPECT_EQ(relockTotal, INT_MAX + 1LL);
    cmmStatistics s = cmmGetStatistics();
    EXPECT_EQ(s.locks, INT_MAX);
    EXPECT_EQ(s.relocks, INT_MAX);
    EXPECT_EQ(s.cacheHits, INT_MAX - 1);
    const std::string report = s.Report();
    EXPECT_NE(report.find("There were 2147483647 page locks, 100% of which were relocks"),
              std::string::npos)
        << report;
    for (int i = 0; i < 5; ++i) *counters[i] = saved[i] + (*counters[i] - (INT_MAX - 1LL));
}
