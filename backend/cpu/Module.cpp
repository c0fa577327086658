// The same module for the host compiler: every kernel file compiled once, and the registry that
// lets cudaLaunchKernel find a kernel by its address and call it with the launch's arguments.

#include "kernels/Dialect.h"
#include "kernels/Kernels.h"

#include "kernels/ChannelKernels.h"
#include "kernels/ConvertKernels.h"
#include "kernels/FilterConstants.h"
#include "kernels/HistogramKernels.h"
#include "kernels/PixelKernels.h"
#include "kernels/ReduceKernels.h"

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

KernelEntry entries[] = {
#define LMX_KERNEL_ROW(name, params) \
    {#name, reinterpret_cast<const void*>(&name), &Invoke<decltype(&name), &name>::run},
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
};

}  // namespace

const KernelEntry* findKernel(const void* function) {
    for (const KernelEntry& e : entries)
        if (e.function == function) return &e;
    return nullptr;
}

const KernelEntry* kernelEntries() { return entries; }
std::size_t kernelCount() { return sizeof entries / sizeof entries[0]; }

Invoker overrideKernel(const void* function, Invoker invoke) {
    for (KernelEntry& e : entries) {
        if (e.function == function) {
            const Invoker previous = e.invoke;
            e.invoke = invoke;
            return previous;
        }
    }
    return nullptr;
}

}  // namespace lmx::cpu
