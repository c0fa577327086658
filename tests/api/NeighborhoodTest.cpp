// Morphology, convolution and the Gaussian filters against plain loops written here, with the
// mirror rule written out on its own: exact for morphology; for convolution exact as well, since
// the order of the multiply-adds is part of the contract (dy outer, dx inner, fmaf from 0).

#include "NeighborhoodSupport.h"
#include "TestSupport.h"

#include "lumerix/GaussTaps.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace cmm;
using namespace lmxtest;

// ---- morphology -------------------------------------------------------------------------------

TEST(Morphology, EveryScheduleMatchesThePlainLoop) {
    for (const Plane& p : kPlanes)
        for (int shape : {1, 2, 0, 3, 7, -1})
            for (int iterations = 0; iterations <= 4; ++iterations)
                for (bool dilate : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << p.w << "x" << p.h << " shape " << shape << " iterations "
                                 << iterations << (dilate ? " dilation" : " erosion"));
                    const std::vector<float> values = testPixels(p.w, p.h, p.w * 31 + p.h);
                    Lumerix img = imageOf(cmmDims(p.w, p.h), values);
                    Lumerix r =
                        dilate ? dilation(img, iterations, shape) : erosion(img, iterations, shape);
                    EXPECT_EQ(r.GetDimensions(), img.GetDimensions());
                    ASSERT_TRUE(sameFloats(
                        pixels(r), plainErosion(values, p.w, p.h, iterations, shape, dilate)));
                    EXPECT_TRUE(sameFloats(pixels(img), values));  // the input keeps its pixels
                    expectUnlocked({&img, &r});
                }
}

TEST(Morphology, BrightPixelDilatedTwiceAlternatingCoversTheSquareWithoutCorners) {
    const int w = 11, h = 9;
    std::vector<float> values(w * h, 0.0f);
    values[4 * w + 5] = 1.0f;
    Lumerix img = imageOf(cmmDims(w, h), values);
    const std::vector<float> out = pixels(dilation(img, 2, 0));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dx = std::abs(x - 5), dy = std::abs(y - 4);
            const bool covered = dx <= 2 && dy <= 2 && !(dx == 2 && dy == 2);
            EXPECT_EQ(out[y * w + x], covered ? 1.0f : 0.0f) << x << "," << y;
        }
}

TEST(Morphology, ImagesOfInfinitiesComeOutUnchanged) {
    Lumerix high = imageOf(cmmDims(5, 4), std::vector<float>(20, kInf));
    Lumerix low = imageOf(cmmDims(5, 4), std::vector<float>(20, -kInf));
    EXPECT_TRUE(sameFloats(pixels(erosion(high, 3, 0)), std::vector<float>(20, kInf)));
    EXPECT_TRUE(sameFloats(pixels(dilation(low, 3, 0)), std::vector<float>(20, -kInf)));
}

// ---- convolution ------------------------------------------------------------------------------

TEST(Convolution, MatchesThePlainLoopForEveryTableShape) {
    const struct {
        Plane plane;
        int xr, yr;
    } cases[] = {
        {{17, 13}, 0, 0},   {{17, 13}, 1, 0},   {{17, 13}, 0, 1},   {{17, 13}, 2, 2},
        {{16, 12}, 7, 7},   {{3, 3}, 7, 7},     {{1, 1}, 7, 7},     {{1, 9}, 2, 3},
        {{9, 1}, 3, 2},     {{40, 30}, 22, 2},  {{300, 3}, 112, 0}, {{7, 5}, 112, 0},
        {{3, 300}, 0, 112}, {{200, 190}, 3, 3}, {{200, 190}, 7, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.plane.w << "x" << c.plane.h << " radii " << c.xr << "," << c.yr);
        const int taps = (2 * c.xr + 1) * (2 * c.yr + 1);
        std::vector<float> table = randomValues(taps, -1.0f, 1.0f, taps);
        const std::vector<float> values = randomValues(c.plane.w * c.plane.h, -10, 10, c.xr);
        Lumerix img = imageOf(cmmDims(c.plane.w, c.plane.h), values);
        Lumerix r = convolve(img, table.data(), c.xr, c.yr);
        ASSERT_TRUE(sameFloats(pixels(r),
                               plainCorrelation(values, c.plane.w, c.plane.h, table, c.xr, c.yr)));
        expectUnlocked({&img, &r});
    }
}

