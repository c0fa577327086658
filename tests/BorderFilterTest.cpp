// Correlation, Gaussian and median with every border, against plain loops written here (every
// border x planes of 1 x 1, 1 x 9, 9 x 1, 17 x 13, 3 x 40 x radii up to larger than the plane),
// and against a few values that scipy.ndimage gave once for the same image.

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;

namespace {

const LumerixBorder kBorders[] = {LumerixBorder::Reflect, LumerixBorder::Nearest,
                                  LumerixBorder::Mirror, LumerixBorder::Constant,
                                  LumerixBorder::Wrap};

// The pixel index that position p of an axis of n pixels reads, walked one step at a time from
// pixel 0 and turned back at each edge; -1 for Constant outside.
int walk(int p, int n, LumerixBorder border) {
    if (p >= 0 && p < n) return p;
    switch (border) {
        case LumerixBorder::Constant:
            return -1;
        case LumerixBorder::Nearest:
            return p < 0 ? 0 : n - 1;
        case LumerixBorder::Wrap: {
            int q = p;
            while (q < 0) q += n;
            while (q >= n) q -= n;
            return q;
        }
        default:
            break;
    }
    const bool repeatEdge = border == LumerixBorder::Reflect;
    int q = 0, dir = p < 0 ? -1 : 1;
    for (int i = 0; i < std::abs(p); ++i) {
        if (q + dir < 0 || q + dir >= n) {
            dir = -dir;
            if (repeatEdge || n == 1) continue;
        }
        q += dir;
    }
    return q;
}

struct Plane {
    int w, h;
    std::vector<float> v;
    float at(int x, int y, LumerixBorder border, float cval) const {
        const int cx = walk(x, w, border), cy = walk(y, h, border);
        return cx < 0 || cy < 0 ? cval : v[static_cast<std::size_t>(cy) * w + cx];
    }
};

// Correlation as convolve documents its arithmetic: fused multiply-adds from 0, dy outer.
std::vector<float> correlateLoop(const Plane& p, const std::vector<float>& taps, int xr, int yr,
                                 LumerixBorder border, float cval) {
    std::vector<float> out;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            float acc = 0.0f;
            for (int dy = -yr; dy <= yr; ++dy)
                for (int dx = -xr; dx <= xr; ++dx)
                    acc =
                        std::fma(taps[static_cast<std::size_t>((dy + yr) * (2 * xr + 1) + dx + xr)],
                                 p.at(x + dx, y + dy, border, cval), acc);
            out.push_back(acc);
        }
    return out;
}

// The Gaussian in double: scipy's table, rows then columns, each pass reading its own input
// under the border (Constant reads 0 in both).
std::vector<double> gaussianLoop(const Plane& p, double sigma, double truncate,
                                 LumerixBorder border) {
    const int r = static_cast<int>(truncate * sigma + 0.5);
    std::vector<double> t;
    double sum = 0;
    for (int i = -r; i <= r; ++i) sum += std::exp(-0.5 * i * i / (sigma * sigma));
    for (int i = -r; i <= r; ++i) t.push_back(std::exp(-0.5 * i * i / (sigma * sigma)) / sum);
    auto pass = [&](const std::vector<double>& in, bool alongRows) {
        std::vector<double> out;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) {
                double acc = 0;
                for (int d = -r; d <= r; ++d) {
                    const int cx = alongRows ? walk(x + d, p.w, border) : x;
                    const int cy = alongRows ? y : walk(y + d, p.h, border);
                    acc += t[static_cast<std::size_t>(d + r)] *
                           (cx < 0 || cy < 0 ? 0.0 : in[static_cast<std::size_t>(cy) * p.w + cx]);
                }
                out.push_back(acc);
            }
        return out;
    };
    return pass(pass(std::vector<double>(p.v.begin(), p.v.end()), true), false);
}

// Negative values, -0, +0, positive values, +inf, then NaN of either sign.
bool before(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

std::vector<float> medianLoop(const Plane& p, int xr, int yr, LumerixBorder border) {
    std::vector<float> out;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            std::vector<float> window;
            for (int dy = -yr; dy <= yr; ++dy)
                for (int dx = -xr; dx <= xr; ++dx)
                    window.push_back(p.at(x + dx, y + dy, border, 0.0f));
            std::sort(window.begin(), window.end(), before);
            out.push_back(window[window.size() / 2]);
        }
    return out;
}

struct Radii {
    int xr, yr;
};

