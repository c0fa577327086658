// A long random sequence of operations on a handful of images, on a device far too small to hold
// them all, so that every step reuses zombies, puts them down, spills cached pages and releases
// idle scratch chunks. A plain host model of every image is checked after every step: nothing
// lost, nothing stale, and no "Out of memory" beyond what the operation's own locks need.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// The model's arithmetic, one float operation per pixel as the kernels do it (contraction is
// off in both). A NaN operand of fmax and fmin gives the other operand.
float modelMax(float a, float b) {
    return std::isnan(a) ? b : std::isnan(b) ? a : (a > b ? a : b);
}
float modelMin(float a, float b) {
    return std::isnan(a) ? b : std::isnan(b) ? a : (a < b ? a : b);
}
float truth(bool b) {
    return b ? 1.0f : 0.0f;
}
unsigned char model8(float v) {  // saturating, fraction truncated, NaN and negatives to 0
    if (!(v > 0.0f)) return 0;
    return v >= 255.0f ? 255 : static_cast<unsigned char>(v);
}
unsigned short model16(float v) {
    if (!(v > 0.0f)) return 0;
    return v >= 65535.0f ? 65535 : static_cast<unsigned short>(v);
}

struct BinaryCase {
    const char* name;
    Lumerix (*image)(Lumerix&, Lumerix&);
    Lumerix (*scalar)(Lumerix&, const float&);
    float (*model)(float, float);
};

// clang-format off
const BinaryCase kBinary[] = {
    {"+", [](Lumerix& a, Lumerix& b) { return a + b; }, [](Lumerix& a, const float& s) { return a + s; },
     [](float a, float b) { return a + b; }},
    {"-", [](Lumerix& a, Lumerix& b) { return a - b; }, [](Lumerix& a, const float& s) { return a - s; },
     [](float a, float b) { return a - b; }},
    {"*", [](Lumerix& a, Lumerix& b) { return a * b; }, [](Lumerix& a, const float& s) { return a * s; },
     [](float a, float b) { return a * b; }},
    {"/", [](Lumerix& a, Lumerix& b) { return a / b; }, [](Lumerix& a, const float& s) { return a / s; },
     [](float a, float b) { return a / b; }},
    {"fmax", [](Lumerix& a, Lumerix& b) { return fmax(a, b); }, [](Lumerix& a, const float& s) { return fmax(a, s); },
     modelMax},
    {"fmin", [](Lumerix& a, Lumerix& b) { return fmin(a, b); }, [](Lumerix& a, const float& s) { return fmin(a, s); },
     modelMin},
    {">", [](Lumerix& a, Lumerix& b) { return a > b; }, [](Lumerix& a, const float& s) { return a > s; },
     [](float a, float b) { return truth(a > b); }},
    {"==", [](Lumerix& a, Lumerix& b) { return a == b; }, [](Lumerix& a, const float& s) { return a == s; },
     [](float a, float b) { return truth(a == b); }},
    {"&&", [](Lumerix& a, Lumerix& b) { return a && b; }, [](Lumerix& a, const float& s) { return a && s; },
     [](float a, float b) { return truth(a != 0.0f && b != 0.0f); }},
};
// clang-format on

// 10, 4, 4.8 and 12 KB; merged images of the last are 36 KB.
const cmmDims kShapes[] = {cmmDims(64, 40), cmmDims(1000), cmmDims(20, 20, 3), cmmDims(100, 30)};
constexpr int kSlots = 7;

// One image and what it must hold.
struct Slot {
    std::unique_ptr<Lumerix> image;
    std::vector<float> model;
};

class Sequence {
public:
    explicit Sequence(unsigned seed) : gen_(seed) {}

