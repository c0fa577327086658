// The CPU backend's controls in the module.

#include "_backend.h"

#include "backend/cpu/Control.h"

namespace lmxpy {

// The CPU backend's controls, for the package's tests of memory exhaustion and failed calls.
void bindBackendControls(pybind11::module_& m) {
    pybind11::module_ testing = m.def_submodule("_testing", "CPU backend controls for tests");
    testing.def("set_device_capacity", &lmx::cpu::setDeviceCapacity);
    testing.def("device_capacity", &lmx::cpu::deviceCapacity);
    testing.def("device_bytes_in_use", &lmx::cpu::deviceBytesInUse);
    testing.def("fail_next_launch",
                [] { lmx::cpu::injectFault(lmx::cpu::Fault::Launch, 1, cudaErrorLaunchFailure); });
    testing.def("clear_faults", [] {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    });
}

}  // namespace lmxpy
