#pragma once
// The image layer's fatal check and its device scratch-buffer allocator.

#include "platform/Fatal.h"
#include "runtime/Backend.h"

#include <cstddef>

//! Names the unit that fatal reports of this source file show. Reports name the library's
//! units (LumerixPixel.cpp, LumerixNeighborhood.cpp, ...), not the smaller files they are split
//! into; every source file that uses LumerixCheck declares its unit once, after its includes.
#define LMX_REPORTED_UNIT(name)                                  \
    namespace {                                                  \
    [[maybe_unused]] constexpr const char* kReportedUnit = name; \
    }

//! Ends the process with the "LUMERIX error" report when the expression's status is a failure.
#define LumerixCheck(expression) LumerixCheckText(expression, #expression)

//! The same check for code shared by several call sites, which names the checked expression.
#define LumerixCheckText(expression, text)                                                  \
    do {                                                                                    \
        const cudaError_t lmxStatus_ = (expression);                                        \
        if (lmxStatus_ != cudaSuccess)                                                      \
            ::lmx::fatalBox(kReportedUnit, __LINE__, cudaGetErrorString(lmxStatus_), text); \
    } while (0)

//! Device scratch memory, cached by exact byte size (16 descriptors).
cudaError_t LumerixMalloc(void** ptr, std::size_t size);
cudaError_t LumerixFree(void* ptr);
