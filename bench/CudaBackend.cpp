// The CUDA backend's part of the benchmarks: it has no settings to read, and cuFFT keeps no
// wisdom between plans.

#include "BenchSupport.h"

namespace lmxbench {

void configureBackend() {}

void forgetFftWisdom() {}

}  // namespace lmxbench
