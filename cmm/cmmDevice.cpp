// Device start-up: the first page of the process selects the first device that can run the
// kernels the library was built with.

#include "cmm/cmmCheck.h"

#include <cstdio>
#include <cstdlib>

// The oldest compute capability the device module holds code for, as major * 10 + minor. The
// cuda build defines it from its list of architectures (75 for sm_75); a device below it would
// refuse every launch with "no kernel image". The cpu backend runs on any device it reports.
#if !defined(LMX_MIN_COMPUTE_CAPABILITY)
#define LMX_MIN_COMPUTE_CAPABILITY 10
#endif

namespace cmm {
namespace {
bool deviceInitialised = false;

constexpr int kMinMajor = LMX_MIN_COMPUTE_CAPABILITY / 10;
constexpr int kMinMinor = LMX_MIN_COMPUTE_CAPABILITY % 10;

bool canRunTheKernels(const cudaDeviceProp& prop) {
    return prop.major > kMinMajor || (prop.major == kMinMajor && prop.minor >= kMinMinor);
}
}  // namespace

void cmmInitialiseDevice() {
    if (deviceInitialised) return;
    const int line = __LINE__;  // every check of the start-up reports this line
    int count = 0;
    // Without a device the runtime answers with an error rather than a count of 0. A driver too
    // old for the runtime is another matter: the runtime's own text says what to do about it.
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status == cudaErrorNoDevice) {
        cudaGetLastError();
        count = 0;
    } else {
        cmmCheckAt(status, line);
    }
    if (count == 0) lmx::fatalText("There is no device.\n");
    int dev = 0;
    for (; dev < count; ++dev) {
        cudaDeviceProp prop;
        cmmCheckAt(cudaGetDeviceProperties(&prop, dev), line);
        if (canRunTheKernels(prop)) break;
    }
    if (dev == count) lmx::fatalText("There is no device supporting CUDA.\n");
    cmmCheckSyncAt(cudaSetDevice(dev), line);
    deviceInitialised = true;
}

}  // namespace cmm
