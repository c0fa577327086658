// Labelling under 8-connectivity against a flood fill that steps to all eight neighbours, and
// region statistics against plain loops over the labels; fixed expectations from SciPy's
// ndimage.label and scikit-image's regionprops for the conventions.

#include "TestSupport.h"

#include "lumerix/LabelRuns.h"

#include <cmath>
#include <string>

using lmxtest::pixels;

namespace {

// Components numbered by their first pixel in raster order, neighbours by `connectivity`.
std::vector<int> floodFill(const std::vector<bool>& fg, int w, int h, int connectivity) {
    std::vector<int> label(fg.size(), 0), stack;
    int next = 0;
    for (int start = 0; start < w * h; ++start) {
        if (!fg[start] || label[start]) continue;
        label[start] = ++next;
        stack.push_back(start);
        while (!stack.empty()) {
            const int p = stack.back(), x = p % w, y = p / w;
            stack.pop_back();
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    if (connectivity == 4 && dx != 0 && dy != 0) continue;
                    const int u = x + dx, v = y + dy;
                    if (u < 0 || u >= w || v < 0 || v >= h) continue;
                    const int q = v * w + u;
                    if (fg[q] && !label[q]) label[q] = next, stack.push_back(q);
                }
        }
    }
    return label;
}

std::vector<float> asFloats(const std::vector<int>& v) {
    return std::vector<float>(v.begin(), v.end());
}

Lumerix maskImage(const std::vector<bool>& fg, int w, int h) {
    std::vector<float> v(fg.begin(), fg.end());
    return lmxtest::imageOf(cmm::cmmDims(w, h), v);
}

const std::vector<std::string> kFixedRows = {"#..#..", ".#..#.", "..##..", "#....#", "##..##"};

std::vector<bool> fixedMask() {
    std::vector<bool> fg;
    for (const std::string& r : kFixedRows)
        for (char c : r) fg.push_back(c == '#');
    return fg;
}

}  // namespace

TEST(Label8, FixedMaskGivesScipysLabels) {
    Lumerix image = maskImage(fixedMask(), 6, 5);
    // scipy.ndimage.label with structure np.ones((3, 3)), then with its default cross.
    const std::vector<float> want8 = {1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1,
                                      1, 0, 0, 2, 0, 0, 0, 0, 3, 2, 2, 0, 0, 3, 3};
    const std::vector<float> want4 = {1, 0, 0, 2, 0, 0, 0, 3, 0, 0, 4, 0, 0, 0, 5,
                                      5, 0, 0, 6, 0, 0, 0, 0, 7, 6, 6, 0, 0, 7, 7};
    EXPECT_TRUE(lmxtest::sameFloats(pixels(label(image, 8)), want8));
    EXPECT_TRUE(lmxtest::sameFloats(pixels(label(image, 4)), want4));
}

TEST(Label8, MasksMatchAFloodFillForBothConnectivities) {
    struct Case {
        const char* name;
        int w, h;
        int strips;     // 0: as the labelling chooses
        float density;  // < 0: checkerboard; 2: diagonal chains
    };
    const Case cases[] = {
        {"1x1", 1, 1, 0, 0.5f},
        {"1xN", 1, 40, 0, 0.5f},
        {"Nx1", 40, 1, 0, 0.5f},
        {"sparse", 67, 31, 0, 0.2f},
        {"dense", 65, 33, 0, 0.6f},
        {"strips", 70, 45, 7, 0.45f},
        {"large", 700, 300, 0, 0.4f},
        {"checkerboard", 33, 17, 0, -1.0f},
        {"checker strips", 40, 40, 5, -1.0f},
        {"diagonals", 50, 37, 4, 2.0f},
    };
    unsigned seed = 3;
    for (const Case& c : cases) {
        const std::vector<float> r = lmxtest::randomValues(std::size_t(c.w) * c.h, 0, 1, seed++);
        std::vector<bool> fg(r.size());
        for (std::size_t i = 0; i < fg.size(); ++i) {
            const int x = static_cast<int>(i % c.w), y = static_cast<int>(i / c.w);
            fg[i] = c.density < 0
                        ? (x + y) % 2 == 0
                        : (c.density > 1 ? (x + y) % 5 == 0 || (x - y) % 7 == 0 : r[i] < c.density);
        }
        for (int connectivity : {4, 8}) {
            SCOPED_TRACE(std::string(c.name) + " connectivity " + std::to_string(connectivity));
            const std::vector<float> want = asFloats(floodFill(fg, c.w, c.h, connectivity));
            if (c.strips > 0) {
                std::vector<unsigned char> background(fg.size());
                for (std::size_t i = 0; i < fg.size(); ++i) background[i] = fg[i] ? 0 : 1;
                lmx::labelling::RunLabelling runs(background.data(), c.w, c.h, c.strips,
                                                  connectivity);
                std::vector<float> got(fg.size());
                runs.paint(got.data());
                EXPECT_TRUE(lmxtest::sameFloats(got, want));
            } else {
                Lumerix image = maskImage(fg, c.w, c.h);
                EXPECT_TRUE(lmxtest::sameFloats(pixels(label(image, connectivity)), want));
            }
        }
    }
}

