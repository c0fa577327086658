#pragma once
// What the library's own tools need of the device beyond the operations: waiting for it, and a
// description of it. Internal: not installed.

#include <string>

namespace lmx {

//! Waits until the device has finished every launch; a failure shows at the next checked call.
void synchronizeDevice();

//! Lines naming the backend, the device (number, name, compute capability) and its free and
//! total memory. Selects the device first, as the first image does.
std::string describeDevice();

//! "NAME=VALUE" of the environment setting that makes the backend's idle threads sleep rather
//! than spin, read when the library is loaded; nullptr where the backend has none.
const char* passiveWaitEnvironment();

//! The FFT plans this process had to measure (the cpu backend; 0 on the cuda backend).
long fftPlansMeasured();

}  // namespace lmx
