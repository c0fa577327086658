#pragma once
// The one process-wide lock of the library. The manager's lists and counters, the chunk cache,
// the FFT plan cache and the constant tap table are shared by every image of the process, so
// every public entry point takes this lock first: callers on several threads are serialised.
// It is recursive because entry points call one another (an operation constructs its result,
// an assignment copies through Lock). Code inside the library never waits for anything else
// while it holds the lock.

#include <mutex>

namespace lmx {

std::recursive_mutex& apiMutex();

}  // namespace lmx

//! Holds the library lock until the end of the enclosing scope.
#define LMX_API_ENTRY() const std::lock_guard<std::recursive_mutex> lmxApiLock_(::lmx::apiMutex())
