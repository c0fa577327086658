// The tool's rows for filters, geometry, FFT and labelling, against the same library calls.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class ToolOperations : public lmxtool::SameAsLibrary {
protected:
    static constexpr int kW = 37, kH = 23;

    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
        input = lmxtool::randomImage(kW, kH, 1, SampleType::Float32, 21);
        for (std::size_t i = 0; i < input.f32.size(); ++i)
            input.f32[i] = static_cast<float>((i * 7919) % 251) + (i % 3 == 0 ? 0.25f : 0.0f);
        lmx::io::writeImage(at("in.tif"), input);
    }
};

TEST_F(ToolOperations, FiltersGiveTheLibrarysPixels) {
    Lumerix in = image();
    Lumerix eroded = erosion(in, 2, 2);
    expectSame({"erode", "2", "square"}, eroded);
    Lumerix dilated = dilation(in, 3, 0);
    expectSame({"dilate", "3", "alternate"}, dilated);
    Lumerix blurred = gauss(in, 1.5f);
    expectSame({"gauss", "1.5"}, blurred);
    Lumerix eroded1 = erosion(in, 1, 1);
    expectSame({"erode", "1", "cross"}, eroded1);
    Lumerix none = dilation(in, 0, 2);
    expectSame({"dilate", "0", "square"}, none);
    Lumerix dx = gaussx(in, 2.0f);
    expectSame({"gaussx", "2"}, dx);
    Lumerix dy = gaussy(in, 0.75f);
    expectSame({"gaussy", "0.75"}, dy);
    // A negative sigma is the library's to take: it uses its magnitude.
    Lumerix negative = gauss(in, -1.5f);
    expectSame({"gauss", "-1.5"}, negative);
    Lumerix gx = gaussx(in, 1.0f), gy = gaussy(in, 1.0f);
    Lumerix strength = sqrt(gx * gx + gy * gy);
    expectSame({"gradient", "1"}, strength);
    float taps[3] = {-1.0f, 0.0f, 1.0f};
    Lumerix conv = convolve(in, taps, 1, 0);
    expectSame({"convolve", "1", "0", "-1,0,1"}, conv);
}

TEST_F(ToolOperations, ConvolveReadsItsTapsFromAFile) {
    float taps[15] = {1, 2, 3, 4, 5, -1, -2, -3, -4, -5, 0.5f, 0.25f, 0, 0, 1};
    std::ofstream(at("taps.txt")) << "1, 2 3\n4 5\r\n-1 -2,-3 -4 -5\n\n0.5 0.25 0 0 1\n";
    Lumerix in = image();
    Lumerix want = convolve(in, taps, 2, 1);
    expectSame({"convolve", "2", "1", "@" + at("taps.txt")}, want);
}

TEST_F(ToolOperations, CoordinatesAndLabelsGiveTheLibrarysPixels) {
    Lumerix in = image();
    Lumerix x = xx(in);
    expectSame({"xx"}, x);
    Lumerix y = yy(in);
    expectSame({"yy"}, y);
    Lumerix mask = in > 120.0f;
    Lumerix labels = label(mask);
    expectSame({"gt", "120", "label"}, labels);
}

