// Scaling by each interpolation against double-precision references written here, with a few
// fixed results of OpenCV's cv::resize and cv::warpAffine (WARP_INVERSE_MAP) for the
// conventions; the affine warp with each border against a reference and the warp without one.

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

using lmxtest::pixels;
using Method = LumerixInterpolation;

namespace {

using Src = std::function<double(int, int)>;  // source pixel (x, y), edges already resolved

int clampTo(int i, int n) {
    return std::min(std::max(i, 0), n - 1);
}

// Cubic weight of Keys' kernel with a = -0.75 at distance t.
double keys(double t) {
    const double a = -0.75;
    t = std::fabs(t);
    if (t <= 1) return ((a + 2) * t - (a + 3)) * t * t + 1;
    if (t < 2) return ((a * t - 5 * a) * t + 8 * a) * t - 4 * a;
    return 0;
}

// One axis: the source pixels and weights that result pixel d of dn reads from n pixels. A
// nearest centre that falls exactly on a boundary goes to the lower pixel, or with `upper` to
// the upper one (OpenCV's fixed-point steps go either way there). `grow` takes area's taps for
// growing along an axis that shrinks (as where the other axis grows).
std::vector<std::pair<int, double>> taps(Method m, int d, int dn, int n, bool upper = false,
                                         bool grow = false) {
    const double s = static_cast<double>(n) / dn;
    const double pos = (d + 0.5) * s - 0.5;
    const int i = static_cast<int>(std::floor(pos));
    const double f = pos - i;
    switch (m) {
        case Method::Nearest: {
            // The pixel holding the centre; a centre on a boundary goes to the lower pixel.
            const long long t = (2LL * d + 1) * n;
            const long long i0 = upper ? t / (2LL * dn) : (t + 2LL * dn - 1) / (2LL * dn) - 1;
            return {{clampTo(static_cast<int>(i0), n), 1.0}};
        }
        case Method::Linear:
            if (i < 0) return {{0, 1.0}};
            if (i >= n - 1) return {{n - 1, 1.0}};
            return {{i, 1 - f}, {i + 1, f}};
        case Method::Cubic: {
            std::vector<std::pair<int, double>> out;
            for (int k = -1; k <= 2; ++k) out.push_back({clampTo(i + k, n), keys(k - f)});
            return out;
        }
        case Method::Area: {
            if (n < dn || grow) {
                // Growing: the next pixel weighs the part of the result pixel that it covers.
                const int j = static_cast<int>(std::floor(d * s));
                double g = (d + 1) - (j + 1) * (static_cast<double>(dn) / n);
                g = g <= 0 ? 0 : g - std::floor(g);
                if (j >= n - 1) return {{n - 1, 1.0}};
                return {{j, 1 - g}, {j + 1, g}};
            }
            // Shrinking: each pixel weighs its overlap with [d s, (d + 1) s), over the total.
            const double from = d * s, to = std::min(from + s, static_cast<double>(n));
            std::vector<std::pair<int, double>> out;
            for (int k = static_cast<int>(from); k < n && k < to; ++k) {
                const double overlap = std::min<double>(k + 1, to) - std::max<double>(k, from);
                if (overlap > 0) out.push_back({k, overlap / (to - from)});
            }
            return out;
        }
    }
    return {};
}

std::vector<float> reference(const std::vector<float>& src, int sw, int sh, int w, int h, Method m,
                             int upper = 0) {
    // Area shrinks only where both axes shrink; otherwise both axes take the growing taps.
    const bool grow = sw < w || sh < h;
    std::vector<float> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sum = 0;
            for (const auto& [v, wy] : taps(m, y, h, sh, upper & 2, grow)) {
                for (const auto& [u, wx] : taps(m, x, w, sw, upper & 1, grow))
                    sum += wy * wx * src[std::size_t(v) * sw + u];
            }
            out.push_back(static_cast<float>(sum));
        }
    return out;
}

::testing::AssertionResult near(const std::vector<float>& got, const std::vector<float>& want,
                                double tol) {
    if (got.size() != want.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!(std::fabs(got[i] - want[i]) <= tol))
            return ::testing::AssertionFailure()
                   << "pixel " << i << ": " << got[i] << ", want " << want[i];
    return ::testing::AssertionSuccess();
}

const char* nameOf(Method m) {
    const char* names[] = {"nearest", "linear", "cubic", "area"};
    return names[static_cast<int>(m)];
}

