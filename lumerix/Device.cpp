// The device as the library's tools see it.

#include "lumerix/Device.h"

#include <lumerix/Lumerix.h>

#include "runtime/Backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void lmx::synchronizeDevice() {
    cudaDeviceSynchronize();
    cudaGetLastError();  // a failure here would show at the next checked call
}

std::string lmx::describeDevice() {
    std::string s = std::string("backend: ") + kBackendSummary + "\n";
    { Lumerix first(cmm::cmmDims(1)); }  // the first image selects the device
    int device = 0;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    if (cudaGetDevice(&device) == cudaSuccess &&
        cudaGetDeviceProperties(&prop, device) == cudaSuccess) {
        char line[400];
        std::snprintf(line, sizeof line, "device: %d, %s, compute capability %d.%d\n", device,
                      prop.name, prop.major, prop.minor);
        s += line;
    }
    std::size_t freeBytes = 0, totalBytes = 0;
    if (cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess) {
        char line[200];
        std::snprintf(line, sizeof line, "memory: %zu MB free of %zu MB\n", freeBytes >> 20,
                      totalBytes >> 20);
        s += line;
    }
    cudaGetLastError();
    if (const char* setting = passiveWaitEnvironment()) {
        const std::string name = std::string(setting).substr(0, std::strcspn(setting, "="));
        const char* value = std::getenv(name.c_str());
        s += "waiting threads: " + name + "=" + (value ? value : "(unset: the backend's default)") +
             "\n";
    }
    return s;
}
