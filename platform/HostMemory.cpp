#include "platform/HostMemory.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lmx {

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
}

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
    void* p = std::malloc(bytes);
    adviseHugePages(p, bytes);
    return p;
}

}  // namespace lmx