const std::vector<float> kFixed = {1, 4, 2, 8, 0, 5, 3, -2, 7, 1, 6, 9};  // 4 x 3

}  // namespace

TEST(Scale, FixedResultsOfOpenCvsResize) {
    struct Case {
        int w, h;
        Method m;
        std::vector<float> want;
    };
    const Case cases[] = {
        {7, 5, Method::Nearest, {1, 1,  4,  4, 2, 8, 8, 1, 1, 4, 4, 2, 8, 8, 0, 0, 5, 5,
                                 3, -2, -2, 7, 7, 1, 1, 6, 9, 9, 7, 7, 1, 1, 6, 9, 9}},
        {7, 5, Method::Linear, {1,    2.071429f, 3.785714f, 3,    2.428571f, 5.857142f,   8,
                                0.6f, 1.957143f, 4.128572f, 3.4f, 2.514286f, 3.428571f,   4,
                                0,    1.785714f, 4.642857f, 4,    2.642857f, -0.2142854f, -2,
                                4.2f, 3.628572f, 2.714286f, 3.7f, 4.785715f, 4.671429f,   4.6f,
                                7,    4.857143f, 1.428572f, 3.5f, 6.214286f, 7.928571f,   9}},
        {7, 5, Method::Cubic, {0.8174015f, 2.175803f, 3.835721f,   2.505749f, 2.215332f,
                               6.43272f,   9.660075f, -0.3452192f, 1.818506f, 4.530303f,
                               3.743875f,  2.122477f, 2.78011f,    3.442694f, -0.4960808f,
                               1.826712f,  4.806304f, 4.9375f,     2.621536f, -0.4192787f,
                               -2.496082f, 4.369557f, 3.530439f,   2.609356f, 3.701125f,
                               4.962238f,  4.457768f, 3.923102f,   8.372069f, 4.918899f,
                               0.7577152f, 2.43725f,  6.765591f,   9.120894f, 10.42985f}},
        {7, 5, Method::Area, {1,         1.75f,      4,         3,         2,         6.5f,
                              8,         0.6666666f, 1.583333f, 4.333333f, 3.333333f, 2.333333f,
                              4.083333f, 4.666667f,  0,         1.25f,     5,         4,
                              3,         -0.75f,     -2,        4.666667f, 4.083333f, 2.333333f,
                              3.666667f, 5,          5.25f,     5.333333f, 7,         5.5f,
                              1,         3.5f,       6,         8.25f,     9}},
        {3, 2, Method::Nearest, {1, 4, 8, 7, 1, 9}},
        {3, 2, Method::Linear, {1.333333f, 3.25f, 4.958333f, 4.708333f, 3.625f, 6.083333f}},
        {3, 2, Method::Cubic, {1.117427f, 3.301636f, 4.845591f, 4.826289f, 3.251099f, 6.100596f}},
        {3, 2, Method::Area, {1.583333f, 3.333333f, 4.083333f, 4.083333f, 3.666667f, 5.25f}},
        {2, 1, Method::Nearest, {0, 3}},
        {2, 1, Method::Linear, {2.5f, 0.5f}},
        {2, 1, Method::Cubic, {2.6875f, 0.3125f}},
        {2, 1, Method::Area, {3, 4.333333f}},
    };
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(4, 3), kFixed);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " + nameOf(c.m));
        Lumerix r = scale(src, c.w, c.h, c.m);
        EXPECT_EQ(r.GetDimensions(), cmm::cmmDims(c.w, c.h));
        EXPECT_TRUE(near(pixels(r), c.want, 1e-5 * 11));
        EXPECT_TRUE(near(reference(kFixed, 4, 3, c.w, c.h, c.m), c.want, 1e-5 * 11));
    }
}

