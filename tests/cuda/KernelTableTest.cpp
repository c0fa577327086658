// The kernel table against the device module: only the block-cooperative kernels hold shared
// memory, in the amounts of their shapes, and none spills to local memory.

#include "TestSupport.h"

#include "kernels/Kernels.h"

#include <string>

namespace {

struct KernelRow {
    const char* name;
    const void* function;
};

// Generated from the table itself, so a row added there is checked here without further work.
const KernelRow kRows[] = {
#define LMX_KERNEL_ROW(name, shape, params) {#name, reinterpret_cast<const void*>(&name)},
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
};

}  // namespace

TEST(KernelTable, OnlyTheBlockCooperativeKernelsHoldSharedMemory) {
    // Only the block-cooperative kernels hold shared memory, in the amounts of their shapes.
    for (const KernelRow& row : kRows) {
        cudaFuncAttributes attributes{};
        ASSERT_EQ(cudaFuncGetAttributes(&attributes, row.function), cudaSuccess) << row.name;
        EXPECT_EQ(attributes.localSizeBytes, 0u) << row.name;
        const std::string name = row.name;
        std::size_t shared = 0;
        if (name == "LumerixPixelSumI2F" || name == "LumerixPixelMinI2F" ||
            name == "LumerixPixelMaxI2F" || name == "LumerixPixelSquaredDeviationI2F")
            shared = 128 * sizeof(float);
        else if (name == "LumerixPixelSumTreesI2F" || name == "LumerixPixelMinTreesI2F" ||
                 name == "LumerixPixelMaxTreesI2F")
            shared = 128 * sizeof(float);
        else if (name == "LumerixPixelSumChainsI2F" || name == "LumerixPixelMinChainsI2F" ||
                 name == "LumerixPixelMaxChainsI2F" ||
                 name == "LumerixPixelSquaredDeviationChainsI2F")
            shared = 2 * 128 * 32 * sizeof(float) + 32 * sizeof(float);  // two stages, the folds
        else if (name == "histogram256Kernel")
            shared = 6 * 256 * sizeof(unsigned int);
        else if (name == "mergeHistogram256Kernel")
            shared = 64 * sizeof(unsigned int);
        EXPECT_EQ(attributes.sharedSizeBytes, shared) << row.name;
    }
}
