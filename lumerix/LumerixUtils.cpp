// The device scratch-buffer allocator: 16 chunk descriptors; released buffers stay allocated
// and are handed out again for a request of exactly the same byte size. Beside it, the staging
// buffer through which narrow data crosses the bus.

#include "lumerix/LumerixUtils.h"

#include "cmm/cmmReclaim.h"

#include <algorithm>
#include <cstring>

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

// ---- the staging buffer ------------------------------------------------------------------------

namespace {

// Buffers are sized in steps of this, so transfers of nearby sizes share one.
constexpr std::size_t kStagingStep = std::size_t(64) << 10;
std::size_t stagingPiece = std::size_t(4) << 20;

// One page-locked buffer of two halves; busy while a transfer uses it (the library's lock
// serialises transfers, but the reclaim registry may be asked for memory in between).
struct Staging {
    unsigned char* data = nullptr;
    std::size_t half = 0;
    bool busy = false;
};
Staging staging;

void freeStaging() {
    LumerixCheck(cudaFreeHost(staging.data));
    staging.data = nullptr;
    staging.half = 0;
}

// The buffer with halves of at least `half` bytes, or null where page-locked memory cannot be
// had: the transfer then takes the ordinary path, so a system short of it still works.
unsigned char* acquireStaging(std::size_t half) {
    if (staging.data && staging.half >= half) return staging.data;
    if (staging.data) freeStaging();
    // On the cpu backend the buffer is the device's own memory; on a GPU it is host memory that
    // the system may need back. Either way the manager may take it when memory runs short.
    static const bool registered = (lmx::registerDeviceCache(&lmx::releaseStagingBuffer), true);
    (void)registered;
    void* p = nullptr;
    if (cudaMallocHost(&p, 2 * half) != cudaSuccess || !p) {
        cudaGetLastError();  // answered here, by the ordinary copy
        return nullptr;
    }
    staging.data = static_cast<unsigned char*>(p);
    staging.half = half;
    return staging.data;
}

// Host to device: the host-side copy of each piece into its half overlaps the device copy of the
// piece before; a half is written again only after its last piece has arrived.
cudaError_t upload(unsigned char* device, const unsigned char* host, std::size_t bytes,
                   std::size_t piece) {
    for (std::size_t offset = 0, k = 0; offset < bytes; offset += piece, ++k) {
        const std::size_t n = std::min(piece, bytes - offset);
        unsigned char* slot = staging.data + (k % 2) * staging.half;
        std::memcpy(slot, host + offset, n);
        if (k > 0)
            if (const cudaError_t status = cudaStreamSynchronize(nullptr)) return status;
        if (const cudaError_t status =
                cudaMemcpyAsync(device + offset, slot, n, cudaMemcpyHostToDevice, nullptr))
            return status;
    }
    return cudaStreamSynchronize(nullptr);
}

// Device to host: the next piece is on its way into the other half while this one is copied
// out to the caller.
cudaError_t download(unsigned char* host, const unsigned char* device, std::size_t bytes,
                     std::size_t piece) {
    cudaError_t status =
        cudaMemcpyAsync(staging.data, device, std::min(piece, bytes), cudaMemcpyDeviceToHost);
    for (std::size_t offset = 0, k = 0; offset < bytes && status == cudaSuccess;
         offset += piece, ++k) {
        status = cudaStreamSynchronize(nullptr);
        if (status != cudaSuccess) break;
        const std::size_t next = offset + piece;
        if (next < bytes)
            status = cudaMemcpyAsync(staging.data + ((k + 1) % 2) * staging.half, device + next,
                                     std::min(piece, bytes - next), cudaMemcpyDeviceToHost);
        std::memcpy(host + offset, staging.data + (k % 2) * staging.half,
                    std::min(piece, bytes - offset));
    }
    return status;
}

}  // namespace

cudaError_t lmx::stagedCopy(void* dst, const void* src, std::size_t bytes, cudaMemcpyKind kind) {
    if (bytes == 0) return cudaSuccess;  // no copy of zero bytes: the pointers may be null
    const std::size_t wanted =
        std::min(stagingPiece, (bytes + kStagingStep - 1) / kStagingStep * kStagingStep);
    if (staging.busy || !acquireStaging(wanted)) return cudaMemcpy(dst, src, bytes, kind);
    struct Lease {
        Lease() { staging.busy = true; }
        ~Lease() { staging.busy = false; }
    } lease;
    const std::size_t piece = std::min(stagingPiece, staging.half);
    if (kind == cudaMemcpyHostToDevice)
        return upload(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src),
                      bytes, piece);
    return download(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), bytes,
                    piece);
}

std::size_t lmx::setStagingPieceBytes(std::size_t bytes) {
    const std::size_t previous = stagingPiece;
    stagingPiece = std::max<std::size_t>(bytes, 1);
    releaseStagingBuffer();
    return previous;
}

bool lmx::releaseStagingBuffer() {
    if (!staging.data || staging.busy) return false;
    freeStaging();
    return true;
}
