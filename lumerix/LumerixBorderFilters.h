#pragma once
//! \file
//! Filters with a chosen border: correlation with any table of taps, the Gaussian of any sigma,
//! the median. Each works on the first W x H plane (dimension 0 by dimension 1) and returns a
//! new image of the input's extents whose further planes are 0; an image without pixels gives
//! an image without pixels.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! How a filter reads positions outside the image, by the names of scipy.ndimage's modes. Every
//! rule holds for any offset and any image down to 1 x 1.
enum class LumerixBorder {
    Reflect,   //!< mirrored with the edge pixel repeated (-1 reads 0), as convolve's border
    Nearest,   //!< the edge pixel repeated
    Mirror,    //!< mirrored about the edge pixel (-1 reads 1); a 1-pixel side reads its pixel
    Constant,  //!< a constant value (cval)
    Wrap,      //!< periodic: -1 reads the last pixel
};

//! Correlation with a (2 xradius + 1) x (2 yradius + 1) table of taps laid out as convolve's
//! (row after row, not flipped), any radii, under the chosen border; Constant reads cval. Each
//! result pixel is accumulated as convolve accumulates (fused multiply-adds from 0, dy outer,
//! dx inner), so Reflect with at most 225 taps gives convolve's result to the bit. Throws
//! std::invalid_argument for negative radii, an unknown border, or a table of more than 2^31
//! taps.
LMX_API Lumerix correlate(Lumerix& image, const float* taps, int xradius, int yradius,
                          LumerixBorder border = LumerixBorder::Reflect, float cval = 0.0f);

//! Gaussian smoothing as a pass along rows, then one along columns, each with the 2r + 1 taps
//! exp(-x^2 / 2 sigma^2) normalised to sum 1, r = int(truncate sigma + 0.5) without an upper
//! limit (scipy.ndimage.gaussian_filter's table); Constant reads 0 in both passes. Throws
//! std::invalid_argument for a sigma that is not above 0 or not finite, a truncate that is
//! negative or not finite, a radius above 2^24, or an unknown border.
LMX_API Lumerix gaussian(Lumerix& image, float sigma, LumerixBorder border = LumerixBorder::Reflect,
                         float truncate = 4.0f);

//! The median of the (2 xradius + 1) x (2 yradius + 1) window around each pixel, of at most 225
//! pixels (15 x 15, 45 x 5, ...); Constant reads 0. Pixels are ordered with -0 below +0 and every
//! NaN above +inf; a median that falls on a NaN is the quiet NaN. Throws std::invalid_argument
//! for negative radii, a larger window, or an unknown border.
LMX_API Lumerix median(Lumerix& image, int xradius, int yradius,
                       LumerixBorder border = LumerixBorder::Reflect);

//! The same for a temporary image, such as another operation's result.
inline Lumerix correlate(Lumerix&& image, const float* taps, int xradius, int yradius,
                         LumerixBorder border = LumerixBorder::Reflect, float cval = 0.0f) {
    return correlate(image, taps, xradius, yradius, border, cval);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix gaussian(Lumerix&& image, float sigma, LumerixBorder border = LumerixBorder::Reflect,
                        float truncate = 4.0f) {
    return gaussian(image, sigma, border, truncate);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix median(Lumerix&& image, int xradius, int yradius,
                      LumerixBorder border = LumerixBorder::Reflect) {
    return median(image, xradius, yradius, border);
}
