// The CPU backend's stand-in for the CUDA runtime: device memory with a capacity, the copies,
// last-error semantics, device queries and kernel launches through the registry, plus fault
// injection and counters for tests.

#include "backend/cpu/Control.h"
#include "backend/cpu/CudaRuntime.h"
#include "backend/cpu/Engine.h"
#include "backend/cpu/Registry.h"
#include "platform/HostMemory.h"
#include "runtime/Backend.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace lmx::cpu {

LaunchShape currentLaunch;

namespace {

struct FaultPlan {
    long countdown = 0;  // calls left until the fault; 0 = none pending
    bool persistent = false;
    cudaError_t error = cudaSuccess;
};

struct State {
    cudaError_t lastError = cudaSuccess;
    std::size_t capacity = 0;
    std::size_t inUse = 0;
    std::map<std::uintptr_t, std::size_t> live;  // device address -> requested bytes
    // Released blocks kept mapped for reuse by exact (rounded) size: mapping fresh memory
    // costs page faults that would dominate every operation on large images.
    std::unordered_multimap<std::size_t, void*> pool;
    std::size_t pooledBytes = 0;
    FaultPlan faults[static_cast<int>(Fault::HostAllocation) + 1];
    std::unordered_set<void*> pinned;  // live cudaMallocHost allocations
    Counters counters;
    // The launch log as launches leave it: the kernel's name (a string of the kernel table) and
    // the shape, in a ring of the latest kLogKept; made into LaunchRecords only when read, so
    // that a launch costs no string.
    struct Launched {
        const char* kernel;
        dim3 grid;
        dim3 block;
    };
    std::vector<Launched> ring;
    std::size_t launchedTotal = 0;  // launches logged since the last reset
    std::vector<LaunchRecord> log;  // what launchLog() last returned
    int deviceCount = 1;
    int computeMajor = 8;
    int currentDevice = 0;
};

// The first number in a file such as /proc/meminfo's line or a cgroup's memory.max, scaled;
// 0 when the file or the number is missing ("max" means no limit).
std::size_t numberIn(const char* path, const char* key, std::size_t scale) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char line[256];
    unsigned long long value = 0;
    const std::size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, keyLength) == 0) {
            value = std::strtoull(line + keyLength, nullptr, 10);
            break;
        }
    std::fclose(f);
    return static_cast<std::size_t>(value) * scale;
}

// A size in bytes, or with a K, M or G suffix (powers of 1024); 0 when the text is not one.
std::size_t parseSize(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || errno == ERANGE || !std::isdigit(static_cast<unsigned char>(text[0])))
        return 0;
    const int shift = *end == 'K' || *end == 'k'   ? 10
                      : *end == 'M' || *end == 'm' ? 20
                      : *end == 'G' || *end == 'g' ? 30
                                                   : 0;
    if (shift != 0) ++end;
    if (*end == 'B' || *end == 'b') ++end;
    if (*end != '\0' || value > (~0ULL >> shift)) return 0;
    return static_cast<std::size_t>(value << shift);
}

// Device memory is host memory: a capacity past what the machine can give would let a large
// request through to the kernel's out-of-memory killer instead of the manager's reclamation
// and "Out of memory". The default is the memory available at start-up (the kernel's estimate,
// and the cgroup's limit less its use where that is smaller), less a quarter (at least 1 GiB)
// for host arrays, spilled pages and the pool of released blocks. LUMERIX_CPU_DEVICE_MEMORY
// sets it instead.
std::size_t defaultCapacity() {
    if (const char* text = std::getenv("LUMERIX_CPU_DEVICE_MEMORY")) {
        if (const std::size_t bytes = parseSize(text)) return bytes;
        std::fprintf(stderr,
                     "lumerix: LUMERIX_CPU_DEVICE_MEMORY='%s' is not a size (bytes, or a number "
                     "with K, M or G); the default is used\n",
                     text);
    }
    const std::size_t physical = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
    std::size_t available = numberIn("/proc/meminfo", "MemAvailable:", 1024);
    if (available == 0 || available > physical) available = physical;
    const std::size_t limits[][2] = {
        {numberIn("/sys/fs/cgroup/memory.max", "", 1),
         numberIn("/sys/fs/cgroup/memory.current", "", 1)},
        {numberIn("/sys/fs/cgroup/memory/memory.limit_in_bytes", "", 1),
         numberIn("/sys/fs/cgroup/memory/memory.usage_in_bytes", "", 1)}};
    for (const auto& limit : limits) {
        const std::size_t room = limit[0] > limit[1] ? limit[0] - limit[1] : 0;
        if (limit[0] != 0 && room < available) available = room;
    }
    constexpr std::size_t kLeastMargin = std::size_t(1) << 30;
    const std::size_t margin = std::max(available / 4, kLeastMargin);
    return available > margin ? available - margin : available / 2;
}

