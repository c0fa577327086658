#pragma once
// The one way host code launches a kernel: arguments are converted to the kernel's parameter
// types as <<< >>> would, then passed to cudaLaunchKernel on the default stream. The caller
// follows every launch with LumerixCheck(cudaGetLastError()).

#include "kernels/Dialect.h"
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

//! Threads per block of the two-dimensional (plane) shape: 16 along x, 12 along y; planes of
//! fewer rows take wider blocks of the same 192 threads (planeBlock).
constexpr int kPlaneThreadsX = 16;
constexpr int kPlaneThreadsY = 12;
constexpr int kPlaneThreads = kPlaneThreadsX * kPlaneThreadsY;

//! The most blocks a grid has along y. Taller planes are covered by rows of blocks that loop
//! over the plane's rows (forEachPixel2D): row y, y + grid rows, ...
constexpr unsigned kMaxGridRows = 65535;

//! Block of the plane shape over a w x h result: 16 x 12, or for a plane of fewer than 12 rows
//! the widest block of 192 threads whose rows (1, 2, 3, 4 or 6) fit in it, so that a single row
//! does not leave 11 of every 12 threads idle.
inline dim3 planeBlock(int /*w*/, int h) {
    if (h >= kPlaneThreadsY) return dim3(kPlaneThreadsX, kPlaneThreadsY);
    const int rows = h >= 6 ? 6 : (h >= 4 ? 4 : (h >= 1 ? h : 1));
    return dim3(static_cast<unsigned>(kPlaneThreads / rows), static_cast<unsigned>(rows));
}

//! Grid of the plane shape over a w x h result: w and h over planeBlock's, each rounded up, with
//! at most kMaxGridRows rows of blocks.
inline dim3 planeGrid(int w, int h) {
    const dim3 b = planeBlock(w, h);
    const long long rows = h / b.y + (h % b.y ? 1 : 0);
    return dim3(static_cast<unsigned>(w / b.x + (w % b.x ? 1 : 0)),
                static_cast<unsigned>(rows < kMaxGridRows ? rows : kMaxGridRows));
}

//! A launch of the plane shape over the w x h plane of a result. The caller locks sources, then
//! the result (LockGuard), launches, checks with LumerixCheck(cudaGetLastError()) at its own
//! line, and releases before it returns, so that the result leaves the operation unlocked.
template <class... P, class... A>
void launchPlane(void (*kernel)(P...), int w, int h, A&&... args) {
    launch(kernel, planeGrid(w, h), planeBlock(w, h), 0, std::forward<A>(args)...);
}

//! launchPlane for a kernel whose blocks stage their tile of the source with a halo of hx and hy
//! (forEachStagedPixel2D): the launch reserves the tile's shared memory.
template <class... P, class... A>
void launchStaged(void (*kernel)(P...), int w, int h, int hx, int hy, A&&... args) {
    const dim3 block = planeBlock(w, h);
    const int floats =
        stagedTileFloats(static_cast<int>(block.x), static_cast<int>(block.y), hx, hy);
    launch(kernel, planeGrid(w, h), block, static_cast<std::size_t>(floats) * sizeof(float),
           std::forward<A>(args)...);
}

//! Grid and block of the strip shapes (forEachPixelRows2D, forEachStagedRows2D) over a w x h
//! result: the plane shape over the plane of strips, w x ceil(h / kRowsPerThread).
inline dim3 stripBlock(int w, int h) {
    return planeBlock(w, h / kRowsPerThread + (h % kRowsPerThread ? 1 : 0));
}
inline dim3 stripGrid(int w, int h) {
    return planeGrid(w, h / kRowsPerThread + (h % kRowsPerThread ? 1 : 0));
}

//! launchPlane for a kernel of the strip shape (forEachPixelRows2D).
template <class... P, class... A>
void launchStrips(void (*kernel)(P...), int w, int h, A&&... args) {
    launch(kernel, stripGrid(w, h), stripBlock(w, h), 0, std::forward<A>(args)...);
}

//! launchStaged for a kernel of the staged strip shape (forEachStagedRows2D).
template <class... P, class... A>
void launchStagedStrips(void (*kernel)(P...), int w, int h, int hx, int hy, A&&... args) {
    const dim3 block = stripBlock(w, h);
    const int floats =
        stripTileFloats(static_cast<int>(block.x), static_cast<int>(block.y), hx, hy);
    launch(kernel, stripGrid(w, h), block, static_cast<std::size_t>(floats) * sizeof(float),
           std::forward<A>(args)...);
}

}  // namespace lmx
