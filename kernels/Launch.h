#pragma once
// The one way host code launches a kernel: arguments are converted to the kernel's parameter
// types as <<< >>> would, then passed to cudaLaunchKernel on the default stream. The caller
// follows every launch with LumerixCheck(cudaGetLastError()).

#include "platform/Runtime.h"

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
            cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, argv,
                             sharedBytes, nullptr);
        },
        values);
}

//! A launch of the pixel-wise shape over n pixels.
template <class... P, class... A>
void launchPixels(void (*kernel)(P...), int n, A&&... args) {
    launch(kernel, pixelGrid(n), dim3(kPixelThreads), 0, std::forward<A>(args)...);
}

}  // namespace lmx
