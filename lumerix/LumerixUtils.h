#pragma once
// The image layer's fatal check, its device scratch-buffer allocator and its staging buffer.

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

namespace lmx {

//! Copies `bytes` bytes between the caller's host memory and device memory (kind
//! cudaMemcpyHostToDevice or cudaMemcpyDeviceToHost) through the staging buffer: page-locked
//! host memory, kept between calls like a scratch chunk and given back through the same
//! reclaim registry. Large transfers go in pieces through its two halves, the host-side copy of
//! one piece overlapping the device copy of the next, so the buffer stays small whatever the
//! image. Where no page-locked memory can be had the data crosses in one ordinary copy. Returns
//! the first failing status; the caller's check reports it.
cudaError_t stagedCopy(void* dst, const void* src, std::size_t bytes, cudaMemcpyKind kind);

//! The largest piece a staged copy moves at once (each half of the staging buffer holds one);
//! returns the previous value. Tests lower it; an idle buffer of the old size is given back.
std::size_t setStagingPieceBytes(std::size_t bytes);

//! Gives the idle staging buffer back; false when there is none or it is in use.
bool releaseStagingBuffer();

}  // namespace lmx
