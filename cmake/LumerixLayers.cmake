# The layers of the library, checked on every build (cmake -P, from the repository root as
# LUMERIX_ROOT): each folder may include from the folders listed for it and no other, so that a
# layer that reaches upward fails the build. Public headers are included as <lumerix/...> and
# <cmm/...>, everything else as "folder/...".
#
#   platform   the fatal messages, host arrays, the lock of the API's entry points
#   runtime    the one seam: the backend's runtime names and hooks
#   backend    the engines and the stand-in (and the module, which compiles the kernels)
#   kernels    the dialect and the kernel bodies; only the dialect names a backend's engine
#   cmm        the memory manager
#   lumerix    the operations
#   tools      the command-line tool (over the public headers and lumerix/Device.h)
#   python     the binding (over the public headers and the seam's answer to where device memory
#              is; the CPU backend's controls for its testing module)

cmake_minimum_required(VERSION 3.25)

set(allowed_platform platform)
set(allowed_runtime runtime backend)
set(allowed_backend backend kernels runtime platform)
set(allowed_kernels kernels runtime lumerix)
set(allowed_cmm cmm runtime platform)
set(allowed_lumerix lumerix cmm kernels runtime platform)
set(allowed_tools tools lumerix cmm)
set(allowed_python python lumerix cmm runtime backend)
set(layers platform runtime backend kernels cmm lumerix tools python)
# The files of a layer that may reach another: the dialect picks its backend's loop shapes; the
# fatal message implements the handler that the public header LumerixFatal.h declares.
set(exception_kernels/Dialect.h backend)
set(exception_platform/Fatal.cpp lumerix)

set(failures "")
foreach(layer IN LISTS layers)
    file(GLOB_RECURSE sources RELATIVE "${LUMERIX_ROOT}"
         "${LUMERIX_ROOT}/${layer}/*.h" "${LUMERIX_ROOT}/${layer}/*.cpp"
         "${LUMERIX_ROOT}/${layer}/*.cu" "${LUMERIX_ROOT}/${layer}/*.cuh")
    foreach(source IN LISTS sources)
        file(STRINGS "${LUMERIX_ROOT}/${source}" includes REGEX "^#include [<\"][a-z]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include [<\"]([a-z]+)/.*" "\\1" folder "${line}")
            if(NOT folder IN_LIST layers)
                continue()
            endif()
            if(folder IN_LIST allowed_${layer} OR folder IN_LIST exception_${source})
                continue()
            endif()
            list(APPEND failures "${source}: ${line} (${layer}/ may include ${allowed_${layer}})")
        endforeach()
    endforeach()
endforeach()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "a layer reaches across:\n  ${text}")
endif()