TEST(Convolution, IdentityCopiesDoublingDoublesAndThreeTapsAreNotFlipped) {
    const std::vector<float> values = testPixels(17, 13, 9);
    Lumerix img = imageOf(cmmDims(17, 13), values);
    float one = 1.0f, two = 2.0f;
    EXPECT_TRUE(sameFloats(pixels(convolve(img, &one, 0, 0)), values));
    std::vector<float> doubled = values;
    for (float& v : doubled) v *= 2.0f;
    EXPECT_TRUE(sameFloats(pixels(convolve(img, &two, 0, 0)), doubled));
    // The tap at index 2 weighs the right-hand neighbour; the last column reads itself.
    float right[3] = {0.0f, 0.0f, 1.0f};
    Lumerix row = imageOf(cmmDims(4), {10, 20, 30, 40});
    EXPECT_TRUE(sameFloats(pixels(convolve(row, right, 1, 0)), {20, 30, 40, 40}));
    float left[3] = {1.0f, 0.0f, 0.0f};
    EXPECT_TRUE(sameFloats(pixels(convolve(row, left, 1, 0)), {10, 10, 20, 30}));
}

TEST(Convolution, SmallTableAfterALargeOneReadsOnlyItsOwnTaps) {
    const std::vector<float> values = randomValues(40 * 30, -5, 5, 4);
    Lumerix img = imageOf(cmmDims(40, 30), values);
    std::vector<float> large = randomValues(225, 1.0f, 2.0f, 8);
    convolve(img, large.data(), 7, 7);
    std::vector<float> small = {0.25f, 0.5f, 0.25f};
    EXPECT_TRUE(sameFloats(pixels(convolve(img, small.data(), 0, 1)),
                           plainCorrelation(values, 40, 30, small, 0, 1)));
}

TEST(Convolution, NegativeRadiiThrowBeforeAnythingIsUploadedOrAllocated) {
    Lumerix img = imageOf(cmmDims(6, 5), ramp(30));
    onDevice({&img});
    float taps[9] = {};
    for (const auto& radii : {std::pair<int, int>{-1, 0}, {0, -3}, {-2, -2}}) {
        const RuntimeTotals before = RuntimeTotals::now();
        try {
            convolve(img, taps, radii.first, radii.second);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("xradius " + std::to_string(radii.first)), std::string::npos)
                << text;
            EXPECT_NE(text.find("yradius " + std::to_string(radii.second)), std::string::npos)
                << text;
        }
        const RuntimeTotals spent = RuntimeTotals::now().since(before);
        EXPECT_TRUE(spent.quiet());
        EXPECT_EQ(spent.launches, 0);
    }
    expectUnlocked({&img});
    EXPECT_TRUE(sameFloats(pixels(img), ramp(30)));
}

// ---- every filter: further planes, empty images -----------------------------------------------

TEST(Neighborhood, FurtherPlanesComeOutZeroAndEmptyImagesStayEmpty) {
    float taps[9] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f};
    const struct {
        const char* name;
        Lumerix (*run)(Lumerix&, float*);
    } filters[] = {
        {"erosion",
         [](Lumerix& i, float*) {
             return erosion(i, 3, 0);
         }},
        {"dilation",
         [](Lumerix& i, float*) {
             return dilation(i, 1, 2);
         }},
        {"convolve",
         [](Lumerix& i, float* t) {
             return convolve(i, t, 1, 1);
         }},
        {"gauss",
         [](Lumerix& i, float*) {
             return gauss(i, 1.0f);
         }},
        {"gaussy",
         [](Lumerix& i, float*) {
             return gaussy(i, 0.7f);
         }},
    };
    for (const auto& f : filters) {
        SCOPED_TRACE(f.name);
        const std::vector<float> values = randomValues(7 * 5 * 3 * 2, 1.0f, 2.0f, 6);
        Lumerix volume = imageOf(cmmDims(7, 5, 3, 2), values);
        Lumerix first =
            imageOf(cmmDims(7, 5), std::vector<float>(values.begin(), values.begin() + 35));
        const std::vector<float> want = pixels(f.run(first, taps));
        Lumerix r = f.run(volume, taps);
        EXPECT_EQ(r.GetDimensions(), volume.GetDimensions());
        std::vector<float> got = pixels(r);
        EXPECT_TRUE(sameFloats(std::vector<float>(got.begin(), got.begin() + 35), want));
        EXPECT_TRUE(sameFloats(std::vector<float>(got.begin() + 35, got.end()),
                               std::vector<float>(got.size() - 35, 0.0f)));
        for (const cmmDims& dims : {cmmDims(), cmmDims(cmmBlock(0, 3, 2, 2))}) {
            Lumerix empty(dims);
            const RuntimeTotals before = RuntimeTotals::now();
            Lumerix e = f.run(empty, taps);
            EXPECT_EQ(e.GetDimensions(), dims);
            EXPECT_EQ(e.GetDimensions().Size(), 0);
            EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
        }
    }
}

