// The memory manager under random sequences of create, lock (whole and partial blocks),
// release, host write, flush, copy, assign and free on a small device, checked against a host
// model of every image after every step: nothing lost, nothing stale.

#include "FuzzSupport.h"

#include <memory>
#include <stdexcept>

namespace {

constexpr int kSlots = 4;

struct Model {
    cmm::cmmDims dims;
    std::vector<float> values;
    bool known = false;  // the pixels were written (on the host or by a copy of known pixels)
};

struct Slot {
    std::unique_ptr<Lumerix> image;
    Model model;
};

void check(Slot& s) {
    if (!s.image) return;
    LMX_FUZZ_CHECK(s.image->GetDimensions() == s.model.dims);
    LMX_FUZZ_CHECK(s.image->GetDimensions().Size() == s.model.dims.Size());
    if (!s.model.known || s.model.dims.Size() == 0) return;
    const float* p = s.image->GetHostPtr();
    for (int i = 0; i < s.model.dims.Size(); ++i)
        LMX_FUZZ_CHECK(p[i] == s.model.values[i] ||
                       (p[i] != p[i] && s.model.values[i] != s.model.values[i]));
}

// A block that may lie inside the extents or reach past them on any side.
cmm::cmmBlock blockFrom(FuzzedDataProvider& in, const cmm::cmmDims& d) {
    const int x0 = in.ConsumeIntegralInRange(-2, d.Dim(0) + 2);
    const int x1 = in.ConsumeIntegralInRange(-2, d.Dim(0) + 2);
    const int y0 = in.ConsumeIntegralInRange(-2, d.Dim(1) + 2);
    const int y1 = in.ConsumeIntegralInRange(-2, d.Dim(1) + 2);
    return cmm::cmmBlock(x0, x1, y0, y1, 0, d.Dim(2), 0, d.Dim(3));
}

// The manager takes a block that lies inside the first two extents and covers the last two, and
// the whole array as it is (also an array with an extent of 0). The whole array holds its own
// count or that of its ranges: Lock() of an image without pixels takes one element, for which
// the host array has room.
bool inside(const cmm::cmmBlock& b, const cmm::cmmDims& d) {
    bool whole = true;
    for (int i = 0; i < 4; ++i) whole = whole && b.Start(i) == 0 && b.End(i) == d.Dim(i);
    if (whole)  // not the empty cmmBlock() of an array with pixels, whose ranges are 1
        return b.Size() == d.Size() || b.Size() == cmm::cmmBlock(d).Size();
    return b.Size() > 0 && 0 <= b.Start(0) && b.Start(0) < b.End(0) && b.End(0) <= d.Dim(0) &&
           0 <= b.Start(1) && b.Start(1) < b.End(1) && b.End(1) <= d.Dim(1) && b.Start(2) == 0 &&
           b.End(2) == d.Dim(2) && b.Start(3) == 0 && b.End(3) == d.Dim(3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Room for about three of the largest images: pages are spilled and zombies put down all the
    // time, yet the two images an operation holds always fit, so "Out of memory" is a failure.
    lmxfuzz::useSmallDevice(96u << 10);
    FuzzedDataProvider in(data, size);
    try {
        {
            Slot slots[kSlots];
            for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
                Slot& s = slots[in.ConsumeIntegralInRange(0, kSlots - 1)];
                Slot& t = slots[in.ConsumeIntegralInRange(0, kSlots - 1)];
                switch (in.ConsumeIntegralInRange(0, 8)) {
                    case 0: {  // create
                        const cmm::cmmDims d = lmxfuzz::dimsFrom(in, 48);
                        s.image = std::make_unique<Lumerix>(d);
                        s.model = Model{d, std::vector<float>(d.Size()), false};
                        break;
                    }
                    case 1:  // host write
                        if (s.image && s.model.dims.Size() > 0) {
                            float* p = s.image->GetHostPtr();
                            const float v = lmxfuzz::floatFrom(in);
                            const int n = s.model.dims.Size();
                            for (int i = 0; i < n; ++i)
                                p[i] = s.model.values[i] = v + static_cast<float>(i % 7);
                            s.model.known = true;
                        }
                        break;
                    case 2:  // lock the whole array and release it
                        if (s.image) {
                            s.image->Lock();
                            s.image->Release();
                        }
                        break;
                    case 3:  // lock a block; one outside the extents must be refused
                        if (s.image) {
                            const cmm::cmmBlock b = blockFrom(in, s.model.dims);
                            if (inside(b, s.model.dims)) {
                                s.image->Lock(b);
                                s.image->Release();
                            } else {
                                try {
                                    s.image->Lock(b);
                                    s.image->Release();
                                    lmxfuzz::fail("a block outside the extents was locked");
                                } catch (const std::invalid_argument&) {
                                }
                            }
                        }
                        break;
                    case 4:  // flush
                        if (s.image) s.image->Flush();
                        break;
                    case 5:  // copy
                        if (t.image) {
                            auto copy = std::make_unique<Lumerix>(*t.image);
                            Model m = t.model;
                            s.image = std::move(copy);
                            s.model = m;
                        }
                        break;
                    case 6:  // assign
                        if (s.image && t.image) {
                            *s.image = *t.image;
                            s.model = t.model;
                        }
                        break;
                    case 7:  // free
                        s.image.reset();
                        break;
                    case 8:  // an operation whose result is known from the model
                        if (t.image) {
                            auto r = std::make_unique<Lumerix>(*t.image + 1.0f);
                            Model m = t.model;
                            for (float& v : m.values) v = v + 1.0f;
                            s.image = std::move(r);
                            s.model = m;
                        }
                        break;
                }
                for (Slot& each : slots) check(each);
            }
        }
    } catch (const std::exception& e) {
        lmxfuzz::fail(e.what());
    }
    LMX_FUZZ_CHECK(cmm::cmmLocked().list->empty());
    return 0;
}
