// Labelling against the CPU backend's copy counters: what crosses the bus each way.

#include "TestSupport.h"

#include <vector>

using lmxtest::pixels;

// The mask comes to the host as one byte per pixel; the labels go back as 8 bits up to 255
// components, 16 bits up to 65535, and as floats beyond.
TEST(Label, LabelsCrossTheBusInTheNarrowestTypeThatHoldsThem) {
    for (const int count : {255, 256, 65535, 65536}) {
        SCOPED_TRACE(count);
        const int w = 2 * count;
        std::vector<float> v(static_cast<std::size_t>(w), 0.0f), want(v.size(), 0.0f);
        for (int i = 0; i < count; ++i) v[2 * i] = want[2 * i] = static_cast<float>(i + 1);
        Lumerix image = lmxtest::imageOf(v);
        lmxtest::onDevice({&image});
        const auto before = lmxtest::RuntimeTotals::now();
        Lumerix out = label(image);
        const auto moved = lmxtest::RuntimeTotals::now().since(before);
        EXPECT_EQ(moved.deviceToHostBytes, static_cast<std::size_t>(w));
        const std::size_t width = count <= 255 ? 1 : count <= 65535 ? 2 : 0;
        EXPECT_EQ(moved.hostToDeviceBytes, width * w);
        EXPECT_TRUE(lmxtest::sameFloats(pixels(out), want));
    }
}