// ---- Gaussian tables --------------------------------------------------------------------------

namespace {

struct PublishedTap {
    int index;
    float value;
};

struct GaussCase {
    float sigma;
    lmx::GaussKind kind;
    int radius;
    float sum;  // 0: not published
    std::vector<PublishedTap> taps;
};

}  // namespace

TEST(GaussTaps, FollowThePublishedNumbers) {
    using lmx::GaussKind;
    const GaussCase cases[] = {
        {0.5f, GaussKind::Smooth, 1, 1.614604f, {{0, 0.011344f}, {1, 0.083819f}, {4, 0.619347f}}},
        {1.0f, GaussKind::Smooth, 2, 6.168925f, {{12, 0.162103f}, {0, 0.002969f}, {24, 0.002969f}}},
        {0.99f, GaussKind::Smooth, 1, 0, {}},
        {3.49f, GaussKind::Smooth, 6, 0, {}},
        {3.5f, GaussKind::Smooth, 7, 0, {}},
        {10.0f, GaussKind::Smooth, 7, 0, {}},
        {-0.5f, GaussKind::Smooth, 1, 1.614604f, {{0, 0.011344f}, {4, 0.619347f}}},
        {-3.0f, GaussKind::Smooth, 1, 0, {}},
        {1.0f,
         GaussKind::DerivX,
         2,
         0,
         {{10, 0.062117f}, {11, 0.139193f}, {12, 0.0f}, {13, -0.139193f}, {14, -0.062117f}}},
        {1.0f,
         GaussKind::DerivY,
         2,
         0,
         {{2, 0.062117f}, {7, 0.139193f}, {12, 0.0f}, {17, -0.139193f}, {22, -0.062117f}}},
    };
    for (const GaussCase& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "sigma " << c.sigma << " kind " << static_cast<int>(c.kind));
        const lmx::GaussTaps g = lmx::gaussTaps(c.sigma, c.kind, "test");
        ASSERT_EQ(g.radius, c.radius);
        if (c.sum != 0) {
            EXPECT_NEAR(g.sum, c.sum, 1e-6);
        }
        for (const PublishedTap& t : c.taps) EXPECT_NEAR(g.taps[t.index], t.value, 6e-7);
        // Normalised; the weights are those of |sigma| at this radius, in the table's layout.
        const int span = 2 * g.radius + 1;
        const double s = std::fabs(static_cast<double>(c.sigma));
        double total = 0;
        for (int i = -g.radius; i <= g.radius; ++i)
            for (int j = -g.radius; j <= g.radius; ++j) {
                const float tap = g.taps[(i + g.radius) * span + j + g.radius];
                total += c.kind == GaussKind::Smooth ? tap : std::fabs(tap);
                const double weight = std::exp(-(i * i + j * j) / (2 * s * s));
                const double factor = c.kind == GaussKind::DerivX   ? -j / (s * s)
                                      : c.kind == GaussKind::DerivY ? -i / (s * s)
                                                                    : 1.0;
                const float centre = g.taps[g.radius * span + g.radius];
                if (c.kind == GaussKind::Smooth) {
                    EXPECT_NEAR(tap / centre, weight * factor, 1e-6) << i << "," << j;
                }
            }
        EXPECT_NEAR(total, 1.0, 1e-5);
    }
    // sigma 10 is flatter than 3.5 on the same 15 x 15 table: corner about 0.61 of the middle.
    const lmx::GaussTaps flat = lmx::gaussTaps(10.0f, lmx::GaussKind::Smooth, "test");
    EXPECT_NEAR(flat.taps[0] / flat.taps[112], 0.6126, 1e-3);
}

