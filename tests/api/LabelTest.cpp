// Connected-component labelling: hand-made shapes, random masks against a flood fill, strip
// seams, foreground values, wide numbers, transfers and failures.

#include "TestSupport.h"

#include "lumerix/LabelRuns.h"

#include <cmath>
#include <map>
#include <string>

using lmxtest::kNaN;
using lmxtest::pixels;

namespace {

using Rows = std::vector<std::string>;  // '#' foreground, anything else background

std::vector<float> valuesOf(const Rows& rows) {
    std::vector<float> v;
    for (const std::string& row : rows)
        for (char c : row) v.push_back(c == '#' ? 1.0f : 0.0f);
    return v;
}

Lumerix imageOf(const Rows& rows) {
    return lmxtest::imageOf(
        cmm::cmmDims(static_cast<int>(rows[0].size()), static_cast<int>(rows.size())),
        valuesOf(rows));
}

// Reference: a flood fill from each unlabelled foreground pixel in raster order, so components
// are numbered by their first pixel (which is the first pixel of their first run).
std::vector<int> floodFill(const std::vector<bool>& fg, int w, int h) {
    std::vector<int> label(fg.size(), 0), stack;
    int next = 0;
    for (int start = 0; start < w * h; ++start) {
        if (!fg[start] || label[start]) continue;
        label[start] = ++next;
        stack.push_back(start);
        while (!stack.empty()) {
            const int p = stack.back(), x = p % w, y = p / w;
            stack.pop_back();
            for (int q : {x > 0 ? p - 1 : -1, x + 1 < w ? p + 1 : -1, y > 0 ? p - w : -1,
                          y + 1 < h ? p + w : -1})
                if (q >= 0 && fg[q] && !label[q]) label[q] = next, stack.push_back(q);
        }
    }
    return label;
}

std::vector<bool> foregroundOf(const std::vector<float>& v) {
    std::vector<bool> fg;
    for (float x : v) fg.push_back(x != 0.0f || std::isnan(x));
    return fg;
}

// The same pixels grouped together (any numbers), background where the reference has it.
::testing::AssertionResult samePartition(const std::vector<float>& got,
                                         const std::vector<int>& want) {
    std::map<float, int> toWant;
    std::map<int, float> toGot;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if ((got[i] == 0.0f) != (want[i] == 0))
            return ::testing::AssertionFailure() << "pixel " << i << " is " << got[i];
        if (want[i] == 0) continue;
        const auto a = toWant.emplace(got[i], want[i]).first;
        const auto b = toGot.emplace(want[i], got[i]).first;
        if (a->second != want[i] || b->second != got[i])
            return ::testing::AssertionFailure() << "pixel " << i << " joins the wrong pixels";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameNumbers(const std::vector<float>& got,
                                       const std::vector<int>& want) {
    for (std::size_t i = 0; i < want.size(); ++i)
        if (got[i] != static_cast<float>(want[i]))
            return ::testing::AssertionFailure()
                   << "pixel " << i << ": " << got[i] << ", want " << want[i];
    return ::testing::AssertionSuccess();
}

// Labels the image and checks it against the flood fill: partition first, then numbering.
void expectFloodFill(Lumerix& image, int components = -1) {
    const cmm::cmmDims dims = image.GetDimensions();
    const std::vector<float> in = pixels(image);
    const std::vector<int> want = floodFill(foregroundOf(in), dims.Dim(0), dims.Dim(1));
    const std::vector<float> got = pixels(label(image));
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(samePartition(got, want));
    EXPECT_TRUE(sameNumbers(got, want));
    if (components >= 0) {
        EXPECT_EQ(*std::max_element(want.begin(), want.end()), components);
    }
}

struct Shape {
    const char* name;
    Rows rows;
    std::vector<float> labels;  // empty: the flood fill decides
    int components;
};

const Shape kShapes[] = {
    {"pair and single", {"##.#"}, {1, 1, 0, 2}, 2},
    {"diagonal", {"#.", ".#"}, {1, 0, 0, 2}, 2},
    {"U", {"#..#", "#..#", "####"}, {1, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1}, 1},
    {"starts at 5 and 1", {".#...#", ".#...#"}, {0, 1, 0, 0, 0, 2, 0, 1, 0, 0, 0, 2}, 2},
    {"first row joined", {"#.#", "###"}, {1, 0, 1, 1, 1, 1}, 1},
    {"roots joined late", {"......#", "#.###.#", "###.###"}, {}, 1},
    {"roots joined late, mirrored", {"#......", "#.###.#", "###.###"}, {}, 1},
    {"comb", {"#.#.#.#.#", "#.#.#.#.#", "#########"}, {}, 1},
    {"hanging comb", {"#########", "#.#.#.#.#", "#.#.#.#.#", "..#...#.."}, {}, 1},
    {"nested U", {"#.....#", "#.#.#.#", "#.#.#.#", "#.###.#", "#.....#", "#######"}, {}, 2},
    {"nested U on a stem", {"#.....#", "#.#.#.#", "#.###.#", "#..#..#", "#######"}, {}, 1},
    {"nested U, open", {"#.....#", "#.#.#.#", "#.###.#", "#.....#", "##...##"}, {}, 3},
    {"staircase", {"#....", "##...", ".##..", "..##.", "...##"}, {}, 1},
    {"staircase, diagonal", {"#....", ".#...", "..#..", "...#."}, {}, 4},
    {"spiral",
     {"#######", "......#", "#####.#", "#...#.#", "#.###.#", "#.....#", "#######"},
     {},
     1},
    {"two spirals", {"#####.#", "#...#.#", "#.#.#.#", "#.#...#", "#.#####"}, {}, 2},
};

}  // namespace

TEST(Label, ShapesAreNumberedInRasterOrderOfTheirFirstRun) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        Lumerix image = imageOf(shape.rows);
        if (!shape.labels.empty()) {
            EXPECT_TRUE(lmxtest::sameFloats(pixels(label(image)), shape.labels));
        }
        expectFloodFill(image, shape.components);
    }
}

