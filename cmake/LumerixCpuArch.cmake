# Instruction set of the CPU backend's kernel module. The kernels are plain loops that the
# compiler vectorises; with AVX2 they run up to twice as fast as with the x86-64 baseline.
#   auto: x86-64-v3 when the machine that configures supports it, else x86-64-v2 (x86-64 only)
#   none: the compiler's default
#   anything else: passed to -march
# Results do not depend on it: contraction stays off, and the vector forms of + - * / sqrt and
# the conversions round exactly as the scalar ones.

set(LUMERIX_CPU_ARCH "auto" CACHE STRING "CPU backend kernels: auto, none or a -march value")
set(LUMERIX_CPU_ARCH_FLAGS "")

if(LUMERIX_CPU_ARCH STREQUAL "auto")
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT CMAKE_CROSSCOMPILING)
        include(CheckCXXSourceRuns)
        set(CMAKE_REQUIRED_QUIET ON)
        check_cxx_source_runs("
            int main() { return __builtin_cpu_supports(\"x86-64-v3\") ? 0 : 1; }"
            LUMERIX_HOST_HAS_X86_64_V3)
        unset(CMAKE_REQUIRED_QUIET)
        if(LUMERIX_HOST_HAS_X86_64_V3)
            set(LUMERIX_CPU_ARCH_FLAGS -march=x86-64-v3)
        else()
            set(LUMERIX_CPU_ARCH_FLAGS -march=x86-64-v2)
        endif()
    endif()
elseif(NOT LUMERIX_CPU_ARCH STREQUAL "none")
    set(LUMERIX_CPU_ARCH_FLAGS -march=${LUMERIX_CPU_ARCH})
endif()
if(LUMERIX_CPU_ARCH_FLAGS)
    message(STATUS "Lumerix CPU backend kernels: ${LUMERIX_CPU_ARCH_FLAGS}")
endif()
