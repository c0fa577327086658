// Geometric operations against plain loops: shift, crop, sub-pixel window, coordinate images,
// affine warp and canvas change, on plane sizes that are and are not multiples of 16 x 12.

#include "TestSupport.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct Size {
    int w, h;
};
const Size kSizes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {16, 12}, {17, 13}, {3, 40}, {37, 5}};

long long mod(long long p, long long n) {
    return ((p % n) + n) % n;
}

// A reference plane: pixel (x, y) of a w x h image, read from its values.
struct Ref {
    const std::vector<float>& v;
    int w, h;
    float at(long long x, long long y) const { return v[static_cast<std::size_t>(y * w + x)]; }
};

// The pixels of a result of extents dims, computed by a rule per pixel of its first plane;
// planes beyond the first are 0.
std::vector<float> expected(const cmmDims& dims, const std::function<float(int, int)>& rule) {
    std::vector<float> out(static_cast<std::size_t>(dims.Size()), 0.0f);
    for (int y = 0; y < dims.Dim(1); ++y)
        for (int x = 0; x < dims.Dim(0); ++x)
            out[static_cast<std::size_t>(y * dims.Dim(0) + x)] = rule(x, y);
    return out;
}

// The corrected affine rule, written with double-precision integer parts.
float affineRef(const Ref& s, const float m[6], int x, int y) {
    const float xs = m[0] * x + m[1] * y + m[2], ys = m[3] * x + m[4] * y + m[5];
    if (!std::isfinite(xs) || !std::isfinite(ys)) return kNaN;
    auto corner = [](float p, int n) {
        const double t = std::trunc(static_cast<double>(p));
        return n < 2 || t < 0 ? 0 : (t > n - 2 ? n - 2 : static_cast<int>(t));
    };
    const int xc = corner(xs, s.w), yc = corner(ys, s.h);
    const float fx = s.w > 1 ? xs - xc : 0.0f, fy = s.h > 1 ? ys - yc : 0.0f;
    const int x1 = std::min(xc + 1, s.w - 1), y1 = std::min(yc + 1, s.h - 1);
    return (1 - fx) * ((1 - fy) * s.at(xc, yc) + fy * s.at(xc, y1)) +
           fx * ((1 - fy) * s.at(x1, yc) + fy * s.at(x1, y1));
}

// The sub-pixel window in double precision: floor, fraction, full wrap.
double sliceRef(const Ref& s, double x, double y, int i, int j) {
    const double sx = i + x, sy = j + y, xf = std::floor(sx), yf = std::floor(sy);
    const double fx = sx - xf, fy = sy - yf;
    const long long u0 = mod(static_cast<long long>(xf), s.w), u1 = mod(u0 + 1, s.w);
    const long long v0 = mod(static_cast<long long>(yf), s.h), v1 = mod(v0 + 1, s.h);
    return (1 - fx) * ((1 - fy) * s.at(u0, v0) + fy * s.at(u0, v1)) +
           fx * ((1 - fy) * s.at(u1, v0) + fy * s.at(u1, v1));
}

}  // namespace

TEST(Geometry, ShiftAndCropGiveThePublishedExamples) {
    Lumerix row = imageOf(cmmDims(4, 1), {10, 20, 30, 40});
    EXPECT_TRUE(sameFloats(pixels(row(1, 0)), {20, 30, 40, 10}));
    EXPECT_TRUE(sameFloats(pixels(row(-1, 0)), {40, 10, 20, 30}));
    EXPECT_TRUE(sameFloats(pixels(row(4, 0)), pixels(row)));
    Lumerix img = imageOf(cmmDims(6, 4), ramp(24));
    Lumerix window = img(2, 5, 1, 3);
    EXPECT_EQ(window.GetDimensions(), cmmDims(3, 2));
    EXPECT_TRUE(sameFloats(pixels(window), {8, 9, 10, 14, 15, 16}));
    EXPECT_TRUE(sameFloats(pixels(img(0, 6, 0, 4)), ramp(24)));
    EXPECT_TRUE(sameFloats(pixels(slice(img, 2.0f, 1.0f, 3, 2)), pixels(window)));
}

TEST(Geometry, ShiftWrapsAnyOffsetModuloTheSizeAndZeroesFurtherPlanes) {
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> offset(-200, 200);
    for (const Size& s : kSizes) {
        const cmmDims dims(s.w, s.h, 2);
        const std::vector<float> v = randomValues(dims.Size(), -5, 5, s.w * 31 + s.h);
        Lumerix img = imageOf(dims, v);
        const Ref r{v, s.w, s.h};
        for (int k = 0; k < 6; ++k) {
            const int dx = k == 5 ? INT32_MIN : offset(gen), dy = k == 5 ? INT32_MAX : offset(gen);
            Lumerix shifted = img(dx, dy);
            EXPECT_EQ(shifted.GetDimensions(), dims);
            EXPECT_TRUE(sameFloats(pixels(shifted), expected(dims,
                                                             [&](int x, int y) {
                                                                 return r.at(
                                                                     mod(1LL * x + dx, s.w),
                                                                     mod(1LL * y + dy, s.h));
                                                             })))
                << s.w << "x" << s.h << " by " << dx << ", " << dy;
        }
    }
}