TEST(Scale, EveryMethodMatchesItsReferenceUpAndDown) {
    const int sizes[][4] = {{1, 1, 5, 3},     {5, 3, 1, 1},     {17, 13, 5, 4},  {10, 7, 70, 49},
                            {16, 12, 24, 18}, {33, 20, 11, 10}, {9, 1, 27, 1},   {1, 9, 1, 3},
                            {64, 48, 32, 24}, {13, 11, 29, 5},  {40, 30, 12, 9}, {7, 7, 23, 17}};
    unsigned seed = 21;
    for (const auto& s : sizes) {
        const std::vector<float> v = lmxtest::randomValues(std::size_t(s[0]) * s[1], 0, 1, seed++);
        Lumerix src = lmxtest::imageOf(cmm::cmmDims(s[0], s[1]), v);
        for (Method m : {Method::Nearest, Method::Linear, Method::Cubic, Method::Area}) {
            SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + " to " +
                         std::to_string(s[2]) + "x" + std::to_string(s[3]) + " " + nameOf(m));
            const std::vector<float> got = pixels(scale(src, s[2], s[3], m));
            if (m == Method::Nearest) {
                // Selected pixels: the lower or the upper choice at a boundary, on either axis.
                std::vector<std::vector<float>> choices;
                for (int upper = 0; upper < 4; ++upper)
                    choices.push_back(reference(v, s[0], s[1], s[2], s[3], m, upper));
                for (std::size_t i = 0; i < got.size(); ++i)
                    EXPECT_TRUE(std::any_of(choices.begin(), choices.end(), [&](const auto& c) {
                        return c[i] == got[i];
                    })) << i;
            } else {
                EXPECT_TRUE(near(got, reference(v, s[0], s[1], s[2], s[3], m), 1e-4));
            }
        }
    }
}

TEST(Scale, FurtherPlanesAreScaledLikeTheFirst) {
    const std::vector<float> v = lmxtest::randomValues(6 * 5 * 3, -1, 1, 5);
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(6, 5, 3), v);
    const std::vector<float> got = pixels(scale(src, 4, 9, Method::Cubic));
    ASSERT_EQ(got.size(), 4u * 9 * 3);
    for (int p = 0; p < 3; ++p) {
        const std::vector<float> plane(v.begin() + p * 30, v.begin() + (p + 1) * 30);
        const std::vector<float> part(got.begin() + p * 36, got.begin() + (p + 1) * 36);
        EXPECT_TRUE(near(part, reference(plane, 6, 5, 4, 9, Method::Cubic), 2e-4)) << p;
    }
}

TEST(Scale, SizesBelowOneAreRefused) {
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(4, 3), kFixed);
    for (const auto& s : {std::pair{0, 3}, std::pair{3, 0}, std::pair{-2, 5}})
        EXPECT_THROW(scale(src, s.first, s.second), std::invalid_argument);
    Lumerix empty;
    EXPECT_THROW(scale(empty, 2, 2), std::invalid_argument);
}

namespace {

// Index of p on an axis of n pixels under a border, -1 for a constant.
int borderIndex(LumerixBorder b, int p, int n) {
    if (p >= 0 && p < n) return p;
    switch (b) {
        case LumerixBorder::Constant:
            return -1;
        case LumerixBorder::Nearest:
            return p < 0 ? 0 : n - 1;
        case LumerixBorder::Wrap:
            return ((p % n) + n) % n;
        case LumerixBorder::Reflect:  // ... 1 0 | 0 1 ... n-1 | n-1 n-2 ...
            while (p < 0 || p >= n) p = p < 0 ? -p - 1 : 2 * n - p - 1;
            return p;
        case LumerixBorder::Mirror:  // ... 2 1 | 0 1 ... n-1 | n-2 ...
            if (n == 1) return 0;
            while (p < 0 || p >= n) p = p < 0 ? -p : 2 * n - p - 2;
            return p;
    }
    return -1;
}

std::vector<float> warpReference(const std::vector<float>& src, int w, int h, const float* m,
                                 LumerixBorder b, float cval) {
    std::vector<float> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double xs = double(m[0]) * x + double(m[1]) * y + m[2];
            const double ys = double(m[3]) * x + double(m[4]) * y + m[5];
            const int x0 = static_cast<int>(std::floor(xs)), y0 = static_cast<int>(std::floor(ys));
            double sum = 0;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) {
                    const int u = borderIndex(b, x0 + i, w), v = borderIndex(b, y0 + j, h);
                    const double p = u < 0 || v < 0 ? cval : src[std::size_t(v) * w + u];
                    sum += (i ? xs - x0 : 1 - (xs - x0)) * (j ? ys - y0 : 1 - (ys - y0)) * p;
                }
            out.push_back(static_cast<float>(sum));
        }
    return out;
}

const LumerixBorder kBorders[] = {LumerixBorder::Reflect, LumerixBorder::Nearest,
                                  LumerixBorder::Mirror, LumerixBorder::Constant,
                                  LumerixBorder::Wrap};

}  // namespace

