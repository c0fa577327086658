// The size from which launches write their results with streaming stores.

#include "backend/cpu/Streaming.h"
#include "backend/cpu/Control.h"
#include "runtime/Backend.h"

#include <unistd.h>

namespace lmx::cpu {
namespace {

// Half the last-level cache: a result that large would push the launch's own sources out of
// the cache, and the next operation would find little of it there. 8 MiB where the system
// does not say.
std::size_t defaultStreamingStoreBytes() {
    long cache = -1;
#if defined(_SC_LEVEL3_CACHE_SIZE)
    cache = sysconf(_SC_LEVEL3_CACHE_SIZE);
#endif
#if defined(_SC_LEVEL2_CACHE_SIZE)
    if (cache <= 0) cache = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    return cache > 0 ? static_cast<std::size_t>(cache) / 2 : std::size_t(8) << 20;
}

// Read once per launch; a function's static, so that a launch made while other units' statics
// are being initialised still finds it set.
std::size_t& threshold() {
    static std::size_t bytes = defaultStreamingStoreBytes();
    return bytes;
}

}  // namespace

void setStreamingStoreBytes(std::size_t bytes) {
    threshold() = bytes;
}

std::size_t streamingStoreThreshold() {
    return threshold();
}

}  // namespace lmx::cpu

bool lmx::convertsInPlaceOnHost(std::size_t bytes) {
    return bytes >= cpu::inPlaceConversionThreshold();
}
