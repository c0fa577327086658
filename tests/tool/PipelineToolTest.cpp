// Pipelines that need more than one number: a second image as an operand, a threshold found from
// the histogram, components filtered by their area.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class ToolPipelines : public lmxtool::SameAsLibrary {
protected:
    static constexpr int kW = 37, kH = 23;
    HostImage other;

    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
        input = lmxtool::randomImage(kW, kH, 1, SampleType::Float32, 21);
        other = input;
        for (std::size_t i = 0; i < input.f32.size(); ++i) {
            input.f32[i] = static_cast<float>((i * 7919) % 251) - 100.0f;
            other.f32[i] = static_cast<float>((i * 104729) % 13) * (i % 5 == 0 ? 0.0f : 0.5f);
        }
        lmx::io::writeImage(at("in.tif"), input);
        lmx::io::writeImage(at("other.tif"), other);
    }

    Lumerix otherImage() const {
        Lumerix im(cmm::cmmDims(other.width, other.height));
        std::memcpy(im.GetHostPtr(), other.f32.data(), other.f32.size() * sizeof(float));
        return im;
    }
};

// ---- @FILE operands ----------------------------------------------------------------------------

using Binary = Lumerix (*)(Lumerix&, Lumerix&);
struct Operand {
    const char* op;
    Binary library;
    bool operandFirst;  // rsub, rdiv: FILE op pixel
};

TEST_F(ToolPipelines, FileOperandsGiveTheLibrarysPixels) {
    // clang-format off
    const Operand cases[] = {
        {"add", &operator+, false}, {"sub", &operator-, false}, {"mul", &operator*, false},
        {"div", &operator/, false}, {"min", &fmin, false},      {"max", &fmax, false},
        {"gt", &operator>, false},  {"ge", &operator>=, false}, {"lt", &operator<, false},
        {"le", &operator<=, false}, {"eq", &operator==, false}, {"and", &operator&&, false},
        {"or", &operator||, false}, {"rsub", &operator-, true}, {"rdiv", &operator/, true}};
    // clang-format on
    for (const Operand& c : cases) {
        Lumerix in = image(), second = otherImage();
        Lumerix want = c.operandFirst ? c.library(second, in) : c.library(in, second);
        expectSame({c.op, "@other.tif"}, want);
    }
}

