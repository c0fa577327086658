// The CPU engine splits a launch between its threads only when the launch's work outlasts the
// team's wake-up, so the same operation runs on one thread or on the team depending on its size
// and on the machine. That choice must not change a single bit: every operation here runs with
// every launch split and with none, and the two results are compared byte for byte, NaN
// payloads included.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "backend/cpu/Engine.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

class ScopedParallelWork {
public:
    explicit ScopedParallelWork(long long work) : saved_(lmx::cpu::setParallelWork(work)) {}
    ~ScopedParallelWork() { lmx::cpu::setParallelWork(saved_); }
    ScopedParallelWork(const ScopedParallelWork&) = delete;
    ScopedParallelWork& operator=(const ScopedParallelWork&) = delete;

private:
    long long saved_;
};

float withBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Values in [lo, hi) with, every few pixels, a NaN of its own payload (either sign), a signed
// zero or an infinity: the pixels whose results depend on operand order.
std::vector<float> awkwardValues(int n, float lo, float hi, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(n), lo, hi, seed);
    std::mt19937 gen(seed);
    for (int i = 0; i < n; ++i) {
        switch (gen() % 16) {
            case 0:
                v[i] = withBits(0x7FC00000u | (gen() & 0x3FFFFFu));
                break;
            case 1:
                v[i] = withBits(0xFFC00000u | (gen() & 0x3FFFFFu));
                break;
            case 2:
                v[i] = -0.0f;
                break;
            case 3:
                v[i] = 0.0f;
                break;
            case 4:
                v[i] = lmxtest::kInf;
                break;
            default:
                break;
        }
    }
    return v;
}

template <class T>
void append(std::vector<unsigned char>& out, const T* p, std::size_t count) {
    const std::size_t at = out.size();
    out.resize(at + count * sizeof(T));
    if (count) std::memcpy(out.data() + at, p, count * sizeof(T));
}

void appendPixels(std::vector<unsigned char>& out, Lumerix&& image) {
    const std::vector<float> v = lmxtest::pixels(image);
    append(out, v.data(), v.size());
}

void appendValue(std::vector<unsigned char>& out, float value) {
    append(out, &value, 1);
}

struct Case {
    const char* name;
    // The bytes of the operation's results on a (pixels in [-1, 1]) and b (in [0.5, 2]).
    std::vector<unsigned char> (*run)(Lumerix& a, Lumerix& b);
};

// clang-format off
const Case kCases[] = {
    {"a + b", [](Lumerix& a, Lumerix& b) { std::vector<unsigned char> r; appendPixels(r, a + b); return r; }},
    {"a * 2", [](Lumerix& a, Lumerix&) { std::vector<unsigned char> r; appendPixels(r, a * 2.0f); return r; }},
    {"a > 0.5", [](Lumerix& a, Lumerix&) { std::vector<unsigned char> r; appendPixels(r, a > 0.5f); return r; }},
    {"sqrt(b)", [](Lumerix&, Lumerix& b) { std::vector<unsigned char> r; appendPixels(r, sqrt(b)); return r; }},
    {"sum", [](Lumerix& a, Lumerix& b) { std::vector<unsigned char> r; appendValue(r, sum(a)); appendValue(r, sum(b)); return r; }},
    {"fmin, fmax", [](Lumerix& a, Lumerix&) { std::vector<unsigned char> r; appendValue(r, fmin(a)); appendValue(r, fmax(a)); return r; }},
    {"mean, var", [](Lumerix&, Lumerix& b) { std::vector<unsigned char> r; appendValue(r, mean(b)); appendValue(r, var(b)); return r; }},
    {"histogram256", [](Lumerix& a, Lumerix&) {
         Lumerix scaled = a * 200.0f;
         unsigned int counts[256];
         histogram256(scaled, counts);
         std::vector<unsigned char> r;
         append(r, counts, 256);
         return r;
     }},
    {"GetDataInt8", [](Lumerix&, Lumerix& b) {
         Lumerix scaled = b * 100.0f;
         unsigned char* data = scaled.GetDataInt8();
         std::vector<unsigned char> r(data, data + scaled.GetDimensions().Size());
         std::free(data);
         return r;
     }},
    {"label", [](Lumerix& a, Lumerix&) { std::vector<unsigned char> r; appendPixels(r, label(a > 0.0f)); return r; }},
};
// clang-format on

struct Size {
    int w, h;
};

// One pixel, small planes, and planes past the least work ever split (the 4 x 8192 line).
const Size kSizes[] = {{1, 1}, {17, 13}, {300, 217}, {8192, 4}};

std::vector<unsigned char> runWith(const Case& c, const Size& s, long long work) {
    const cmm::cmmDims dims(s.w, s.h);
    const int n = dims.Size();
    Lumerix a = lmxtest::imageOf(dims, awkwardValues(n, -1.f, 1.f, 11));
    Lumerix b = lmxtest::imageOf(dims, awkwardValues(n, 0.5f, 2.f, 12));
    ScopedParallelWork split(work);
    return c.run(a, b);
}

}  // namespace

TEST(ParallelWork, EveryOperationGivesTheSameBytesOnOneThreadAndOnTheTeam) {
    for (const Case& c : kCases) {
        for (const Size& s : kSizes) {
            SCOPED_TRACE(testing::Message() << c.name << " on " << s.w << " x " << s.h);
            const std::vector<unsigned char> alone = runWith(c, s, LLONG_MAX);
            const std::vector<unsigned char> team = runWith(c, s, 0);
            ASSERT_FALSE(alone.empty());
            ASSERT_EQ(alone.size(), team.size());
            std::size_t i = 0;
            while (i < alone.size() && alone[i] == team[i]) ++i;
            EXPECT_EQ(i, alone.size()) << "the results differ from byte " << i;
        }
    }
}

TEST(ParallelWork, TheMeasuredThresholdSplitsNothingSmallAndOnlyWhereThereIsATeam) {
    const long long work = lmx::cpu::setParallelWork(0);
    lmx::cpu::setParallelWork(work);
    if (lmx::cpu::teamSize() > 1)
        EXPECT_GE(work, lmx::cpu::kParallelThreshold);
    else
        EXPECT_EQ(work, LLONG_MAX);
    EXPECT_FALSE(lmx::cpu::splits(1));
}

TEST(ParallelWork, ASettingHoldsUntilTheNext) {
    ScopedParallelWork first(12345);
    EXPECT_FALSE(lmx::cpu::splits(12344));
    EXPECT_TRUE(lmx::cpu::splits(12345));
    EXPECT_EQ(lmx::cpu::setParallelWork(678), 12345);
    EXPECT_EQ(lmx::cpu::parallelWork(), 678);
}

// The wake-up is timed with a region that the compiler must keep: a fork and join of a real team
// takes far more than the 100 ns that two clock reads around nothing would.
TEST(ParallelWork, TheTimedRegionWakesTheTeam) {
    if (lmx::cpu::teamSize() <= 1) GTEST_SKIP() << "a team of one thread has nothing to wake";
    EXPECT_GT(lmx::cpu::regionSeconds(), 1e-7);
}
