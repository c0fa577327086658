// The tool against what an attacker or a careless caller hands it: tap files that change under
// it, files that decompress to more pixels than the limit, device memory past the CPU backend's
// capacity, palette PNGs with transparency, grey levels through the colour conversion, and
// offsets at the ends of the int range.

#include "ToolSupport.h"

#include "TestSupport.h"

#include "tools/CommandLine.h"
#include "tools/Pipeline.h"

#include <lumerix/Lumerix.h>

#include <png.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class HardeningTool : public lmxtool::ToolTest {
protected:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
    }
    void TearDown() override {
        for (const char* name : {"LUMERIX_MAX_PIXELS", "LUMERIX_CPU_DEVICE_MEMORY"})
            ::unsetenv(name);
        lmxtool::ToolTest::TearDown();
    }
};

Lumerix imageOf(const HostImage& f) {
    Lumerix image(cmm::cmmDims(f.width, f.height));
    std::memcpy(image.GetHostPtr(), f.f32.data(), f.f32.size() * sizeof(float));
    return image;
}

bool sameBits(const float* a, const float* b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(float)) == 0;
}

// ---- a tap file is read once --------------------------------------------------------------------

TEST_F(HardeningTool, TapFileIsReadOnceSoAFileThatChangesAfterTheCheckChangesNothing) {
    std::ofstream(at("taps.txt")) << "1 2 3\n-4 5 6\n7 8 -9\n";
    const lmx::tool::Invocation inv = lmx::tool::parseCommandLine(
        {"in.tif", "convolve", "1", "1", "@" + at("taps.txt"), "-o", "out.tif"});
    // Between the check and the run the file shrinks to one tap (a pipe run dry, a file being
    // rewritten): the run must convolve with the nine taps the check saw.
    std::ofstream(at("taps.txt"), std::ios::trunc) << "5";
    const HostImage in = lmxtool::randomImage(13, 7, 1, SampleType::Float32, 9);
    std::vector<lmx::tool::Value> channels = lmx::tool::loadChannels(in, false);
    std::ostringstream out;
    lmx::tool::runSteps(channels, inv.steps, out);
    float taps[9] = {1, 2, 3, -4, 5, 6, 7, 8, -9};
    Lumerix source = imageOf(in);
    Lumerix want = convolve(source, taps, 1, 1);
    EXPECT_TRUE(sameBits(channels[0].image->GetHostPtr(), want.GetHostPtr(), 13 * 7));
}

// ---- the pixel limit ----------------------------------------------------------------------------

struct LimitCase {
    const char* name;
    const char* file;  // in.pgm or in.tif, 11 x 10 pixels
    const char* env;   // LUMERIX_MAX_PIXELS, or null
    std::vector<std::string> options;
    const char* error;  // the start of the one line, or null when the image is read
};

