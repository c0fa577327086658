#pragma once
//! \file
//! Scaling by interpolation and the affine warp that reads outside the image through a border.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixBorderFilters.h>
#include <lumerix/LumerixImage.h>

//! How scale() computes a result pixel from the source pixels around its centre.
enum class LumerixInterpolation {
    Nearest,  //!< the source pixel whose area holds the centre (a boundary goes to the lower)
    Linear,   //!< bilinear over the 2 x 2 pixels around the centre, edge pixels repeated
    Cubic,    //!< bicubic (a = -0.75) over the 4 x 4 pixels around the centre, edges repeated
    Area,     //!< shrinking: the mean of the covered area; growing: linear by covered fractions
};

//! The image resampled to width x height pixels, pixel centres at half-integers (result pixel x
//! covers source [x s, (x + 1) s) with s = W / width), so that results agree with OpenCV's
//! cv::resize (INTER_NEAREST_EXACT, INTER_LINEAR, INTER_CUBIC, INTER_AREA). Every plane of the
//! image is scaled the same way; the result has extents (width, height, Dim(2), Dim(3)). Throws
//! std::invalid_argument for a width or height below 1, an unknown method, or an image without
//! pixels.
LMX_API Lumerix scale(Lumerix& image, int width, int height,
                      LumerixInterpolation method = LumerixInterpolation::Linear);
//! The same for a temporary image, such as another operation's result.
inline Lumerix scale(Lumerix&& image, int width, int height,
                     LumerixInterpolation method = LumerixInterpolation::Linear) {
    return scale(image, width, height, method);
}

//! The affine warp of the first W x H plane: result (x, y) samples source position
//! (m[0] x + m[1] y + m[2], m[3] x + m[4] y + m[5]) bilinearly from the pixels at the floor of the
//! position and one further, those outside the image read through the border (Constant reads
//! cval). Where all four lie inside it equals affine(image, m); a non-finite position gives NaN.
//! The result has the image's extents, planes beyond the first 0. Throws std::invalid_argument
//! for a null m or an unknown border.
LMX_API Lumerix affine(Lumerix& image, const float* m, LumerixBorder border, float cval = 0.0f);
//! The same for a temporary image, such as another operation's result.
inline Lumerix affine(Lumerix&& image, const float* m, LumerixBorder border, float cval = 0.0f) {
    return affine(image, m, border, cval);
}
