#pragma once
// CPU traversals of the neighbourhood filters (FilterPaths.cpp, ConvolvePaths.cpp).

namespace lmx::cpu {

//! Puts the morphology and convolution traversals in place; called from installFastPaths.
void installFilterPaths();

//! Puts the convolution traversals in place (ConvolvePaths.cpp).
void installConvolvePaths();

//! Lets the convolution use 512-bit vectors where the processor has them (the default there);
//! returns the previous setting. Tests run both widths.
bool useWideFilterStrips(bool wide);

//! The taps of d_kernel as this backend holds them (defined beside d_kernel in Module.cpp).
const float* filterTaps();

}  // namespace lmx::cpu
