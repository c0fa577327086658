#pragma once
// Tables of taps of the Gaussian filters, built on the host and handed to convolve.

#include <lumerix/LumerixNeighborhood.h>

namespace lmx {

enum class GaussKind {
    Smooth,  //!< the Gaussian itself; taps sum to 1
    DerivX,  //!< its first derivative along x (dimension 0); absolute taps sum to 1
    DerivY,  //!< along y (dimension 1)
};

struct GaussTaps {
    int radius = 0;                    //!< 1 to 7; the table is (2 radius + 1) x (2 radius + 1)
    float sum = 0.0f;                  //!< the normalising sum S before the division
    float taps[kLumerixMaxTaps] = {};  //!< row offset i outer, column offset j inner, normalised
};

//! The radius of a sigma: 2 sigma in float, raised to 1 (NaN too), lowered to 7, truncated.
int gaussRadius(float sigma);

//! The normalised table of a sigma. Throws std::invalid_argument naming `operation` and sigma
//! when the table has no finite normalisation: sigma of 0 or NaN, or a normalising sum of 0 or
//! not finite (a derivative of sigma infinity, or of a sigma so small that every weight off the
//! centre underflows). A negative sigma gives the weights of its absolute value at radius 1.
GaussTaps gaussTaps(float sigma, GaussKind kind, const char* operation);

}  // namespace lmx
