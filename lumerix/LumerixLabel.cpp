// Connected-component labelling: the device marks the background, one byte per pixel comes to
// the host, the runs are labelled there, and the labels go back in the narrowest type that
// holds every component number.

#include <lumerix/LumerixLabel.h>
#include <lumerix/LumerixPixel.h>

#include "lumerix/LabelRuns.h"
#include "platform/ApiLock.h"
#include "platform/HostMemory.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using HostArray = std::unique_ptr<T[], FreeDeleter>;

// Largest component count whose every number a float holds exactly.
constexpr std::int64_t kMaxComponents = std::int64_t(1) << 24;

// Paints the labels into a host array of the image's size (planes beyond the first 0) and
// loads it into the result through the conversion of T.
template <class T>
void storeNarrow(Lumerix& result, const lmx::labelling::RunLabelling& labelling,
                 std::size_t plane) {
    const std::size_t n = static_cast<std::size_t>(result.GetDimensions().Size());
    HostArray<T> labels(static_cast<T*>(lmx::allocateHost(n * sizeof(T))));
    if (!labels) throw std::bad_alloc();
    labelling.paint(labels.get());
    std::memset(labels.get() + plane, 0, (n - plane) * sizeof(T));
    if constexpr (sizeof(T) == 1) {
        result.SetDataInt8(labels.get());
    } else {
        result.SetDataInt16(labels.get());
    }
}

}  // namespace

Lumerix label(Lumerix& image) {
    return label(image, 4);
}

Lumerix label(Lumerix& image, int connectivity) {
    LMX_API_ENTRY();
    if (connectivity != 4 && connectivity != 8)
        throw std::invalid_argument("label: connectivity " + std::to_string(connectivity) +
                                    ", not 4 or 8");
    const cmm::cmmDims dims = image.GetDimensions();
    Lumerix result(dims);
    if (dims.Size() <= 0) return result;
    const int width = dims.Dim(0);
    const int height = dims.Dim(1);
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    // !image is 1.0 exactly where a pixel is 0.0 or -0.0, so NaN and every other value end up
    // foreground; only its bytes cross the bus.
    HostArray<unsigned char> background((!image).GetDataInt8());
    lmx::labelling::RunLabelling labelling(background.get(), width, height, 0, connectivity);
    background.reset();

    const std::int64_t k = labelling.components();
    if (k > kMaxComponents)
        throw std::overflow_error("label: " + std::to_string(k) +
                                  " components, more than a float numbers exactly (16777216)");
    if (k <= 0xFF) {
        storeNarrow<unsigned char>(result, labelling, plane);
    } else if (k <= 0xFFFF) {
        storeNarrow<unsigned short>(result, labelling, plane);
    } else {
        // Numbers beyond 16 bits go back as the floats themselves.
        float* pixels = result.GetHostPtr();
        labelling.paint(pixels);
        std::memset(pixels + plane, 0, (static_cast<std::size_t>(dims.Size()) - plane) * 4);
    }
    return result;
}