TEST(Geometry, CropCopiesWindowsInsideAndRejectsTheOthersBeforeAnyWork) {
    const std::vector<float> v = randomValues(17 * 13 * 2, -1, 1, 9);
    Lumerix img = imageOf(cmmDims(17, 13, 2), v);
    const Ref r{v, 17, 13};
    std::mt19937 gen(5);
    for (int k = 0; k < 20; ++k) {
        int x0 = gen() % 18, x1 = gen() % 18, y0 = gen() % 14, y1 = gen() % 14;
        if (x1 < x0) std::swap(x0, x1);
        if (y1 < y0) std::swap(y0, y1);
        Lumerix c = img(x0, x1, y0, y1);
        const cmmDims want = x1 > x0 && y1 > y0 ? cmmDims(x1 - x0, y1 - y0) : cmmDims();
        ASSERT_EQ(c.GetDimensions(), want);
        EXPECT_EQ(c.GetDimensions().Size(), (x1 - x0) * (y1 - y0));
        if (want.Size()) {
            EXPECT_TRUE(sameFloats(
                pixels(c), expected(want, [&](int x, int y) { return r.at(x + x0, y + y0); })));
        }
    }
    const int rejected[][4] = {{-1, 3, 0, 2}, {0, 18, 0, 2}, {4, 3, 0, 2},
                               {0, 3, -2, 2}, {0, 3, 0, 14}, {0, 3, 5, 4}};
    for (const auto& q : rejected) {
        const RuntimeTotals before = RuntimeTotals::now();
        EXPECT_THROW(img(q[0], q[1], q[2], q[3]), std::out_of_range);
        EXPECT_TRUE(RuntimeTotals::now().since(before).quiet());
        EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
    }
    expectCachedWith(img, v);
}

TEST(Geometry, SliceSamplesBetweenPixelsAndWrapsFromEveryOrigin) {
    Lumerix evens = imageOf(cmmDims(5, 1), {0, 2, 4, 6, 8});
    EXPECT_TRUE(sameFloats(pixels(slice(evens, 0.5f, 0, 5, 1)), {1, 3, 5, 7, 4}));
    EXPECT_TRUE(sameFloats(pixels(slice(evens, -0.5f, 0, 2, 1)), {4, 1}));
    Lumerix four = imageOf(cmmDims(4, 1), {1, 2, 3, 4});
    EXPECT_TRUE(sameFloats(pixels(slice(four, 2.0f, 0, 4, 1)), {3, 4, 1, 2}));
    EXPECT_TRUE(sameFloats(pixels(slice(four, -4002.0f, 0, 6, 1)), {3, 4, 1, 2, 3, 4}));
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> origin(-300, 300);
    for (const Size& s : kSizes) {
        const std::vector<float> v = randomValues(1LL * s.w * s.h, 0, 10, s.w + 7 * s.h);
        Lumerix img = imageOf(cmmDims(s.w, s.h), v);
        for (int k = 0; k < 4; ++k) {
            const float x = std::round(origin(gen) * 64) / 64,
                        y = std::round(origin(gen) * 64) / 64;
            const std::vector<float> got = pixels(slice(img, x, y, 19, 14));
            for (int j = 0; j < 14; ++j)
                for (int i = 0; i < 19; ++i)
                    ASSERT_NEAR(got[j * 19 + i], sliceRef(Ref{v, s.w, s.h}, x, y, i, j), 1e-4)
                        << s.w << "x" << s.h << " at (" << x << ", " << y << ") pixel " << i << ", "
                        << j;
        }
    }
    EXPECT_THROW(slice(four, kNaN, 0, 2, 2), std::invalid_argument);
    EXPECT_THROW(slice(four, 0, -kInf, 2, 2), std::invalid_argument);
    EXPECT_THROW(slice(four, 0, 0, -1, 2), std::invalid_argument);
    EXPECT_EQ(slice(four, 0, 0, 3, 0).GetDimensions().Size(), 0);
    expectCachedWith(four, {1, 2, 3, 4});
}

