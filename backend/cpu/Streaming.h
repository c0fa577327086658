#pragma once
// Streaming (non-temporal) stores for the CPU engine's results.
//
// An ordinary store to a line that is not in the cache first reads the line from memory
// (write-allocate), so a kernel that writes a large result moves every result byte twice. A
// streaming store writes whole lines straight to memory: a pass that reads one image and writes
// another then costs what a copy does. It also keeps the result out of the cache, which is a
// loss when the result is small enough to stay there for the next operation, so launches choose
// by the size of what they write.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace lmx::cpu {

//! A launch that writes at least this many bytes writes them with streaming stores. The default
//! is half the last-level cache; setStreamingStoreBytes (Control.h) changes it.
std::size_t streamingStoreThreshold();

//! True when a result of `bytes` bytes is written with streaming stores.
inline bool streamsResult(std::size_t bytes) {
#if defined(__SSE2__)
    return bytes >= streamingStoreThreshold();
#else
    (void)bytes;
    return false;
#endif
}

constexpr int kLineBytes = 64;

//! Writes the 64-byte line at `line` (source, any alignment) to `dst` (64-byte aligned) with
//! streaming stores, or with ordinary stores where the instruction set has none. The line is
//! read in 16-byte pieces: the vector loop that filled it may have stored 16-byte vectors, and
//! a wider load across two of those would wait until both stores have left the core.
inline void streamLine(void* dst, const void* line) {
#if defined(__SSE2__)
    for (int k = 0; k < 4; ++k)
        _mm_stream_si128(static_cast<__m128i*>(dst) + k,
                         _mm_loadu_si128(static_cast<const __m128i*>(line) + k));
#else
    std::memcpy(dst, line, kLineBytes);
#endif
}

//! Streaming stores are weakly ordered: a thread fences them before the launch's results are
//! read by another thread (or by the caller).
inline void fenceStreamingStores() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

//! Kernels that read more than they write (the conversions to 8 and 16 bits, the histogram)
//! wait on their reads: with the hardware prefetcher alone they stay at about three quarters of
//! the bandwidth a copy reaches. Asking for the lines 8 KiB ahead of [p, p + bytes) closes the
//! gap. A prefetch past the end of an array is harmless: it never faults.
constexpr std::size_t kPrefetchBytes = 8192;

inline void prefetchAhead(const void* p, std::size_t bytes) {
#if defined(__SSE2__)
    const char* ahead = static_cast<const char*>(p) + kPrefetchBytes;
    for (std::size_t k = 0; k < bytes; k += kLineBytes) _mm_prefetch(ahead + k, _MM_HINT_T0);
#else
    (void)p;
    (void)bytes;
#endif
}

//! True when p is a multiple of kBytes: where a vector streaming store may write.
template <std::size_t kBytes>
inline bool aligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % kBytes == 0;
}

//! Elements from `out + i` up to the next 64-byte boundary (out must be aligned for T).
template <class T>
inline int elementsToLine(const T* out, int i) {
    const auto offset = reinterpret_cast<std::uintptr_t>(out + i) % kLineBytes;
    return offset ? static_cast<int>((kLineBytes - offset) / sizeof(T)) : 0;
}

}  // namespace lmx::cpu