TEST(Label8, CheckerboardIsOneComponentUnderEightAndOneEachUnderFour) {
    const int w = 21, h = 9;
    std::vector<bool> fg(std::size_t(w) * h);
    for (std::size_t i = 0; i < fg.size(); ++i) fg[i] = (i % w + i / w) % 2 == 0;
    Lumerix image = maskImage(fg, w, h);
    const std::vector<float> l8 = pixels(label(image, 8));
    const std::vector<float> l4 = pixels(label(image, 4));
    EXPECT_EQ(*std::max_element(l8.begin(), l8.end()), 1.0f);
    EXPECT_EQ(*std::max_element(l4.begin(), l4.end()), static_cast<float>((w * h + 1) / 2));
    EXPECT_TRUE(lmxtest::sameFloats(l4, pixels(label(image))));
}

TEST(Label8, OtherConnectivitiesAreRefused) {
    Lumerix image = maskImage(fixedMask(), 6, 5);
    for (int connectivity : {0, 1, 6, -4, 9})
        EXPECT_THROW(label(image, connectivity), std::invalid_argument) << connectivity;
}

TEST(Regions, FixedLabelsGiveRegionprops) {
    Lumerix labels = label(maskImage(fixedMask(), 6, 5), 8);
    std::vector<float> v(30);
    for (int i = 0; i < 30; ++i) v[i] = i * 0.5f - 3.0f;
    Lumerix values = lmxtest::imageOf(cmm::cmmDims(6, 5), v);
    const std::vector<LumerixRegion> got = regions(labels, values);
    // skimage.measure.regionprops: area, bbox (rows, cols), centroid (row, col), min, max, mean.
    struct Want {
        long long area;
        int y0, x0, y1, x1;
        double cy, cx;
        float min, max;
        double mean;
    };
    const Want want[] = {
        {6, 0, 0, 3, 5, 1.0, 2.1666666666666665, -3.0f, 4.5f, 1.0833334},
        {3, 3, 0, 5, 2, 3.6666666666666665, 0.3333333333333333, 6.0f, 9.5f, 8.166667},
        {3, 3, 4, 5, 6, 3.6666666666666665, 4.666666666666667, 8.5f, 11.5f, 10.333333}};
    ASSERT_EQ(got.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const LumerixRegion& r = got[k];
        EXPECT_EQ(r.label, k + 1);
        EXPECT_EQ(r.area, want[k].area);
        EXPECT_EQ(r.x0, want[k].x0);
        EXPECT_EQ(r.y0, want[k].y0);
        EXPECT_EQ(r.x1, want[k].x1);
        EXPECT_EQ(r.y1, want[k].y1);
        EXPECT_NEAR(r.cx, want[k].cx, 1e-12);
        EXPECT_NEAR(r.cy, want[k].cy, 1e-12);
        EXPECT_EQ(r.min, want[k].min);
        EXPECT_EQ(r.max, want[k].max);
        EXPECT_NEAR(r.mean, want[k].mean, 1e-6);
    }
}

