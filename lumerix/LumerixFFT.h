#pragma once
//! \file
//! Forward and inverse two-dimensional discrete Fourier transforms.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! The unnormalised 2-D transform of a real W x H image: re and im are replaced by new W x H
//! images holding the real and imaginary parts of sum f(x, y) e^(-2 pi i (ux / W + vy / H)) at
//! u + v W (zero frequency at (0, 0), no quadrant shift). Throws std::invalid_argument when the
//! image has more than two dimensions or re or im is the image itself, "Invalid state" when re
//! or im is locked, std::overflow_error for more than 2^30 - 1 pixels, and "Out of memory" when
//! the transform cannot be planned; re and im are left as they were when it throws.
LMX_API void fft(Lumerix& image, Lumerix& re, Lumerix& im);

//! The real part of the unnormalised inverse transform of re + i im (no 1 / N factor), as a new
//! image of re's extents. Throws "Image sizes do not match" when im's extents differ from re's,
//! std::invalid_argument for more than two dimensions, std::overflow_error and "Out of memory"
//! as fft does.
LMX_API Lumerix ifft(Lumerix& re, Lumerix& im);

//! Keeps the FFT's plans between runs of a program. The CPU backend measures its FFTW plans the
//! first time it transforms a size (tenths of a second); with a file named here it reads the
//! plans kept in it now and, after each plan it had to measure, writes them all back (whole: a
//! temporary file beside it renamed into place), so the next run makes the same plans at once.
//! A missing, damaged or foreign file (another FFTW version or precision) is ignored and
//! replaced at the next measured plan; a file that cannot be written is left as it was. Returns
//! true when plans were read from the file. On the cuda backend it does nothing and returns
//! false.
LMX_API bool fftKeepPlans(const char* path);
