// Test entry point. Death tests re-run the binary (threadsafe style) so that each starts from a
// fresh process: device start-up and fault plans are per process.

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {
// Without a GPU the cuda build's tests cannot run; they are reported skipped, not failed.
class RequireDevice : public ::testing::Environment {
public:
    void SetUp() override {
        if (!lmxtest::deviceAvailable()) GTEST_SKIP() << "no CUDA device on this machine";
    }
};
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::AddGlobalTestEnvironment(new RequireDevice);
    return RUN_ALL_TESTS();
}
