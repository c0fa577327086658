// A fatal handler sees the report that would otherwise end the process, and the process still
// ends when the handler returns.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct Reported : std::exception {
    std::string caption, text;
};

void throwReport(const char* caption, const char* text) {
    Reported r;
    r.caption = caption;
    r.text = text;
    throw r;
}

}  // namespace

TEST(FatalHandler, ReceivesTheCaptionAndTextAndMayUnwind) {
    Lumerix a = imageOf(ramp(300));
    const LumerixFatalHandler before = LumerixSetFatalHandler(&throwReport);
    EXPECT_EQ(before, nullptr);
    lmx::cpu::injectFault(lmx::cpu::Fault::Launch, 1, cudaErrorLaunchFailure);
    try {
        Lumerix r = a + a;
        ADD_FAILURE() << "the failed launch was not reported";
    } catch (const Reported& r) {
        EXPECT_EQ(r.caption, "LUMERIX error");
        EXPECT_NE(r.text.find("LumerixPixel.cpp:"), std::string::npos) << r.text;
        EXPECT_NE(r.text.find("\nFunction: cudaGetLastError()"), std::string::npos) << r.text;
    }
    lmx::cpu::clearFaults();
    cudaGetLastError();
    EXPECT_EQ(LumerixSetFatalHandler(nullptr), &throwReport);
    // The images are unlocked again and usable.
    EXPECT_EQ(a.page->lockCount, 0);
    EXPECT_TRUE(sameFloats(pixels(a + a), [] {
        std::vector<float> v = ramp(300);
        for (float& x : v) x += x;
        return v;
    }()));
}

TEST(FatalHandlerDeathTest, AHandlerThatReturnsStillEndsTheProcess) {
    EXPECT_EXIT(
        {
            LumerixSetFatalHandler(
                [](const char*, const char* text) { std::fprintf(stderr, "seen: %s", text); });
            Lumerix a = imageOf(ramp(10));
            lmx::cpu::injectFault(lmx::cpu::Fault::Copy, 1, cudaErrorInvalidValue);
            a.Lock();
        },
        ::testing::ExitedWithCode(1), "^seen: Cuda error in file '[^']+' in line [0-9]+ : ");
}
