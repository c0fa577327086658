// The CPU engine splits a launch between its threads only when the launch's work outlasts the
// team's wake-up, so the same operation runs on one thread or on the team depending on its size
// and on the machine. That choice must not change a single bit: every operation here runs with
// every launch split and with none, and the two results are compared byte for byte, NaN
// payloads included.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "backend/cpu/Engine.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

// A fixed threshold for the scope; the learned one holds again after it.
class ScopedParallelWork {
public:
    explicit ScopedParallelWork(long long work) { lmx::cpu::setParallelWork(work); }
    ~ScopedParallelWork() { lmx::cpu::learnParallelWork(); }
    ScopedParallelWork(const ScopedParallelWork&) = delete;
    ScopedParallelWork& operator=(const ScopedParallelWork&) = delete;
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
    lmx::cpu::learnParallelWork();
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

// The same operations with the threshold learned from the launches, starting from a team that
// costs nothing to wake: the launches past the least work split and are timed on the way.
TEST(ParallelWork, LaunchesSplitAndTimedByTheLearnedCostsGiveTheSameBytes) {
    const lmx::cpu::SplitCosts saved = lmx::cpu::splitCosts();
    for (const Case& c : kCases) {
        for (const Size& s : kSizes) {
            SCOPED_TRACE(testing::Message() << c.name << " on " << s.w << " x " << s.h);
            const std::vector<unsigned char> alone = runWith(c, s, LLONG_MAX);
            lmx::cpu::setSplitCosts(lmx::cpu::SplitCosts(lmx::cpu::teamSize(), 0.0, 4e9));
            const cmm::cmmDims dims(s.w, s.h);
            Lumerix a = lmxtest::imageOf(dims, awkwardValues(dims.Size(), -1.f, 1.f, 11));
            Lumerix b = lmxtest::imageOf(dims, awkwardValues(dims.Size(), 0.5f, 2.f, 12));
            EXPECT_EQ(c.run(a, b), alone);
        }
    }
    // The split launches were timed and taught the costs something: waking a team is not free.
    if (lmx::cpu::teamSize() > 1) {
        EXPECT_GT(lmx::cpu::splitCosts().regionCost(), 0.0);
    }
    lmx::cpu::setSplitCosts(saved);
}

// ---- the costs the threshold is learned from, injected ----

using lmx::cpu::SplitCosts;

// Splitting pays once one thread alone would take longer than the region's cost plus its share:
// W / r > c T / (T - 1), never below the least work and never with a team of one.
TEST(SplitCosts, SplitFromTheWorkOneThreadTakesLongerOnThanTheRegionCosts) {
    struct Row {
        int threads;
        double cost, rate;
    };
    const Row rows[] = {{2, 50e-6, 4e9}, {4, 30e-6, 6e9}, {2, 1e-7, 4e9},
                        {2, 20e-3, 4e9}, {8, 1e-3, 1e10}, {1, 50e-6, 4e9}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.threads << " threads, " << r.cost << " s, " << r.rate);
        const SplitCosts costs(r.threads, r.cost, r.rate);
        if (r.threads == 1) {
            EXPECT_EQ(costs.threshold(), LLONG_MAX);
            EXPECT_FALSE(SplitCosts(1, 0.0, 4e9).probe(1.0));
            continue;
        }
        const double pays = r.cost * r.rate * r.threads / (r.threads - 1);
        const double want = std::max(pays, static_cast<double>(lmx::cpu::kParallelThreshold));
        EXPECT_NEAR(static_cast<double>(costs.threshold()), want, 1.0);
    }
}

namespace {

// A launch of 2^20 pixels split in two at 4e9 pixels a second whose region added `cost`.
void splitLaunch(SplitCosts& costs, double cost, double end = 0) {
    constexpr long long kWork = 1 << 20;
    const double own = kWork / 2 / 4e9;
    costs.split(kWork, 2, own + cost, own, end);
}

}  // namespace