TEST(GaussTaps, SigmaWithoutAFiniteTableThrowsNamingIt) {
    using lmx::GaussKind;
    const std::pair<float, GaussKind> bad[] = {
        {0.0f, GaussKind::Smooth},   {-0.0f, GaussKind::DerivX}, {kNaN, GaussKind::Smooth},
        {kInf, GaussKind::DerivX},   {kInf, GaussKind::DerivY},  {-kInf, GaussKind::DerivY},
        {1e-30f, GaussKind::DerivX}, {1e-20f, GaussKind::DerivY}};
    for (const auto& b : bad) {
        try {
            lmx::gaussTaps(b.first, b.second, "gaussx");
            ADD_FAILURE() << "sigma " << b.first << " gave a table";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("gaussx: sigma"), std::string::npos) << e.what();
        }
    }
    // A Gaussian without derivative keeps a table at both ends: a box, and the centre alone.
    const lmx::GaussTaps box = lmx::gaussTaps(kInf, GaussKind::Smooth, "gauss");
    EXPECT_EQ(box.radius, 7);
    for (int k = 0; k < 225; ++k) EXPECT_EQ(box.taps[k], 1.0f / 225.0f);
    const lmx::GaussTaps point = lmx::gaussTaps(1e-30f, GaussKind::Smooth, "gauss");
    EXPECT_EQ(point.taps[4], 1.0f);
    EXPECT_EQ(point.taps[0], 0.0f);
}

// ---- Gaussian filters -------------------------------------------------------------------------

TEST(Gauss, EqualsConvolveWithTheSameTable) {
    const std::vector<float> values = randomValues(37 * 29, 0.0f, 255.0f, 12);
    Lumerix img = imageOf(cmmDims(37, 29), values);
    const struct {
        Lumerix (*filter)(Lumerix&, float);
        lmx::GaussKind kind;
    } filters[] = {{&gauss, lmx::GaussKind::Smooth},
                   {&gaussx, lmx::GaussKind::DerivX},
                   {&gaussy, lmx::GaussKind::DerivY}};
    for (const auto& f : filters)
        for (float sigma : {0.5f, 1.0f, 2.2f, 3.5f, 10.0f, -2.0f}) {
            SCOPED_TRACE(::testing::Message() << "sigma " << sigma);
            lmx::GaussTaps table = lmx::gaussTaps(sigma, f.kind, "test");
            const std::vector<float> want =
                pixels(convolve(img, table.taps, table.radius, table.radius));
            EXPECT_TRUE(sameFloats(pixels(f.filter(img, sigma)), want));
        }
}

TEST(Gauss, ConstantStaysAndARampGivesNegativeXDerivatives) {
    const int w = 30, h = 12;
    Lumerix flat = imageOf(cmmDims(w, h), std::vector<float>(w * h, 3.0f));
    for (float v : pixels(gauss(flat, 1.5f))) EXPECT_NEAR(v, 3.0f, 3e-6);
    std::vector<float> xs(w * h);
    for (int i = 0; i < w * h; ++i) xs[i] = static_cast<float>(i % w);
    Lumerix ramp = imageOf(cmmDims(w, h), xs);
    const std::vector<float> dx = pixels(gaussx(ramp, 1.0f));
    const std::vector<float> dy = pixels(gaussy(ramp, 1.0f));
    for (int y = 0; y < h; ++y)
        for (int x = 2; x < w - 2; ++x) {
            EXPECT_LT(dx[y * w + x], 0.0f) << x << "," << y;
            EXPECT_NEAR(dy[y * w + x], 0.0f, 1e-5f);
        }
}

TEST(Gauss, RefusedSigmaLeavesTheImageUnlockedAndUsable) {
    Lumerix img = imageOf(cmmDims(8, 6), ramp(48));
    onDevice({&img});
    for (float sigma : {0.0f, kNaN, kInf}) {
        const RuntimeTotals before = RuntimeTotals::now();
        EXPECT_THROW(gaussx(img, sigma), std::invalid_argument);
        EXPECT_TRUE(RuntimeTotals::now().since(before).quiet());
    }
    EXPECT_THROW(gauss(img, 0.0f), std::invalid_argument);
    EXPECT_THROW(gaussy(img, -0.0f), std::invalid_argument);
    expectUnlocked({&img});
    EXPECT_TRUE(sameFloats(pixels(img), ramp(48)));
    EXPECT_EQ(pixels(gauss(img, 1.0f)).size(), 48u);
}
