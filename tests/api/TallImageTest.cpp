// Planes taller than one grid of blocks can span (65,535 rows of blocks): every two-dimensional
// operation must reach every row, the last ones included, with the values it gives a short image.

#include "TestSupport.h"

#include "kernels/Launch.h"
#include "lumerix/LumerixBorderFilters.h"
#include "lumerix/LumerixScale.h"

#include <functional>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// 1 x 800,000 needs 66,667 rows of 12-row blocks; 2 x 786,421 is one row more than 65,535
// blocks of 12 rows hold.
struct Tall {
    int w, h;
};
const Tall kTall[] = {{1, 800000}, {2, 786421}};

// Rows of the short image cut from the bottom of the tall one, and the rows at its top that
// differ from the tall result (the window reaches above the cut there).
constexpr int kCutRows = 64;
constexpr int kTopMargin = 16;

// An operation whose result pixel depends on the source pixels around it alone (not on its
// position), so the bottom rows of the tall result equal those of the cut's result. bottomMargin
// rows at the very bottom are left out where the operation wraps around to the top.
struct LocalCase {
    const char* name;
    std::function<Lumerix(Lumerix&)> op;
    int bottomMargin;
};

float taps5x5[25] = {0.01f, 0.02f, 0.03f, 0.02f, 0.01f, 0.02f, 0.05f, 0.07f, 0.05f,
                     0.02f, 0.03f, 0.07f, 0.12f, 0.07f, 0.03f, 0.02f, 0.05f, 0.07f,
                     0.05f, 0.02f, 0.01f, 0.02f, 0.03f, 0.02f, 0.01f};
float identity[6] = {1, 0, 0, 0, 1, 0};

const LocalCase kLocal[] = {
    {"erosion cross", [](Lumerix& a) { return erosion(a, 2, 1); }, 0},
    {"erosion square", [](Lumerix& a) { return erosion(a, 1, 2); }, 0},
    {"dilation cross", [](Lumerix& a) { return dilation(a, 1, 1); }, 0},
    {"dilation square", [](Lumerix& a) { return dilation(a, 2, 2); }, 0},
    {"convolve", [](Lumerix& a) { return convolve(a, taps5x5, 2, 2); }, 0},
    {"gauss", [](Lumerix& a) { return gauss(a, 1.5f); }, 0},
    {"gaussx", [](Lumerix& a) { return gaussx(a, 1.5f); }, 0},
    {"gaussy", [](Lumerix& a) { return gaussy(a, 1.5f); }, 0},
    {"correlate", [](Lumerix& a) { return correlate(a, taps5x5, 2, 2); }, 0},
    {"correlate nearest",
     [](Lumerix& a) { return correlate(a, taps5x5, 2, 2, LumerixBorder::Nearest); }, 0},
    {"gaussian", [](Lumerix& a) { return gaussian(a, 2.0f); }, 0},
    {"median", [](Lumerix& a) { return median(a, 1, 2); }, 0},
    {"affine", [](Lumerix& a) { return affine(a, identity); }, 0},
    {"affine with a border",
     [](Lumerix& a) { return affine(a, identity, LumerixBorder::Constant, 0.5f); }, 0},
    {"scale nearest",
     [](Lumerix& a) {
         return scale(a, a.GetDimensions().Dim(0), a.GetDimensions().Dim(1),
                      LumerixInterpolation::Nearest);
     },
     0},
    {"slice", [](Lumerix& a) { return slice(a, 0.0f, 0.25f, 2, a.GetDimensions().Dim(1)); }, 1},
};

std::vector<float> rowsOf(const std::vector<float>& v, int w, int first, int last) {
    return std::vector<float>(v.begin() + 1LL * first * w, v.begin() + 1LL * last * w);
}

}  // namespace

TEST(TallImage, EveryLocalTwoDimensionalOperationReachesTheLastRows) {
    for (const Tall& t : kTall) {
        const std::vector<float> values = randomValues(1LL * t.w * t.h, 0.0f, 1.0f, t.h);
        Lumerix tall = imageOf(cmmDims(t.w, t.h), values);
        Lumerix cut = imageOf(cmmDims(t.w, kCutRows), rowsOf(values, t.w, t.h - kCutRows, t.h));
        for (const LocalCase& c : kLocal) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << t.w << " x " << t.h);
            const std::vector<float> got = pixels(c.op(tall));
            const std::vector<float> want = pixels(c.op(cut));
            const int rw = static_cast<int>(got.size() / t.h);  // the result's width
            ASSERT_EQ(got.size(), 1ULL * rw * t.h);
            ASSERT_EQ(want.size(), 1ULL * rw * kCutRows);
            const int bottom = kCutRows - c.bottomMargin;
            EXPECT_TRUE(
                sameFloats(rowsOf(got, rw, t.h - kCutRows + kTopMargin, t.h - c.bottomMargin),
                           rowsOf(want, rw, kTopMargin, bottom)));
        }
    }
}

