// The README's tool commands for photos, two images and counting, run as written on pictures
// drawn here: a 512 x 384 photo.jpg and coins.png.

#include "ToolSupport.h"

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

using lmx::io::HostImage;
using lmx::io::SampleType;
using lmxtool::ToolRun;

namespace {

struct Coin {
    int x, y, r;
};

// Bright discs on a dark, grainy ground, with a few specks too small to count.
HostImage coinsPicture(const std::vector<Coin>& coins) {
    HostImage image = lmxtool::randomImage(320, 200, 1, SampleType::UInt8, 17);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            std::uint8_t& v = image.u8[static_cast<std::size_t>(y) * image.width + x];
            v = static_cast<std::uint8_t>(40 + v % 21);
            for (const Coin& c : coins)
                if ((x - c.x) * (x - c.x) + (y - c.y) * (y - c.y) <= c.r * c.r)
                    v = static_cast<std::uint8_t>(190 + v % 31);
            if ((x == 150 && y == 20) || (x == 300 && y == 180)) v = 230;
        }
    return image;
}

// The commands of the README's block that follows the marker, "lumerix" and all.
std::vector<std::string> readmeCommands() {
    std::ifstream readme(LMX_README_PATH);
    std::vector<std::string> commands;
    bool marker = false, inBlock = false;
    for (std::string line; std::getline(readme, line);) {
        if (line == "<!-- tool-readme-commands -->") {
            marker = true;
        } else if (marker && !inBlock && line.rfind("```", 0) == 0) {
            inBlock = true;
        } else if (inBlock && line.rfind("```", 0) == 0) {
            break;
        } else if (inBlock && line.rfind("lumerix ", 0) == 0) {
            commands.push_back(line.substr(0, line.find(" #")));
        }
    }
    return commands;
}

class ToolReadme : public lmxtool::ToolTest {
protected:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no device for the tool to run on";
        lmxtool::ToolTest::SetUp();
    }
};

TEST_F(ToolReadme, CommandsRunAsWrittenAndCountTheCoins) {
    HostImage photo;
    photo.width = 512;
    photo.height = 384;
    photo.channels = 3;
    photo.allocate();
    // Slow waves that the low-pass keeps and a fine checker (period 4) that it removes.
    const double pi = 3.14159265358979;
    for (std::size_t i = 0; i < photo.u8.size(); ++i) {
        const std::size_t p = i / 3, x = p % 512, y = p / 512;
        photo.u8[i] = static_cast<std::uint8_t>(100 + 50 * std::sin(2 * pi * x / 128) +
                                                30 * std::cos(2 * pi * y / 96) +
                                                30 * ((x / 2 + y / 2) % 2) + 10 * (i % 3));
    }
    lmx::io::writeImage(at("photo.jpg"), photo);
    const std::vector<Coin> coins = {{40, 40, 18},  {100, 60, 15},  {180, 50, 20}, {260, 60, 16},
                                     {60, 140, 14}, {150, 140, 19}, {250, 150, 17}};
    lmx::io::writeImage(at("coins.png"), coinsPicture(coins));

    const std::vector<std::string> commands = readmeCommands();
    ASSERT_GE(commands.size(), 7u);
    std::string table;
    for (const std::string& command : commands) {
        std::vector<std::string> words = lmxtool::splitAtSpaces(command);
        words.erase(words.begin());
        const ToolRun r = lumerix(words);
        ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
        if (command.find(" regions") != std::string::npos) table = r.out;
    }
    // The low-pass keeps the photo's mean (the zero frequency) and takes out the checker.
    const HostImage low = lmx::io::readImage(at("low-pass.png"));
    ASSERT_EQ(low.width, 512);
    ASSERT_EQ(low.height, 384);
    const HostImage rgb = lmx::io::readImage(at("photo.jpg"));
    double meanIn = 0, meanOut = 0, edgesIn = 0, edgesOut = 0;
    std::vector<double> grey(low.u8.size());
    for (std::size_t p = 0; p < grey.size(); ++p)
        grey[p] = 0.299 * rgb.u8[3 * p] + 0.587 * rgb.u8[3 * p + 1] + 0.114 * rgb.u8[3 * p + 2];
    for (std::size_t p = 0; p < grey.size(); ++p) {
        meanIn += grey[p] / grey.size();
        meanOut += static_cast<double>(low.u8[p]) / grey.size();
        if (p % 512 == 0) continue;
        edgesIn += std::abs(grey[p] - grey[p - 1]);
        edgesOut += std::abs(static_cast<double>(low.u8[p]) - low.u8[p - 1]);
    }
    EXPECT_NEAR(meanOut, meanIn, 1.0);
    EXPECT_LT(edgesOut, 0.5 * edgesIn);
    // One header line and one row per coin.
    EXPECT_EQ(static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n')),
              coins.size() + 1)
        << table;
    EXPECT_TRUE(lmxtool::exists(at("counted.png")));
}

}  // namespace