State& state() {
    static State* s = [] {
        auto* st = new State;
        st->capacity = defaultCapacity();
        return st;
    }();
    return *s;
}

constexpr std::size_t kLogKept = 4096;
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPoolLimit = std::size_t(2) << 30;

// In the sanitizer build each allocation has exactly its requested size and is freed at once
// (no rounding, no pool), so that a read past an image or a use after free is reported.
#if defined(LMX_SANITIZE)
constexpr bool kExactAllocation = true;
#else
constexpr bool kExactAllocation = false;
#endif

cudaError_t fail(cudaError_t error) {
    state().lastError = error;
    return error;
}

// Advances the fault plan of one kind of call; returns the error to fail with, or success.
cudaError_t injected(Fault kind) {
    FaultPlan& plan = state().faults[static_cast<int>(kind)];
    if (plan.countdown == 0) return cudaSuccess;
    if (plan.countdown > 1) {
        --plan.countdown;
        return cudaSuccess;
    }
    const cudaError_t error = plan.error;
    if (!plan.persistent) plan = FaultPlan{};
    return error;
}

std::size_t rounded(std::size_t bytes) {
    return (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

// The live allocation that contains p, or end().
std::map<std::uintptr_t, std::size_t>::const_iterator owner(const void* p) {
    const auto& live = state().live;
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    auto it = live.upper_bound(address);
    if (it == live.begin()) return live.end();
    --it;
    return address - it->first < it->second ? it : live.end();
}

bool isDevicePointer(const void* p) {
    return owner(p) != state().live.end();
}

// True when [p, p + bytes) lies inside one live device allocation.
bool isDeviceRange(const void* p, std::size_t bytes) {
    const auto it = owner(p);
    if (it == state().live.end()) return false;
    return reinterpret_cast<std::uintptr_t>(p) - it->first + bytes <= it->second;
}

// Large copies are split across the OpenMP team: one core alone does not reach the memory
// bandwidth that a copy engine would. Overlapping ranges (a copy within one buffer) go through
// memmove on one thread.
void copyBytes(void* dst, const void* src, std::size_t count) {
    constexpr std::size_t kPiece = std::size_t(1) << 17;
    const auto* s = static_cast<const char*>(src);
    auto* d = static_cast<char*>(dst);
    const bool overlap = d < s + count && s < d + count;
    if (count < 2 * kPiece || overlap) {
        std::memmove(dst, src, count);
        return;
    }
    const int pieces = static_cast<int>((count + kPiece - 1) / kPiece);
    parallelRows(pieces, static_cast<long long>(count / sizeof(float)), [=](int p) {
        const std::size_t offset = static_cast<std::size_t>(p) * kPiece;
        std::memcpy(d + offset, s + offset, std::min(kPiece, count - offset));
    });
}

void drainPool() {
    State& s = state();
    for (auto& entry : s.pool) std::free(entry.second);
    s.pool.clear();
    s.pooledBytes = 0;
}

// Checks the two sides of a copy against its kind: device sides must be live allocations,
// host sides must not be device memory (a missed transfer shows up as an error, not as data).
bool validSides(void* dst, std::size_t dstBytes, const void* src, std::size_t srcBytes,
                cudaMemcpyKind kind) {
    const bool dstDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool srcDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dstBytes == 0 && srcBytes == 0) return true;
    if (dstDevice ? !isDeviceRange(dst, dstBytes) : isDevicePointer(dst)) return false;
    if (srcDevice ? !isDeviceRange(src, srcBytes) : isDevicePointer(src)) return false;
    return dst != nullptr && src != nullptr;
}

}  // namespace

