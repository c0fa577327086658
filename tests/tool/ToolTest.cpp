// The lumerix tool run as a process on files made here: exact round trips, a pipeline against
// the same library calls, the demo gallery, and every kind of bad input.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <zlib.h>

#include <cmath>
#include <cstring>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class Tool : public lmxtool::ToolTest {
protected:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
    }
};

void expectSameSamples(const HostImage& got, const HostImage& want, const std::string& what) {
    ASSERT_EQ(got.width, want.width) << what;
    ASSERT_EQ(got.height, want.height) << what;
    ASSERT_EQ(got.channels, want.channels) << what;
    ASSERT_EQ(static_cast<int>(got.type), static_cast<int>(want.type)) << what;
    // Bit for bit: float samples keep even their sign of zero.
    EXPECT_EQ(got.u8, want.u8) << what;
    EXPECT_EQ(got.u16, want.u16) << what;
    ASSERT_EQ(got.f32.size(), want.f32.size()) << what;
    if (!got.f32.empty()) {
        EXPECT_EQ(std::memcmp(got.f32.data(), want.f32.data(), got.f32.size() * sizeof(float)), 0)
            << what;
    }
}

// ---- round trips -------------------------------------------------------------------------------

struct RoundTrip {
    const char* in;
    const char* out;
    int channels;
    SampleType type;
};

