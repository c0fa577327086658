// Three-channel merge and split: value 3i + k of the merged image is pixel i of channel k.

#include "TestSupport.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using cmm::cmmDims;
using lmxtest::imageOf;
using lmxtest::pixels;

namespace {

std::vector<float> interleaved(const std::vector<float>& c0, const std::vector<float>& c1,
                               const std::vector<float>& c2) {
    std::vector<float> m;
    for (std::size_t i = 0; i < c0.size(); ++i) {
        m.push_back(c0[i]);
        m.push_back(c1[i]);
        m.push_back(c2[i]);
    }
    return m;
}

void expectDims(const cmmDims& got, int d0, int d1, int d2, int d3) {
    EXPECT_EQ(got.Dim(0), d0);
    EXPECT_EQ(got.Dim(1), d1);
    EXPECT_EQ(got.Dim(2), d2);
    EXPECT_EQ(got.Dim(3), d3);
    EXPECT_EQ(got.Size(), d0 * d1 * d2 * d3);
}

// What a call threw: the type and message, or "(nothing thrown)".
std::string thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::runtime_error& e) {
        return std::string("runtime_error: ") + e.what();
    }
    return "(nothing thrown)";
}

struct Channels {
    std::vector<float> v0, v1, v2;
    Lumerix c0, c1, c2;
    Channels(const cmmDims& dims, unsigned seed)
        : v0(lmxtest::randomValues(static_cast<std::size_t>(dims.Size()), -5.0f, 5.0f, seed)),
          v1(lmxtest::randomValues(static_cast<std::size_t>(dims.Size()), 10.0f, 20.0f, seed + 1)),
          v2(lmxtest::randomValues(static_cast<std::size_t>(dims.Size()), -50.0f, -40.0f, seed + 2)),
          c0(imageOf(dims, v0)),
          c1(imageOf(dims, v1)),
          c2(imageOf(dims, v2)) {}
};

}  // namespace

TEST(Channels, MergeInterleavesThePixelsOfTheThreeChannels) {
    for (const cmmDims& dims : {cmmDims(1), cmmDims(1, 300), cmmDims(300, 1), cmmDims(37, 29),
                                cmmDims(640, 480)}) {
        SCOPED_TRACE(dims.Size());
        Channels ch(dims, 3);
        Lumerix m = merge3(ch.c0, ch.c1, ch.c2);
        expectDims(m.GetDimensions(), dims.Dim(0), dims.Dim(1), 3, 1);
        EXPECT_EQ(pixels(m), interleaved(ch.v0, ch.v1, ch.v2));
        // The arguments keep their pixels and extents.
        EXPECT_EQ(pixels(ch.c0), ch.v0);
        EXPECT_EQ(pixels(ch.c1), ch.v1);
        EXPECT_EQ(pixels(ch.c2), ch.v2);
        EXPECT_TRUE(ch.c2.GetDimensions() == dims);
    }
}

TEST(Channels, SplitRecoversTheChannelsWhateverTheOutputsHeldBefore) {
    for (const cmmDims& dims : {cmmDims(1), cmmDims(37, 29), cmmDims(640, 480)}) {
        SCOPED_TRACE(dims.Size());
        Channels ch(dims, 7);
        Lumerix m = merge3(ch.c0, ch.c1, ch.c2);
        const std::vector<float> merged = pixels(m);
        Lumerix o0 = imageOf(cmmDims(5, 7, 2), lmxtest::randomValues(70, 0.0f, 1.0f));
        Lumerix o1;  // no pixels
        Lumerix o2(cmmDims(3, 3));  // extents, no data
        split3(m, o0, o1, o2);
        for (Lumerix* out : {&o0, &o1, &o2})
            expectDims(out->GetDimensions(), dims.Dim(0), dims.Dim(1), 1, 1);
        EXPECT_EQ(pixels(o0), ch.v0);
        EXPECT_EQ(pixels(o1), ch.v1);
        EXPECT_EQ(pixels(o2), ch.v2);
        EXPECT_EQ(pixels(m), merged) << "the merged image is unchanged";
    }
}

TEST(Channels, SplitOfHandWrittenTriples) {
    Lumerix m = imageOf(cmmDims(2, 1, 3), {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f});
    Lumerix r, g, b;
    split3(m, r, g, b);
    EXPECT_EQ(pixels(r), (std::vector<float>{1.0f, 4.0f}));
    EXPECT_EQ(pixels(g), (std::vector<float>{2.0f, 5.0f}));
    EXPECT_EQ(pixels(b), (std::vector<float>{3.0f, 6.0f}));
    expectDims(r.GetDimensions(), 2, 1, 1, 1);
}

TEST(Channels, ThreeDimensionalChannelsMergeAlongTheThirdExtent) {
    Channels ch(cmmDims(32, 32, 2), 11);
    Lumerix m = merge3(ch.c0, ch.c1, ch.c2);
    expectDims(m.GetDimensions(), 32, 32, 6, 1);
    EXPECT_EQ(pixels(m), interleaved(ch.v0, ch.v1, ch.v2));
    Lumerix o0, o1, o2;
    split3(m, o0, o1, o2);
    for (Lumerix* out : {&o0, &o1, &o2}) expectDims(out->GetDimensions(), 32, 32, 2, 1);
    EXPECT_EQ(pixels(o0), ch.v0);
    EXPECT_EQ(pixels(o1), ch.v1);
    EXPECT_EQ(pixels(o2), ch.v2);
}

