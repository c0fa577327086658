// Test entry point. Death tests re-run the binary (threadsafe style) so that each starts from a
// fresh process: device start-up and fault plans are per process.

#include "TestSupport.h"

#include <gtest/gtest.h>

#if defined(LMX_SANITIZE)
// The sanitizer build's defaults, so that the binary behaves the same under CTest, from a shell
// and in the child processes of death tests; the environment's ASAN_OPTIONS / UBSAN_OPTIONS still
// take precedence. Leaks are reported at exit; the first error of either sanitizer ends the run.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=1:halt_on_error=1:exitcode=86:detect_stack_use_after_return=1:"
           "check_initialization_order=1:strict_init_order=1";
}
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1:exitcode=87";
}
#endif

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