class ToolRoundTrip : public Tool, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(ToolRoundTrip, KeepsEverySampleExactly) {
    const RoundTrip& p = GetParam();
    const HostImage image = lmxtool::randomImage(37, 23, p.channels, p.type, 7);
    lmx::io::writeImage(at(p.in), image);
    const ToolRun r = lumerix({p.in, "-o", p.out, "--per-channel"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expectSameSamples(lmx::io::readImage(at(p.out)), image, std::string(p.in) + " -> " + p.out);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, ToolRoundTrip, ::testing::Values(
    RoundTrip{"grey8.png",   "out.png",  1, SampleType::UInt8},
    RoundTrip{"grey16.png",  "out.png",  1, SampleType::UInt16},
    RoundTrip{"rgb8.png",    "out.png",  3, SampleType::UInt8},
    RoundTrip{"rgb16.png",   "out.tif",  3, SampleType::UInt16},
    RoundTrip{"grey8.tif",   "out.pgm",  1, SampleType::UInt8},
    RoundTrip{"grey16.tif",  "out.tiff", 1, SampleType::UInt16},
    RoundTrip{"float.tif",   "out.tif",  1, SampleType::Float32},
    RoundTrip{"rgbf.tif",    "out.tif",  3, SampleType::Float32},
    RoundTrip{"grey16.pgm",  "out.png",  1, SampleType::UInt16},
    RoundTrip{"rgb8.ppm",    "out.ppm",  3, SampleType::UInt8}));
// clang-format on

TEST_F(Tool, ConvertsColourToGreyByLuminanceUnlessAskedPerChannel) {
    const HostImage rgb = lmxtool::randomImage(19, 11, 3, SampleType::UInt8, 3);
    lmx::io::writeImage(at("rgb.png"), rgb);
    const ToolRun r = lumerix({"rgb.png", "-o", "grey.tif", "--depth", "float"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage grey = lmx::io::readImage(at("grey.tif"));
    ASSERT_EQ(grey.channels, 1);
    ASSERT_EQ(grey.f32.size(), rgb.sampleCount() / 3);
    for (std::size_t i = 0; i < grey.f32.size(); ++i) {
        // The luminance rounded once to float.
        const float want = static_cast<float>(0.299 * rgb.u8[3 * i] + 0.587 * rgb.u8[3 * i + 1] +
                                              0.114 * rgb.u8[3 * i + 2]);
        ASSERT_EQ(grey.f32[i], want) << "pixel " << i;
    }
}

// ---- pipelines against the library -------------------------------------------------------------

Lumerix imageOf(const HostImage& f) {
    Lumerix image(cmm::cmmDims(f.width, f.height));
    std::memcpy(image.GetHostPtr(), f.f32.data(), f.f32.size() * sizeof(float));
    return image;
}

TEST_F(Tool, PipelineGivesWhatTheSameLibraryCallsGive) {
    HostImage in = lmxtool::randomImage(41, 29, 1, SampleType::Float32, 11);
    for (float& v : in.f32) v = std::fmod(std::fabs(v), 200.0f);
    lmx::io::writeImage(at("in.tif"), in);
    const ToolRun r = lumerix({"in.tif", "mul", "0.5", "add", "3", "sqrt", "max", "2.5", "rsub",
                               "10", "log", "gt", "1.2", "-o", "out.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    Lumerix image = imageOf(in);
    Lumerix want = log(10.0f - fmax(sqrt(image * 0.5f + 3.0f), 2.5f)) > 1.2f;
    const HostImage got = lmx::io::readImage(at("out.tif"));
    ASSERT_EQ(got.f32.size(), in.f32.size());
    EXPECT_EQ(std::memcmp(got.f32.data(), want.GetHostPtr(), got.f32.size() * sizeof(float)), 0);
}

TEST_F(Tool, NormalisedOutputStretchesMinimumToZeroAndMaximumToFullScale) {
    HostImage in = lmxtool::randomImage(23, 17, 1, SampleType::Float32, 5);
    for (std::size_t i = 0; i < in.f32.size(); ++i) in.f32[i] = 10.0f + static_cast<float>(i % 50);
    lmx::io::writeImage(at("in.tif"), in);
    for (const char* depth : {"8", "16"}) {
        const ToolRun r =
            lumerix({"in.tif", "sqrt", "-o", "out.png", "--normalise", "--depth", depth});
        ASSERT_EQ(r.status, 0) << r.err;
        const HostImage got = lmx::io::readImage(at("out.png"));
        const double full = std::string(depth) == "8" ? 255.0 : 65535.0;
        const double lo = std::sqrt(10.0), hi = std::sqrt(59.0);
        for (std::size_t i = 0; i < in.f32.size(); ++i) {
            const double want = (std::sqrt(static_cast<double>(in.f32[i])) - lo) / (hi - lo) * full;
            ASSERT_NEAR(lmxtool::sampleAt(got, i), want, 0.51) << depth << "-bit pixel " << i;
        }
    }
}

TEST_F(Tool, StatsPrintTheLibrarysFiguresAndHistogram) {
    const HostImage in = lmxtool::randomImage(33, 21, 1, SampleType::UInt8, 9);
    lmx::io::writeImage(at("in.pgm"), in);
    const ToolRun r = lumerix({"in.pgm", "stats"});
    ASSERT_EQ(r.status, 0) << r.err;
    Lumerix image(cmm::cmmDims(33, 21));
    image.SetDataInt8(in.u8.data());
    char line[64];
    std::snprintf(line, sizeof line, "  mean %.9g\n", static_cast<double>(mean(image)));
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    std::snprintf(line, sizeof line, "  var %.9g\n", static_cast<double>(var(image)));
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    unsigned counts[256] = {};
    for (std::uint8_t v : in.u8) ++counts[v];
    std::string row = "    0:";
    for (int b = 0; b < 16; ++b) row += " " + std::to_string(counts[b]);
    EXPECT_NE(r.out.find(row + "\n"), std::string::npos) << r.out;
}

TEST_F(Tool, HistogramChartHasOneBarPerBinScaledToTheFullestBin) {
    HostImage in = lmxtool::randomImage(64, 8, 1, SampleType::UInt8, 1);
    for (std::size_t i = 0; i < in.u8.size(); ++i) in.u8[i] = static_cast<std::uint8_t>(i % 7 * 30);
    in.u8[0] = 255;  // bin 255 holds one pixel, bin 0 the most
    lmx::io::writeImage(at("in.png"), in);
    const ToolRun r = lumerix({"in.png", "histogram", "-o", "chart.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostImage chart = lmx::io::readImage(at("chart.png"));
    ASSERT_EQ(chart.width, 512);
    ASSERT_EQ(chart.height, 200);
    unsigned counts[256] = {};
    for (std::uint8_t v : in.u8) ++counts[v];
    const unsigned top = *std::max_element(counts, counts + 256);
    for (int x = 0; x < 512; ++x) {
        int bar = 0;
        for (int y = 0; y < 200; ++y)
            bar += chart.u8[static_cast<std::size_t>(y) * 512 + x] < 128 ? 1 : 0;
        const double want = static_cast<double>(counts[x / 2]) * 200 / top;
        EXPECT_NEAR(bar, counts[x / 2] ? std::max(1.0, want) : 0.0, 0.5) << "column " << x;
    }
}

TEST_F(Tool, TimeStatsAndBackendInfoReportEachPart) {
    lmx::io::writeImage(at("in.png"), lmxtool::randomImage(16, 16, 1, SampleType::UInt8, 2));
    const ToolRun r = lumerix(
        {"in.png", "add", "1", "sqrt", "-o", "out.png", "--time", "--stats", "--backend-info"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* part : {"backend: ", "device: ", "time: read in.png", "time: add 1",
                             "time: sqrt", "time: write out.png", "time: total", "Managing "})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
}

TEST_F(Tool, HelpComesFromTheCommandList) {
    const ToolRun all = lumerix({"help"});
    ASSERT_EQ(all.status, 0);
    for (const char* op :
         {"  add VALUE", "  threshold LEVEL", "  clamp LOW HIGH", "  stats", "  histogram",
          "  erode PASSES SHAPE", "  convolve XRADIUS YRADIUS TAPS", "  gaussy SIGMA",
          "  shift DX DY", "  slice X Y W H", "  resize W H A B", "  fft [--magnitude]", "  ifft",
          "  label", "  xx", "  yy", "  crop X0 X1 Y0 Y1", "  affine A B C D E F"})
        EXPECT_NE(all.out.find(op), std::string::npos) << op;
    const ToolRun one = lumerix({"help", "clamp"});
    ASSERT_EQ(one.status, 0);
    EXPECT_NE(one.out.find("LOW: a finite number"), std::string::npos) << one.out;
    // The help states what the results are, sign and scale included.
    const std::pair<const char*, const char*> facts[] = {
        {"gaussx", "negative derivative"},
        {"gaussy", "negative derivative"},
        {"ifft", "divides the result by the pixel count"},
        {"ifft", "library's ifft does not divide"}};
    for (const auto& [op, fact] : facts) {
        const ToolRun help = lumerix({"help", op});
        ASSERT_EQ(help.status, 0) << op;
        EXPECT_NE(help.out.find(fact), std::string::npos) << op << ": " << help.out;
    }
}

// ---- the demo ----------------------------------------------------------------------------------

TEST_F(Tool, DemoWritesItsGalleryAndAnIndexNamingEachPicture) {
    const ToolRun r = lumerix({"demo", "gallery"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("gallery in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("backend: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Managing "), std::string::npos) << r.out;
    struct Picture {
        const char* file;
        int width, height, channels;
    };
    std::vector<Picture> pictures = {{"sample.png", 512, 384, 1},
                                     {"threshold.png", 512, 384, 1},
                                     {"inverted.png", 512, 384, 1},
                                     {"contrast.png", 512, 384, 1},
                                     {"histogram.png", 512, 200, 1}};
    for (const char* f :
         {"blur.png", "edges.png", "spectrum.png", "eroded.png", "dilated.png", "warped.png"})
        pictures.push_back({f, 512, 384, 1});
    pictures.push_back({"labels.png", 512, 384, 3});
    const std::string index = lmxtool::slurp(at("gallery/index.html"));
    for (const Picture& p : pictures) {
        const HostImage image = lmx::io::readImage(at(std::string("gallery/") + p.file));
        EXPECT_EQ(image.width, p.width) << p.file;
        EXPECT_EQ(image.height, p.height) << p.file;
        EXPECT_EQ(image.channels, p.channels) << p.file;
        EXPECT_NE(index.find(std::string("src=\"") + p.file + "\""), std::string::npos) << p.file;
    }
    EXPECT_EQ(lmxtool::folderEntries(at("gallery")).size(), pictures.size() + 1);
    // The mask is a mask: black and white, both present.
    const HostImage mask = lmx::io::readImage(at("gallery/threshold.png"));
    bool black = false, white = false;
    for (std::uint8_t v : mask.u8) {
        ASSERT_TRUE(v == 0 || v == 255) << int(v);
        black = black || v == 0;
        white = white || v == 255;
    }
    EXPECT_TRUE(black && white);
    EXPECT_NE(index.find(" ms)"), std::string::npos);  // each caption carries its time
}

// ---- bad input ---------------------------------------------------------------------------------

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // the one line on standard error, up to its end
};

class ToolRejects : public Tool, public ::testing::WithParamInterface<BadInput> {
protected:
    void makeInputs() {
        const HostImage grey = lmxtool::randomImage(32, 24, 1, SampleType::UInt8, 4);
        lmx::io::writeImage(at("in.png"), grey);
        lmx::io::writeImage(at("in.tif"), lmxtool::randomImage(32, 24, 1, SampleType::UInt16, 4));
        lmx::io::writeImage(at("in.pgm"), grey);
        const std::string png = lmxtool::slurp(at("in.png"));
        const std::string tif = lmxtool::slurp(at("in.tif"));
        const std::string pgm = lmxtool::slurp(at("in.pgm"));
        write("truncated.png", png.substr(0, png.size() / 2));
        write("truncated.tif", tif.substr(0, tif.size() - 40));
        write("truncated.pgm", pgm.substr(0, pgm.size() - 1));
        std::string crc = png;
        crc[40] = static_cast<char>(crc[40] ^ 0x55);  // inside the first IDAT: its CRC fails
        write("crc.png", crc);
        write("empty.png", "");
        write("text.png", "this is not an image\n");
        ASSERT_EQ(::mkdir(at("folder.png").c_str(), 0777), 0);
        write("old.png", "old contents");
    }
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(at(name), std::ios::binary) << bytes;
    }
};

TEST_P(ToolRejects, WithOneLineStatusTwoAndNoOutput) {
    makeInputs();
    const std::vector<std::string> before = lmxtool::folderEntries(work);
    const BadInput& p = GetParam();
    const ToolRun r = lumerix(p.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind(p.message, 0), 0u) << "stderr: " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    // Nothing new in the folder (no output, no temporary file), and old.png as it was.
    EXPECT_EQ(lmxtool::folderEntries(work).size(), before.size());
    EXPECT_FALSE(lmxtool::exists(at("out.png")));
    EXPECT_EQ(lmxtool::slurp(at("old.png")), "old contents");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ToolRejects, ::testing::Values(
    BadInput{"TruncatedPng",    {"truncated.png", "-o", "out.png"}, "lumerix: read: truncated.png: truncated PNG"},
    BadInput{"CorruptPng",      {"crc.png", "-o", "out.png"},       "lumerix: read: crc.png: "},
    BadInput{"TruncatedTiff",   {"truncated.tif", "-o", "out.png"}, "lumerix: read: truncated.tif: "},
    BadInput{"TruncatedPgm",    {"truncated.pgm", "-o", "out.png"}, "lumerix: read: truncated.pgm: truncated PGM/PPM"},
    BadInput{"EmptyFile",       {"empty.png", "-o", "out.png"},     "lumerix: read: empty.png: empty file\n"},
    BadInput{"NotAnImage",      {"text.png", "-o", "out.png"},      "lumerix: read: text.png: not an image"},
    BadInput{"FolderAsInput",   {"folder.png", "-o", "out.png"},    "lumerix: read: folder.png: is a folder, not an image file\n"},
    BadInput{"MissingInput",    {"none.png", "-o", "out.png"},      "lumerix: read: none.png: cannot open: No such file"},
    BadInput{"UnknownOperation",{"in.png", "frobnicate", "-o", "out.png"}, "lumerix: frobnicate: unknown operation"},
    BadInput{"MissingArgument", {"in.png", "add", "-o", "out.png"}, "lumerix: add: needs 1 argument (VALUE), got 0\n"},
    BadInput{"MissingLastArgument", {"in.png", "clamp", "1"},       "lumerix: clamp: needs 2 arguments (LOW HIGH), got 1\n"},
    BadInput{"NotANumber",      {"in.png", "mul", "2x", "-o", "out.png"}, "lumerix: mul: VALUE '2x' is not a number\n"},
    BadInput{"NaNArgument",     {"in.png", "add", "nan", "-o", "out.png"}, "lumerix: add: VALUE 'nan': NaN is not allowed here\n"},
    BadInput{"InfiniteArgument",{"in.png", "add", "1e39", "-o", "out.png"}, "lumerix: add: VALUE '1e39' is not a finite number\n"},
    BadInput{"FractionForInteger", {"in.png", "bitand", "1.5", "-o", "out.png"}, "lumerix: bitand: VALUE '1.5' is not a whole number\n"},
    BadInput{"ContradictingRange", {"in.png", "clamp", "9", "3", "-o", "out.png"}, "lumerix: clamp: LOW 9 is above HIGH 3\n"},
    BadInput{"UnknownOption",   {"in.png", "--sharpen", "-o", "out.png"}, "lumerix: --sharpen: unknown option"},
    BadInput{"ColourAndPerChannel", {"in.png", "-o", "out.png", "--colour", "--per-channel"}, "lumerix: --colour: contradicts --per-channel"},
    BadInput{"ColourAndNormalise",  {"in.png", "-o", "out.png", "--colour", "--normalise"}, "lumerix: --colour: contradicts --normalise"},
    BadInput{"FloatIntoPng",    {"in.png", "-o", "out.png", "--depth", "float"}, "lumerix: -o: out.png: PNG and PGM/PPM hold 8 or 16-bit"},
    BadInput{"BadDepth",        {"in.png", "-o", "out.png", "--depth", "12"}, "lumerix: --depth: '12' is not 8, 16 or float\n"},
    BadInput{"ColourIntoPgm",   {"in.png", "-o", "out.pgm", "--colour"}, "lumerix: -o: out.pgm: PGM holds grey images"},
    BadInput{"UnknownFormat",   {"in.png", "-o", "out.bmp"},        "lumerix: -o: out.bmp: unknown output format"},
    BadInput{"OutputTwice",     {"in.png", "-o", "out.png", "-o", "b.png"}, "lumerix: -o: given twice"},
    BadInput{"OutputWithoutName", {"in.png", "add", "1", "-o"},     "lumerix: -o: needs an output file\n"},
    BadInput{"NormaliseWithoutOutput", {"in.png", "stats", "--normalise"}, "lumerix: --normalise: applies to the output"},
    BadInput{"NothingToDo",     {"in.png", "add", "1"},             "lumerix: in.png: nothing to do"},
    BadInput{"OutputFolderMissing", {"in.png", "-o", "missing/out.png"}, "lumerix: write: missing/out.png: cannot create"},
    BadInput{"OutputIsAFolder", {"in.png", "-o", "folder.png"},     "lumerix: write: folder.png: cannot write"},
    BadInput{"FailedReadKeepsOld", {"truncated.png", "-o", "old.png"}, "lumerix: read: truncated.png: truncated PNG"},
    BadInput{"HelpForUnknown",  {"help", "frobnicate"},             "lumerix: help: frobnicate: unknown operation"},
    BadInput{"DemoWithOutput",  {"demo", "g", "-o", "out.png"},     "lumerix: demo: -o does not apply"},
    BadInput{"DemoIntoAFile",   {"demo", "old.png"},                "lumerix: demo: old.png: exists and is not a folder\n"}),
    [](const ::testing::TestParamInfo<BadInput>& param) { return std::string(param.param.name); });
// clang-format on

// ---- the readers alone -------------------------------------------------------------------------

// Every strict prefix of a good file is a truncated file: it must be refused with a message,
// never read past its end or taken for a different image. (A TIFF cut inside its last
// directory's next-directory link still holds the whole image; libtiff reads it.)
TEST(ImageFile, EveryTruncationOfAGoodFileIsRefusedOrReadWhole) {
    char pattern[] = "/tmp/lumerix-io-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    for (const char* name : {"a.png", "b.tif", "c.ppm", "d.pgm"}) {
        const bool colour = std::string(name) == "c.ppm";
        const bool tiff = std::string(name) == "b.tif";
        const SampleType type =
            std::string(name) == "d.pgm" ? SampleType::UInt16 : SampleType::UInt8;
        const HostImage image = lmxtool::randomImage(9, 5, colour ? 3 : 1, type, 1);
        lmx::io::writeImage(dir + "/" + name, image);
        const std::string bytes = lmxtool::slurp(dir + "/" + name);
        int refused = 0;
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            const std::vector<std::uint8_t> prefix(bytes.begin(),
                                                   bytes.begin() + static_cast<long>(n));
            try {
                const HostImage got = lmx::io::decodeImage(prefix.data(), prefix.size(), name);
                EXPECT_TRUE(tiff) << name << " cut to " << n << " bytes was read";
                expectSameSamples(got, image, std::string(name) + " cut to " + std::to_string(n));
            } catch (const lmx::io::ImageFileError& e) {
                EXPECT_EQ(std::string(e.what()).rfind(std::string(name) + ": ", 0), 0u) << e.what();
                ++refused;
            }
        }
        EXPECT_GE(refused, static_cast<int>(bytes.size()) - 4) << name;
        expectSameSamples(lmx::io::decodeImage(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               bytes.size(), name),
                          image, name);
    }
    std::system(("rm -rf " + lmxtool::shellQuoted(dir)).c_str());
}

// A header that claims far more pixels than the file could hold is refused before the pixels
// are allocated (IHDR patched to 20000 x 20000, its CRC made good).
TEST(ImageFile, PngClaimingMorePixelsThanItsBytesCanHoldIsRefused) {
    char pattern[] = "/tmp/lumerix-io-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/a.png";
    lmx::io::writeImage(path, lmxtool::randomImage(4, 4, 1, SampleType::UInt8, 1));
    std::string bytes = lmxtool::slurp(path);
    std::system(("rm -rf " + lmxtool::shellQuoted(pattern)).c_str());
    for (int at : {16, 20}) {  // width and height, big-endian, after the signature and chunk head
        bytes[at] = 0;
        bytes[at + 1] = 0;
        bytes[at + 2] = static_cast<char>(0x4e);
        bytes[at + 3] = static_cast<char>(0x20);
    }
    const std::uint32_t crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + 12), 17));
    for (int k = 0; k < 4; ++k) bytes[29 + k] = static_cast<char>(crc >> (24 - 8 * k));
    try {
        lmx::io::decodeImage(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                             "a.png");
        ADD_FAILURE() << "read";
    } catch (const lmx::io::ImageFileError& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("a.png: damaged PNG: 20000 x 20000 pixels cannot fit", 0),
            0u)
            << e.what();
    }
}

// A little-endian TIFF of one directory written here field by field: a header that claims more
// samples than its bytes could hold must be refused at once, without allocating them (found
// by the reader fuzz target: 23311 pixels of 63744 samples in a 197-byte file).
std::vector<std::uint8_t> tiffClaiming(std::uint32_t width, std::uint32_t height,
                                       std::uint16_t samples, std::uint16_t compression) {
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t value;
    };
    const std::vector<Entry> entries = {
        {256, 4, width}, {257, 4, height},  {258, 3, 8},      {259, 3, compression}, {262, 3, 1},
        {273, 4, 8},     {277, 3, samples}, {278, 4, height}, {279, 4, 16},          {284, 3, 1}};
    std::vector<std::uint8_t> b = {'I', 'I', 42, 0, 24, 0, 0, 0};
    b.resize(24, 0x55);  // 16 bytes of strip data
    auto put = [&](std::uint32_t v, int bytes) {
        for (int k = 0; k < bytes; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    put(static_cast<std::uint32_t>(entries.size()), 2);
    for (const Entry& e : entries) {
        put(e.tag, 2);
        put(e.type, 2);
        put(1, 4);
        put(e.value, 4);
    }
    put(0, 4);
    return b;
}

TEST(ImageFile, TiffClaimingMoreSamplesThanItsBytesCanHoldIsRefused) {
    struct Claim {
        std::uint32_t width, height;
        std::uint16_t samples, compression;
    };
    // clang-format off
    for (const Claim& c : {Claim{23311, 5, 63744, 8},     // samples per pixel beyond any image
                           Claim{1u << 14, 1u << 14, 1, 8}, // 256 MiB from 16 bytes of deflate
                           Claim{64, 64, 1, 1}}) {         // 4096 raw bytes in 16
        // clang-format on
        const std::vector<std::uint8_t> file =
            tiffClaiming(c.width, c.height, c.samples, c.compression);
        try {
            lmx::io::decodeImage(file.data(), file.size(), "a.tif");
            ADD_FAILURE() << c.width << " x " << c.height << " was read";
        } catch (const lmx::io::ImageFileError& e) {
            EXPECT_EQ(
                std::string(e.what()).rfind("a.tif: damaged TIFF: " + std::to_string(c.width) +
                                                " x " + std::to_string(c.height) + " pixels",
                                            0),
                0u)
                << e.what();
        }
    }
    // The same directory claiming what its bytes hold is an image.
    const std::vector<std::uint8_t> fits = tiffClaiming(4, 4, 1, 1);
    const HostImage got = lmx::io::decodeImage(fits.data(), fits.size(), "a.tif");
    EXPECT_EQ(got.u8, std::vector<std::uint8_t>(16, 0x55));
}

}  // namespace
