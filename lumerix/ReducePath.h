#pragma once
// Which kernels the reductions run. A GPU folds the 8192 chains in a chain pass that fills the
// whole device, then joins them in a second pass; the cpu backend streams the one-pass kernels
// through its own traversal, which reads host memory faster. Both give the same bits.

namespace lmx {

//! Makes the reductions take the two-pass kernels (true) or the backend's own choice (false),
//! so that the cpu backend's tests run the GPU's path through the operations.
void setTwoPassReductions(bool on);

//! True when the reductions take the two-pass kernels.
bool twoPassReductions();

}  // namespace lmx
