# Compiler flags shared by every target of the project.
#
# No fast-math anywhere and no contraction: both backends must round every + - * / the same way,
# so a kernel gives the same bits on the CPU and on the GPU. -fno-math-errno only lets the
# compiler use the sqrt instruction (and vectorise it); it changes no result.

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_library(lumerix_flags INTERFACE)
target_compile_options(lumerix_flags INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wshadow -ffp-contract=off -fno-math-errno>
    $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${LUMERIX_WERROR}>>:-Werror>
    $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false -Xcompiler=-ffp-contract=off,-Wall>
    $<$<AND:$<COMPILE_LANGUAGE:CUDA>,$<BOOL:${LUMERIX_WERROR}>>:-Werror=all-warnings>)

# The sanitizer build (cpu backend only): every target of the tree, tests and examples included,
# is compiled and linked with AddressSanitizer and UndefinedBehaviorSanitizer, and undefined
# behaviour ends the process at its first report. LMX_SANITIZE makes the CPU backend's device
# memory exact: each allocation has its requested size and is freed at once, so that a kernel
# reading past its image or a use after free reaches the sanitizer instead of a pooled block.
if(LUMERIX_SANITIZE)
    if(NOT LUMERIX_BACKEND STREQUAL "cpu")
        message(FATAL_ERROR "LUMERIX_SANITIZE needs LUMERIX_BACKEND=cpu")
    endif()
    set(LUMERIX_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer)
    # The instrumentation confuses GCC's flow analysis: std::regex alone then draws
    # "may be used uninitialized" warnings that the plain build does not have.
    add_compile_options(${LUMERIX_SANITIZER_FLAGS} $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
    add_link_options(${LUMERIX_SANITIZER_FLAGS})
    add_compile_definitions(LMX_SANITIZE=1)
endif()