cudaError_t cudaMalloc(void** ptr, std::size_t size) {
    State& s = state();
    if (!ptr) return fail(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (const cudaError_t e = injected(Fault::Allocation)) {
        ++s.counters.failedAllocations;
        return fail(e);
    }
    if (size == 0) return cudaSuccess;  // like the runtime: success and a null address
    if (size > s.capacity || s.inUse > s.capacity - size) {
        ++s.counters.failedAllocations;
        return fail(cudaErrorMemoryAllocation);
    }
    const std::size_t bytes = rounded(size);
    void* memory = nullptr;
    if (kExactAllocation) {
        if (posix_memalign(&memory, kAlignment, size) != 0) memory = nullptr;
        if (!memory) {
            ++s.counters.failedAllocations;
            return fail(cudaErrorMemoryAllocation);
        }
    } else if (auto it = s.pool.find(bytes); it != s.pool.end()) {
        memory = it->second;
        s.pool.erase(it);
        s.pooledBytes -= bytes;
    } else {
        memory = std::aligned_alloc(kAlignment, bytes);
        if (!memory && !s.pool.empty()) {
            drainPool();
            memory = std::aligned_alloc(kAlignment, bytes);
        }
        adviseHugePages(memory, bytes);
        if (!memory) {
            ++s.counters.failedAllocations;
            return fail(cudaErrorMemoryAllocation);
        }
    }
    s.live.emplace(reinterpret_cast<std::uintptr_t>(memory), size);
    s.inUse += size;
    ++s.counters.allocations;
    *ptr = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    State& s = state();
    if (const cudaError_t e = injected(Fault::Free)) return fail(e);
    if (!ptr) return cudaSuccess;
    auto it = s.live.find(reinterpret_cast<std::uintptr_t>(ptr));
    if (it == s.live.end()) return fail(cudaErrorInvalidValue);
    const std::size_t bytes = rounded(it->second);
    s.inUse -= it->second;
    s.live.erase(it);
    if (!kExactAllocation && s.pooledBytes + bytes <= kPoolLimit) {
        s.pool.emplace(bytes, ptr);
        s.pooledBytes += bytes;
    } else {
        std::free(ptr);
    }
    ++s.counters.frees;
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    State& s = state();
    if (kind == cudaMemcpyDefault)
        kind = isDevicePointer(dst)
                   ? (isDevicePointer(src) ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice)
                   : (isDevicePointer(src) ? cudaMemcpyDeviceToHost : cudaMemcpyHostToHost);
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice)
        return fail(cudaErrorInvalidMemcpyDirection);
    if (const cudaError_t e = injected(Fault::Copy)) return fail(e);
    if (!validSides(dst, count, src, count, kind)) return fail(cudaErrorInvalidValue);
    if (count) copyBytes(dst, src, count);
    if (!count) ++s.counters.emptyCopies;
    ++s.counters.copies[kind];
    s.counters.bytes[kind] += count;
    return cudaSuccess;
}