TEST_F(ToolPipelines, SpectrumTimesAMaskFileComesBackThroughIfft) {
    Lumerix in = image(), mask = otherImage(), re, im;
    fft(in, re, im);
    Lumerix reMasked = re * mask, imMasked = im * mask;
    Lumerix back = ifft(reMasked, imMasked);
    Lumerix want = back / static_cast<float>(kW * kH);
    // FFTW may pick other plans in another process (measured, or from the kept wisdom): the
    // sums agree to rounding, not to the bit.
    const ToolRun r =
        lumerix({"in.tif", "fft", "--complex", "mul", "@other.tif", "ifft", "-o", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage got = lmx::io::readImage(at("out.tif"));
    ASSERT_EQ(got.f32.size(), input.f32.size());
    for (std::size_t i = 0; i < got.f32.size(); ++i)
        ASSERT_NEAR(got.f32[i], want.GetHostPtr()[i], 1e-3 * 251) << "pixel " << i;
}

TEST_F(ToolPipelines, FileOperandOfAnotherSizeIsRefused) {
    lmx::io::writeImage(at("small.tif"), lmxtool::randomImage(5, 4, 1, SampleType::Float32, 3));
    const ToolRun r = lumerix({"in.tif", "add", "@small.tif", "-o", "out.tif"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "lumerix: add: @small.tif is 5 x 4 pixels, the image 37 x 23 (the operand "
              "must have the same size)\n");
    EXPECT_FALSE(lmxtool::exists(at("out.tif")));
    const ToolRun missing = lumerix({"in.tif", "mul", "@none.tif", "-o", "out.tif"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err.rfind("lumerix: mul: VALUE: none.tif: cannot open", 0), 0u)
        << missing.err;
}

// ---- counting objects --------------------------------------------------------------------------

class ToolCounting : public lmxtool::ToolTest {
protected:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
    }
};

// Otsu's rule written out: the bin t that maximises w0 w1 (m0 - m1)^2 over the histogram.
int otsuByHand(const HostImage& image) {
    std::vector<double> hist(256, 0.0);
    for (std::uint8_t v : image.u8) hist[v] += 1;
    int best = 0;
    double bestScore = -1;
    for (int t = 0; t < 255; ++t) {
        double w0 = 0, w1 = 0, s0 = 0, s1 = 0;
        for (int i = 0; i < 256; ++i) (i <= t ? w0 : w1) += hist[i];
        for (int i = 0; i < 256; ++i) (i <= t ? s0 : s1) += i * hist[i];
        if (w0 == 0 || w1 == 0) continue;
        const double score = w0 * w1 * std::pow(s0 / w0 - s1 / w1, 2);
        if (score > bestScore) bestScore = score, best = t;
    }
    return best;
}

TEST_F(ToolCounting, ThresholdOtsuSplitsAtOtsusLevel) {
    // Two populations of different spread, so the level is not simply half-way.
    for (unsigned seed : {1u, 2u, 3u}) {
        HostImage in = lmxtool::randomImage(40, 30, 1, SampleType::UInt8, seed);
        for (std::size_t i = 0; i < in.u8.size(); ++i)
            in.u8[i] = static_cast<std::uint8_t>(i % 3 ? 40 + in.u8[i] % 50 : 150 + in.u8[i] % 90);
        lmx::io::writeImage(at("in.png"), in);
        const ToolRun r =
            lumerix({"in.png", "threshold", "otsu", "-o", "mask.tif", "--depth", "float"});
        ASSERT_EQ(r.status, 0) << r.err;
        const HostImage mask = lmx::io::readImage(at("mask.tif"));
        const int level = otsuByHand(in);
        ASSERT_EQ(mask.f32.size(), in.u8.size());
        for (std::size_t i = 0; i < in.u8.size(); ++i)
            ASSERT_EQ(mask.f32[i], in.u8[i] > level ? 1.0f : 0.0f)
                << "seed " << seed << " pixel " << i;
    }
}

// Components by flood fill from each unvisited pixel in raster order, those of fewer than
// minArea pixels dropped, the rest numbered in the order found.
std::vector<float> labelsByFloodFill(const HostImage& in, int connectivity, int minArea) {
    const int w = in.width, h = in.height;
    std::vector<int> comp(in.u8.size(), 0);
    std::vector<std::vector<int>> members;
    for (int start = 0; start < w * h; ++start) {
        if (!in.u8[start] || comp[start]) continue;
        members.emplace_back();
        std::vector<int> stack = {start};
        comp[start] = static_cast<int>(members.size());
        while (!stack.empty()) {
            const int p = stack.back();
            stack.pop_back();
            members.back().push_back(p);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int x = p % w + dx, y = p / w + dy, q = y * w + x;
                    if ((dx == 0 && dy == 0) || (connectivity == 4 && dx != 0 && dy != 0)) continue;
                    if (x < 0 || y < 0 || x >= w || y >= h || !in.u8[q] || comp[q]) continue;
                    comp[q] = comp[start];
                    stack.push_back(q);
                }
        }
    }
    std::vector<float> out(in.u8.size(), 0.0f);
    float next = 0;
    for (const std::vector<int>& m : members) {
        if (static_cast<int>(m.size()) < minArea) continue;
        ++next;
        for (int p : m) out[p] = next;
    }
    return out;
}

TEST_F(ToolCounting, MinAreaDropsSmallComponentsAndRenumbersTheRest) {
    HostImage in = lmxtool::randomImage(53, 31, 1, SampleType::UInt8, 9);
    for (std::uint8_t& v : in.u8) v = v < 110 ? 255 : 0;
    lmx::io::writeImage(at("in.png"), in);
    const std::pair<int, int> cases[] = {{4, 1}, {4, 2}, {4, 5}, {8, 3}, {8, 40}, {4, 100000}};
    for (const auto& [connectivity, minArea] : cases) {
        const ToolRun r =
            lumerix({"in.png", "label", "--connectivity", std::to_string(connectivity),
                     "--min-area", std::to_string(minArea), "-o", "l.tif", "--depth", "float"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<float> want = labelsByFloodFill(in, connectivity, minArea);
        EXPECT_EQ(lmx::io::readImage(at("l.tif")).f32, want)
            << "connectivity " << connectivity << ", min area " << minArea;
    }
    for (const char* bad : {"0", "2.5", "-3"}) {
        const ToolRun r = lumerix({"in.png", "label", "--min-area", bad, "-o", "l.tif"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--min-area"), std::string::npos) << r.err;
    }
}

// ---- how idle threads wait --------------------------------------------------------------------

TEST_F(ToolCounting, RunsWithPassiveWaitingUnlessTheUserChose) {
    if (!lmxtest::kCpuBackend) GTEST_SKIP() << "the cpu backend's threads wait";
    const char* had = std::getenv("OMP_WAIT_POLICY");
    const std::string saved = had ? had : "";
    // The value the tool's process started with, as its device report reads it.
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "waiting threads: OMP_WAIT_POLICY=PASSIVE\n"},
        {"active", "waiting threads: OMP_WAIT_POLICY=active\n"},
        {"passive", "waiting threads: OMP_WAIT_POLICY=passive\n"}};
    for (const auto& [given, says] : cases) {
        if (given)
            ::setenv("OMP_WAIT_POLICY", given, 1);
        else
            ::unsetenv("OMP_WAIT_POLICY");
        const ToolRun r = lumerix({"--backend-info"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
    }
    if (had)
        ::setenv("OMP_WAIT_POLICY", saved.c_str(), 1);
    else
        ::unsetenv("OMP_WAIT_POLICY");
}

// ---- FFT plans kept between runs ---------------------------------------------------------------

class ToolFftPlans : public ToolCounting {
protected:
    void SetUp() override {
        ToolCounting::SetUp();
        if (IsSkipped()) return;
        if (!lmxtest::kCpuBackend) GTEST_SKIP() << "the cpu backend measures its FFT plans";
        // The tool finds its cache through the environment it inherits from the test.
        ASSERT_EQ(::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1), 0);
        lmx::io::writeImage(at("in.png"), lmxtool::randomImage(48, 36, 1, SampleType::UInt8, 8));
    }
    void TearDown() override {
        ::unsetenv("XDG_CACHE_HOME");
        ToolCounting::TearDown();
    }

    std::string wisdomFile() const { return root + "/cache/lumerix/fftw-wisdom"; }

    // The plans one run had to measure, as its --time report counts them.
    long measured() {
        const ToolRun r =
            lumerix({"in.png", "fft", "--complex", "ifft", "-o", "out.png", "--time"});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::size_t at = r.out.find("fft plans measured: ");
        if (at == std::string::npos) {
            ADD_FAILURE() << r.out;
            return -1;
        }
        return std::atol(r.out.c_str() + at + 20);
    }
};

TEST_F(ToolFftPlans, ASecondRunTakesThemAndADamagedOrForeignFileIsReplaced) {
    const long fresh = measured();
    EXPECT_GT(fresh, 0);
    EXPECT_EQ(measured(), 0);
    // What the tool keeps, a program takes through the library's call.
    EXPECT_TRUE(fftKeepPlans(wisdomFile().c_str()));
    const std::string good = lmxtool::slurp(wisdomFile());
    const std::string files[] = {
        "garbage\n",
        good.substr(0, good.size() / 2),
        "(fftw-3.2.1 fftwf_wisdom #x1 #x2 #x3 #x4\n)\n",
        std::string(100, '\0'),
    };
    for (const std::string& bad : files) {
        std::ofstream(wisdomFile(), std::ios::binary | std::ios::trunc) << bad;
        EXPECT_FALSE(fftKeepPlans(wisdomFile().c_str()));
        EXPECT_EQ(measured(), fresh) << bad;
        // Replaced by whole wisdom that the next run takes.
        EXPECT_EQ(lmxtool::slurp(wisdomFile()).rfind("(fftw-", 0), 0u);
        EXPECT_EQ(measured(), 0) << bad;
    }
}

}  // namespace
