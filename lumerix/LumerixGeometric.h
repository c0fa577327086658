#pragma once
//! \file
//! Geometric operations: sub-pixel window, coordinate images, affine warp and canvas change.
//! The circular shift and the crop are members of Lumerix (operator()). Each operation samples
//! the first W x H plane of its source; results without pixels are returned without device work.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! A w x h window whose pixel (i, j) samples the source bilinearly at (i + x, j + y): the pixels
//! at the floor of the position and one further, columns and rows wrapped modulo the source's
//! size for any origin (the window continues from the opposite edge). Integer origins give the
//! same pixels as the crop. Throws std::invalid_argument for a non-finite origin or a negative
//! size; a zero size or a source without pixels gives an image without pixels.
LMX_API Lumerix slice(Lumerix& image, float x, float y, int w, int h);
//! The same for a temporary image, such as another operation's result.
inline Lumerix slice(Lumerix&& image, float x, float y, int w, int h) {
    return slice(image, x, y, w, h);
}

//! Images of the source's extents whose pixel (x, y) holds x (xx) or y (yy), counted from 0;
//! only the source's extents are used. Planes beyond the first are 0.
//!@{
LMX_API Lumerix xx(Lumerix& image);
LMX_API Lumerix yy(Lumerix& image);
//!@}
//! The same for a temporary image, such as another operation's result.
inline Lumerix xx(Lumerix&& image) {
    return xx(image);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix yy(Lumerix&& image) {
    return yy(image);
}

//! The source warped by the coefficients, which map result positions to source positions:
//! result (x, y) samples (a x + b y + c, d x + e y + f) from the 2 x 2 neighbourhood whose corner
//! is the position's integer part clamped to [0, W - 2] x [0, H - 2], with weights measured from
//! that corner; outside the image the nearest neighbourhood is extrapolated, never a constant.
//! The identity reproduces every pixel; an axis of one pixel uses its only column or row; a
//! non-finite position gives NaN. The result has the source's extents, planes beyond the first 0.
LMX_API Lumerix affine(Lumerix& image, float a, float b, float c, float d, float e, float f);
//! The same with the six coefficients m[0] ... m[5] in that order.
LMX_API Lumerix affine(Lumerix& image, float* m);
//! The same for a temporary image, such as another operation's result.
inline Lumerix affine(Lumerix&& image, float a, float b, float c, float d, float e, float f) {
    return affine(image, a, b, c, d, e, f);
}
//! The same for a temporary image, such as another operation's result.
inline Lumerix affine(Lumerix&& image, float* m) {
    return affine(image, m);
}

//! A new canvas of extents dims with source pixel (0, 0) at position (a, b): what falls outside
//! the canvas is cut off, the rest of the canvas is 0 (planes beyond the first too). No scaling.
//! Throws std::invalid_argument for a negative extent.
LMX_API Lumerix resize(Lumerix& image, const cmm::cmmDims& dims, int a, int b);
//! The same for a temporary image, such as another operation's result.
inline Lumerix resize(Lumerix&& image, const cmm::cmmDims& dims, int a, int b) {
    return resize(image, dims, a, b);
}