cudaError_t cudaMemcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch,
                         std::size_t width, std::size_t height, cudaMemcpyKind kind) {
    State& s = state();
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice)
        return fail(cudaErrorInvalidMemcpyDirection);
    if (width > dpitch || width > spitch) return fail(cudaErrorInvalidPitchValue);
    if (const cudaError_t e = injected(Fault::Copy)) return fail(e);
    const std::size_t dstSpan = height ? (height - 1) * dpitch + width : 0;
    const std::size_t srcSpan = height ? (height - 1) * spitch + width : 0;
    if (width && height && !validSides(dst, dstSpan, src, srcSpan, kind))
        return fail(cudaErrorInvalidValue);
    for (std::size_t row = 0; row < height && width; ++row)
        std::memmove(static_cast<char*>(dst) + row * dpitch,
                     static_cast<const char*>(src) + row * spitch, width);
    if (!width || !height) ++s.counters.emptyCopies;
    ++s.counters.copies[kind];
    s.counters.bytes[kind] += width * height;
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, std::size_t count) {
    if (const cudaError_t e = injected(Fault::Copy)) return fail(e);
    if (count && !isDeviceRange(ptr, count)) return fail(cudaErrorInvalidValue);
    if (count) std::memset(ptr, value, count);
    if (!count) ++state().counters.emptyCopies;
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** ptr, std::size_t size) {
    State& s = state();
    if (!ptr) return fail(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (const cudaError_t e = injected(Fault::HostAllocation)) {
        ++s.counters.failedHostAllocations;
        return fail(e);
    }
    if (size == 0) return cudaSuccess;
    void* memory = std::aligned_alloc(kAlignment, rounded(size));
    if (!memory) {
        ++s.counters.failedHostAllocations;
        return fail(cudaErrorMemoryAllocation);
    }
    s.pinned.insert(memory);
    ++s.counters.hostAllocations;
    *ptr = memory;
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
    State& s = state();
    if (!ptr) return cudaSuccess;
    if (s.pinned.erase(ptr) == 0) return fail(cudaErrorInvalidValue);
    std::free(ptr);
    ++s.counters.hostFrees;
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t) {
    return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaStreamSynchronize(cudaStream_t) {
    State& s = state();
    if (const cudaError_t e = injected(Fault::Synchronize)) return fail(e);
    ++s.counters.synchronizations;
    return cudaSuccess;
}

cudaError_t copyToSymbol(void* symbol, std::size_t symbolBytes, const void* src, std::size_t count,
                         std::size_t offset) {
    State& s = state();
    if (!symbol) return fail(cudaErrorInvalidMemcpyDirection);
    if (const cudaError_t e = injected(Fault::Copy)) return fail(e);
    if (offset > symbolBytes || count > symbolBytes - offset || (count && !src) ||
        isDevicePointer(src))
        return fail(cudaErrorInvalidValue);
    if (count) std::memcpy(static_cast<char*>(symbol) + offset, src, count);
    if (!count) ++s.counters.emptyCopies;
    ++s.counters.copies[cudaMemcpyHostToDevice];
    s.counters.bytes[cudaMemcpyHostToDevice] += count;
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    const cudaError_t e = state().lastError;
    state().lastError = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError() {
    return state().lastError;
}

// clang-format off
const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        // clang-format off
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidPitchValue: return "invalid pitch argument";
        case cudaErrorInvalidSymbol: return "invalid device symbol";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver:
            return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorInvalidDeviceFunction: return "invalid device function";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorUnknown: return "unknown error";
            // clang-format on
    }
    return "unrecognized error code";
}
// clang-format on

cudaError_t cudaDeviceSynchronize() {
    State& s = state();
    if (const cudaError_t e = injected(Fault::Synchronize)) return fail(e);
    ++s.counters.synchronizations;
    return cudaSuccess;  // every launch has finished when cudaLaunchKernel returns
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return fail(cudaErrorInvalidValue);
    if (const cudaError_t e = injected(Fault::DeviceQuery)) return fail(e);
    *count = state().deviceCount;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    State& s = state();
    if (!prop) return fail(cudaErrorInvalidValue);
    if (const cudaError_t e = injected(Fault::DeviceQuery)) return fail(e);
    if (device < 0 || device >= s.deviceCount) return fail(cudaErrorInvalidDevice);
    std::memset(prop, 0, sizeof *prop);
    std::snprintf(prop->name, sizeof prop->name, "Lumerix CPU backend (%d threads)", teamSize());
    prop->totalGlobalMem = s.capacity;
    prop->sharedMemPerBlock = 48 * 1024;
    prop->regsPerBlock = 65536;
    prop->warpSize = 32;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024;
    prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 0x7fffffff;
    prop->maxGridSize[1] = 65535;
    prop->maxGridSize[2] = 65535;
    prop->totalConstMem = 64 * 1024;
    prop->major = s.computeMajor;
    prop->minor = 0;
    prop->multiProcessorCount = teamSize();
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    State& s = state();
    if (const cudaError_t e = injected(Fault::DeviceQuery)) return fail(e);
    if (device < 0 || device >= s.deviceCount) return fail(cudaErrorInvalidDevice);
    s.currentDevice = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return fail(cudaErrorInvalidValue);
    *device = state().currentDevice;
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(std::size_t* freeBytes, std::size_t* totalBytes) {
    State& s = state();
    if (!freeBytes || !totalBytes) return fail(cudaErrorInvalidValue);
    *freeBytes = s.capacity > s.inUse ? s.capacity - s.inUse : 0;
    *totalBytes = s.capacity;
    return cudaSuccess;
}

cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args,
                             std::size_t sharedMem, cudaStream_t) {
    State& s = state();
    const KernelEntry* kernel = findKernel(func);
    if (!kernel) return fail(cudaErrorInvalidDeviceFunction);
    const unsigned long long threads = 1ULL * block.x * block.y * block.z;
    if (threads == 0 || threads > 1024 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
        grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 0x7fffffffU || grid.y > 65535 ||
        grid.z > 65535 || sharedMem > 48 * 1024)
        return fail(cudaErrorInvalidConfiguration);
    if (const cudaError_t e = injected(Fault::Launch)) return fail(e);
    ++s.counters.launches;
    if (s.ring.size() < kLogKept)
        s.ring.push_back({kernel->name, grid, block});
    else
        s.ring[s.launchedTotal % kLogKept] = {kernel->name, grid, block};
    ++s.launchedTotal;
    currentLaunch = LaunchShape{grid, block};
    kernel->invoke(args);
    return cudaSuccess;
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* numBlocks, const void* func,
                                                          int blockSize,
                                                          std::size_t dynamicSMemSize) {
    if (!numBlocks) return fail(cudaErrorInvalidValue);
    if (const cudaError_t e = injected(Fault::DeviceQuery)) return fail(e);
    if (!findKernel(func)) return fail(cudaErrorInvalidDeviceFunction);
    // A block the device cannot run at all fits zero times, as on a GPU.
    *numBlocks = blockSize > 0 && blockSize <= 1024 && dynamicSMemSize <= 48 * 1024 ? 1 : 0;
    return cudaSuccess;
}

// ---- controls -------------------------------------------------------------------------------

namespace {
// Below this the narrow data is small enough that the extra copies cost less than the call
// itself, and the tests keep the GPU's path through the scratch and staging buffers.
std::size_t inPlaceBytes = std::size_t(64) << 10;
}  // namespace

void setInPlaceConversionBytes(std::size_t bytes) {
    inPlaceBytes = bytes;
}
std::size_t inPlaceConversionThreshold() {
    return inPlaceBytes;
}

// clang-format off
void setDeviceCapacity(std::size_t bytes) { state().capacity = bytes; }
std::size_t deviceCapacity() { return state().capacity; }
std::size_t deviceBytesInUse() { return state().inUse; }
// clang-format on

void injectFault(Fault kind, long nth, cudaError_t error) {
    state().faults[static_cast<int>(kind)] = FaultPlan{nth, false, error};
}

void injectPersistentFault(Fault kind, long nth, cudaError_t error) {
    state().faults[static_cast<int>(kind)] = FaultPlan{nth, true, error};
}

void clearFaults() {
    for (FaultPlan& plan : state().faults) plan = FaultPlan{};
}

void setDeviceCount(int count) {
    state().deviceCount = count;
}
void setComputeMajor(int major) {
    state().computeMajor = major;
}

const Counters& counters() {
    return state().counters;
}

void resetCounters() {
    state().counters = Counters{};
    state().ring.clear();
    state().launchedTotal = 0;
    state().log.clear();
}

const std::vector<LaunchRecord>& launchLog() {
    State& s = state();
    const std::size_t kept = s.ring.size();
    const std::size_t oldest = kept < kLogKept ? 0 : s.launchedTotal % kLogKept;
    s.log.resize(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        const State::Launched& l = s.ring[(oldest + i) % kept];
        LaunchRecord& r = s.log[i];
        r.kernel.assign(l.kernel);
        r.grid = l.grid;
        r.block = l.block;
    }
    return s.log;
}

cudaError_t injectedFault(Fault kind) {
    return injected(kind);
}

bool faultPending(Fault kind) {
    return state().faults[static_cast<int>(kind)].countdown != 0;
}

void countFftPlan() {
    ++state().counters.fftPlans;
}

void countFftPlanning() {
    ++state().counters.fftPlannings;
}

}  // namespace lmx::cpu

void lmx::countInPlaceTransfer(cudaMemcpyKind kind, std::size_t bytes) {
    cpu::Counters& c = cpu::state().counters;
    ++c.copies[kind];
    c.bytes[kind] += bytes;
}