TEST(Regions, RandomLabelsMatchPlainLoops) {
    // The larger images are counted by many blocks, their components cut by the blocks' runs;
    // a NaN value makes its component's extremes NaN.
    struct Case {
        int w, h;
        bool nan;
    };
    for (const Case c : {Case{53, 41, false}, Case{300, 211, false}, Case{517, 389, true}}) {
        const int w = c.w, h = c.h;
        SCOPED_TRACE(w);
        const std::vector<float> r = lmxtest::randomValues(std::size_t(w) * h, 0, 1, 11);
        std::vector<bool> fg(r.size());
        for (std::size_t i = 0; i < fg.size(); ++i) fg[i] = r[i] < 0.45f;
        Lumerix labels = label(maskImage(fg, w, h), 8);
        const std::vector<float> lab = pixels(labels);
        std::vector<float> val = lmxtest::randomValues(lab.size(), -5, 5, 12);
        if (c.nan)
            for (std::size_t i = 0; i < lab.size(); ++i)
                if (lab[i] == 1.0f) {
                    val[i] = lmxtest::kNaN;
                    break;
                }
        Lumerix values = lmxtest::imageOf(cmm::cmmDims(w, h), val);
        const std::vector<LumerixRegion> got = regions(labels, values);
        const int k = static_cast<int>(*std::max_element(lab.begin(), lab.end()));
        ASSERT_EQ(static_cast<int>(got.size()), k);
        for (int l = 1; l <= k; ++l) {
            long long area = 0;
            int x0 = w, y0 = h, x1 = 0, y1 = 0;
            double sx = 0, sy = 0, sum = 0;
            float lo = INFINITY, hi = -INFINITY;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    if (lab[std::size_t(y) * w + x] != static_cast<float>(l)) continue;
                    const float v = val[std::size_t(y) * w + x];
                    ++area, sx += x, sy += y, sum += v;
                    x0 = std::min(x0, x), y0 = std::min(y0, y);
                    x1 = std::max(x1, x + 1), y1 = std::max(y1, y + 1);
                    if (std::isnan(v)) lo = hi = v;
                    if (!std::isnan(lo)) lo = std::min(lo, v), hi = std::max(hi, v);
                }
            const LumerixRegion& g = got[l - 1];
            SCOPED_TRACE(l);
            EXPECT_EQ(g.label, l);
            EXPECT_EQ(g.area, area);
            EXPECT_EQ(std::vector<int>({g.x0, g.y0, g.x1, g.y1}),
                      std::vector<int>({x0, y0, x1, y1}));
            EXPECT_NEAR(g.cx, sx / area, 1e-12);
            EXPECT_NEAR(g.cy, sy / area, 1e-12);
            if (std::isnan(lo)) {
                EXPECT_TRUE(std::isnan(g.min) && std::isnan(g.max) && std::isnan(g.mean));
            } else {
                EXPECT_EQ(g.min, lo);
                EXPECT_EQ(g.max, hi);
                EXPECT_NEAR(g.mean, sum / area, 1e-9);
            }
        }
    }
}

TEST(Regions, BadLabelsAndOtherSizesAreRefused) {
    Lumerix values = lmxtest::imageOf(cmm::cmmDims(3, 2), std::vector<float>(6, 1.0f));
    for (float bad : {-1.0f, 0.5f, lmxtest::kNaN, lmxtest::kInf, 3e7f}) {
        SCOPED_TRACE(bad);
        Lumerix labels = lmxtest::imageOf(cmm::cmmDims(3, 2), {0, 1, 2, bad, 1, 0});
        EXPECT_THROW(regions(labels, values), std::invalid_argument);
    }
    Lumerix labels = lmxtest::imageOf(cmm::cmmDims(2, 3), {0, 1, 2, 2, 1, 0});
    EXPECT_THROW(regions(labels, values), std::invalid_argument);
    // Labels with gaps give entries only for those present, as regionprops does.
    Lumerix gaps = lmxtest::imageOf(cmm::cmmDims(3, 2), {0, 5, 2, 2, 0, 5});
    const std::vector<LumerixRegion> got = regions(gaps, values);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].label, 2);
    EXPECT_EQ(got[1].label, 5);
    EXPECT_EQ(got[1].area, 2);
    // Numbers far beyond the pixel count, as large as a float numbers exactly.
    Lumerix sparse = lmxtest::imageOf(cmm::cmmDims(3, 2), {0, 16777216, 9, 0, 16777216, 0});
    const std::vector<LumerixRegion> far = regions(sparse, values);
    ASSERT_EQ(far.size(), 2u);
    EXPECT_EQ(far[0].label, 9);
    EXPECT_EQ(far[1].label, 16777216);
    EXPECT_EQ(far[1].area, 2);
    EXPECT_EQ(std::vector<int>({far[1].x0, far[1].y0, far[1].x1, far[1].y1}),
              std::vector<int>({1, 0, 2, 2}));
}
