#include "cmm/cmmStatistics.h"

#include "cmm/cmmCheck.h"
#include "cmm/cmmPage.h"
#include "platform/ApiLock.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace cmm {
namespace {

char reportBuffer[2048];

long long megabytes(long long bytes) {
    return bytes / 1048576;
}

// The published counters are int: a count past INT_MAX shows as INT_MAX, never wrapped.
int saturated(long long count) {
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

// Appends formatted text at the end of the report, never past the buffer.
template <class... A>
void append(const char* format, A... args) {
    const std::size_t used = std::strlen(reportBuffer);
    std::snprintf(reportBuffer + used, sizeof reportBuffer - used, format, args...);
}

void appendState(const char* name, const cmmStateStatistics& s) {
    append("  %s: %d pages, %lld MB, %lld MB, %lld MB\n", name, s.pages, megabytes(s.deviceMemory),
           megabytes(s.managedHostMemory), megabytes(s.unmanagedHostMemory));
}

}  // namespace

char* cmmStatistics::Report() {
    LMX_API_ENTRY();
    reportBuffer[0] = '\0';
    append(
        "Managing %d pages for %lld MB device memory, %lld MB managed host memory, and %lld MB"
        " unmanaged host memory.\nDistribution:\n",
        pages, megabytes(deviceMemory), megabytes(managedHostMemory),
        megabytes(unmanagedHostMemory));
    appendState("Stored", stored);
    appendState("Cached", cached);
    appendState("Locked", locked);
    appendState("Zombie", zombie);
    if (locks != 0) {
        append("There were %d page locks, %d%% of which were relocks, and %d%% hit in the cache\n",
               locks, static_cast<int>(relocks * 100LL / locks),
               static_cast<int>(cacheHits * 100LL / locks));
        append("%d zombie pages had to be put down, and %d pages spilled to free up memory\n",
               zombiesPutDown, pagesSpilled);
    }
    std::size_t freeBytes = 0, totalBytes = 0;
    cudaMemGetInfo(&freeBytes, &totalBytes);  // a diagnostic: a failure leaves zeros
    cudaGetLastError();
    append("CUDA reports %llu MB out of %llu MB available\n",
           static_cast<unsigned long long>(freeBytes >> 20),
           static_cast<unsigned long long>(totalBytes >> 20));
    return reportBuffer;
}

}  // namespace cmm

cmm::cmmStatistics cmmGetStatistics() {
    LMX_API_ENTRY();
    using namespace cmm;
    cmmStatistics s;
    s.stored = cmmStored().GetStatistics();
    s.cached = cmmCached().GetStatistics();
    s.locked = cmmLocked().GetStatistics();
    s.zombie = cmmZombie().GetStatistics();
    for (const cmmStateStatistics* st : {&s.stored, &s.cached, &s.locked, &s.zombie}) {
        s.pages += st->pages;
        s.deviceMemory += st->deviceMemory;
        s.managedHostMemory += st->managedHostMemory;
        s.unmanagedHostMemory += st->unmanagedHostMemory;
    }
    s.locks = saturated(lockTotal);
    s.relocks = saturated(relockTotal);
    s.cacheHits = saturated(cacheHitTotal);
    s.zombiesPutDown = saturated(putDownTotal);
    s.pagesSpilled = saturated(spillTotal);
    return s;
}
