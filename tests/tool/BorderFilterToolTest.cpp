// The tool's correlate, gaussian and median rows against the same library calls, and their
// --border, --cval and --truncate words.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <cstring>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class BorderFilterTool : public lmxtool::ToolTest {
protected:
    HostImage input;

    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
        input = lmxtool::randomImage(29, 17, 1, SampleType::Float32, 5);
        lmx::io::writeImage(at("in.tif"), input);
    }

    // Runs the tool on in.tif and expects out.tif to hold want's pixels bit for bit.
    void expectSame(const std::vector<std::string>& ops, Lumerix&& want) {
        std::vector<std::string> args = {"in.tif"};
        args.insert(args.end(), ops.begin(), ops.end());
        args.insert(args.end(), {"-o", "out.tif"});
        const ToolRun r = lumerix(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const HostImage got = lmx::io::readImage(at("out.tif"));
        ASSERT_EQ(got.f32.size(), static_cast<std::size_t>(want.GetDimensions().Size()));
        EXPECT_EQ(std::memcmp(got.f32.data(), want.GetHostPtr(), got.f32.size() * sizeof(float)), 0)
            << ops[0];
    }
};

TEST_F(BorderFilterTool, RowsGiveTheLibrarysPixels) {
    Lumerix in(cmm::cmmDims(input.width, input.height));
    std::memcpy(in.GetHostPtr(), input.f32.data(), input.f32.size() * sizeof(float));
    const float taps[6] = {1, -2, 0.5f, 3, 0, -1};
    expectSame({"correlate", "1", "0", "1,-2,0.5", "--border", "wrap"},
               correlate(in, taps, 1, 0, LumerixBorder::Wrap));
    expectSame({"correlate", "0", "2", "1,-2,0.5,3,0", "--cval", "-1.5", "--border", "constant"},
               correlate(in, taps, 0, 2, LumerixBorder::Constant, -1.5f));
    expectSame({"gaussian", "2.5"}, gaussian(in, 2.5f));
    expectSame({"gaussian", "1", "--border", "mirror", "--truncate", "2"},
               gaussian(in, 1.0f, LumerixBorder::Mirror, 2.0f));
    expectSame({"median", "2", "1", "--border", "nearest"},
               median(in, 2, 1, LumerixBorder::Nearest));
}

TEST_F(BorderFilterTool, RefusesBadWordsWithOneLine) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"median", "1", "1", "--border", "zero"},
         "lumerix: median: BORDER 'zero' is not one of reflect, nearest, mirror, constant, wrap\n"},
        {{"median", "1", "1", "--border"}, "lumerix: median: --border needs BORDER\n"},
        {{"median", "8", "7"}, "lumerix: median: a window of 17 x 15 pixels is more than the 225"},
        {{"gaussian", "0"}, "lumerix: gaussian: SIGMA 0 must be above 0\n"},
        {{"correlate", "1", "1", "1,2"}, "lumerix: correlate: XRADIUS 1 and YRADIUS 1 need 9 taps"},
        {{"correlate", "0", "0", "@missing"}, "lumerix: correlate: TAPS: cannot read 'missing'\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"in.tif"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"-o", "out.tif"});
        const ToolRun r = lumerix(args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_FALSE(lmxtool::exists(at("out.tif")));
    }
}

}  // namespace
