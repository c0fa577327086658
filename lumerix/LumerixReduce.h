#pragma once
//! \file
//! Reductions over all pixels of an image.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! Reductions over all pixels. An image without pixels gives 0 for sum and NaN for the others.
//! fmin and fmax ignore NaN pixels, as fminf and fmaxf do: the result is NaN only when every
//! pixel is NaN, wherever the NaN pixels are.
//!@{
LMX_API float sum(Lumerix& image);
LMX_API float fmin(Lumerix& image);
LMX_API float fmax(Lumerix& image);
LMX_API float mean(Lumerix& image);
//!@}
//! Population variance (divides by the pixel count).
LMX_API float var(Lumerix& image);
// clang-format off
//! The same for a temporary image, such as another operation's result.
//!@{
inline float sum(Lumerix&& image) { return sum(image); }
inline float fmin(Lumerix&& image) { return fmin(image); }
inline float fmax(Lumerix&& image) { return fmax(image); }
inline float mean(Lumerix&& image) { return mean(image); }
inline float var(Lumerix&& image) { return var(image); }
//!@}
// clang-format on
