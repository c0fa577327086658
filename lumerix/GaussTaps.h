#pragma once
// Tables of taps of the Gaussian filters, built on the host and handed to convolve.

#include <vector>

namespace lmx {

enum class GaussKind {
    Smooth,  //!< the Gaussian itself; taps sum to 1
    DerivX,  //!< its first derivative along x (dimension 0); absolute taps sum to 1
    DerivY,  //!< along y (dimension 1)
};

struct GaussTaps {
    int radius = 0;        //!< 1 to 7; the table is (2 radius + 1) x (2 radius + 1)
    float sum = 0.0f;      //!< the normalising sum S before the division
    float taps[225] = {};  //!< row offset i outer, column offset j inner, normalised
};

//! The radius of a sigma: 2 sigma in float, raised to 1 (NaN too), lowered to 7, truncated.
int gaussRadius(float sigma);

//! The normalised table of a sigma. Throws std::invalid_argument naming `operation` and sigma
//! when the table has no finite normalisation: sigma of 0 or NaN, or a normalising sum of 0 or
//! not finite (a derivative of sigma infinity, or of a sigma so small that every weight off the
//! centre underflows). A negative sigma gives the weights of its absolute value at radius 1.
GaussTaps gaussTaps(float sigma, GaussKind kind, const char* operation);

//! The radius of gaussian's one-dimensional table: int(truncate sigma + 0.5) in double, or
//! most + 1 for any radius above most (sigma and truncate are finite and not negative).
long long gaussianRadius(float sigma, float truncate, long long most);

//! gaussian's one-dimensional table of radius r: exp(-0.5 x^2 / sigma^2) for x = -r .. r in
//! double, normalised to sum 1, each tap then rounded to float. sigma is above 0 and finite.
std::vector<float> gaussianLine(float sigma, int radius);

}  // namespace lmx
