#pragma once
//! \file
//! The 256-bin histogram.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! Counts the pixels in 256 bins by their saturating 8-bit value (fraction truncated; negative
//! and NaN pixels in bin 0, pixels of 255 and above in bin 255). Writes result[0..255].
LMX_API void histogram256(Lumerix& img, unsigned int* result);
//! The same for a temporary image, such as another operation's result.
inline void histogram256(Lumerix&& img, unsigned int* result) {
    histogram256(img, result);
}
