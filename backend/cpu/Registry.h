#pragma once
// The CPU backend's kernel registry: every kernel of the table, found by its host address.

#include <cstddef>

namespace lmx::cpu {

//! Calls a kernel with its arguments unpacked from the launch's argument array.
using Invoker = void (*)(void** args);

struct KernelEntry {
    const char* name;
    const void* function;
    Invoker invoke;  // how a launch runs: the kernel body, or a CPU traversal of the same work
    Invoker plain;   // the kernel body as written, run through its loop shape
};

//! The entry of a kernel, or null for an address that is not a kernel.
const KernelEntry* findKernel(const void* function);
const KernelEntry* kernelEntries();
std::size_t kernelCount();

}  // namespace lmx::cpu