    // Runs one random step; returns a description for the failure messages.
    std::string step() {
        const int kind = pick(16);
        Slot& t = slots_[pick(kSlots)];
        Slot& a = slots_[pick(kSlots)];
        Slot& b = slots_[pick(kSlots)];
        switch (kind) {
            case 0:
            case 1: {  // a new image from host values
                const cmmDims& d = kShapes[pick(4)];
                std::vector<float> v = values(d.Size());
                t.image = std::make_unique<Lumerix>(imageOf(d, v));
                t.model = v;
                return "create";
            }
            case 2:
            case 3:
            case 4: {  // image op image, into a slot (possibly an operand)
                if (!a.image || !b.image) return "skip";
                const BinaryCase& op = kBinary[pick(std::size(kBinary))];
                if (a.image->GetDimensions() != b.image->GetDimensions() ||
                    a.model.size() != b.model.size()) {
                    LMX_EXPECT_RUNTIME_ERROR(op.image(*a.image, *b.image),
                                             "Image sizes do not match");
                    return std::string("refused ") + op.name;
                }
                std::vector<float> r(a.model.size());
                for (std::size_t i = 0; i < r.size(); ++i) r[i] = op.model(a.model[i], b.model[i]);
                assign(t, op.image(*a.image, *b.image), r);
                return op.name;
            }
            case 5:
            case 6: {  // image op scalar
                if (!a.image) return "skip";
                const BinaryCase& op = kBinary[pick(std::size(kBinary))];
                const float s = static_cast<float>(pick(9)) - 4.0f;
                std::vector<float> r(a.model.size());
                for (std::size_t i = 0; i < r.size(); ++i) r[i] = op.model(a.model[i], s);
                assign(t, op.scalar(*a.image, s), r);
                return std::string(op.name) + " scalar";
            }
            case 7: {  // unary
                if (!a.image) return "skip";
                std::vector<float> r(a.model.size());
                if (pick(2)) {
                    for (std::size_t i = 0; i < r.size(); ++i) r[i] = std::fabs(a.model[i]);
                    assign(t, abs(*a.image), r);
                    return "abs";
                }
                for (std::size_t i = 0; i < r.size(); ++i) r[i] = truth(a.model[i] == 0.0f);
                assign(t, !*a.image, r);
                return "!";
            }
            case 8: {  // deep copy into a new image
                if (!a.image || &t == &a) return "skip";
                t.image = std::make_unique<Lumerix>(*a.image);
                t.model = a.model;
                return "copy";
            }
            case 9: {  // the host writes one pixel
                if (!a.image) return "skip";
                const std::size_t k =
                    static_cast<std::size_t>(pick(static_cast<int>(a.model.size())));
                const float v = values(1)[0];
                a.image->GetHostPtr()[k] = v;
                a.model[k] = v;
                return "host write";
            }
            case 10: {  // reductions
                if (!a.image) return "skip";
                float low = kNaN, high = kNaN;
                double total = 0, magnitude = 0;
                for (float x : a.model) {
                    low = modelMin(low, x);
                    high = modelMax(high, x);
                    total += x;
                    magnitude += std::fabs(x);
                }
                // Which zero a minimum of +0 and -0 gives is open; NaN only when all are NaN.
                const float gotLow = fmin(*a.image), gotHigh = fmax(*a.image);
                EXPECT_TRUE(gotLow == low || (std::isnan(gotLow) && std::isnan(low)))
                    << gotLow << " vs " << low;
                EXPECT_TRUE(gotHigh == high || (std::isnan(gotHigh) && std::isnan(high)))
                    << gotHigh << " vs " << high;
                const float s = sum(*a.image);
                if (std::isfinite(total)) {
                    EXPECT_NEAR(s, total, 1e-5 * magnitude + 1e-6);
                }
                return "reductions";
            }
            case 11: {  // histogram
                if (!a.image) return "skip";
                std::vector<unsigned int> want(256, 0), got(256, 0);
                for (float x : a.model) ++want[model8(x)];
                histogram256(*a.image, got.data());
                EXPECT_EQ(got, want);
                return "histogram";
            }
            case 12: {  // 8- and 16-bit pixels out, then 8-bit pixels in
                if (!a.image) return "skip";
                unsigned short* words = a.image->GetDataInt16();
                for (std::size_t i = 0; i < a.model.size(); ++i)
                    EXPECT_EQ(words[i], model16(a.model[i])) << i;
                std::free(words);
                unsigned char* bytes = a.image->GetDataInt8();
                for (std::size_t i = 0; i < a.model.size(); ++i) {
                    EXPECT_EQ(bytes[i], model8(a.model[i])) << i;
                    bytes[i] = static_cast<unsigned char>(bytes[i] ^ 0x5A);
                    a.model[i] = static_cast<float>(bytes[i]);
                }
                a.image->SetDataInt8(bytes);
                std::free(bytes);
                return "conversions";
            }
            case 13: {  // merge three, or split one
                if (!a.image) return "skip";
                const cmmDims d = a.image->GetDimensions();
                if (d.Dim(2) == 3) {  // (w, h, 3) splits into three (w, h) channels
                    Slot& c = slots_[pick(kSlots)];
                    std::vector<float> ch[3];
                    for (std::size_t i = 0; i < a.model.size(); ++i)
                        ch[i % 3].push_back(a.model[i]);
                    split3(*a.image, ensure(t), ensure(b), ensure(c));
                    t.model = ch[0];
                    b.model = ch[1];
                    c.model = ch[2];
                    return "split3";
                }
                if (!b.image || b.image->GetDimensions() != d || d.Dim(2) != 1) return "skip";
                std::vector<float> m;
                for (std::size_t i = 0; i < a.model.size(); ++i)
                    m.insert(m.end(), {a.model[i], b.model[i], a.model[i]});
                assign(t, merge3(*a.image, *b.image, *a.image), m);
                return "merge3";
            }
            case 14: {  // read through the host pointer
                if (!a.image) return "skip";
                EXPECT_TRUE(sameFloats(pixels(*a.image), a.model));
                return "host read";
            }
            default:  // drop an image: its device memory becomes a zombie
                t.image.reset();
                t.model.clear();
                return "drop";
        }
    }

