#include <benchmark/benchmark.h>

#include "BenchSupport.h"

int main(int argc, char** argv) {
    lmxbench::configureBackend();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