class BorderFilters : public ::testing::TestWithParam<std::tuple<LumerixBorder, int>> {
protected:
    Plane plane() const {
        const Plane kSizes[] = {{1, 1, {}}, {1, 9, {}}, {9, 1, {}}, {17, 13, {}}, {3, 40, {}}};
        Plane p = kSizes[std::get<1>(GetParam())];
        p.v = lmxtest::randomValues(static_cast<std::size_t>(p.w) * p.h, -50, 50, p.w * 31 + p.h);
        return p;
    }
    LumerixBorder border() const { return std::get<0>(GetParam()); }
};

TEST_P(BorderFilters, CorrelateMatchesItsLoop) {
    const Plane p = plane();
    Lumerix image = imageOf(cmm::cmmDims(p.w, p.h), p.v);
    // (9, 7) has 285 taps, more than d_kernel holds: they go through device memory.
    for (const Radii r :
         {Radii{0, 0}, Radii{1, 1}, Radii{2, 1}, Radii{3, 5}, Radii{20, 0}, Radii{9, 7}}) {
        const std::vector<float> taps = lmxtest::randomValues(
            static_cast<std::size_t>((2 * r.xr + 1) * (2 * r.yr + 1)), -1, 1, r.xr * 10 + r.yr);
        const float cval = -2.5f;
        EXPECT_TRUE(
            lmxtest::sameFloats(pixels(correlate(image, taps.data(), r.xr, r.yr, border(), cval)),
                                correlateLoop(p, taps, r.xr, r.yr, border(), cval)))
            << "radii " << r.xr << "," << r.yr;
    }
}

TEST_P(BorderFilters, GaussianMatchesItsLoopWithinItsTolerance) {
    const Plane p = plane();
    Lumerix image = imageOf(cmm::cmmDims(p.w, p.h), p.v);
    for (const float sigma : {0.3f, 1.0f, 3.5f, 10.0f})
        for (const float truncate : {4.0f, 1.5f}) {
            const std::vector<double> want = gaussianLoop(p, sigma, truncate, border());
            const std::vector<float> got = pixels(gaussian(image, sigma, border(), truncate));
            double largest = 0;  // of the image's values
            for (float v : p.v) largest = std::max(largest, std::fabs(static_cast<double>(v)));
            for (std::size_t i = 0; i < want.size(); ++i)
                ASSERT_NEAR(got[i], want[i], 1e-5 * largest)
                    << "sigma " << sigma << " truncate " << truncate << " at " << i;
        }
}

TEST_P(BorderFilters, MedianMatchesItsLoop) {
    Plane p = plane();
    // Signed zeros, infinities and NaN among the values, to hold the order to its rule.
    const float specials[] = {-0.0f,          0.0f,          lmxtest::kInf,
                              -lmxtest::kInf, lmxtest::kNaN, -lmxtest::kNaN};
    for (std::size_t i = 0; i < p.v.size(); i += 3) p.v[i] = specials[(i / 3) % 6];
    Lumerix image = imageOf(cmm::cmmDims(p.w, p.h), p.v);
    for (const Radii r : {Radii{0, 0}, Radii{1, 1}, Radii{2, 2}, Radii{2, 1}, Radii{3, 5},
                          Radii{20, 0}, Radii{7, 7}, Radii{0, 112}})
        EXPECT_TRUE(lmxtest::sameFloats(pixels(median(image, r.xr, r.yr, border())),
                                        medianLoop(p, r.xr, r.yr, border())))
            << "radii " << r.xr << "," << r.yr;
}

INSTANTIATE_TEST_SUITE_P(EveryBorderAndPlane, BorderFilters,
                         ::testing::Combine(::testing::ValuesIn(kBorders), ::testing::Range(0, 5)));

// The image of the fixtures: 5 x 4, pixel (x, y) = (7x + 13y) % 11 - 3.5 + x / 4.
Lumerix fixtureImage() {
    std::vector<float> v;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            v.push_back(static_cast<float>((x * 7 + y * 13) % 11) - 3.5f + 0.25f * x);
    return imageOf(cmm::cmmDims(5, 4), v);
}

