#pragma once
// The histogram's counting on a grid sized to the device (host side; the kernels are
// histogram256GridKernel and mergeHistogram256GridKernel).

namespace lmx {

//! Blocks of the counting grid for n 8-bit pixels: as many as the current device runs at once
//! (its multiprocessors times the counting kernel's blocks per multiprocessor), but no more than
//! give each thread one 16-byte load, and at least one. The device's figure is asked once per
//! device; where the query fails, the 64 blocks of the fixed shape.
int histogramGrid(int n);

//! Counts the n 8-bit pixels at `bytes` (device memory, word-aligned) on histogramGrid(n) blocks
//! into partial histograms from the chunk allocator and merges them into the 256 counters at
//! `result` (device memory). Failures are fatal, as for every checked call of the histogram.
void countBytesOnGrid(unsigned char* bytes, int n, unsigned int* result);

}  // namespace lmx
