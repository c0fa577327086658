// Element-wise unary operators: sqrt, log, abs and logical not, against per-pixel references.

#include "TestSupport.h"

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;
using lmxtest::sameFloat;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Within two units in the last place of the correctly rounded value: the device's logf is
// allowed an ulp of its own, and rounding the double reference to float adds half of one.
::testing::AssertionResult withinUlps(float got, double exact) {
    const float want = static_cast<float>(exact);
    if (sameFloat(got, want)) return ::testing::AssertionSuccess();
    if (std::isfinite(want) && std::isfinite(got)) {
        const float ulp = std::nextafter(std::fabs(want), kInf) - std::fabs(want);
        if (std::fabs(static_cast<double>(got) - exact) <= 2.0 * ulp)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

struct UnaryOp {
    const char* name;
    const char* kernel;
    Lumerix (*apply)(Lumerix&);
    // Checks one result pixel against the argument pixel.
    ::testing::AssertionResult (*check)(float got, float a);
    float lo, hi;  // range of the random arguments
};

::testing::AssertionResult exactly(float got, float want) {
    if (sameFloat(got, want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

const UnaryOp kOps[] = {
    {"Sqrt", "LumerixPixelSqrtI2I", [](Lumerix& a) { return sqrt(a); },
     [](float got, float a) { return exactly(got, std::sqrt(a)); }, -4.0f, 1.0e6f},
    {"Log", "LumerixPixelLogI2I", [](Lumerix& a) { return log(a); },
     [](float got, float a) { return withinUlps(got, std::log(static_cast<double>(a))); },
     -1.0f, 1.0e6f},
    {"Abs", "LumerixPixelAbsI2I", [](Lumerix& a) { return abs(a); },
     [](float got, float a) { return exactly(got, a < 0.0f ? -a : (a == 0.0f ? 0.0f : a)); },
     -1.0e3f, 1.0e3f},
    {"Not", "LumerixPixelNotI2I", [](Lumerix& a) { return !a; },
     [](float got, float a) { return exactly(got, a == 0.0f ? 1.0f : 0.0f); }, -2.0f, 2.0f},
};

// Zeros, values near 1 (where log is small) and the argument range.
std::vector<float> arguments(const UnaryOp& op, std::size_t n, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(n, op.lo, op.hi, seed);
    const std::vector<float> nearOne = lmxtest::randomValues(n, 0.5f, 2.0f, seed + 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 7 == 0) v[i] = 0.0f;
        if (i % 3 == 1) v[i] = nearOne[i];
    }
    return v;
}

void expectPixels(const UnaryOp& op, Lumerix& r, const std::vector<float>& args) {
    const std::vector<float> got = pixels(r);
    ASSERT_EQ(got.size(), args.size());
    int failures = 0;
    for (std::size_t i = 0; i < got.size() && failures < 5; ++i) {
        const auto ok = op.check(got[i], args[i]);
        if (!ok) ++failures;
        EXPECT_TRUE(ok) << op.name << " of " << args[i] << " at pixel " << i;
    }
}

struct Shape {
    int w, h;
};
const Shape kShapes[] = {{1, 1}, {1, 300}, {300, 1}, {37, 29}, {1000, 3}, {257, 1}};

// abs keeps NaN a NaN whatever its sign bit; abs(-0) is +0.
const float kSpecials[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 1.0f, -1.0f, FLT_MAX, -FLT_MAX,
                           FLT_MIN, 1.0e-40f, -1.0e-40f, 2.25f, 0.001f};

}  // namespace

class UnaryOperatorOnImage : public ::testing::TestWithParam<std::tuple<UnaryOp, Shape>> {};

TEST_P(UnaryOperatorOnImage, MatchesTheReferenceAndKeepsItsArgument) {
    const UnaryOp& op = std::get<0>(GetParam());
    const Shape shape = std::get<1>(GetParam());
    const cmm::cmmDims dims(shape.w, shape.h);
    const std::vector<float> args = arguments(op, static_cast<std::size_t>(dims.Size()), 5);
    Lumerix a = imageOf(dims, args);
    Lumerix r = op.apply(a);
#if defined(LMX_BACKEND_CPU)
    ASSERT_FALSE(lmx::cpu::launchLog().empty());
    EXPECT_EQ(lmx::cpu::launchLog().back().kernel, op.kernel);
#endif
    EXPECT_TRUE(r.GetDimensions() == dims);
    expectPixels(op, r, args);
    EXPECT_TRUE(a.GetDimensions() == dims);
    const std::vector<float> kept = pixels(a);
    for (std::size_t i = 0; i < args.size(); ++i) ASSERT_TRUE(sameFloat(kept[i], args[i])) << i;
}

std::string shapeName(const ::testing::TestParamInfo<std::tuple<UnaryOp, Shape>>& param) {
    const Shape s = std::get<1>(param.param);
    return std::string(std::get<0>(param.param).name) + "_" + std::to_string(s.w) + "x" +
           std::to_string(s.h);
}

INSTANTIATE_TEST_SUITE_P(AllOperators, UnaryOperatorOnImage,
                         ::testing::Combine(::testing::ValuesIn(kOps),
                                            ::testing::ValuesIn(kShapes)),
                         shapeName);

class UnaryOperator : public ::testing::TestWithParam<UnaryOp> {};

TEST_P(UnaryOperator, FollowsTheReferenceOnSpecialValues) {
    const UnaryOp& op = GetParam();
    const std::vector<float> args(std::begin(kSpecials), std::end(kSpecials));
    Lumerix a = imageOf(args);
    Lumerix r = op.apply(a);
    expectPixels(op, r, args);
}

TEST_P(UnaryOperator, KeepsTheExtentsOfThreeAndFourDimensionalImages) {
    const UnaryOp& op = GetParam();
    for (const cmm::cmmDims& dims : {cmm::cmmDims(5, 4, 3), cmm::cmmDims(3, 4, 5, 2)}) {
        const std::vector<float> args = arguments(op, static_cast<std::size_t>(dims.Size()), 9);
        Lumerix a = imageOf(dims, args);
        Lumerix r = op.apply(a);
        for (int d = 0; d < 4; ++d) EXPECT_EQ(r.GetDimensions().Dim(d), dims.Dim(d));
        expectPixels(op, r, args);
    }
}

TEST_P(UnaryOperator, AnImageWithoutPixelsGivesAnEmptyImageAndLaunchesNothing) {
    const UnaryOp& op = GetParam();
    Lumerix e;
#if defined(LMX_BACKEND_CPU)
    const long launches = lmx::cpu::counters().launches;
#endif
    Lumerix r = op.apply(e);
    EXPECT_EQ(r.GetDimensions().Size(), 0);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().launches, launches);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if defined(LMX_BACKEND_CPU)
TEST_P(UnaryOperator, OutOfMemoryForTheResultReleasesTheArgument) {
    LMX_CPU_BACKEND_ONLY();
    const UnaryOp& op = GetParam();
    const std::vector<float> args = arguments(op, 600, 13);
    Lumerix a = imageOf(args);
    a.Lock();
    a.Release();
    lmxtest::putDownAllZombies();
    std::string message = "(nothing thrown)";
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    try {
        op.apply(a);
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    lmx::cpu::clearFaults();
    cudaGetLastError();
    EXPECT_EQ(message, "Out of memory");
    EXPECT_EQ(a.page->lockCount, 0);
    EXPECT_TRUE(a.page->state == cmm::cmmCached());
    const std::vector<float> kept = pixels(a);
    for (std::size_t i = 0; i < args.size(); ++i) ASSERT_TRUE(sameFloat(kept[i], args[i])) << i;
}
#endif

std::string opName(const ::testing::TestParamInfo<UnaryOp>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(AllOperators, UnaryOperator, ::testing::ValuesIn(kOps), opName);

// ---- worked examples ------------------------------------------------------------------------

TEST(UnaryOps, SquareRootsOfSquares) {
    Lumerix a = imageOf({0.0f, 1.0f, 4.0f, 2.25f});
    Lumerix r = sqrt(a);
    EXPECT_EQ(pixels(r), (std::vector<float>{0.0f, 1.0f, 2.0f, 1.5f}));
}

TEST(UnaryOps, LogarithmIsNatural) {
    Lumerix a = imageOf({1.0f, 2.71828183f, 0.0f, -1.0f, kInf});
    Lumerix lg = log(a);
    const std::vector<float> r = pixels(lg);
    EXPECT_EQ(r[0], 0.0f);
    EXPECT_NEAR(r[1], 1.0f, 2.0f * FLT_EPSILON);
    EXPECT_EQ(r[2], -kInf);
    EXPECT_TRUE(std::isnan(r[3]));
    EXPECT_EQ(r[4], kInf);
}

TEST(UnaryOps, AbsoluteValues) {
    Lumerix a = imageOf({-3.5f, 0.0f, 2.0f, -0.0f, -kInf});
    Lumerix r = abs(a);
    const std::vector<float> got = pixels(r);
    const std::vector<float> want = {3.5f, 0.0f, 2.0f, 0.0f, kInf};
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(sameFloat(got[i], want[i])) << i;
}

TEST(UnaryOps, NotIsOneExactlyWhereThePixelIsZero) {
    Lumerix a = imageOf({0.0f, 1.0f, -2.0f, 0.001f, -0.0f, kNaN, 1.0e-40f});
    Lumerix once = !a;
    Lumerix twice = !(!a);
    EXPECT_EQ(pixels(once), (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(pixels(twice), (std::vector<float>{0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f, 1.0f}));
}
