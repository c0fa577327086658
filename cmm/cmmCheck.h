#pragma once
// The manager's fatal checks: one line on standard error, then exit status 1.

#include "platform/Fatal.h"
#include "runtime/Backend.h"

#define cmmCheckAt(expression, line)                                             \
    do {                                                                         \
        const cudaError_t cmmStatus_ = (expression);                             \
        if (cmmStatus_ != cudaSuccess)                                           \
            ::lmx::fatalManager(__FILE__, line, cudaGetErrorString(cmmStatus_)); \
    } while (0)

#define cmmCheck(expression) cmmCheckAt(expression, __LINE__)

// The check followed by a synchronisation, both reported at the same line.
#define cmmCheckSyncAt(expression, line)           \
    do {                                           \
        cmmCheckAt(expression, line);              \
        cmmCheckAt(cudaDeviceSynchronize(), line); \
    } while (0)

#define cmmCheckSync(expression) cmmCheckSyncAt(expression, __LINE__)

namespace cmm {
//! Selects the device the first time it is called; later calls return at once.
void cmmInitialiseDevice();
}  // namespace cmm
