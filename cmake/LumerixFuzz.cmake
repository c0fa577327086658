# The fuzzing build: clang, the cpu backend, AddressSanitizer and UndefinedBehaviorSanitizer with
# no recovery, and libFuzzer's coverage instrumentation in the library as well as the targets.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "LUMERIX_BUILD_FUZZERS needs clang (CXX=clang++), not ${CMAKE_CXX_COMPILER_ID}")
endif()
if(NOT LUMERIX_BACKEND STREQUAL "cpu")
    message(FATAL_ERROR "LUMERIX_BUILD_FUZZERS needs the cpu backend")
endif()
add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g -Wno-pass-failed)
add_link_options(-fsanitize=address,undefined)
# Device memory at its exact size, freed at once, as in the sanitizer build.
add_compile_definitions(LMX_SANITIZE=1)
