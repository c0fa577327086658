#pragma once
//! \file
//! Pixel-wise operations and channel merge and split (the reductions are in LumerixReduce.h,
//! which this header includes).

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>
#include <lumerix/LumerixReduce.h>

// Each operation comes as image-image, image-scalar and scalar-image. Comparisons and logical
// operations give 1.0 where they hold and 0.0 elsewhere; a pixel is true when it is not 0.0.
// Bitwise operations work on the pixels truncated to 32-bit integers. Image-image forms throw
// "Image sizes do not match" when the extents or the element counts differ. An image without
// pixels gives an image without pixels of the same extents. The rvalue overloads let results of
// other operations be used directly, as in (a + b) * c.
// clang-format off
//! Declares the binary operation op in every form (used below, then undefined).
#define LMX_DECLARE_BINARY(op)                                                         \
    LMX_API Lumerix op(Lumerix& a, Lumerix& b);                                        \
    LMX_API Lumerix op(Lumerix& a, const float& s);                                    \
    LMX_API Lumerix op(const float& s, Lumerix& a);                                    \
    inline Lumerix op(Lumerix&& a, Lumerix& b) { return op(a, b); }                    \
    inline Lumerix op(Lumerix& a, Lumerix&& b) { return op(a, b); }                    \
    inline Lumerix op(Lumerix&& a, Lumerix&& b) { return op(a, b); }                   \
    inline Lumerix op(Lumerix&& a, const float& s) { return op(a, s); }                \
    inline Lumerix op(const float& s, Lumerix&& a) { return op(s, a); }
// clang-format on

//! Binary pixel-wise operations: arithmetic, comparisons, logical and bitwise operators, fmax
//! and fmin, each as image-image, image-scalar and scalar-image, with forms for temporaries.
//!@{
LMX_DECLARE_BINARY(operator+)
LMX_DECLARE_BINARY(operator-)
LMX_DECLARE_BINARY(operator*)
LMX_DECLARE_BINARY(operator/)
LMX_DECLARE_BINARY(operator>)
LMX_DECLARE_BINARY(operator>=)
LMX_DECLARE_BINARY(operator<)
LMX_DECLARE_BINARY(operator<=)
LMX_DECLARE_BINARY(operator==)
LMX_DECLARE_BINARY(operator&&)
LMX_DECLARE_BINARY(operator||)
LMX_DECLARE_BINARY(operator&)
LMX_DECLARE_BINARY(operator|)
LMX_DECLARE_BINARY(operator^)
LMX_DECLARE_BINARY(fmax)
LMX_DECLARE_BINARY(fmin)
//!@}

#undef LMX_DECLARE_BINARY

// clang-format off
//! Declares the unary operation op in both forms (used below, then undefined).
#define LMX_DECLARE_UNARY(op)             \
    LMX_API Lumerix op(Lumerix& a);       \
    inline Lumerix op(Lumerix&& a) { return op(a); }
// clang-format on

//! Unary pixel-wise operations: square root, natural logarithm, absolute value, logical not.
//!@{
LMX_DECLARE_UNARY(sqrt)
LMX_DECLARE_UNARY(log)
LMX_DECLARE_UNARY(abs)
LMX_DECLARE_UNARY(operator!)
//!@}

#undef LMX_DECLARE_UNARY

//! Interleaves three equally sized channels: value 3i + k of the result is pixel i of channel k.
//! Extents (d0, d1, d2, 1) give (d0, d1, 3 * d2, 1); channels without pixels give an image
//! without pixels. Throws "Image sizes do not match" when extents or element counts differ,
//! std::overflow_error when 3 * d2 does not fit an int.
LMX_API Lumerix merge3(Lumerix& c0, Lumerix& c1, Lumerix& c2);
//! Replaces c0, c1 and c2 by the three channels of an interleaved image. Any of them may be the
//! merged image itself; on an exception all three are left as they were.
LMX_API void split3(Lumerix& merged, Lumerix& c0, Lumerix& c1, Lumerix& c2);
