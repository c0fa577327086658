#pragma once
//! \file
//! Neighbourhood filters: iterated erosion and dilation, convolution, Gaussian filters.
//!
//! Each works on the first W x H plane (dimension 0 by dimension 1) and returns a new image of
//! the input's extents; where the input has further planes (a third or fourth extent above 1)
//! those planes of the result are 0. An image without pixels gives an image without pixels.
//!
//! Borders: a neighbour position outside the image is mirrored back into it with the edge pixel
//! repeated, the same way at both ends and in x and y alike: position -1 reads index 0, -2 reads
//! 1 (-p - 1 for -p), position W reads W - 1 (2W - p - 1 for p), folded again until it lies inside
//! for windows larger than the image. No pixel outside the image is read or taken as 0.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! The most taps a convolution table may have: the device's constant table holds 225 (15 x 15,
//! 45 x 5, 225 x 1, ...).
constexpr int kLumerixMaxTaps = 225;

//! Grey-value erosion: `iterations` passes, each replacing every pixel by the minimum of its
//! neighbourhood. `shape` chooses the neighbourhood of pass i (counted from 0): 1, the pixel and
//! its four edge neighbours (a cross) in every pass; 2, the 3 x 3 square in every pass; any
//! other value, the cross when i is even and the square when i is odd. `iterations` <= 0 gives a
//! copy of the input. Pixels of +inf and -inf take part like any value; NaN pixels are passed
//! over (a neighbourhood of NaN only gives +inf). A W x H plane is settled after 3 (W + H)
//! passes at most: further passes would change no bit and are not run.
LMX_API Lumerix erosion(Lumerix& image, int iterations, int shape);
//! Grey-value dilation: as erosion, with the maximum (a neighbourhood of NaN only gives -inf).
LMX_API Lumerix dilation(Lumerix& image, int iterations, int shape);

//! Correlation with a (2 xradius + 1) x (2 yradius + 1) table of taps, row after row: the tap of
//! offset (dx, dy) is kernel[(dy + yradius) * (2 xradius + 1) + dx + xradius] and weighs the
//! input pixel at (x + dx, y + dy); the table is not flipped. Each result pixel is accumulated
//! with fused multiply-adds in single precision from 0, dy outer and dx inner, so both backends
//! give the same bits. The taps are uploaded to the device's constant table of kLumerixMaxTaps
//! taps before each call; a larger table ends the process with the upload's error report.
//! Negative radii throw std::invalid_argument before anything is uploaded or allocated.
LMX_API Lumerix convolve(Lumerix& image, float* kernel, int xradius, int yradius);

//! Gaussian smoothing: convolve with the (2R + 1)^2 table of exp(-(i^2 + j^2) / 2 sigma^2),
//! normalised to sum 1. R is 2 sigma truncated, within 1 to 7 (sigma below 1 gives 1, 3.5 and
//! above 7). The result is that of convolve with the same table. A sigma of 0 or NaN, or one
//! whose table has no finite normalisation, throws std::invalid_argument; a negative sigma gives
//! the weights of its absolute value on the 3 x 3 table.
LMX_API Lumerix gauss(Lumerix& image, float sigma);
//! The first derivative of the Gaussian along x: taps -(j / sigma^2) times the weight, their
//! absolute values normalised to sum 1 (positive for negative j, so a ramp growing along x gives
//! negative values). sigma infinity and sigmas too small for any weight off the centre throw.
LMX_API Lumerix gaussx(Lumerix& image, float sigma);
//! The first derivative along y, as gaussx with the roles of x and y exchanged.
LMX_API Lumerix gaussy(Lumerix& image, float sigma);

//! The same for a temporary image, such as another operation's result.
inline Lumerix erosion(Lumerix&& image, int iterations, int shape) {
    return erosion(image, iterations, shape);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix dilation(Lumerix&& image, int iterations, int shape) {
    return dilation(image, iterations, shape);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix convolve(Lumerix&& image, float* kernel, int xradius, int yradius) {
    return convolve(image, kernel, xradius, yradius);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix gauss(Lumerix&& image, float sigma) {
    return gauss(image, sigma);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix gaussx(Lumerix&& image, float sigma) {
    return gaussx(image, sigma);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix gaussy(Lumerix&& image, float sigma) {
    return gaussy(image, sigma);
}
