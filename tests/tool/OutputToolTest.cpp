// What the tool writes: values an output file cannot hold are reported, label images get a
// depth that holds every label.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
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
    if (lost > 0) {
        EXPECT_NE(
            r.err.find(std::to_string(lost) + " of " + std::to_string(in.u8.size()) + " values"),
            std::string::npos)
            << r.err;
    }
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
    Clipping{"MaskNormalised",{"gt", "100", "-o", "out.png", "--normalise"}, kNever, ""},
    Clipping{"MaskLooksBlack",{"threshold", "100", "-o", "out.png"}, kNever, "every value lies within 0..1, which 8-bit samples show as black; --normalise"}),
    [](const ::testing::TestParamInfo<Clipping>& param) { return std::string(param.param.name); });
// clang-format on

// ---- label depth
// -------------------------------------------------------------------------------

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

// ---- JPEG
// --------------------------------------------------------------------------------------

// A smooth picture (JPEG's loss is small on it): gradients and a soft disc.
HostImage smoothPicture(int channels) {
    HostImage image;
    image.width = 48;
    image.height = 40;
    image.channels = channels;
    image.allocate();
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const double disc =
                    std::exp(-((x - 20.0) * (x - 20.0) + (y - 18.0) * (y - 18.0)) / 150.0);
                image.u8[(static_cast<std::size_t>(y) * image.width + x) * channels + c] =
                    static_cast<std::uint8_t>(30 + 2 * x + y * (c + 1) + 90 * disc);
            }
    return image;
}

struct JpegTrip {
    const char* name;
    int channels;
    std::vector<std::string> args;  // in.png ... -o out.jpg
    double meanError;               // the most the mean absolute difference may be
};

class ToolJpeg : public ToolOutput, public ::testing::WithParamInterface<JpegTrip> {};