// The operations that move values by position, against plain loops over the whole image.
TEST(TallImage, PositionalOperationsReachEveryRow) {
    for (const Tall& t : kTall) {
        SCOPED_TRACE(testing::Message() << t.w << " x " << t.h);
        const int w = t.w, h = t.h;
        const std::vector<float> values = randomValues(1LL * w * h, -1.0f, 1.0f, w + 7);
        Lumerix a = imageOf(cmmDims(w, h), values);
        const auto at = [&](long long x, long long y) {
            return values[static_cast<std::size_t>(y * w + x)];
        };
        std::vector<float> want(values.size());

        const int dx = w - 1, dy = h - 5;  // wraps around in both directions
        for (long long y = 0; y < h; ++y)
            for (long long x = 0; x < w; ++x)
                want[static_cast<std::size_t>(y * w + x)] = at((x + dx) % w, (y + dy) % h);
        EXPECT_TRUE(sameFloats(pixels(a(dx, dy)), want)) << "shift";

        for (long long y = 0; y < h; ++y)
            for (long long x = 0; x < w; ++x) {
                want[static_cast<std::size_t>(y * w + x)] = static_cast<float>(y);
            }
        EXPECT_TRUE(sameFloats(pixels(yy(a)), want)) << "yy";
        for (long long y = 0; y < h; ++y)
            for (long long x = 0; x < w; ++x)
                want[static_cast<std::size_t>(y * w + x)] = static_cast<float>(x);
        EXPECT_TRUE(sameFloats(pixels(xx(a)), want)) << "xx";

        // Crop of all but the first three rows.
        EXPECT_TRUE(sameFloats(pixels(a(0, w, 3, h)), rowsOf(values, w, 3, h))) << "crop";

        // A canvas one column wider, the image moved down by two rows: the rows above and the
        // new column read 0.
        const int cw = w + 1;
        std::vector<float> canvas(static_cast<std::size_t>(1LL * cw * h), 0.0f);
        for (long long y = 2; y < h; ++y)
            for (long long x = 0; x < w; ++x)
                canvas[static_cast<std::size_t>(y * cw + x)] = at(x, y - 2);
        EXPECT_TRUE(sameFloats(pixels(resize(a, cmmDims(cw, h), 0, 2)), canvas)) << "resize";
    }
}

// The plane shape's block and grid, worked out by hand: 192 threads a block, as many rows of
// them as the plane has up to 12, at most 65,535 rows of blocks.
TEST(PlaneLaunch, TheBlockFollowsThePlaneAndTheGridNeverExceedsItsRowLimit) {
    struct Case {
        int w, h;
        unsigned bx, by, gx, gy;
    };
    const Case cases[] = {
        {1, 1, 192, 1, 1, 1},          {193, 1, 192, 1, 2, 1},        {100, 2, 96, 2, 2, 1},
        {64, 3, 64, 3, 1, 1},          {49, 5, 48, 4, 2, 2},          {7, 11, 32, 6, 1, 2},
        {16, 12, 16, 12, 1, 1},        {17, 13, 16, 12, 2, 2},        {3, 40, 16, 12, 1, 4},
        {1, 786420, 16, 12, 1, 65535}, {2, 786421, 16, 12, 1, 65535}, {1, 800000, 16, 12, 1, 65535},
        {4096, 4096, 16, 12, 256, 342}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        const dim3 block = lmx::planeBlock(c.w, c.h), grid = lmx::planeGrid(c.w, c.h);
        EXPECT_EQ(block.x, c.bx);
        EXPECT_EQ(block.y, c.by);
        EXPECT_EQ(block.z, 1u);
        EXPECT_EQ(grid.x, c.gx);
        EXPECT_EQ(grid.y, c.gy);
        EXPECT_EQ(grid.z, 1u);
    }
}
