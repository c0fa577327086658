// The runtime's counters of the tests where the backend keeps none (the real CUDA runtime): all
// zero and no launch log, read only by assertions that kCpuBackend guards.

#include "TestSupport.h"

lmxtest::RuntimeTotals lmxtest::RuntimeTotals::now() {
    return {};
}

std::string lmxtest::lastKernel() {
    return std::string();
}
