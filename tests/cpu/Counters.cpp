// The runtime's counters and launch log of the tests, from the CPU backend's stand-in.

#include "TestSupport.h"

#include "backend/cpu/Control.h"

lmxtest::RuntimeTotals lmxtest::RuntimeTotals::now() {
    const lmx::cpu::Counters& c = lmx::cpu::counters();
    // clang-format off
    return {c.allocations,    c.frees,          c.launches,
            c.hostToDevice(), c.deviceToHost(), c.deviceToDevice(),
            c.bytes[cudaMemcpyHostToDevice], c.bytes[cudaMemcpyDeviceToHost]};
    // clang-format on
}

std::string lmxtest::lastKernel() {
    const auto& log = lmx::cpu::launchLog();
    return log.empty() ? std::string() : log.back().kernel;
}
