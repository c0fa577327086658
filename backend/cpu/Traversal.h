#pragma once
// CPU traversals: ways of running a kernel's launch that suit a CPU better than its loop shape
// does (taps outer with accumulators in registers, whole row pieces copied, blocks interchanged
// so that each thread streams through memory). A traversal reorders work across pixels, never
// within one pixel's arithmetic, so its results are the kernel's bits; a test checks each one
// against the plain body.
//
// A traversal is written against its kernel's own parameter list:
//
//     traverse<&LumerixConvolveIDD2I>([](float* in, int xr, int yr, float* out, int w, int h,
//                                        int mx, int my) { ... })
//
// and where it does not reproduce a launch (another launch shape, a table too large) it calls
// the kernel itself, which under the host compiler is the plain body run through its loop
// shape. Every traversal is installed from the one list in Traversals.cpp.

#include "backend/cpu/Engine.h"
#include "backend/cpu/Registry.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace lmx::cpu {

//! Calls a function of the kernel's type with the launch's arguments, which point at values of
//! the kernel's parameter types.
template <class Kernel>
struct Unpack;

template <class... P>
struct Unpack<void (*)(P...)> {
    template <std::size_t... I>
    static void call(void (*f)(P...), void** args, std::index_sequence<I...>) {
        f(*static_cast<P*>(args[I])...);
    }
    static void call(void (*f)(P...), void** args) {
        call(f, args, std::index_sequence_for<P...>{});
    }
};

//! The kernel's body as written: the registry's plain invoker.
template <auto kKernel>
void runPlain(void** args) {
    Unpack<decltype(kKernel)>::call(kKernel, args);
}

//! A traversal ready to be installed: the kernel it replaces and how a launch now runs.
struct Traversal {
    const void* kernel;
    Invoker run;
};

// The body of the traversal of kKernel; one per kernel.
template <auto kKernel>
struct TraversalBody {
    static inline decltype(kKernel) body = nullptr;
    static void run(void** args) { Unpack<decltype(kKernel)>::call(body, args); }
};

//! The traversal of kKernel by `body`, a function (or lambda without captures) that takes the
//! kernel's parameters.
template <auto kKernel>
Traversal traverse(decltype(kKernel) body) {
    TraversalBody<kKernel>::body = body;
    return {reinterpret_cast<const void*>(kKernel), &TraversalBody<kKernel>::run};
}

//! Every traversal of this backend on this processor (Traversals.cpp).
std::vector<Traversal> traversals();

//! True when the launch reaches every pixel of the w x h plane, as the operations launch it (a
//! thread for every column; the rows of a grid shorter than the plane loop over the rest); any
//! other launch runs the kernel as written.
inline bool coversPlane(int w, int h) {
    const LaunchShape& s = currentLaunch;
    return 1LL * s.grid.x * s.block.x >= w && h >= 0 && 1LL * s.grid.z * s.block.z >= 1;
}

// ---- the families' traversals, each with its kernel's parameter list -------------------------

// Reductions and the histogram (ReduceTraversals.cpp).
void sumBlocks(float* in, float* partial, int n);
void minBlocks(float* in, float* partial, int n);
void maxBlocks(float* in, float* partial, int n);
void squaredDeviationBlocks(float* in, float* partial, int n, float mean);
void countHistogramBlocks(unsigned int* partial, unsigned int* data, int n);

// Morphology (MorphologyTraversals.cpp).
void erosionCross(float* src, float* dst, int w, int h, int mx, int my);
void erosionSquare(float* src, float* dst, int w, int h, int mx, int my);
void dilationCross(float* src, float* dst, int w, int h, int mx, int my);
void dilationSquare(float* src, float* dst, int w, int h, int mx, int my);

// Convolution (ConvolveTraversal.cpp).
void convolveRadii(float* in, int xr, int yr, float* out, int w, int h, int mx, int my);
void convolveRadius(float* in, int r, float* out, int w, int h, int mx, int my);
//! Lets the convolution use 512-bit vectors where the processor has them (the default there);
//! returns the previous setting. Tests run both widths.
bool useWideFilterStrips(bool wide);
//! The taps of d_kernel as this backend holds them (defined beside d_kernel in Module.cpp).
const float* filterTaps();

// Filters with a chosen border (BorderFilterTraversals.cpp).
void correlateBorderTable(float* in, float* out, int w, int h, int xr, int yr, int border,
                          float cval);
void correlateBorderTaps(float* in, float* taps, float* out, int w, int h, int xr, int yr,
                         int border, float cval);
void correlateAlongRows(float* in, float* taps, float* out, int w, int h, int r, int border,
                        float cval);
void correlateAlongColumns(float* in, float* taps, float* out, int w, int h, int r, int border,
                           float cval);
void medianWindows(float* in, float* out, int w, int h, int xr, int yr, int border);

// Geometry (GeometryTraversals.cpp); the coordinate images and the warp need AVX2.
void shiftRows(float* src, int dx, int dy, float* dst, int w, int h);
void sliceRows(float* src, int x0, int y0, int srcW, float* dst, int w, int h);
void resizeRows(float* src, int a, int b, int srcW, int srcH, float* dst, int w, int h);
void sliceSamples(float* src, float x, float y, int srcW, int srcH, float* dst, int w, int h);
void columnCoordinates(float* dst, int w, int h);
void rowCoordinates(float* dst, int w, int h);
void affineTiles(float* src, float a, float b, float c, float d, float e, float f, float* dst,
                 int w, int h);
void affineBorderTiles(float* src, float a, float b, float c, float d, float e, float f, int border,
                       float cval, float* dst, int w, int h);

// Conversions, merge and split (PixelTraversals.cpp; AVX2).
void narrowToInt8(float* src, unsigned char* dst, int n);
void narrowToInt16(float* src, unsigned short* dst, int n);
void mergeChannels(float* c0, float* c1, float* c2, float* merged, int n);
void splitChannels(float* merged, float* c0, float* c1, float* c2, int n);

// The logarithm (LogTraversal.cpp; AVX2 and FMA).
void logPixels(float* a, float* r, int n);
//! True when logPixels gives the bits of the logf this process calls.
bool logPixelsMatchesLibrary();

}  // namespace lmx::cpu