TEST(Geometry, CoordinateImagesHoldTheirColumnOrRowAndZeroFurtherPlanes) {
    Lumerix a = imageOf(cmmDims(5, 3), ramp(15)), b(cmmDims(5, 3));
    const std::vector<float> cols = {0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4};
    const std::vector<float> rows = {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    EXPECT_TRUE(sameFloats(pixels(xx(a)), cols));
    EXPECT_TRUE(sameFloats(pixels(yy(a)), rows));
    EXPECT_TRUE(sameFloats(pixels(xx(b)), cols));  // b has no data: it is never read
    for (const Size& s : kSizes) {
        const cmmDims dims(s.w, s.h, 3);
        Lumerix img(dims);
        EXPECT_TRUE(sameFloats(pixels(xx(img)), expected(dims, [](int x, int) { return x; })));
        EXPECT_TRUE(sameFloats(pixels(yy(img)), expected(dims, [](int, int y) { return y; })));
    }
}

TEST(Geometry, AffineFollowsTheClampedCornerRuleAtEveryPixel) {
    std::mt19937 gen(17);
    std::uniform_real_distribution<float> coefficient(-2, 2);
    for (const Size& s : kSizes) {
        const cmmDims dims(s.w, s.h, 2);
        const std::vector<float> v = randomValues(dims.Size(), -3, 3, s.w * 5 + s.h);
        Lumerix img = imageOf(dims, v);
        const Ref r{v, s.w, s.h};
        std::vector<std::vector<float>> maps = {
            {1, 0, 0, 0, 1, 0},     {1, 0, 0.5f, 0, 1, 0},      {1, 0, 2, 0, 1, 0},
            {1, 0, 0, 0, 1, -0.5f}, {kNaN, 0, 0, 0, 1, 0},      {1, 0, kInf, 0, 1, 0},
            {0, 0, -kInf, 0, 0, 0}, {1e30f, 0, 0, 0, -1e30f, 0}};
        for (int k = 0; k < 6; ++k) {
            maps.push_back({});
            for (int i = 0; i < 6; ++i)
                maps.back().push_back(coefficient(gen) * (i % 3 == 2 ? 9 : 1));
        }
        for (std::vector<float>& m : maps) {
            Lumerix out = affine(img, m.data());
            EXPECT_TRUE(sameFloats(
                pixels(out),
                expected(dims, [&](int x, int y) { return affineRef(r, m.data(), x, y); })))
                << s.w << "x" << s.h << " map " << m[0] << " " << m[1] << " " << m[2] << " " << m[3]
                << " " << m[4] << " " << m[5];
            EXPECT_TRUE(
                sameFloats(pixels(affine(img, m[0], m[1], m[2], m[3], m[4], m[5])), pixels(out)));
        }
        // The identity reproduces the image, borders included.
        std::vector<float> first(v.begin(), v.begin() + s.w * s.h);
        first.resize(v.size(), 0.0f);
        EXPECT_TRUE(sameFloats(pixels(affine(img, 1, 0, 0, 0, 1, 0)), first));
    }
}

TEST(Geometry, ResizePlacesTheSourceOnAZeroCanvas) {
    Lumerix img = imageOf(cmmDims(4, 3), ramp(12, 1));
    const std::vector<float> framed = {0, 0, 0, 0, 0, 0,  0,  1,  2, 3, 4, 0, 0, 5, 6,
                                       7, 8, 0, 0, 9, 10, 11, 12, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(sameFloats(pixels(resize(img, cmmDims(6, 5), 1, 1)), framed));
    EXPECT_TRUE(sameFloats(pixels(resize(img, img.GetDimensions(), 0, 0)), ramp(12, 1)));
    const Ref r{pixels(img), 4, 3};
    const struct {
        cmmDims dims;
        int a, b;
    } cases[] = {{cmmDims(2, 2), -1, -1},       {cmmDims(7, 2), 3, -2},
                 {cmmDims(17, 13, 2), 5, 10},   {cmmDims(5, 5), 9, 0},
                 {cmmDims(5, 5), 0, -3},        {cmmDims(3, 40, 2, 2), -3, 38},
                 {cmmDims(9, 1), INT32_MIN, 0}, {cmmDims(9, 1), INT32_MAX, 0}};
    for (const auto& c : cases)
        EXPECT_TRUE(sameFloats(pixels(resize(img, c.dims, c.a, c.b)),
                               expected(c.dims,
                                        [&](int x, int y) {
                                            const long long sx = 1LL * x - c.a, sy = 1LL * y - c.b;
                                            return sx >= 0 && sx < 4 && sy >= 0 && sy < 3
                                                       ? r.at(sx, sy)
                                                       : 0.0f;
                                        })))
            << c.dims.Dim(0) << "x" << c.dims.Dim(1) << " at " << c.a << ", " << c.b;
    Lumerix none;
    EXPECT_TRUE(sameFloats(pixels(resize(none, cmmDims(3, 2), 0, 0)), std::vector<float>(6, 0.0f)));
    EXPECT_THROW(resize(img, cmmDims(-3, 2), 0, 0), std::invalid_argument);
}

TEST(Geometry, ImagesWithoutPixelsGiveImagesWithoutPixelsAndNoLaunch) {
    Lumerix none;
    float m[6] = {1, 0, 0, 0, 1, 0};
    const RuntimeTotals before = RuntimeTotals::now();
    const std::function<Lumerix()> ops[] = {[&] { return none(1, 1); },
                                            [&] { return none(0, 0, 0, 0); },
                                            [&] { return slice(none, 0, 0, 3, 3); },
                                            [&] { return xx(none); },
                                            [&] { return yy(none); },
                                            [&] { return affine(none, m); },
                                            [&] {
                                                return resize(none, cmmDims(), 0, 0);
                                            }};
    for (const auto& op : ops) EXPECT_EQ(op().GetDimensions().Size(), 0);
    EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
}
