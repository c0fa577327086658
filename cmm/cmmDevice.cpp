// Device start-up: the first page of the process selects the first device of compute
// capability major 1 or more.

#include "cmm/cmmCheck.h"

#include <cstdio>
#include <cstdlib>

namespace cmm {
namespace {
bool deviceInitialised = false;
}

void cmmInitialiseDevice() {
    if (deviceInitialised) return;
    const int line = __LINE__;  // every check of the start-up reports this line
    int count = 0;
    // Without a driver or a device the runtime answers with an error rather than a count of 0;
    // both mean the same to the caller.
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status == cudaErrorNoDevice || status == cudaErrorInsufficientDriver) {
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
        if (prop.major >= 1) break;
    }
    if (dev == count) lmx::fatalText("There is no device supporting CUDA.\n");
    cmmCheckSyncAt(cudaSetDevice(dev), line);
    deviceInitialised = true;
}

}  // namespace cmm