    // Every image holds its model, wherever its data is; nothing is left locked.
    ::testing::AssertionResult consistent() const {
        if (!cmmLocked().list->empty()) return ::testing::AssertionFailure() << "a page is locked";
        if (lmx::cpu::deviceBytesInUse() > lmx::cpu::deviceCapacity())
            return ::testing::AssertionFailure() << "device memory past the capacity";
        for (int s = 0; s < kSlots; ++s) {
            const Slot& slot = slots_[s];
            if (!slot.image) continue;
            const cmmPage* page = slot.image->page;
            const int n = page->dims.Size();
            if (static_cast<std::size_t>(n) != slot.model.size())
                return ::testing::AssertionFailure() << "slot " << s << " has " << n << " pixels";
            // Read without changing the page's state: the device copy of a cached page, the host
            // array of a stored one.
            std::vector<float> held;
            if (page->device) {
                held = deviceValues(page->device, n);
            } else if (page->host) {
                held.assign(page->host, page->host + n);
            } else {
                return ::testing::AssertionFailure() << "slot " << s << " holds no data";
            }
            const ::testing::AssertionResult same = sameFloats(held, slot.model);
            if (!same)
                return ::testing::AssertionFailure() << "slot " << s << ": " << same.message();
        }
        return ::testing::AssertionSuccess();
    }

private:
    int pick(std::size_t n) {
        return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(gen_);
    }
    // Small integers with now and then a fraction, an infinity or a NaN.
    std::vector<float> values(int n) {
        std::vector<float> v(static_cast<std::size_t>(n));
        for (float& x : v) {
            const int r = pick(100);
            x = r == 0   ? kNaN
                : r == 1 ? kInf
                : r < 5  ? 0.25f * pick(9)
                         : static_cast<float>(pick(41) - 20);
        }
        return v;
    }
    Lumerix& ensure(Slot& s) {
        if (!s.image) s.image = std::make_unique<Lumerix>();
        return *s.image;
    }
    // The result goes into the slot as a program would write it: by assignment.
    void assign(Slot& t, Lumerix&& result, const std::vector<float>& model) {
        ensure(t) = result;
        t.model = model;
    }

    std::mt19937 gen_;
    Slot slots_[kSlots];
};

}  // namespace

// The device holds 112 KiB: the largest step's own locks fit (three merged images of 36 KB, or
// one with the histogram's 64 KiB of partial counts and its 8-bit copy), the seven slots and the
// zombies of earlier steps do not, and an idle 64 KiB chunk crowds out the pages.
TEST(RandomSequence, ImagesKeepTheirPixelsWhileTheManagerReclaimsUnderThem) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        startClean();
        releaseCachedChunks();
        const ScopedDeviceCapacity small(112 * 1024);
        const ManagerTotals before = ManagerTotals::now();
        {
            Sequence sequence(seed);
            for (int i = 0; i < 4000; ++i) {
                const std::string what = sequence.step();
                ASSERT_TRUE(sequence.consistent()) << "after step " << i << " (" << what << ")";
            }
        }
        const ManagerTotals counted = ManagerTotals::now().since(before);
        EXPECT_GT(counted.putDowns, 0) << "the device never filled up";
        EXPECT_GT(counted.spills, 0) << "no cached page was ever spilled";
        EXPECT_GT(counted.cacheHits, 0);
    }
}
