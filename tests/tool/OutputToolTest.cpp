// What the tool writes: values an output file cannot hold are reported, label images get a
// depth that holds every label.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <algorithm>
#include <functional>
#include <set>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class ToolOutput : public lmxtool::ToolTest {
protected:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
    }
};

// ---- clipping ----------------------------------------------------------------------------------

struct Clipping {
    const char* name;
    std::vector<std::string> args;     // after "in.png"
    std::function<bool(int)> clipped;  // whether the output cannot hold the result of sample v
    const char* says;                  // a part of the warning; "" for no warning at all
};

class ToolClipping : public ToolOutput, public ::testing::WithParamInterface<Clipping> {};

TEST_P(ToolClipping, SaysHowManyValuesAreLostAndWhatKeepsThem) {
    const Clipping& c = GetParam();
    const HostImage in = lmxtool::randomImage(41, 29, 1, SampleType::UInt8, 11);
    lmx::io::writeImage(at("in.png"), in);
    std::vector<std::string> args = {"in.png"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun r = lumerix(args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (std::string(c.says).empty()) {
        EXPECT_EQ(r.err, "");
        return;
    }
    std::size_t lost = 0;
    for (std::uint8_t v : in.u8) lost += c.clipped(v) ? 1 : 0;
    ASSERT_GT(lost, 0u);
    EXPECT_NE(r.err.find(std::to_string(lost) + " of " + std::to_string(in.u8.size()) + " values"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

const auto kNever = [](int) {
    return false;
};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ToolClipping, ::testing::Values(
    Clipping{"Negative",      {"sub", "100", "-o", "out.png"}, [](int v) { return v < 100; }, "a float TIFF"},
    Clipping{"Above255",      {"mul", "2", "-o", "out.png"}, [](int v) { return v > 127; }, "--depth 16 keeps them"},
    Clipping{"Above65535",    {"mul", "300", "-o", "out.png", "--depth", "16"}, [](int v) { return v > 218; }, "--normalise"},
    Clipping{"NegativeTiff",  {"sub", "100", "-o", "out.tif"}, [](int v) { return v < 100; }, "--depth float keeps"},
    Clipping{"Deep",          {"mul", "2", "-o", "out.png", "--depth", "16"}, kNever, ""},
    Clipping{"Normalised",    {"sub", "100", "-o", "out.png", "--normalise"}, kNever, ""},
    Clipping{"Float",         {"sub", "100", "-o", "out.tif", "--depth", "float"}, kNever, ""},
    Clipping{"InRange",       {"rsub", "255", "-o", "out.png"}, kNever, ""},
    Clipping{"MaskNormalised",{"gt", "100", "-o", "out.png", "--normalise"}, kNever, ""}),
    [](const ::testing::TestParamInfo<Clipping>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(ToolOutput, WarnsThatAZeroOneMaskLooksBlack) {
    lmx::io::writeImage(at("in.png"), lmxtool::randomImage(16, 9, 1, SampleType::UInt8, 5));
    const ToolRun r = lumerix({"in.png", "threshold", "100", "-o", "out.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("within 0..1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--normalise"), std::string::npos) << r.err;
}

// ---- label depth -------------------------------------------------------------------------------

struct LabelDepth {
    int components;
    const char* output;
    SampleType type;  // the depth the tool chooses
    bool clipped;     // a warning, as the file cannot hold the largest label
};

class ToolLabelDepth : public ToolOutput, public ::testing::WithParamInterface<LabelDepth> {};

TEST_P(ToolLabelDepth, HoldsTheTrueLabels) {
    const LabelDepth& p = GetParam();
    // One row of components: 1 pixel of foreground, 1 of ground.
    HostImage row;
    row.width = 2 * p.components - 1;
    row.height = 1;
    row.allocate();
    for (int x = 0; x < row.width; x += 2) row.u8[static_cast<std::size_t>(x)] = 255;
    lmx::io::writeImage(at("row.pgm"), row);
    const ToolRun r = lumerix({"row.pgm", "label", "-o", p.output});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("clipped") != std::string::npos, p.clipped) << r.err;
    const HostImage got = lmx::io::readImage(at(p.output));
    ASSERT_EQ(static_cast<int>(got.type), static_cast<int>(p.type));
    const double most = p.type == SampleType::UInt8    ? 255
                        : p.type == SampleType::UInt16 ? 65535
                                                       : 1e30;
    std::set<double> seen;
    for (int x = 0; x < row.width; ++x) {
        const double want = x % 2 ? 0.0 : std::min(most, x / 2 + 1.0);
        ASSERT_EQ(lmxtool::sampleAt(got, static_cast<std::size_t>(x)), want) << "x " << x;
        seen.insert(want);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(std::min<double>(p.components, most)) + 1);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Counts, ToolLabelDepth, ::testing::Values(
    LabelDepth{255,   "l.png", SampleType::UInt8,   false},
    LabelDepth{256,   "l.png", SampleType::UInt16,  false},
    LabelDepth{65535, "l.png", SampleType::UInt16,  false},
    LabelDepth{65536, "l.tif", SampleType::Float32, false},
    LabelDepth{65536, "l.png", SampleType::UInt16,  true}));
// clang-format on

}  // namespace
