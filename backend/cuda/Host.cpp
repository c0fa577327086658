// The cuda build's side of runtime/Backend.h for host code: its kernels reach only device
// memory, so the capability hooks decline, and host work runs on threads of its own.

#include "runtime/Backend.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

bool lmx::convertsInPlaceOnHost(std::size_t) {
    return false;
}

void lmx::countInPlaceTransfer(cudaMemcpyKind, std::size_t) {}

bool lmx::countFloatPixels(const float*, int, unsigned int*) {
    return false;
}

bool lmx::keepFftPlans(const char*) {
    return false;
}

const char* lmx::passiveWaitEnvironment() {
    return nullptr;
}

long lmx::fftPlansMeasured() {
    return 0;
}

bool lmx::fftOfRealImage(cufftHandle, const float*, float2*, float*, float*) {
    return false;
}

bool lmx::ifftToRealImage(cufftHandle, const float*, const float*, float2*, float*) {
    return false;
}

bool lmx::foldSquarePasses(const float*, float*, float*, int, int, int, bool) {
    return false;
}

int lmx::hostThreads() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Each item gets a thread (item 0 the calling one); a thread that cannot be started leaves its
// item to the calling thread.
void lmx::parallelFor(int count, void (*work)(void*, int), void* context) {
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(std::max(count - 1, 0)));
    std::vector<int> leftOver;
    for (int i = 1; i < count; ++i) {
        try {
            threads.emplace_back(work, context, i);
        } catch (const std::system_error&) {
            leftOver.push_back(i);
        }
    }
    if (count > 0) work(context, 0);
    for (int i : leftOver) work(context, i);
    for (std::thread& t : threads) t.join();
}