TEST(AffineBorder, FixedResultsOfOpenCvsWarpAffine) {
    // Coefficients on OpenCV's 1/32 grid, where its fixed-point weights are exact.
    const float m[6] = {0.75f, 0.25f, -1.5f, -0.5f, 1.0f, 0.5f};
    const std::vector<float> want[] = {
        {2.5f, 1, 1, 3.25f, 3.375f, 0, 1.5f, 4, 7, 7, 3.25f, 4.5f},
        {0.5f, 1, 1, 3.25f, 3.5f, 0, 1.5f, 4, 7, 7, 3.25f, 4.5f},
        {3.5f, 3.25f, 0.5f, 3.75f, 3.375f, 2.5f, 1.5f, 4, 3, 5.5f, 3.25f, 4.5f},
        {2.5f, 2.125f, 1.75f, 2.5f, 2.5f, 1.25f, 1.5f, 4, 2.5f, 5.875f, 3.25f, 4.5f},
        {2.75f, 6.25f, 4, 2.5f, 3.75f, -1, 1.5f, 4, 8.5f, 7.5f, 3.25f, 4.5f}};
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(4, 3), kFixed);
    for (int b = 0; b < 5; ++b) {
        SCOPED_TRACE(b);
        EXPECT_TRUE(near(pixels(affine(src, m, kBorders[b], 2.5f)), want[b], 1e-5));
    }
}

TEST(AffineBorder, RotationsAndZoomsMatchTheReferenceForEveryBorder) {
    const float mats[][6] = {{0.8f, -0.6f, 5.0f, 0.6f, 0.8f, -3.0f},
                             {2.5f, 0.0f, -7.0f, 0.0f, 2.5f, -9.0f},
                             {0.3f, 0.1f, 1.0f, -0.2f, 0.4f, 2.0f},
                             {1.0f, 0.0f, 0.5f, 0.0f, 1.0f, -0.25f}};
    const int sizes[][2] = {{1, 1}, {1, 7}, {9, 1}, {17, 13}, {20, 31}};
    unsigned seed = 40;
    for (const auto& s : sizes) {
        const std::vector<float> v = lmxtest::randomValues(std::size_t(s[0]) * s[1], 0, 1, seed++);
        Lumerix src = lmxtest::imageOf(cmm::cmmDims(s[0], s[1]), v);
        for (const auto& m : mats)
            for (LumerixBorder b : kBorders) {
                SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + " border " +
                             std::to_string(static_cast<int>(b)) + " m " + std::to_string(m[0]));
                EXPECT_TRUE(near(pixels(affine(src, m, b, -1.5f)),
                                 warpReference(v, s[0], s[1], m, b, -1.5f), 2e-5));
            }
    }
}

TEST(AffineBorder, InsideTheImageItIsTheWarpWithoutABorder) {
    const int w = 23, h = 19;
    const std::vector<float> v = lmxtest::randomValues(std::size_t(w) * h, -2, 2, 9);
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(w, h), v);
    float m[6] = {0.9f, 0.2f, 1.3f, -0.15f, 1.1f, 2.7f};
    const std::vector<float> plain = pixels(affine(src, m));
    const std::vector<float> bordered = pixels(affine(src, m, LumerixBorder::Constant, 1e9f));
    int inside = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float xs = m[0] * x + m[1] * y + m[2], ys = m[3] * x + m[4] * y + m[5];
            if (!(xs >= 0 && xs < w - 1 && ys >= 0 && ys < h - 1)) continue;
            ++inside;
            EXPECT_EQ(bordered[std::size_t(y) * w + x], plain[std::size_t(y) * w + x]) << x << y;
        }
    EXPECT_GT(inside, w * h / 3);
}

TEST(AffineBorder, NonFinitePositionsGiveNaNAndBadArgumentsAreRefused) {
    Lumerix src = lmxtest::imageOf(cmm::cmmDims(4, 3), kFixed);
    const float m[6] = {lmxtest::kInf, 0, 0, 0, 1, 0};
    for (float p : pixels(affine(src, m, LumerixBorder::Nearest))) EXPECT_TRUE(std::isnan(p));
    EXPECT_THROW(affine(src, nullptr, LumerixBorder::Wrap), std::invalid_argument);
    const float id[6] = {1, 0, 0, 0, 1, 0};
    EXPECT_THROW(affine(src, id, static_cast<LumerixBorder>(9)), std::invalid_argument);
    EXPECT_TRUE(lmxtest::sameFloats(pixels(affine(src, id, LumerixBorder::Constant)), kFixed));
}
