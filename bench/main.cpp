#include <benchmark/benchmark.h>

#if !defined(LMX_BACKEND_CUDA)
#include "backend/cpu/Control.h"

#include <cstdlib>
#include <string>
#endif

// LUMERIX_STREAMING_BYTES=<bytes> sets the result size from which the CPU backend writes with
// streaming stores, so that both store paths can be timed on the same machine ("never": none).
int main(int argc, char** argv) {
#if !defined(LMX_BACKEND_CUDA)
    if (const char* bytes = std::getenv("LUMERIX_STREAMING_BYTES"))
        lmx::cpu::setStreamingStoreBytes(
            std::string(bytes) == "never" ? ~std::size_t(0) : std::strtoull(bytes, nullptr, 10));
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
