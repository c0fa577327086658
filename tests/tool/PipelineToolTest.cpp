// Pipelines that need more than one number: a second image as an operand, a threshold found from
// the histogram, components filtered by their area.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <cmath>
#include <cstring>

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
    expectSame({"fft", "--complex", "mul", "@other.tif", "ifft"}, want);
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

}  // namespace