TEST(BorderFilterFixtures, AgreeWithScipyNdimage) {
    // scipy.ndimage.correlate(image, taps, mode, cval=1.5), gaussian_filter(image, 1.5, mode)
    // and median_filter(image, size=(3, 5), mode) at (0, 0), (4, 3) and (2, 1).
    const struct {
        LumerixBorder border;
        double correlate[3], gauss[3], median[3];
    } fixtures[] = {
        {LumerixBorder::Reflect,
         {-10.5, 9.25, -2.75},
         {0.466766173, 2.33036249, 2.03646589},
         {0.0, 2.25, 2.0}},
        {LumerixBorder::Nearest,
         {-10.5, 9.25, -2.75},
         {-0.504280704, 1.7521954, 2.0470541},
         {-1.5, 2.25, 2.0}},
        {LumerixBorder::Mirror,
         {-4.5, 26.0, -2.75},
         {1.43698888, 2.32797124, 1.95143935},
         {2.0, 4.0, 2.0}},
        {LumerixBorder::Constant,
         {-0.5, 15.25, -2.75},
         {0.293557702, 0.951573029, 1.46978834},
         {0.0, 0.0, 2.0}},
        {LumerixBorder::Wrap,
         {-3.5, 30.25, -2.75},
         {1.69674465, 1.93668497, 1.99433448},
         {2.25, 2.25, 2.0}},
    };
    const float taps[9] = {1, 2, 0, -1, 0.5f, 3, 0, 1, -2};
    const int at[3] = {0, 3 * 5 + 4, 1 * 5 + 2};
    Lumerix image = fixtureImage();
    for (const auto& f : fixtures) {
        const std::vector<float> c = pixels(correlate(image, taps, 1, 1, f.border, 1.5f));
        const std::vector<float> g = pixels(gaussian(image, 1.5f, f.border));
        const std::vector<float> m = pixels(median(image, 2, 1, f.border));
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(c[at[k]], f.correlate[k], 1e-5 * 7.5 * 9.5) << static_cast<int>(f.border);
            EXPECT_NEAR(g[at[k]], f.gauss[k], 1e-5 * 7.5) << static_cast<int>(f.border);
            EXPECT_EQ(m[at[k]], f.median[k]) << static_cast<int>(f.border);
        }
    }
}

TEST(BorderFilters, ReflectWithTheTableOfConvolveGivesItsBits) {
    Lumerix image = imageOf(cmm::cmmDims(37, 29), lmxtest::randomValues(37 * 29, -9, 9, 4));
    const std::vector<float> taps = lmxtest::randomValues(15 * 15, -1, 1, 5);
    for (const Radii r : {Radii{7, 7}, Radii{22, 2}, Radii{1, 0}})
        EXPECT_TRUE(lmxtest::sameFloats(
            pixels(correlate(image, taps.data(), r.xr, r.yr)),
            pixels(convolve(image, const_cast<float*>(taps.data()), r.xr, r.yr))));
}

TEST(BorderFilters, FurtherPlanesAreZeroAndEmptyImagesStayEmpty) {
    const float taps[3] = {1, 2, 3};
    const std::vector<float> values = lmxtest::randomValues(4 * 3 * 2, 1, 2, 6);
    Lumerix stack = imageOf(cmm::cmmDims(4, 3, 2), values);
    Lumerix empty(cmm::cmmDims(0, 5));
    const std::function<Lumerix(Lumerix&)> ops[] = {
        [&](Lumerix& im) { return correlate(im, taps, 1, 0, LumerixBorder::Wrap); },
        [&](Lumerix& im) { return gaussian(im, 2.0f, LumerixBorder::Nearest); },
        [&](Lumerix& im) { return median(im, 1, 1, LumerixBorder::Mirror); },
    };
    for (const auto& op : ops) {
        const std::vector<float> got = pixels(op(stack));
        for (std::size_t i = 12; i < got.size(); ++i) EXPECT_EQ(got[i], 0.0f) << i;
        for (std::size_t i = 0; i < 12; ++i) EXPECT_NE(got[i], 0.0f) << i;
        EXPECT_EQ(op(empty).GetDimensions().Size(), 0);
    }
}

TEST(BorderFilters, RefuseWhatTheyCannotDo) {
    Lumerix image = imageOf(cmm::cmmDims(3, 3), std::vector<float>(9, 1.0f));
    const float taps[9] = {};
    const auto unknown = static_cast<LumerixBorder>(5);
    const std::function<void()> calls[] = {
        [&] { correlate(image, taps, -1, 0); },
        [&] { correlate(image, taps, 0, 0, unknown); },
        [&] { gaussian(image, 0.0f); },
        [&] { gaussian(image, -1.0f); },
        [&] { gaussian(image, lmxtest::kNaN); },
        [&] { gaussian(image, lmxtest::kInf); },
        [&] { gaussian(image, 1.0f, LumerixBorder::Reflect, -1.0f); },
        [&] { gaussian(image, 1e30f); },
        [&] { gaussian(image, 1.0f, unknown); },
        [&] { median(image, 0, -2); },
        [&] { median(image, 8, 7); },
        [&] { median(image, 1, 1, static_cast<LumerixBorder>(-1)); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i)
        EXPECT_THROW(calls[i](), std::invalid_argument) << "call " << i;
}

}  // namespace
