#pragma once
// Shared by the fuzz targets: a small device so that reclamation runs, images decoded from the
// fuzzer's bytes, and the rule that every input ends in a result or a standard exception.

#include <lumerix/Lumerix.h>

#include "backend/cpu/Control.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

namespace lmxfuzz {

// A device of a few images' worth, so that zombies are put down and pages spilled while the
// fuzzer runs, and the process does not grow with the number of inputs.
inline void useSmallDevice(std::size_t bytes = 8u << 20) {
    static const bool once = (lmx::cpu::setDeviceCapacity(bytes), true);
    (void)once;
}

// Stops the target with a message; libFuzzer keeps the input that led here.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

#define LMX_FUZZ_CHECK(condition)                      \
    do {                                               \
        if (!(condition)) ::lmxfuzz::fail(#condition); \
    } while (0)

// Extents of 0 to `side` on each axis; a zero first extent gives an image without pixels.
inline cmm::cmmDims dimsFrom(FuzzedDataProvider& in, int side, bool planes = true) {
    const int w = in.ConsumeIntegralInRange(0, side);
    const int h = in.ConsumeIntegralInRange(1, side);
    const int d = planes && in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 3) : 1;
    return cmm::cmmDims(w, h, d);
}

// A float from the input that is often ordinary and sometimes NaN, infinite, huge or tiny.
inline float floatFrom(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return NAN;
        case 1:
            return in.ConsumeBool() ? INFINITY : -INFINITY;
        case 2:
            return in.ConsumeBool() ? 3.0e38f : -3.0e38f;
        case 3:
            return in.ConsumeBool() ? 1.0e-40f : -0.0f;
        default:
            return in.ConsumeFloatingPointInRange(-300.0f, 300.0f);
    }
}

// An image whose pixels come from the input (cycled when the input runs short).
inline Lumerix imageFrom(FuzzedDataProvider& in, const cmm::cmmDims& dims) {
    Lumerix image(dims);
    if (dims.Size() > 0) {
        float* p = image.GetHostPtr();
        const std::vector<unsigned char> bytes =
            in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 64));
        for (int i = 0; i < dims.Size(); ++i)
            p[i] = bytes.empty() ? 0.0f : static_cast<float>(bytes[i % bytes.size()]) - 96.0f;
        if (!bytes.empty() && in.ConsumeBool()) p[bytes[0] % dims.Size()] = floatFrom(in);
    }
    return image;
}

// Reads every pixel back, so that a result's device data is copied and checked for reach.
inline void touch(Lumerix& image) {
    const cmm::cmmDims d = image.GetDimensions();
    const float* p = image.GetHostPtr();
    volatile float sink = 0.0f;
    for (int i = 0; i < d.Size(); ++i) sink = sink + p[i];
    (void)sink;
}

// Runs one decoded case; a standard exception with a message is a valid answer to bad arguments.
// Whatever happened, no image may be left locked: a locked image can never be destroyed.
template <class F>
void run(F&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        LMX_FUZZ_CHECK(e.what() != nullptr && e.what()[0] != '\0');
    }
    LMX_FUZZ_CHECK(cmm::cmmLocked().list->empty());
}

}  // namespace lmxfuzz