TEST_P(ToolJpeg, RoundTripsWithinTheCodecsLoss) {
    const JpegTrip& p = GetParam();
    const HostImage picture = smoothPicture(p.channels);
    lmx::io::writeImage(at("in.png"), picture);
    std::vector<std::string> args = {"in.png"};
    args.insert(args.end(), p.args.begin(), p.args.end());
    ASSERT_EQ(lumerix(args).status, 0);
    // Back through the tool, as a reader of JPEG.
    const ToolRun back = lumerix({"out.jpg", "-o", "back.png", "--per-channel"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.err, "");
    const HostImage got = lmx::io::readImage(at("back.png"));
    ASSERT_EQ(got.channels, p.channels);
    ASSERT_EQ(got.u8.size(), picture.u8.size());
    double total = 0;
    for (std::size_t i = 0; i < got.u8.size(); ++i) total += std::abs(got.u8[i] - picture.u8[i]);
    EXPECT_LE(total / got.u8.size(), p.meanError) << p.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ToolJpeg, ::testing::Values(
    JpegTrip{"Grey",        1, {"-o", "out.jpg"}, 1.5},
    JpegTrip{"Colour",      3, {"--per-channel", "-o", "out.jpg"}, 2.5},
    JpegTrip{"BestQuality", 3, {"--per-channel", "-o", "out.jpg", "--quality", "100"}, 1.0},
    JpegTrip{"LowQuality",  1, {"-o", "out.jpg", "--quality", "10"}, 8.0}),
    [](const ::testing::TestParamInfo<JpegTrip>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(ToolOutput, JpegQualityTradesSizeForLoss) {
    lmx::io::writeImage(at("in.png"), smoothPicture(3));
    ASSERT_EQ(lumerix({"in.png", "--per-channel", "-o", "low.jpg", "--quality", "10"}).status, 0);
    ASSERT_EQ(lumerix({"in.png", "--per-channel", "-o", "high.jpg", "--quality", "95"}).status, 0);
    EXPECT_LT(lmxtool::slurp(at("low.jpg")).size(), lmxtool::slurp(at("high.jpg")).size());
    for (const char* bad : {"0", "101", "9x"}) {
        const ToolRun r = lumerix({"in.png", "-o", "o.jpg", "--quality", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--quality"), std::string::npos) << r.err;
    }
    const ToolRun png = lumerix({"in.png", "-o", "o.png", "--quality", "50"});
    EXPECT_EQ(png.err, "lumerix: --quality: applies to JPEG output (-o NAME.jpg)\n");
    const ToolRun deep = lumerix({"in.png", "-o", "o.jpg", "--depth", "16"});
    EXPECT_EQ(deep.status, 2);
    EXPECT_NE(deep.err.find("JPEG holds 8-bit samples"), std::string::npos) << deep.err;
}

TEST_F(ToolOutput, EveryTruncatedJpegIsRefused) {
    for (int channels : {1, 3}) {
        lmx::io::writeImage(at("whole.jpg"), smoothPicture(channels));
        const std::string bytes = lmxtool::slurp(at("whole.jpg"));
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        EXPECT_NO_THROW(lmx::io::decodeImage(data, bytes.size(), "whole.jpg"));
        for (std::size_t cut = 1; cut < bytes.size(); ++cut)
            EXPECT_THROW(lmx::io::decodeImage(data, cut, "cut.jpg"), lmx::io::ImageFileError)
                << channels << " channels, " << cut << " of " << bytes.size() << " bytes";
        // And by the tool: one line, status 2, no output.
        std::ofstream(at("cut.jpg"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
        const ToolRun r = lumerix({"cut.jpg", "-o", "out.png"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("lumerix: read: cut.jpg: damaged JPEG", 0), 0u) << r.err;
        EXPECT_FALSE(lmxtool::exists(at("out.png")));
    }
}

// ---- alpha
// -------------------------------------------------------------------------------------

struct Alpha {
    int channels;  // 2: grey and alpha, 4: RGBA
    SampleType type;
};

class ToolAlpha : public ToolOutput, public ::testing::WithParamInterface<Alpha> {};

TEST_P(ToolAlpha, IsDroppedWithAWarningOrKeptPerChannel) {
    const Alpha& p = GetParam();
    const HostImage withAlpha = lmxtool::randomImage(23, 17, p.channels, p.type, 4);
    lmx::io::writeImage(at("in.png"), withAlpha);
    // The same picture without its alpha: the reader's default.
    lmx::io::writeImage(at("plain.png"), lmx::io::readImage(at("in.png")));

    const ToolRun dropped = lumerix({"in.png", "abs", "-o", "dropped.png"});
    ASSERT_EQ(dropped.status, 0) << dropped.err;
    EXPECT_EQ(dropped.err,
              "lumerix: warning: in.png: its alpha channel is dropped (--per-channel "
              "keeps it)\n");
    ASSERT_EQ(lumerix({"plain.png", "abs", "-o", "want.png"}).status, 0);
    EXPECT_EQ(lmxtool::slurp(at("dropped.png")), lmxtool::slurp(at("want.png")));

    const ToolRun kept = lumerix({"in.png", "--per-channel", "-o", "kept.png"});
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.err, "");
    const HostImage got = lmx::io::readImage(at("kept.png"), lmx::io::kMaxSamples, true);
    ASSERT_EQ(got.channels, p.channels);
    EXPECT_EQ(got.u8, withAlpha.u8);
    EXPECT_EQ(got.u16, withAlpha.u16);

    // Formats without alpha get the other channels, and the same warning.
    const ToolRun tiff = lumerix({"in.png", "--per-channel", "-o", "kept.tif"});
    ASSERT_EQ(tiff.status, 0) << tiff.err;
    EXPECT_EQ(tiff.err,
              "lumerix: warning: in.png: its alpha channel is dropped (only a PNG output "
              "keeps it)\n");
    EXPECT_EQ(lmx::io::readImage(at("kept.tif")).channels, p.channels - 1);
}

INSTANTIATE_TEST_SUITE_P(Files, ToolAlpha,
                         ::testing::Values(Alpha{4, SampleType::UInt8}, Alpha{2, SampleType::UInt8},
                                           Alpha{4, SampleType::UInt16}));

}  // namespace
