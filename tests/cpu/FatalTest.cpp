// Fatal paths: a failed runtime call ends the process with exit status 1 after the image layer's
// "LUMERIX error" report or the manager's one line, and the device start-up refuses a machine
// without a usable device. Each death test runs in a fresh process, where the faults are
// injected; everything a case needs happens inside its statement.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// The text as a regular expression that matches exactly that text.
std::string literal(const std::string& text) {
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

struct FatalCase {
    std::function<void()> run;
    std::string report;
};

}  // namespace

using lmx::cpu::Fault;
using lmx::cpu::injectFault;
using lmx::cpu::injectPersistentFault;

TEST(FatalDeathTest, FailedChecksOfTheImageLayerShowTheLumerixErrorReport) {
    const FatalCase cases[] = {
        {[] {
             Lumerix a = imageOf(ramp(300));
             Lumerix b = imageOf(ramp(300));
             injectFault(Fault::Launch, 1, cudaErrorLaunchFailure);
             Lumerix c = a + b;
         },
         boxReport("LumerixPixel.cpp", "unspecified launch failure", "cudaGetLastError()")},
        // Shared conversion code quotes the expression of the width it converts.
        {[] {
             Lumerix image(cmmDims(16, 4));
             const std::vector<unsigned char> bytes(64, 7);
             injectFault(Fault::Copy, 1, cudaErrorInvalidValue);
             image.SetDataInt8(bytes.data());
         },
         boxReport("Lumerix.cpp", "invalid argument",
                   "cudaMemcpy(shortdata, data, GetDimensions().Size()*sizeof(unsigned char), "
                   "cudaMemcpyHostToDevice)")},
        // No device memory for the 64 partial results (and no cached chunk to give back).
        {[] {
             Lumerix image = imageOf({1.0f, 2.0f, 3.0f});
             releaseCachedChunks();
             injectPersistentFault(Fault::Allocation, 1, cudaErrorMemoryAllocation);
             sum(image);
         },
         boxReport("LumerixPixel.cpp", "out of memory",
                   "LumerixMalloc((void **)&partial, kBlocks * sizeof(float))")},
        // The histogram allocates its partial histograms first, then the 8-bit copy.
        {[] {
             Lumerix image = imageOf({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
             releaseCachedChunks();
             injectFault(Fault::Allocation, 1, cudaErrorMemoryAllocation);
             unsigned int counts[256];
             histogram256(image, counts);
         },
         boxReport("LumerixHistogram.cpp", "out of memory",
                   "LumerixMalloc((void **)&d_Result, lmx::kHistogramBlocks * kBins * "
                   "sizeof(unsigned int))")},
        {[] {
             Lumerix image = imageOf({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
             releaseCachedChunks();
             injectFault(Fault::Allocation, 2, cudaErrorMemoryAllocation);
             unsigned int counts[256];
             histogram256(image, counts);
         },
         boxReport("LumerixHistogram.cpp", "out of memory",
                   "LumerixMalloc((void **)&chardata, "
                   "img.GetDimensions().Size()*sizeof(unsigned char))")},
        // A failure of the conversion or the counting surfaces at the wait after the counting,
        // which the report names as the system's messages do.
        {[] {
             Lumerix image = imageOf({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
             image.Lock();  // on the device, so that the histogram's wait is the next one
             image.Release();
             injectFault(Fault::Synchronize, 1, cudaErrorLaunchFailure);
             unsigned int counts[256];
             histogram256(image, counts);
         },
         boxReport("LumerixHistogram.cpp", "unspecified launch failure",
                   "cudaThreadSynchronize()")},
        // A fault left by an earlier kernel that surfaces at a scratch allocation is reported
        // as what it is, not as a full device.
        {[] {
             Lumerix image = imageOf({1.0f, 2.0f, 3.0f});
             releaseCachedChunks();
             injectFault(Fault::Allocation, 1, cudaErrorLaunchFailure);
             sum(image);
         },
         boxReport("LumerixPixel.cpp", "unspecified launch failure",
                   "LumerixMalloc((void **)&partial, kBlocks * sizeof(float))")},
    };
    for (const FatalCase& c : cases) EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.report);
}

TEST(FatalDeathTest, FailedTransfersAndReleasesEndTheProcessWithTheManagersLine) {
    const auto hostImage = [] {
        return imageOf(cmmDims(8, 8), ramp(64));
    };
    const FatalCase cases[] = {
        {[&] {
             Lumerix image = hostImage();
             injectFault(Fault::Copy, 1, cudaErrorInvalidValue);
             image.Lock();  // the upload
         },
         managerReport("cmmPage.cpp", "invalid argument")},
        {[&] {
             Lumerix image = hostImage();
             injectFault(Fault::Copy, 1, cudaErrorInvalidPitchValue);
             image.Lock(cmmBlock(2, 6, 1, 3));  // the upload of a block
         },
         managerReport("cmmPage.cpp", "invalid pitch argument")},
        {[&] {
             Lumerix image = hostImage();
             injectFault(Fault::Synchronize, 1, cudaErrorLaunchFailure);
             image.Lock();  // the synchronisation after the upload
         },
         managerReport("cmmPage.cpp", "unspecified launch failure")},
        {[] {
             Lumerix image(cmmDims(8, 8));
             image.Lock();
             image.Release();
             injectFault(Fault::Copy, 1, cudaErrorLaunchFailure);
             image.GetHostPtr();  // the write-back
         },
         managerReport("cmmPage.cpp", "unspecified launch failure")},
        {[] {
             Lumerix image(cmmDims(8, 8));
             image.Lock(cmmBlock(0, 4, 0, 4));
             image.Release();
             injectFault(Fault::Copy, 1, cudaErrorLaunchFailure);
             image.GetHostPtr();  // the write-back of a block
         },
         managerReport("cmmPage.cpp", "unspecified launch failure")},
        {[] {
             {
                 Lumerix old(cmmDims(100));  // leaves a zombie of 100 elements
                 old.Lock();
                 old.Release();
             }
             lmx::cpu::setDeviceCapacity(lmx::cpu::deviceBytesInUse());
             injectFault(Fault::Free, 1, cudaErrorInvalidDevicePointer);
             Lumerix image(cmmDims(200));
             image.Lock();  // has to put the zombie down
         },
         managerReport("cmmPage.cpp", "invalid device pointer")},
        // A fault left by an earlier kernel that surfaces at the allocation is no full device:
        // nothing is reclaimed for it, and the report names it.
        {[] {
             Lumerix image(cmmDims(200));
             injectFault(Fault::Allocation, 1, cudaErrorLaunchFailure);
             image.Lock();
         },
         managerReport("cmmPage.cpp", "unspecified launch failure")},
    };
    for (const FatalCase& c : cases) EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1), c.report);
}

// The first page of the process selects the device, so nothing here makes an image before the
// statement that runs in the child.
TEST(FatalDeathTest, DeviceStartUpRefusesAMachineWithoutAUsableDevice) {
    const std::string noDevice = "^There is no device\\.\n$";
    const FatalCase cases[] = {
        {[] { lmx::cpu::setDeviceCount(0); }, noDevice},
        // A runtime without a device or a driver answers with an error instead of a count of 0.
        {[] { injectFault(Fault::DeviceQuery, 1, cudaErrorNoDevice); }, noDevice},
        // A driver too old for the runtime is named as such, not taken for a missing device.
        {[] { injectFault(Fault::DeviceQuery, 1, cudaErrorInsufficientDriver); },
         managerReport("cmmDevice.cpp",
                       "CUDA driver version is insufficient for CUDA runtime version")},
        {[] {
             lmx::cpu::setDeviceCount(3);
             lmx::cpu::setComputeMajor(0);
         },
         "^There is no device supporting CUDA\\.\n$"},
        // The count, the properties of device 0, its selection, the synchronisation after it.
        {[] { injectFault(Fault::DeviceQuery, 1, cudaErrorInitializationError); },
         managerReport("cmmDevice.cpp", "initialization error")},
        {[] { injectFault(Fault::DeviceQuery, 2, cudaErrorInvalidDevice); },
         managerReport("cmmDevice.cpp", "invalid device ordinal")},
        {[] { injectFault(Fault::DeviceQuery, 3, cudaErrorUnknown); },
         managerReport("cmmDevice.cpp", "unknown error")},
        {[] { injectFault(Fault::Synchronize, 1, cudaErrorUnknown); },
         managerReport("cmmDevice.cpp", "unknown error")},
    };
    for (const FatalCase& c : cases) {
        EXPECT_EXIT(
            {
                c.run();
                Lumerix image(cmmDims(4));
            },
            ::testing::ExitedWithCode(1), c.report);
    }
    // A device of compute capability 1.0 is good enough.
    EXPECT_EXIT(
        {
            lmx::cpu::setComputeMajor(1);
            Lumerix image(cmmDims(4));
            std::fputs("started\n", stderr);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "^started\n$");
}
