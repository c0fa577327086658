#pragma once
// Helpers of the CPU traversals of plane-shaped kernels (FilterPaths.cpp, ConvolvePaths.cpp).

#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"

namespace lmx::cpu {

//! Argument i of a launch's argument array.
template <class T>
T launchArg(void** args, int i) {
    return *static_cast<T*>(args[i]);
}

//! True when the launch has a thread for every pixel of the w x h plane, as the operations
//! launch it; any other launch runs the kernel as written.
inline bool coversPlane(int w, int h) {
    const LaunchShape& s = currentLaunch;
    return 1LL * s.grid.x * s.block.x >= w && 1LL * s.grid.y * s.block.y >= h &&
           1LL * s.grid.z * s.block.z >= 1;
}

//! Runs the kernel's body as written, through its loop shape.
inline void runPlain(const void* kernel, void** args) {
    findKernel(kernel)->plain(args);
}

}  // namespace lmx::cpu
