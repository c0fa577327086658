// The same module for the host compiler: every kernel file compiled once, and the registry that
// lets cudaLaunchKernel find a kernel by its address and call it with the launch's arguments.

#include "kernels/Dialect.h"
#include "kernels/Kernels.h"

#include "kernels/BorderFilterKernels.h"
#include "kernels/ChannelKernels.h"
#include "kernels/ConvertKernels.h"
#include "kernels/FFTKernels.h"
#include "kernels/FilterConstants.h"
#include "kernels/FilterUpload.h"
#include "kernels/GeometricKernels.h"
#include "kernels/HistogramKernels.h"
#include "kernels/NeighborhoodKernels.h"
#include "kernels/PixelKernels.h"
#include "kernels/ReduceKernels.h"
#include "kernels/RegionKernels.h"
#include "kernels/ScaleKernels.h"

#include "backend/cpu/FilterPaths.h"
#include "backend/cpu/Registry.h"

#include <utility>

namespace lmx::cpu {
namespace {

template <class F, F kernel>
struct Invoke;

template <class... P, void (*kernel)(P...)>
struct Invoke<void (*)(P...), kernel> {
    template <std::size_t... I>
    static void call(void** args, std::index_sequence<I...>) {
        kernel(*static_cast<P*>(args[I])...);
    }
    static void run(void** args) { call(args, std::index_sequence_for<P...>{}); }
};

#define LMX_KERNEL_ROW(name, params)                                                    \
    {#name, reinterpret_cast<const void*>(&name), &Invoke<decltype(&name), &name>::run, \
     &Invoke<decltype(&name), &name>::run},

KernelEntry entries[] = {
#include "kernels/KernelTable.def"
};

constexpr std::size_t kCount = 0
#undef LMX_KERNEL_ROW
#define LMX_KERNEL_ROW(name, params) +1
#include "kernels/KernelTable.def"
    ;
#undef LMX_KERNEL_ROW

}  // namespace

// The CPU traversals go in on first use, when every unit's statics are initialised.
static KernelEntry* table() {
    static const bool ready = (installFastPaths(), true);
    (void)ready;
    return entries;
}

const KernelEntry* findKernel(const void* function) {
    const KernelEntry* all = table();
    for (std::size_t i = 0; i < kCount; ++i)
        if (all[i].function == function) return &all[i];
    return nullptr;
}

const KernelEntry* kernelEntries() {
    return table();
}
std::size_t kernelCount() {
    return kCount;
}

Invoker overrideKernel(const void* function, Invoker invoke) {
    for (std::size_t i = 0; i < kCount; ++i) {
        KernelEntry& e = entries[i];
        if (e.function == function) {
            const Invoker previous = e.invoke;
            e.invoke = invoke;
            return previous;
        }
    }
    return nullptr;
}

}  // namespace lmx::cpu

cudaError_t lmx::uploadFilterTaps(const float* kernel, int xradius, int yradius) {
    return copyFilterTaps(d_kernel, kernel, xradius, yradius);
}

const float* lmx::cpu::filterTaps() {
    return d_kernel;
}
