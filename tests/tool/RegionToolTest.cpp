// The tool's rows for scaling, the warp with a border, 8-connected labels and region tables,
// against the same library calls.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <lumerix/Lumerix.h>

#include <cstring>
#include <fstream>
#include <sstream>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

class RegionTool : public lmxtool::SameAsLibrary {
protected:
    static constexpr int kW = 31, kH = 19;

    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
        input = lmxtool::randomImage(kW, kH, 1, SampleType::Float32, 8);
        for (std::size_t i = 0; i < input.f32.size(); ++i)
            input.f32[i] = static_cast<float>((i * 104729) % 211);
        lmx::io::writeImage(at("in.tif"), input);
    }
};

}  // namespace

TEST_F(RegionTool, ScaleWarpAndLabelRowsGiveTheLibrarysPixels) {
    Lumerix in = image();
    const char* methods[] = {"nearest", "linear", "cubic", "area"};
    for (int m = 0; m < 4; ++m) {
        Lumerix want = scale(in, 45, 11, static_cast<LumerixInterpolation>(m));
        expectSame({"scale", "45", "11", "--method", methods[m]}, want);
    }
    Lumerix linear = scale(in, 12, 40);
    expectSame({"scale", "12", "40"}, linear);
    const float m[6] = {0.8f, -0.6f, 5.0f, 0.6f, 0.8f, -3.0f};
    Lumerix warped = affine(in, m, LumerixBorder::Constant, 7.5f);
    expectSame(
        {"affine", "0.8", "-0.6", "5", "0.6", "0.8", "-3", "--border", "constant", "--cval", "7.5"},
        warped);
    Lumerix mask = in > 100.0f;
    Lumerix labels = label(mask, 8);
    expectSame({"gt", "100", "label", "--connectivity", "8"}, labels);
}

TEST_F(RegionTool, RegionsPrintsATableAndWritesTheSameRowsAsCsv) {
    Lumerix in = image();
    Lumerix mask = in > 180.0f;
    Lumerix labels = label(mask, 8);
    const std::vector<LumerixRegion> want = regions(labels, in);
    const ToolRun r = lumerix({"in.tif", "gt", "180", "label", "--connectivity", "8", "regions",
                               "--csv", at("regions.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream table(r.out);
    std::ifstream csv(at("regions.csv"));
    std::string tableLine, csvLine;
    std::getline(table, tableLine);
    std::getline(csv, csvLine);
    EXPECT_EQ(tableLine, "label\tarea\tx0\ty0\tx1\ty1\tcx\tcy\tmin\tmax\tmean");
    EXPECT_EQ(csvLine, "label,area,x0,y0,x1,y1,cx,cy,min,max,mean");
    std::size_t rows = 0;
    while (std::getline(csv, csvLine)) {
        ASSERT_LT(rows, want.size());
        const LumerixRegion& w = want[rows++];
        std::istringstream fields(csvLine);
        char comma;
        int labelNo, x0, y0, x1, y1;
        long long area;
        double cx, cy, lo, hi, mean;
        fields >> labelNo >> comma >> area >> comma >> x0 >> comma >> y0 >> comma >> x1 >> comma >>
            y1 >> comma >> cx >> comma >> cy >> comma >> lo >> comma >> hi >> comma >> mean;
        EXPECT_EQ(labelNo, w.label);
        EXPECT_EQ(area, w.area);
        EXPECT_EQ(std::vector<int>({x0, y0, x1, y1}), std::vector<int>({w.x0, w.y0, w.x1, w.y1}));
        EXPECT_NEAR(cx, w.cx, 1e-4 * (1 + w.cx));
        EXPECT_NEAR(cy, w.cy, 1e-4 * (1 + w.cy));
        EXPECT_EQ(lo, w.min);
        EXPECT_EQ(hi, w.max);
        EXPECT_NEAR(mean, w.mean, 1e-6 * (1 + w.mean));
        ASSERT_TRUE(std::getline(table, tableLine));
    }
    EXPECT_EQ(rows, want.size());
    EXPECT_GT(rows, 3u);
}

TEST_F(RegionTool, BadMethodsAndConnectivitiesAreRefusedWhileReading) {
    for (const std::vector<std::string>& ops :
         {std::vector<std::string>{"scale", "0", "4"},
          {"scale", "4", "4", "--method", "bicubic"},
          {"label", "--connectivity", "6"},
          {"affine", "1", "0", "0", "0", "1", "0", "--border", "zero"}}) {
        std::vector<std::string> args = {"in.tif"};
        args.insert(args.end(), ops.begin(), ops.end());
        args.insert(args.end(), {"-o", "out.tif"});
        const ToolRun r = lumerix(args);
        EXPECT_EQ(r.status, 2) << ops[0];
        EXPECT_EQ(r.err.rfind("lumerix: " + ops[0] + ": ", 0), 0u) << r.err;
    }
}