TEST_F(ToolOperations, PerChannelRunsTheStepsOnEachChannelAndMergesThem) {
    const HostImage rgb = lmxtool::randomImage(kW, kH, 3, SampleType::UInt8, 5);
    lmx::io::writeImage(at("rgb.png"), rgb);
    const ToolRun r = lumerix({"rgb.png", "--per-channel", "erode", "1", "cross", "-o", "out.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage got = lmx::io::readImage(at("out.png"));
    ASSERT_EQ(got.channels, 3);
    for (int c = 0; c < 3; ++c) {
        Lumerix plane(cmm::cmmDims(kW, kH));
        float* p = plane.GetHostPtr();
        for (int i = 0; i < kW * kH; ++i) p[i] = rgb.u8[3 * static_cast<std::size_t>(i) + c];
        Lumerix want = erosion(plane, 1, 1);
        const float* w = want.GetHostPtr();
        for (int i = 0; i < kW * kH; ++i)
            ASSERT_EQ(got.u8[3 * static_cast<std::size_t>(i) + c], w[i]) << "channel " << c;
    }
}

TEST_F(ToolOperations, GeometryGivesTheLibrarysPixels) {
    Lumerix in = image();
    Lumerix cropped = in(3, 30, 2, 20);
    expectSame({"crop", "3", "30", "2", "20"}, cropped);
    // The tool's shift is the library's image(dx, dy), offsets of any size included.
    for (const auto& d : {std::pair<int, int>{5, -3}, {-40, 3 * kH + 1}, {0, 0}}) {
        Lumerix shifted = in(d.first, d.second);
        expectSame({"shift", std::to_string(d.first), std::to_string(d.second)}, shifted);
    }
    Lumerix warped = affine(in, 0.9f, -0.1f, 2.0f, 0.1f, 0.9f, -1.0f);
    expectSame({"affine", "0.9", "-0.1", "2", "0.1", "0.9", "-1"}, warped);
    Lumerix sliced = slice(in, 1.5f, 2.25f, 20, 10);
    expectSame({"slice", "1.5", "2.25", "20", "10"}, sliced);
    // Windows past the edges, before the origin and larger than the image wrap around it.
    Lumerix wrapped = slice(in, 30.5f, -4.75f, 50, 30);
    expectSame({"slice", "30.5", "-4.75", "50", "30"}, wrapped);
    Lumerix canvas = resize(in, cmm::cmmDims(50, 40), 4, -2);
    expectSame({"resize", "50", "40", "4", "-2"}, canvas);
}

TEST_F(ToolOperations, FftThenIfftGivesTheImageBack) {
    const ToolRun r = lumerix({"in.tif", "fft", "--complex", "ifft", "-o", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage got = lmx::io::readImage(at("out.tif"));
    for (std::size_t i = 0; i < got.f32.size(); ++i)
        ASSERT_NEAR(got.f32[i], input.f32[i], 1e-3 * 251) << "pixel " << i;
}

TEST_F(ToolOperations, FftMagnitudeHasTheZeroFrequencyInTheCentre) {
    const ToolRun r = lumerix({"in.tif", "fft", "-o", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage got = lmx::io::readImage(at("out.tif"));
    double total = 0;
    for (float v : input.f32) total += v;
    EXPECT_NEAR(got.f32[(kH / 2) * kW + kW / 2], total, 1e-4 * total);
}

TEST_F(ToolOperations, LabelsInColourGiveEachComponentItsOwnColour) {
    HostImage mask;
    mask.width = 9;
    mask.height = 3;
    mask.type = SampleType::UInt8;
    mask.allocate();
    for (int y = 0; y < 3; ++y)
        for (int x : {0, 1, 4, 7}) mask.u8[static_cast<std::size_t>(y) * 9 + x] = 255;
    lmx::io::writeImage(at("mask.png"), mask);
    const ToolRun r = lumerix({"mask.png", "label", "-o", "out.png", "--colour"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage got = lmx::io::readImage(at("out.png"));
    ASSERT_EQ(got.channels, 3);
    auto colour = [&](int x) {
        return std::vector<int>{got.u8[3 * x], got.u8[3 * x + 1], got.u8[3 * x + 2]};
    };
    EXPECT_EQ(colour(0), colour(1));
    EXPECT_EQ(colour(2), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(std::set<std::vector<int>>({colour(0), colour(4), colour(7)}).size(), 3u);
}

struct BadOperation {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class ToolOperationRejects : public ToolOperations,
                             public ::testing::WithParamInterface<BadOperation> {};

TEST_P(ToolOperationRejects, WithOneLineAndNoOutput) {
    const ToolRun r = lumerix(GetParam().args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(GetParam().message, 0), 0u) << r.err;
    EXPECT_FALSE(lmxtool::exists(at("out.tif")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ToolOperationRejects, ::testing::Values(
    BadOperation{"CropOutside",  {"in.tif", "crop", "0", "38", "0", "5", "-o", "out.tif"}, "lumerix: crop: window x 0..38, y 0..5 lies outside the 37 x 23 image\n"},
    BadOperation{"CropEmpty",    {"in.tif", "crop", "5", "5", "0", "5", "-o", "out.tif"}, "lumerix: crop: window x 5..5, y 0..5 is empty"},
    BadOperation{"SliceNoWidth", {"in.tif", "slice", "1", "0", "0", "5", "-o", "out.tif"}, "lumerix: slice: W '0' must be 1 or more\n"},
    BadOperation{"SliceInfinite",{"in.tif", "slice", "inf", "0", "2", "5", "-o", "out.tif"}, "lumerix: slice: X 'inf' is not a finite number\n"},
    BadOperation{"TapFileMissing",{"in.tif", "convolve", "0", "0", "@no-such-file", "-o", "out.tif"}, "lumerix: convolve: TAPS: cannot read 'no-such-file'\n"},
    BadOperation{"NaNSigma",     {"in.tif", "gauss", "nan", "-o", "out.tif"}, "lumerix: gauss: SIGMA 'nan': NaN is not allowed here\n"},
    BadOperation{"TooManyTaps",  {"in.tif", "convolve", "8", "7", "1", "-o", "out.tif"}, "lumerix: convolve: a window of 17 x 15 taps is more than the 225"},
    BadOperation{"WrongTapCount",{"in.tif", "convolve", "1", "1", "1,2,3", "-o", "out.tif"}, "lumerix: convolve: XRADIUS 1 and YRADIUS 1 need 9 taps, got 3\n"},
    BadOperation{"NaNTap",       {"in.tif", "convolve", "1", "0", "1,nan,1", "-o", "out.tif"}, "lumerix: convolve: TAPS: 'nan' is not a finite number\n"},
    BadOperation{"ZeroSigma",    {"in.tif", "gaussy", "0", "-o", "out.tif"}, "lumerix: gaussy: sigma must be non-zero and finite\n"},
    BadOperation{"ZeroSigmaGauss", {"in.tif", "gauss", "0", "-o", "out.tif"}, "lumerix: gauss: sigma must be non-zero and finite\n"},
    BadOperation{"TinySigma",    {"in.tif", "gaussx", "1e-30", "-o", "out.tif"}, "lumerix: gaussx: sigma 1e-30 is too small: the filter has no weight off its centre\n"},
    BadOperation{"BadShape",     {"in.tif", "erode", "1", "disc", "-o", "out.tif"}, "lumerix: erode: SHAPE 'disc' is not one of cross, square, alternate\n"},
    BadOperation{"TwoViews",     {"in.tif", "fft", "--real", "--imag", "-o", "out.tif"}, "lumerix: fft: give one of"},
    BadOperation{"IfftAlone",    {"in.tif", "ifft", "-o", "out.tif"}, "lumerix: ifft: needs the two parts of a spectrum"},
    BadOperation{"SpectrumOut",  {"in.tif", "fft", "--complex", "-o", "out.tif"}, "lumerix: write: the image is a spectrum of two parts"},
    BadOperation{"SpectrumIntoOp", {"in.tif", "fft", "--complex", "abs", "-o", "out.tif"}, "lumerix: abs: the image is a spectrum of two parts"}),
    [](const ::testing::TestParamInfo<BadOperation>& param) { return std::string(param.param.name); });
// clang-format on

}  // namespace
