// The statistics report's device line against the CPU backend's capacity.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <sstream>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(StatisticsReport, DeviceLineGivesFreeThenTotalMegabytes) {
    // 3 MB and a little free; the total is what is in use plus that.
    const ScopedDeviceCapacity capacity(3 * 1048576 + 4096);
    const std::vector<std::string> lines = linesOf(cmmStatistics().Report());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[6], "CUDA reports 3 MB out of " +
                            std::to_string(lmx::cpu::deviceCapacity() >> 20) + " MB available");
}