TEST(Label, RandomMasksMatchAFloodFill) {
    const int sizes[][2] = {{1, 1},   {1, 9},   {9, 1},     {63, 5},    {64, 7},   {65, 13},
                            {17, 13}, {130, 3}, {300, 257}, {1, 70000}, {70000, 1}};
    unsigned seed = 1;
    for (const float density : {0.1f, 0.3f, 0.5f, 0.6f, 0.8f, 0.97f}) {
        for (const auto& s : sizes) {
            SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + " at " +
                         std::to_string(density));
            std::vector<float> v = lmxtest::randomValues(std::size_t(s[0]) * s[1], 0, 1, seed++);
            for (float& x : v) x = x < density ? 1.0f : 0.0f;
            Lumerix image = lmxtest::imageOf(cmm::cmmDims(s[0], s[1]), v);
            expectFloodFill(image);
        }
    }
}

// Any cut into strips gives the same labels; the bytes of the background are arbitrary.
TEST(Label, StripsAreJoinedAcrossEverySeam) {
    const int w = 41, h = 37;
    std::vector<unsigned char> mask(std::size_t(w) * h);
    std::vector<bool> fg(mask.size());
    std::mt19937 gen(7);
    for (std::size_t i = 0; i < mask.size(); ++i) {
        const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
        // A snake that turns on every row, a bar through all rows, and sparse noise between.
        const bool snake = x < 20 && (x == (y % 2 ? 0 : 19) || y % 4 == 0 || y % 4 == 2);
        fg[i] = snake || x == 30 || (x > 31 && gen() % 3 == 0);
        mask[i] = fg[i] ? 0 : static_cast<unsigned char>(1 + gen() % 255);
    }
    const std::vector<int> want = floodFill(fg, w, h);
    for (int strips = 1; strips <= h; ++strips) {
        SCOPED_TRACE(strips);
        lmx::labelling::RunLabelling runs(mask.data(), w, h, strips);
        std::vector<float> got(mask.size());
        runs.paint(got.data());
        EXPECT_EQ(runs.components(), *std::max_element(want.begin(), want.end()));
        ASSERT_TRUE(samePartition(got, want));
        ASSERT_TRUE(sameNumbers(got, want));
    }
}

