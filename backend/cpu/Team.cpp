// Host work of the operations above the runtime on the engine's team (runtime/Backend.h).

#include "backend/cpu/Engine.h"
#include "runtime/Backend.h"

int lmx::hostThreads() {
    return cpu::teamSize();
}

// One item per thread, the items dealt round-robin as a static schedule of chunk 1 deals them.
void lmx::parallelFor(int count, void (*work)(void*, int), void* context) {
    cpu::parallelParts(count, cpu::kParallelThreshold, [&](int id, int threads) {
        for (int i = id; i < count; i += threads) work(context, i);
    });
}
