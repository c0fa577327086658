#pragma once
// The part of the module that differs by backend, in the one source file CMake builds for it
// (_backend_cpu.cpp or _backend_cuda.cpp).

#include <pybind11/pybind11.h>

namespace lmxpy {

//! Adds what only this backend offers the package's tests: on the CPU backend, the submodule
//! _testing with its memory capacity and fault injection; nothing on the GPU.
void bindBackendControls(pybind11::module_& m);

}  // namespace lmxpy
