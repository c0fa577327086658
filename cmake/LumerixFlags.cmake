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