TEST(Label, LargeImagesSplitIntoStripsMatchAFloodFill) {
    // Combs whose teeth cross the whole height join only at the last row.
    const int w = 640, h = 512;
    std::vector<float> v(std::size_t(w) * h, 0.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) v[std::size_t(y) * w + x] = (x % 4 == 1 || y == h - 1);
    Lumerix image = lmxtest::imageOf(cmm::cmmDims(w, h), v);
    expectFloodFill(image, 1);
}

TEST(Label, CheckerboardNumbersEveryPixelBeyondSixteenBits) {
    const int side = 512;
    std::vector<float> v(std::size_t(side) * side), want(v.size());
    float next = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = ((i % side) + (i / side)) % 2 == 0;
        want[i] = v[i] != 0 ? ++next : 0.0f;
    }
    EXPECT_EQ(next, 131072.0f);
    EXPECT_TRUE(
        lmxtest::sameFloats(pixels(label(lmxtest::imageOf(cmm::cmmDims(side, side), v))), want));
}

TEST(Label, EveryValueButZeroIsForeground) {
    const std::vector<float> in = {0.5f,  0, 256,           0, -1,    0, kNaN, 0,
                                   -0.0f, 0, lmxtest::kInf, 0, 1e-45f};
    const std::vector<float> want = {1, 0, 2, 0, 3, 0, 4, 0, 0, 0, 5, 0, 6};
    EXPECT_TRUE(lmxtest::sameFloats(pixels(label(lmxtest::imageOf(in))), want));
    const std::vector<float> zeros(35, 0.0f), negativeZeros(35, -0.0f);
    EXPECT_TRUE(
        lmxtest::sameFloats(pixels(label(lmxtest::imageOf(cmm::cmmDims(7, 5), zeros))), zeros));
    EXPECT_TRUE(lmxtest::sameFloats(
        pixels(label(lmxtest::imageOf(cmm::cmmDims(7, 5), negativeZeros))), zeros));
}

TEST(Label, PlanesBeyondTheFirstAreZeroAndEmptyImagesStayEmpty) {
    const cmm::cmmDims dims(3, 2, 2);
    Lumerix out = label(lmxtest::imageOf(dims, std::vector<float>(12, 1.0f)));
    EXPECT_EQ(out.GetDimensions(), dims);
    EXPECT_TRUE(lmxtest::sameFloats(pixels(out), {1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0}));

    Lumerix empty{cmm::cmmDims()};
    EXPECT_EQ(label(empty).GetDimensions().Size(), 0);
}

TEST(Label, MoreComponentsThanAFloatNumbersExactlyAreRefusedBeforeAnythingIsWritten) {
    // 8192 x 4097 pixels in a checkerboard: 16 781 312 components, past 2^24.
    const int w = 8192, h = 4097;
    Lumerix image{cmm::cmmDims(w, h)};
    float* p = image.GetHostPtr();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p[std::size_t(y) * w + x] = (x + y) % 2 == 0;
    lmxtest::onDevice({&image});
    const auto before = lmxtest::RuntimeTotals::now();
    EXPECT_THROW(label(image), std::overflow_error);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(lmxtest::RuntimeTotals::now().since(before).hostToDevice, 0);
    }
    EXPECT_EQ(image.page->lockCount, 0);
}

TEST(Label, TablesThatCannotBeAllocatedThrowAndLeaveTheImageUsable) {
    Lumerix image = imageOf(kShapes[5].rows);
    const std::vector<float> want = pixels(label(image));
    for (long nth = 1; nth <= 4; ++nth) {
        SCOPED_TRACE(nth);
        const std::size_t deviceBytes = lmxtest::deviceBytesUsed();
        EXPECT_TRUE(lmx::labelling::releaseIdleTables());  // kept from the labelling before
        lmx::labelling::failTableAllocation(nth);
        EXPECT_THROW(label(image), std::bad_alloc);
        lmx::labelling::failTableAllocation(0);
        EXPECT_EQ(image.page->lockCount, 0);
        EXPECT_EQ(lmxtest::deviceBytesUsed(), deviceBytes);  // nothing left on the device
        EXPECT_TRUE(lmxtest::sameFloats(pixels(label(image)), want));
    }
}