TEST(Channels, MergeRejectsChannelsOfDifferentExtentsBeforeAnyWork) {
    const std::vector<float> v = lmxtest::randomValues(48, 0.0f, 1.0f);
    Lumerix a = imageOf(cmmDims(8, 6), v), b = imageOf(cmmDims(8, 6), v);
    Lumerix c = imageOf(cmmDims(6, 8), v);
#if defined(LMX_BACKEND_CPU)
    const long allocations = lmx::cpu::counters().allocations;
#endif
    const int locks = cmm::lockTotal;
    const std::string mismatch = "runtime_error: Image sizes do not match";
    EXPECT_EQ(thrown([&] { merge3(a, b, c); }), mismatch);
    EXPECT_EQ(thrown([&] { merge3(c, a, b); }), mismatch);
    EXPECT_EQ(thrown([&] { merge3(a, c, b); }), mismatch);
    EXPECT_EQ(cmm::lockTotal, locks);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
#endif
    for (Lumerix* img : {&a, &b, &c}) EXPECT_EQ(pixels(*img), v);
    Lumerix m = merge3(a, b, a);  // still usable
    EXPECT_EQ(pixels(m), interleaved(v, v, v));
}

TEST(Channels, MergeRejectsChannelsWithMoreThanOneVolume) {
    const std::vector<float> v = lmxtest::randomValues(64, 0.0f, 1.0f);
    Lumerix a = imageOf(cmmDims(4, 4, 2, 2), v), b = imageOf(cmmDims(4, 4, 2, 2), v),
            c = imageOf(cmmDims(4, 4, 2, 2), v);
#if defined(LMX_BACKEND_CPU)
    const long allocations = lmx::cpu::counters().allocations;
#endif
    const int locks = cmm::lockTotal;
    EXPECT_EQ(thrown([&] { merge3(a, b, c); }).rfind("invalid_argument: ", 0), 0u);
    EXPECT_EQ(cmm::lockTotal, locks);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
#endif
    EXPECT_EQ(pixels(a), v);
}

TEST(Channels, SplitRejectsImagesThatAreNotWholeTriplesAndKeepsTheOutputs) {
    const std::vector<float> out = {7.0f, 8.0f};
    for (const cmmDims& dims : {cmmDims(4, 4, 2), cmmDims(4, 4, 4), cmmDims(4, 4, 3, 2),
                                cmmDims(4, 4, 1), cmmDims(12)}) {
        SCOPED_TRACE(dims.Size());
        const std::vector<float> v =
            lmxtest::randomValues(static_cast<std::size_t>(dims.Size()), 0.0f, 1.0f);
        Lumerix m = imageOf(dims, v);
        Lumerix o0 = imageOf(out), o1 = imageOf(out), o2 = imageOf(out);
#if defined(LMX_BACKEND_CPU)
        const long allocations = lmx::cpu::counters().allocations;
#endif
        const int locks = cmm::lockTotal;
        EXPECT_EQ(thrown([&] { split3(m, o0, o1, o2); }).rfind("invalid_argument: ", 0), 0u);
        EXPECT_EQ(cmm::lockTotal, locks);
#if defined(LMX_BACKEND_CPU)
        EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
#endif
        for (Lumerix* o : {&o0, &o1, &o2}) {
            expectDims(o->GetDimensions(), 2, 1, 1, 1);
            EXPECT_EQ(pixels(*o), out);
        }
        EXPECT_EQ(pixels(m), v);
    }
}

TEST(Channels, ChannelsWithoutPixelsLaunchNothing) {
    Lumerix e0, e1, e2;
#if defined(LMX_BACKEND_CPU)
    const long launches = lmx::cpu::counters().launches;
#endif
    Lumerix m = merge3(e0, e1, e2);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().launches, launches);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if defined(LMX_BACKEND_CPU)

namespace {

void onDevice(std::initializer_list<Lumerix*> images) {
    for (Lumerix* img : images) {
        img->Lock();
        img->Release();
    }
    lmxtest::putDownAllZombies();
}

std::string outOfMemoryFrom(const std::function<void()>& f) {
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    const std::string what = thrown(f);
    lmx::cpu::clearFaults();
    cudaGetLastError();
    return what;
}

void expectReleased(Lumerix& img, const std::vector<float>& v) {
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_TRUE(img.page->state == cmm::cmmCached());
    EXPECT_EQ(pixels(img), v);
}

}  // namespace

TEST(Channels, OutOfMemoryForTheMergedImageReleasesTheChannels) {
    LMX_CPU_BACKEND_ONLY();
    Channels ch(cmmDims(20, 10), 21);
    onDevice({&ch.c0, &ch.c1, &ch.c2});
    EXPECT_EQ(outOfMemoryFrom([&] { merge3(ch.c0, ch.c1, ch.c2); }),
              "runtime_error: Out of memory");
    expectReleased(ch.c0, ch.v0);
    expectReleased(ch.c1, ch.v1);
    expectReleased(ch.c2, ch.v2);
}

TEST(Channels, OutOfMemoryForAChannelReleasesTheMergedImage) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> v = lmxtest::randomValues(600, 0.0f, 1.0f, 23);
    Lumerix m = imageOf(cmmDims(20, 10, 3), v);
    Lumerix o0, o1, o2;
    onDevice({&m});
    EXPECT_EQ(outOfMemoryFrom([&] { split3(m, o0, o1, o2); }), "runtime_error: Out of memory");
    expectReleased(m, v);
    for (Lumerix* o : {&o0, &o1, &o2}) EXPECT_EQ(o->page->lockCount, 0);
    // The outputs can be used again.
    split3(m, o0, o1, o2);
    EXPECT_EQ(pixels(o1)[5], v[16]);
}

#endif  // LMX_BACKEND_CPU
