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
    Invoker plain;   // the kernel body as written, run block by block
};

//! The entry of a kernel, or null for an address that is not a kernel.
const KernelEntry* findKernel(const void* function);
const KernelEntry* kernelEntries();
std::size_t kernelCount();

//! Puts the CPU traversals of FastPaths.cpp in place; called once when the registry is built.
void installFastPaths();
//! The conversions' and channel kernels' traversals (PixelPaths.cpp), put in place by
//! installFastPaths.
void installPixelPaths();
//! The logarithm's traversal (LogPath.cpp), put in place by installFastPaths.
void installLogPath();
//! The geometric kernels' traversals (GeometryPaths.cpp), put in place by installFastPaths.
void installGeometryPaths();
//! The traversals of the filters with a chosen border (BorderFilterTraversals.cpp).
void installBorderFilterTraversals();

// Replaces the way a kernel runs on this backend with a traversal of the same work that suits
// a CPU better (see FastPaths.cpp); returns the previous invoker so tests can compare the two.
Invoker overrideKernel(const void* function, Invoker invoke);

}  // namespace lmx::cpu
