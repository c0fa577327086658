// The device scratch-buffer allocator: 16 chunk descriptors; released buffers stay allocated
// and are handed out again for a request of exactly the same byte size.

#include "lumerix/LumerixUtils.h"

#include "cmm/cmmReclaim.h"

LMX_REPORTED_UNIT("LumerixUtils.cpp")

namespace {

constexpr int kChunks = 16;

struct LumerixChunk {
    std::size_t size;  // the requested byte size
    void* data;        // the device address
};

// Entries 0..count-1 are valid; removal keeps the order of the others.
struct LumerixChunkList {
    LumerixChunk* data[kChunks];
    int count;

    void append(LumerixChunk* chunk) { data[count++] = chunk; }
    void remove(int k) {
        for (int i = k; i + 1 < count; ++i) data[i] = data[i + 1];
        data[--count] = nullptr;
    }
};

LumerixChunk chunkpool[kChunks];
LumerixChunkList cachedchunks;
LumerixChunkList usedchunks;
LumerixChunkList freechunks;  // used as a stack
bool chunksInitialised = false;

// Releases the device memory of the chunk released longest ago and frees its descriptor.
void releaseOldestCached() {
    LumerixCheck(cudaFree(cachedchunks.data[0]->data));
    freechunks.append(cachedchunks.data[0]);
    cachedchunks.remove(0);
}

// The manager empties the cache through this when a page cannot get device memory.
bool releaseOneCachedChunk() {
    if (cachedchunks.count == 0) return false;
    releaseOldestCached();
    return true;
}

}  // namespace

cudaError_t LumerixMalloc(void** ptr, std::size_t size) {
    *ptr = nullptr;
    if (!chunksInitialised) {
        for (int i = 0; i < kChunks; ++i) freechunks.data[i] = &chunkpool[i];
        freechunks.count = kChunks;
        cachedchunks.count = 0;
        usedchunks.count = 0;
        chunksInitialised = true;
        lmx::registerDeviceCache(&releaseOneCachedChunk);
    }
    for (int i = 0; i < cachedchunks.count; ++i) {
        if (cachedchunks.data[i]->size == size) {
            *ptr = cachedchunks.data[i]->data;
            usedchunks.append(cachedchunks.data[i]);
            cachedchunks.remove(i);
            return cudaSuccess;
        }
    }
    if (freechunks.count == 0) {
        if (cachedchunks.count > 0) {
            releaseOldestCached();
        } else {
            // Every descriptor is handed out: stop tracking the oldest allocation. Its owner
            // keeps it; LumerixFree will then release it with cudaFree directly.
            freechunks.data[0] = usedchunks.data[0];
            freechunks.count = 1;
            usedchunks.remove(0);
        }
    }
    cudaError_t status = cudaMalloc(ptr, size);
    // Own cached chunks go first; then the manager gives back, one step at a time, what it
    // would for an image: zombie pages, the other idle caches (FFT plans among them), cached
    // pages.
    while (status == cudaErrorMemoryAllocation &&
           (cachedchunks.count > 0 ? (releaseOldestCached(), true) : lmx::reclaimOneStep())) {
        status = cudaMalloc(ptr, size);
    }
    // Failed attempts are answered here (by the return value or the retry); none of them may
    // reach the caller's next launch check.
    cudaGetLastError();
    // A full device is "out of memory"; any other failure (a fault an earlier kernel left
    // behind) is passed on as what it is, so that the caller's check names it.
    if (!*ptr) return status == cudaSuccess ? cudaErrorMemoryAllocation : status;
    LumerixChunk* chunk = freechunks.data[freechunks.count - 1];
    freechunks.data[--freechunks.count] = nullptr;
    chunk->data = *ptr;
    chunk->size = size;
    usedchunks.append(chunk);
    return cudaSuccess;
}

cudaError_t LumerixFree(void* data) {
    for (int i = 0; i < usedchunks.count; ++i) {
        if (usedchunks.data[i]->data == data) {
            cachedchunks.append(usedchunks.data[i]);
            usedchunks.remove(i);
            return cudaSuccess;
        }
    }
    LumerixCheck(cudaFree(data));
    return cudaSuccess;
}