class PixelLimit : public HardeningTool, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(PixelLimit, RefusesLargerInputsBeforeReadingThem) {
    const LimitCase& p = GetParam();
    lmx::io::writeImage(at("in.pgm"), lmxtool::randomImage(11, 10, 1, SampleType::UInt8, 3));
    lmx::io::writeImage(at("in.tif"), lmxtool::randomImage(11, 10, 3, SampleType::UInt16, 3));
    if (p.env) ::setenv("LUMERIX_MAX_PIXELS", p.env, 1);
    std::vector<std::string> args = {p.file, "-o", "out.pgm"};
    args.insert(args.end(), p.options.begin(), p.options.end());
    const ToolRun r = lumerix(args);
    if (!p.error) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(lmxtool::exists(at("out.pgm")));
        return;
    }
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(p.error, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(lmxtool::exists(at("out.pgm")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, PixelLimit, ::testing::Values(
    LimitCase{"FlagBelow",        "in.pgm", nullptr, {"--max-pixels", "109"}, "lumerix: read: in.pgm: image of 11 x 10 pixels is more than the 109 allowed"},
    LimitCase{"FlagAt",           "in.pgm", nullptr, {"--max-pixels", "110"}, nullptr},
    LimitCase{"EnvBelow",         "in.pgm", "109",   {},                      "lumerix: read: in.pgm: image of 11 x 10 pixels is more than the 109 allowed"},
    LimitCase{"EnvAt",            "in.pgm", "110",   {},                      nullptr},
    LimitCase{"FlagOverEnv",      "in.pgm", "109",   {"--max-pixels", "110"}, nullptr},
    LimitCase{"FlagZero",         "in.pgm", nullptr, {"--max-pixels", "0"},   "lumerix: --max-pixels: '0' is not a whole number of pixels, 1 or more\n"},
    LimitCase{"FlagNegative",     "in.pgm", nullptr, {"--max-pixels", "-5"},  "lumerix: --max-pixels: '-5' is not a whole number of pixels, 1 or more\n"},
    LimitCase{"FlagTwice",        "in.pgm", nullptr, {"--max-pixels", "5", "--max-pixels", "6"}, "lumerix: --max-pixels: given twice"},
    LimitCase{"TiffBelow",        "in.tif", "109",   {},                      "lumerix: read: in.tif: image of 11 x 10 pixels is more than the 109 allowed"},
    LimitCase{"TiffAt",           "in.tif", nullptr, {"--max-pixels", "110"}, nullptr},
    LimitCase{"EnvNotANumber",    "in.pgm", "many",  {},                      "lumerix: LUMERIX_MAX_PIXELS: 'many' is not a whole number"}),
    [](const ::testing::TestParamInfo<LimitCase>& param) { return std::string(param.param.name); });
// clang-format on

// A valid PNG of width x height 8-bit grey pixels, all black, written row by row: some 260 KB
// for 2^28 + 16384 pixels, within what deflate can pack into so few bytes.
void writeFlatPng(const std::string& path, png_uint_32 width, png_uint_32 height) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_write_info(png, info);
    std::vector<png_byte> row(width, 0);
    for (png_uint_32 y = 0; y < height; ++y) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

TEST_F(HardeningTool, DecompressionBombPastTheDefaultLimitIsRefusedFromItsHeader) {
    writeFlatPng(at("flat.png"), 16384, 16385);
    EXPECT_LT(lmxtool::slurp(at("flat.png")).size(), 1u << 20);
    const ToolRun r = lumerix({"flat.png", "stats"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "lumerix: read: flat.png: image of 16384 x 16385 pixels is more than the 268435456 "
              "allowed (--max-pixels or LUMERIX_MAX_PIXELS raise the limit)\n");
    EXPECT_EQ(r.out, "");
}

// ---- the CPU backend's capacity from the environment --------------------------------------------

TEST_F(HardeningTool, DeviceMemoryPastTheCpuCapacityIsOutOfMemoryAndTheInputStillRuns) {
    LMX_CPU_BACKEND_ONLY();
    HostImage in = lmxtool::randomImage(37, 23, 1, SampleType::Float32, 4);
    for (float& v : in.f32) v = 2.0f;
    lmx::io::writeImage(at("in.tif"), in);
    ::setenv("LUMERIX_CPU_DEVICE_MEMORY", "8M", 1);
    // 2000 x 2000 floats are 16 MB: past the capacity, whatever is reclaimed.
    const ToolRun big = lumerix({"in.tif", "resize", "2000", "2000", "0", "0", "-o", "out.tif"});
    EXPECT_EQ(big.status, 2);
    EXPECT_EQ(big.err, "lumerix: resize: Out of memory\n");
    EXPECT_FALSE(lmxtool::exists(at("out.tif")));
    const ToolRun small = lumerix({"in.tif", "--backend-info", "stats"});
    EXPECT_EQ(small.status, 0) << small.err;
    EXPECT_NE(small.out.find("of 8 MB"), std::string::npos) << small.out;
    EXPECT_NE(small.out.find("1702"), std::string::npos) << small.out;  // 37 x 23 pixels of 2
    // A value that is not a size is named on one line, and the default capacity serves.
    ::setenv("LUMERIX_CPU_DEVICE_MEMORY", "lots", 1);
    const ToolRun named = lumerix({"in.tif", "resize", "2000", "2000", "0", "0", "stats"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.err.rfind("lumerix: LUMERIX_CPU_DEVICE_MEMORY='lots' is not a size", 0), 0u)
        << named.err;
    EXPECT_EQ(std::count(named.err.begin(), named.err.end(), '\n'), 1) << named.err;
}

// ---- palette PNGs with transparency -------------------------------------------------------------

TEST_F(HardeningTool, PalettePngWithTransparencyIsReadAsItsColours) {
    const png_color palette[4] = {{200, 10, 30}, {0, 255, 0}, {17, 34, 51}, {111, 111, 111}};
    const png_byte alpha[3] = {0, 128, 255};  // entry 3 keeps the default, opaque
    const int w = 5, h = 3;
    const png_byte index[h][w] = {{0, 1, 2, 3, 0}, {3, 2, 1, 0, 1}, {2, 2, 3, 3, 0}};
    {
        std::FILE* f = std::fopen(at("pal.png").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, f);
        png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_PLTE(png, info, palette, 4);
        png_set_tRNS(png, info, alpha, 3, nullptr);
        png_write_info(png, info);
        for (int y = 0; y < h; ++y) png_write_row(png, index[y]);
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
    }
    const ToolRun colour = lumerix({"pal.png", "--per-channel", "-o", "out.ppm"});
    ASSERT_EQ(colour.status, 0) << colour.err;
    const HostImage rgb = lmx::io::readImage(at("out.ppm"));
    ASSERT_EQ(rgb.channels, 3);
    ASSERT_EQ(rgb.u8.size(), 3u * w * h);
    const ToolRun grey = lumerix({"pal.png", "-o", "grey.tif", "--depth", "float"});
    ASSERT_EQ(grey.status, 0) << grey.err;
    const HostImage luma = lmx::io::readImage(at("grey.tif"));
    ASSERT_EQ(luma.f32.size(), static_cast<std::size_t>(w * h));
    for (int i = 0; i < w * h; ++i) {
        const png_color c = palette[index[i / w][i % w]];
        EXPECT_EQ(rgb.u8[3 * i], c.red) << i;
        EXPECT_EQ(rgb.u8[3 * i + 1], c.green) << i;
        EXPECT_EQ(rgb.u8[3 * i + 2], c.blue) << i;
        EXPECT_EQ(luma.f32[i], static_cast<float>(0.299 * c.red + 0.587 * c.green + 0.114 * c.blue))
            << i;
    }
}

// ---- grey levels through the colour conversion -------------------------------------------------

TEST_F(HardeningTool, EveryGreyLevelOfAColourFileKeepsItsValue) {
    const struct {
        int w, h;
        SampleType type;
        const char* file;
    } cases[] = {{16, 16, SampleType::UInt8, "levels.png"},
                 {256, 256, SampleType::UInt16, "levels16.png"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        HostImage in;
        in.width = c.w;
        in.height = c.h;
        in.channels = 3;
        in.type = c.type;
        in.allocate();
        for (std::size_t i = 0; i < in.sampleCount(); ++i) {
            if (c.type == SampleType::UInt8) in.u8[i] = static_cast<std::uint8_t>(i / 3);
            if (c.type == SampleType::UInt16) in.u16[i] = static_cast<std::uint16_t>(i / 3);
        }
        lmx::io::writeImage(at(c.file), in);
        const ToolRun r = lumerix({c.file, "-o", "grey.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        const HostImage got = lmx::io::readImage(at("grey.png"));
        ASSERT_EQ(got.channels, 1);
        for (int i = 0; i < c.w * c.h; ++i)
            ASSERT_EQ(lmxtool::sampleAt(got, static_cast<std::size_t>(i)), i) << "level " << i;
    }
}

// ---- shifts at the ends of the int range --------------------------------------------------------

TEST_F(HardeningTool, ShiftTakesEveryIntAndRefusesWhatLiesBeyond) {
    const HostImage in = lmxtool::randomImage(7, 5, 1, SampleType::Float32, 2);
    lmx::io::writeImage(at("in.tif"), in);
    Lumerix source = imageOf(in);
    const struct {
        const char* dx;
        const char* dy;
        bool accepted;
    } cases[] = {{"-2147483648", "0", true},
                 {"2147483647", "-2147483648", true},
                 {"-2147483649", "0", false},
                 {"0", "2147483648", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dx) + " " + c.dy);
        const ToolRun r = lumerix({"in.tif", "shift", c.dx, c.dy, "-o", "out.tif"});
        if (!c.accepted) {
            EXPECT_EQ(r.status, 2);
            EXPECT_NE(r.err.find("is not a whole number"), std::string::npos) << r.err;
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        Lumerix want = source(std::atoi(c.dx), std::atoi(c.dy));
        const HostImage got = lmx::io::readImage(at("out.tif"));
        EXPECT_TRUE(sameBits(got.f32.data(), want.GetHostPtr(), in.f32.size()));
    }
}

}  // namespace
