#pragma once
// The one way host code launches a kernel: arguments are converted to the kernel's parameter
// types as <<< >>> would, then passed to cudaLaunchKernel on the default stream. The caller
// follows every launch with LumerixCheck(cudaGetLastError()).

#include "runtime/Backend.h"

#include <cstddef>
#include <tuple>
#include <utility>

namespace lmx {

//! Threads per block of the pixel-wise shape.
constexpr int kPixelThreads = 256;

//! Grid of the pixel-wise shape: one thread per pixel, n / 256 blocks rounded up, no cap.
inline dim3 pixelGrid(int n) {
    return dim3(static_cast<unsigned>(n / kPixelThreads + (n % kPixelThreads ? 1 : 0)));
}

template <class... P, class... A>
void launch(void (*kernel)(P...), dim3 grid, dim3 block, std::size_t sharedBytes, A&&... args) {
    static_assert(sizeof...(P) == sizeof...(A), "kernel argument count");
    // A grid without blocks has no work; the runtime would refuse it as a configuration error.
    if (1ULL * grid.x * grid.y * grid.z == 0) return;
    std::tuple<P...> values(static_cast<P>(std::forward<A>(args))...);
    std::apply(
        [&](auto&... v) {
            void* argv[] = {static_cast<void*>(&v)..., nullptr};
            cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, argv, sharedBytes,
                             nullptr);
        },
        values);
}

//! A launch of the pixel-wise shape over n pixels.
template <class... P, class... A>
void launchPixels(void (*kernel)(P...), int n, A&&... args) {
    launch(kernel, pixelGrid(n), dim3(kPixelThreads), 0, std::forward<A>(args)...);
}

//! Threads per block of the two-dimensional (plane) shape: 16 along x, 12 along y.
constexpr int kPlaneThreadsX = 16;
constexpr int kPlaneThreadsY = 12;

//! Grid of the plane shape over a w x h result: w / 16 by h / 12 blocks, each rounded up.
inline dim3 planeGrid(int w, int h) {
    return dim3(static_cast<unsigned>(w / kPlaneThreadsX + (w % kPlaneThreadsX ? 1 : 0)),
                static_cast<unsigned>(h / kPlaneThreadsY + (h % kPlaneThreadsY ? 1 : 0)));
}

//! A launch of the plane shape over the w x h plane of a result. The caller locks sources, then
//! the result (LockGuard), launches, checks with LumerixCheck(cudaGetLastError()) at its own
//! line, and releases before it returns, so that the result leaves the operation unlocked.
template <class... P, class... A>
void launchPlane(void (*kernel)(P...), int w, int h, A&&... args) {
    launch(kernel, planeGrid(w, h), dim3(kPlaneThreadsX, kPlaneThreadsY), 0,
           std::forward<A>(args)...);
}

}  // namespace lmx
