#pragma once
// The one process-wide lock of the library. The manager's lists and counters, the chunk cache,
// the FFT plan cache and the constant tap table are shared by every image of the process, so
// every public entry point takes this lock first: callers on several threads are serialised.
// It is recursive because entry points call one another (an operation constructs its result,
// an assignment copies through Lock). Code inside the library never waits for anything else
// while it holds the lock.

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace lmx {

//! A recursive lock whose entries by the thread that holds it cost a comparison and a count:
//! one call of an operation enters it about ten times.
class ApiMutex {
public:
    constexpr ApiMutex() = default;
    ApiMutex(const ApiMutex&) = delete;
    ApiMutex& operator=(const ApiMutex&) = delete;

    void lock() {
        const pthread_t self = pthread_self();
        // Only this thread stores its own name here, and it clears it before it unlocks.
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        mutex_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() {
        if (--depth_ > 0) return;
        owner_.store(pthread_t(), std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    std::mutex mutex_;
    std::atomic<pthread_t> owner_{};
    int depth_ = 0;
};

// Constant-initialised, so that images constructed by other units' static initialisers find it
// ready; nothing to destroy, so that images outliving static destructors may still take it.
extern ApiMutex apiMutexInstance;

inline ApiMutex& apiMutex() {
    return apiMutexInstance;
}

}  // namespace lmx

//! Holds the library lock until the end of the enclosing scope.
#define LMX_API_ENTRY() const std::lock_guard<::lmx::ApiMutex> lmxApiLock_(::lmx::apiMutex())
