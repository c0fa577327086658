// Host work of the operations above the runtime on the engine's team (runtime/Backend.h), and
// the work from which the engine wakes the team.

#include "backend/cpu/Control.h"
#include "backend/cpu/Engine.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <climits>

namespace lmx::cpu {
namespace {

// Pixels one thread streams through per microsecond in a light pixel-wise pass (a + b, sum):
// the rate that turns the team's wake-up into work. Heavier kernels count their work in
// pixel-tap products, or pass more per pixel, so they split sooner.
constexpr double kPixelsPerMicrosecond = 4000;
// The most a wake-up is taken to cost: a measurement on a machine that is busy for a moment
// must not keep large images on one thread for the rest of the process.
constexpr long long kMostParallelWork = 1LL << 21;

// Two threads halve a launch's time less the wake-up, so splitting pays once one thread would
// take twice the wake-up.
long long measuredWork() {
    if (teamSize() <= 1) return LLONG_MAX;
    const double wake = regionSeconds() * 1e6 * kPixelsPerMicrosecond;
    return std::clamp(static_cast<long long>(2 * wake), kParallelThreshold, kMostParallelWork);
}

long long& workSetting() {
    static long long work = measuredWork();
    return work;
}

}  // namespace

long long parallelWork() {
    return workSetting();
}

long long setParallelWork(long long work) {
    const long long previous = workSetting();
    workSetting() = work;
    return previous;
}

}  // namespace lmx::cpu

int lmx::hostThreads() {
    return cpu::teamSize();
}

// One item per thread, the items dealt round-robin as a static schedule of chunk 1 deals them.
// The callers hand over items worth a thread each, so the team is always woken for them.
void lmx::parallelFor(int count, void (*work)(void*, int), void* context) {
    cpu::parallelParts(count, LLONG_MAX, [&](int id, int threads) {
        for (int i = id; i < count; i += threads) work(context, i);
    });
}
