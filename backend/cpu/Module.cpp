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

#include "backend/cpu/Registry.h"
#include "backend/cpu/Traversal.h"

#include <algorithm>
#include <functional>

namespace lmx::cpu {
namespace {

#define LMX_KERNEL_ROW(name, shape, params) \
    {#name, reinterpret_cast<const void*>(&name), &runPlain<&name>, &runPlain<&name>},

KernelEntry entries[] = {
#include "kernels/KernelTable.def"
};

constexpr std::size_t kCount = 0
#undef LMX_KERNEL_ROW
#define LMX_KERNEL_ROW(name, shape, params) +1
#include "kernels/KernelTable.def"
    ;
#undef LMX_KERNEL_ROW

KernelEntry* entryOf(const void* function) {
    for (KernelEntry& e : entries)
        if (e.function == function) return &e;
    return nullptr;
}

// The entries ordered by address: a launch finds its kernel in a few comparisons.
const KernelEntry* byAddress[kCount];

bool addressBefore(const KernelEntry* a, const void* function) {
    return std::less<const void*>()(a->function, function);
}

// The CPU traversals go in on first use, when every unit's statics are initialised.
KernelEntry* table() {
    static const bool ready = [] {
        for (const Traversal& t : traversals()) entryOf(t.kernel)->invoke = t.run;
        for (std::size_t i = 0; i < kCount; ++i) byAddress[i] = &entries[i];
        std::sort(byAddress, byAddress + kCount, [](const KernelEntry* a, const KernelEntry* b) {
            return addressBefore(a, b->function);
        });
        return true;
    }();
    (void)ready;
    return entries;
}

}  // namespace

const KernelEntry* findKernel(const void* function) {
    table();
    const KernelEntry* const* found =
        std::lower_bound(byAddress, byAddress + kCount, function, addressBefore);
    return found != byAddress + kCount && (*found)->function == function ? *found : nullptr;
}

const KernelEntry* kernelEntries() {
    return table();
}
std::size_t kernelCount() {
    return kCount;
}

}  // namespace lmx::cpu

cudaError_t lmx::uploadFilterTaps(const float* kernel, int xradius, int yradius) {
    return copyFilterTaps(d_kernel, kernel, xradius, yradius);
}

const float* lmx::cpu::filterTaps() {
    return d_kernel;
}