TEST(SplitCosts, ALastingChangeMovesTheThresholdAndOneSlowLaunchDoesNot) {
    SplitCosts costs(2, 2e-6, 4e9);
    const long long quiet = costs.threshold();
    EXPECT_LT(quiet, 1 << 20);
    splitLaunch(costs, 5e-3);  // a moment of a busy machine
    EXPECT_EQ(costs.threshold(), quiet);
    splitLaunch(costs, 5e-3);
    splitLaunch(costs, 5e-3);  // the machine stays busy: a million pixels stay on one thread
    EXPECT_GT(costs.threshold(), 1 << 20);
    EXPECT_NEAR(costs.regionCost(), 5e-3, 1e-9);
    EXPECT_NEAR(costs.rate(), 4e9, 1.0);
    for (int i = 0; i < 3; ++i) splitLaunch(costs, 2e-6);
    EXPECT_EQ(costs.threshold(), quiet);
}

TEST(SplitCosts, OneThreadsRateComesFromLaunchesKeptOnIt) {
    SplitCosts costs(2, 50e-6, 4e9);
    const long long before = costs.threshold();
    for (int i = 0; i < 3; ++i) costs.alone(1 << 20, (1 << 20) / 8e9);  // twice as fast
    EXPECT_NEAR(costs.rate(), 8e9, 1.0);
    EXPECT_NEAR(static_cast<double>(costs.threshold()), 2.0 * before, 2.0);
}

TEST(SplitCosts, TimesThatMeanNothingAreNotLearned) {
    SplitCosts costs(2, 50e-6, 4e9);
    const long long before = costs.threshold();
    for (int i = 0; i < SplitCosts::kSamples; ++i) {
        costs.alone(1 << 20, 0.0);               // below the clock's resolution
        costs.alone(0, 1e-3);                    // no work
        costs.split(1 << 20, 1, 1e-3, 1e-4, 0);  // a region of one thread (nested)
        costs.split(1 << 20, 2, 1e-4, 1e-3, 0);  // a wall time shorter than a share of it
        costs.split(1 << 20, 2, 1e-3, 0.0, 0);
    }
    EXPECT_EQ(costs.threshold(), before);
}

// Launches kept on one thread are split now and then, a few in a row, to see whether the team
// got cheaper; after a split launch the next probe waits many times what the region costs.
TEST(SplitCosts, LaunchesKeptOnOneThreadAreProbedInShortBurstsFarApart) {
    SplitCosts costs(2, 5e-3, 4e9);
    for (int i = 0; i < SplitCosts::kProbeBurst; ++i) EXPECT_TRUE(costs.probe(0.0)) << i;
    EXPECT_FALSE(costs.probe(0.0));
    EXPECT_FALSE(costs.probe(SplitCosts::kProbeGap / 2));
    splitLaunch(costs, 5e-3, 1.0);
    const double gap = SplitCosts::kProbeShare * 5e-3;
    EXPECT_FALSE(costs.probe(1.0 + gap * 0.9));
    EXPECT_TRUE(costs.probe(1.0 + gap * 1.1));
}

TEST(SplitCosts, InjectedCostsSetTheThresholdUntilAFixedOneIsSet) {
    const SplitCosts saved = lmx::cpu::splitCosts();
    lmx::cpu::setSplitCosts(SplitCosts(2, 1e-3, 4e9));
    if (lmx::cpu::teamSize() > 1) {
        EXPECT_EQ(lmx::cpu::parallelWork(), 8000000);
    }
    {
        ScopedParallelWork fixed(12345);
        lmx::cpu::setSplitCosts(SplitCosts(2, 1e-6, 4e9));
        EXPECT_EQ(lmx::cpu::parallelWork(), 12345);
    }
    if (lmx::cpu::teamSize() > 1) {
        EXPECT_EQ(lmx::cpu::parallelWork(), lmx::cpu::kParallelThreshold);
    }
    lmx::cpu::setSplitCosts(saved);
}
