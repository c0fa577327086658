#include "platform/HostMemory.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>

#if defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace lmx {

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Arrays from this size are kept (the C library's mapping threshold stops rising at 32 MiB, and
// at half that it may map them afresh too), at most kKeptArrays of them and kMostKeptBytes in
// all. The sanitizer build keeps none, so that a use after free is reported.
constexpr std::size_t kKeptBytes = std::size_t(16) << 20;
constexpr std::size_t kMostKeptBytes = std::size_t(1) << 30;
constexpr int kKeptArrays = 4;
#if defined(LMX_SANITIZE) || !defined(__linux__)
constexpr bool kKeeps = false;
#else
constexpr bool kKeeps = true;
#endif

struct Kept {
    void* p;
    std::size_t usable;  // what malloc_usable_size says the array holds
};

// Oldest first.
std::mutex keptMutex;
Kept kept[kKeptArrays];
int keptCount = 0;
std::size_t keptBytes = 0;

// Removes entry i (keptMutex held) and returns its array.
void* takeKept(int i) {
    void* p = kept[i].p;
    keptBytes -= kept[i].usable;
    for (int k = i + 1; k < keptCount; ++k) kept[k - 1] = kept[k];
    --keptCount;
    return p;
}

std::size_t usableSize(void* p) {
#if defined(__linux__)
    return malloc_usable_size(p);
#else
    (void)p;
    return 0;
#endif
}
}  // namespace

void adviseHugePages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (!p || bytes < 2 * kHugePage) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void* allocateHost(std::size_t bytes) {
    if (kKeeps && bytes >= kKeptBytes) {
        // A kept array of the same mapping: at least the size asked for, less than a page over.
        std::lock_guard<std::mutex> lock(keptMutex);
        for (int i = keptCount - 1; i >= 0; --i)
            if (kept[i].usable >= bytes && kept[i].usable - bytes < 4096) return takeKept(i);
    }
    void* p = std::malloc(bytes);
    adviseHugePages(p, bytes);
    return p;
}

void releaseHost(void* p) {
    if (!p) return;
    const std::size_t usable = kKeeps ? usableSize(p) : 0;
    if (usable >= kKeptBytes && usable <= kMostKeptBytes) {
        void* dropped[kKeptArrays];
        int dropCount = 0;
        {
            std::lock_guard<std::mutex> lock(keptMutex);
            while (keptCount == kKeptArrays || keptBytes + usable > kMostKeptBytes)
                dropped[dropCount++] = takeKept(0);
            kept[keptCount++] = Kept{p, usable};
            keptBytes += usable;
        }
        for (int i = 0; i < dropCount; ++i) std::free(dropped[i]);
        return;
    }
    std::free(p);
}

bool freeOneKeptHostArray() {
    void* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(keptMutex);
        if (keptCount == 0) return false;
        p = takeKept(0);
    }
    std::free(p);
    return true;
}

}  // namespace lmx
