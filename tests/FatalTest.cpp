// Fatal paths: a failed runtime call ends the process with exit status 1 after the image layer's
// "LUMERIX error" report or the manager's one line, and the device start-up refuses a machine
// without a usable device. Each death test runs in a fresh process, where faults are injected.

#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmDims;

#if defined(LMX_BACKEND_CPU)
using lmx::cpu::Fault;
#endif

namespace {

// The text as a regular expression that matches exactly that text.
[[maybe_unused]] std::string literal(const std::string& text) {
    std::string re;
    for (const char c : text) {
        if (std::string("\\.[](){}*+?|^$").find(c) != std::string::npos) re += '\\';
        re += c;
    }
    return re;
}

// The image layer's report: caption, then "file:line : error", then the checked expression.
[[maybe_unused]] std::string boxReport(const std::string& file, const std::string& error,
                                       const std::string& expression) {
    return "^LUMERIX error\n" + literal(file) + ":[0-9]+ : " + literal(error) +
           "\nFunction: " + literal(expression) + "\n$";
}

// The manager's report: one line naming the file, the line and the error.
[[maybe_unused]] std::string managerReport(const std::string& file, const std::string& error) {
    return "^Cuda error in file '" + literal(file) + "' in line [0-9]+ : " + literal(error) +
           "\\.\n$";
}

[[maybe_unused]] std::vector<float> ramp(int n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(i);
    return v;
}

}  // namespace

// ---- the image layer ------------------------------------------------------------------------

TEST(FatalDeathTest, LaunchFailureInAnOperatorShowsTheLumerixErrorReport) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix a = lmxtest::imageOf(cmmDims(300), ramp(300));
    Lumerix b = lmxtest::imageOf(cmmDims(300), ramp(300));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Launch, 1, cudaErrorLaunchFailure);
            Lumerix c = a + b;
        },
        ::testing::ExitedWithCode(1),
        boxReport("LumerixPixel.cpp", "unspecified launch failure", "cudaGetLastError()"));
#endif
}

TEST(FatalDeathTest, ReportQuotesTheCheckedExpressionAsWritten) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix image(cmmDims(16, 4));
    const std::vector<unsigned char> bytes(64, 7);
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Copy, 1, cudaErrorInvalidValue);
            image.SetDataInt8(bytes.data());
        },
        ::testing::ExitedWithCode(1),
        "^LUMERIX error\n[A-Za-z]+\\.cpp:[0-9]+ : invalid argument\nFunction: " +
            literal("cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned char), "
                    "cudaMemcpyHostToDevice)") +
            "\n$");
#endif
}

// ---- the manager ----------------------------------------------------------------------------

TEST(FatalDeathTest, FailedUploadEndsTheProcessWithTheManagersLine) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix image = lmxtest::imageOf(cmmDims(8, 8), ramp(64));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Copy, 1, cudaErrorInvalidValue);
            image.Lock();
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "invalid argument"));
#endif
}

TEST(FatalDeathTest, FailedPartialUploadEndsTheProcessWithTheManagersLine) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix image = lmxtest::imageOf(cmmDims(8, 8), ramp(64));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Copy, 1, cudaErrorInvalidPitchValue);
            image.Lock(cmmBlock(2, 6, 1, 3));
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "invalid pitch argument"));
#endif
}

TEST(FatalDeathTest, FailedWriteBackEndsTheProcessWithTheManagersLine) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix whole(cmmDims(8, 8));
    whole.Lock();
    whole.Release();
    Lumerix part(cmmDims(8, 8));
    part.Lock(cmmBlock(0, 4, 0, 4));
    part.Release();
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Copy, 1, cudaErrorLaunchFailure);
            whole.GetHostPtr();
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "unspecified launch failure"));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Copy, 1, cudaErrorLaunchFailure);
            part.GetHostPtr();
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "unspecified launch failure"));
#endif
}

TEST(FatalDeathTest, FailedSynchronisationAfterATransferIsFatal) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix image = lmxtest::imageOf(cmmDims(5, 5), ramp(25));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Synchronize, 1, cudaErrorLaunchFailure);
            image.Lock();
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "unspecified launch failure"));
#endif
}

TEST(FatalDeathTest, FailedReleaseOfAZombieIsFatal) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            {
                Lumerix old(cmmDims(100));
                old.Lock();
                old.Release();
            }  // a zombie of 100 elements
            lmx::cpu::setDeviceCapacity(lmx::cpu::deviceBytesInUse());
            lmx::cpu::injectFault(Fault::Free, 1, cudaErrorInvalidDevicePointer);
            Lumerix image(cmmDims(200));
            image.Lock();  // has to put the zombie down
        },
        ::testing::ExitedWithCode(1), managerReport("cmmPage.cpp", "invalid device pointer"));
#endif
}

// ---- device start-up ------------------------------------------------------------------------
// The first page of the process selects the device, so these tests make no image before the
// statement that runs in the child.

TEST(FatalDeathTest, FirstImageWithoutADeviceEndsTheProcess) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            lmx::cpu::setDeviceCount(0);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), "^There is no device\\.\n$");
#endif
}

TEST(FatalDeathTest, RuntimeReportingNoDeviceCountsAsNoDevice) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::DeviceQuery, 1, cudaErrorNoDevice);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), "^There is no device\\.\n$");
#endif
}

TEST(FatalDeathTest, FirstImageWithoutACapableDeviceEndsTheProcess) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            lmx::cpu::setDeviceCount(3);
            lmx::cpu::setComputeMajor(0);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), "^There is no device supporting CUDA\\.\n$");
#endif
}

TEST(FatalDeathTest, FailedDeviceQueryIsReportedByTheManager) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::DeviceQuery, 1, cudaErrorInitializationError);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), managerReport("cmmDevice.cpp", "initialization error"));
    EXPECT_EXIT(
        {
            // The count succeeds; the properties of device 0 do not.
            lmx::cpu::injectFault(Fault::DeviceQuery, 2, cudaErrorInvalidDevice);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), managerReport("cmmDevice.cpp", "invalid device ordinal"));
#endif
}

TEST(FatalDeathTest, FailedDeviceSelectionIsReportedByTheManager) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    EXPECT_EXIT(
        {
            // Count, properties of device 0, then the selection fails.
            lmx::cpu::injectFault(Fault::DeviceQuery, 3, cudaErrorUnknown);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), managerReport("cmmDevice.cpp", "unknown error"));
    EXPECT_EXIT(
        {
            lmx::cpu::injectFault(Fault::Synchronize, 1, cudaErrorUnknown);
            Lumerix image(cmmDims(4));
        },
        ::testing::ExitedWithCode(1), managerReport("cmmDevice.cpp", "unknown error"));
#endif
}

TEST(FatalDeathTest, StartUpAcceptsComputeCapabilityOne) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    // In a fresh process, a device of compute capability 1.0 is good enough.
    EXPECT_EXIT(
        {
            lmx::cpu::setComputeMajor(1);
            Lumerix image(cmmDims(4));
            std::fputs("started\n", stderr);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "^started\n$");
#endif
}
