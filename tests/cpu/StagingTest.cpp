// The 8- and 16-bit transfers through the page-locked staging buffer, and the conversions that
// the CPU backend runs straight on the caller's array: same data either way, the buffer kept
// between calls and given back on demand, and an ordinary copy where none can be had.

#include "ConversionSupport.h"
#include "TestSupport.h"
#include "cmm/cmmReclaim.h"
#include "cpu/StandIn.h"
#include "lumerix/LumerixUtils.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

using cmm::cmmDims;
using namespace lmxtest;

namespace {

// Conversions of every size cross through the scratch and staging buffers while it lives.
struct StagedConversions {
    StagedConversions() : saved(lmx::cpu::inPlaceConversionThreshold()) {
        lmx::cpu::setInPlaceConversionBytes(~std::size_t(0));
    }
    ~StagedConversions() { lmx::cpu::setInPlaceConversionBytes(saved); }
    std::size_t saved;
};

struct StagingPiece {
    explicit StagingPiece(std::size_t bytes) : saved(lmx::setStagingPieceBytes(bytes)) {}
    ~StagingPiece() { lmx::setStagingPieceBytes(saved); }
    std::size_t saved;
};

// The kernels' conversion: truncation toward zero after clamping into [0, top]; NaN gives 0.
unsigned saturated(float v, double top) {
    if (!(v > 0.0f)) return 0;
    return static_cast<unsigned>(std::min(std::trunc(static_cast<double>(v)), top));
}

template <class T>
std::vector<T> narrowRamp(std::size_t n) {
    std::vector<T> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<T>(i * 7919 + i / 3);
    return v;
}

template <class T>
T* getNarrow(Lumerix& image) {
    if constexpr (sizeof(T) == 1)
        return image.GetDataInt8();
    else
        return image.GetDataInt16();
}

template <class T>
void setNarrow(Lumerix& image, const std::vector<T>& v) {
    if constexpr (sizeof(T) == 1)
        image.SetDataInt8(v.data());
    else
        image.SetDataInt16(v.data());
}

// Both directions of one width over images of n pixels, in pieces of `piece` bytes: the data
// arrives whole, in ceil(bytes / piece) copies each way.
template <class T>
void checkRoundTrip(std::size_t n, std::size_t piece) {
    SCOPED_TRACE(testing::Message() << "n " << n << ", piece " << piece << ", " << sizeof(T));
    const std::vector<T> values = narrowRamp<T>(n);
    Lumerix image{cmmDims(static_cast<int>(n))};
    const std::size_t bytes = n * sizeof(T);
    const long pieces = static_cast<long>((bytes + piece - 1) / piece);
    RuntimeTotals before = RuntimeTotals::now();
    setNarrow(image, values);
    RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.hostToDeviceBytes, bytes);
    EXPECT_EQ(moved.hostToDevice, pieces);
    EXPECT_EQ(pixels(image), std::vector<float>(values.begin(), values.end()));
    before = RuntimeTotals::now();
    const Owned<T> back(getNarrow<T>(image));
    moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.deviceToHostBytes, bytes);
    EXPECT_EQ(moved.deviceToHost, pieces);
    EXPECT_EQ(contents(back, n), values);
}

}  // namespace

TEST(Staging, TransfersInPiecesDeliverEveryByteInOrder) {
    const StagedConversions staged;
    struct Case {
        std::size_t n;
        std::size_t piece;
    };
    // One piece, exactly two, an odd number with a short last one, many pieces of odd size.
    const Case cases[] = {{1, 4096},     {999, 4096}, {8192, 4096}, {3 * 4096 + 7, 4096},
                          {20000, 1000}, {5, 1}};
    for (const Case& c : cases) {
        const StagingPiece piece(c.piece);
        checkRoundTrip<unsigned char>(c.n, c.piece);
        checkRoundTrip<unsigned short>(c.n, c.piece);
    }
}

TEST(Staging, TheBufferIsKeptBetweenCallsAndGivenBackOnDemand) {
    const StagedConversions staged;
    const std::vector<unsigned char> bytes = narrowRamp<unsigned char>(5000);
    Lumerix image{cmmDims(100, 50)};
    image.SetDataInt8(bytes.data());
    const lmx::cpu::Counters before = lmx::cpu::counters();
    for (int k = 0; k < 3; ++k) {
        image.SetDataInt8(bytes.data());
        const Owned<unsigned char> back(image.GetDataInt8());
        EXPECT_EQ(contents(back, bytes.size()), bytes);
    }
    EXPECT_EQ(lmx::cpu::counters().hostAllocations, before.hostAllocations) << "reused";
    EXPECT_EQ(lmx::cpu::counters().hostFrees, before.hostFrees);

    // The manager's reclamation empties it with the other idle caches; the next transfer takes
    // a new one.
    EXPECT_TRUE(lmx::releaseDeviceCaches());
    EXPECT_EQ(lmx::cpu::counters().hostFrees, before.hostFrees + 1);
    EXPECT_FALSE(lmx::releaseStagingBuffer()) << "already given back";
    image.SetDataInt8(bytes.data());
    EXPECT_EQ(lmx::cpu::counters().hostAllocations, before.hostAllocations + 1);
    EXPECT_EQ(pixels(image)[4999], static_cast<float>(bytes[4999]));
}

// Without page-locked memory the data crosses in one ordinary copy each way, complete, and the
// failed allocation leaves no error behind for the next check.
TEST(Staging, WithoutPageLockedMemoryTheDataCrossesInOneOrdinaryCopy) {
    const StagedConversions staged;
    const StagingPiece piece(1024);
    const std::vector<unsigned short> words = narrowRamp<unsigned short>(3000);
    Lumerix image{cmmDims(3000)};
    lmx::releaseStagingBuffer();
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::HostAllocation, 1, cudaErrorMemoryAllocation);
    const long failed = lmx::cpu::counters().failedHostAllocations;
    RuntimeTotals before = RuntimeTotals::now();
    image.SetDataInt16(words.data());
    const Owned<unsigned short> back(image.GetDataInt16());
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    lmx::cpu::clearFaults();
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(lmx::cpu::counters().failedHostAllocations, failed + 2);
    EXPECT_EQ(moved.hostToDevice, 1);
    EXPECT_EQ(moved.deviceToHost, 1);
    EXPECT_EQ(contents(back, words.size()), words);
    EXPECT_EQ(pixels(image), std::vector<float>(words.begin(), words.end()));
}

// A conversion on the caller's array gives the bytes of the kernel's transfer path, over the
// values whose conversion is easy to get wrong, and counts what a bus would carry.
TEST(Staging, ConversionsInPlaceGiveTheTransferPathsBits) {
    const float special[] = {NAN,    -NAN,     INFINITY, -INFINITY, -0.0f,   0.0f,
                             0.5f,   1.5f,     2.5f,     254.5f,    255.0f,  255.5f,
                             256.0f, 300.0f,   -0.5f,    -1.0f,     -300.0f, 65534.5f,
                             65535,  65535.5f, 65536.0f, 70000.f,   4.3e9f,  1e38f,
                             -1e38f, 1e-30f,   0.999f,   127.5f,    128.0f,  32767.5f};
    const std::size_t n = 100003;  // above the in-place size in both widths, not a multiple of 8
    std::vector<float> v = randomValues(n, -400.f, 70000.f, 3);
    for (std::size_t i = 0; i < n; i += 3) v[i] = special[(i / 3) % (sizeof special / 4)];
    Lumerix image = imageOf(v);
    ASSERT_TRUE(lmx::convertsInPlaceOnHost(n));

    RuntimeTotals before = RuntimeTotals::now();
    const Owned<unsigned char> direct8(image.GetDataInt8());
    const Owned<unsigned short> direct16(image.GetDataInt16());
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.deviceToHostBytes, 3 * n);
    EXPECT_EQ(moved.deviceToHost, 2);
    Owned<unsigned char> staged8;
    Owned<unsigned short> staged16;
    {
        const StagedConversions staged;
        staged8.reset(image.GetDataInt8());
        staged16.reset(image.GetDataInt16());
    }
    EXPECT_EQ(contents(direct8, n), contents(staged8, n));
    EXPECT_EQ(contents(direct16, n), contents(staged16, n));
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(direct8[i], saturated(v[i], 255)) << i << ": " << v[i];
        ASSERT_EQ(direct16[i], saturated(v[i], 65535)) << i << ": " << v[i];
    }

    // And back: both widths in place and through the transfer give the same floats.
    const std::vector<unsigned short> words = contents(direct16, n);
    Lumerix viaHost{cmmDims(static_cast<int>(n))}, viaStaging{cmmDims(static_cast<int>(n))};
    before = RuntimeTotals::now();
    viaHost.SetDataInt16(words.data());
    EXPECT_EQ(RuntimeTotals::now().since(before).hostToDeviceBytes, 2 * n);
    {
        const StagedConversions staged;
        viaStaging.SetDataInt16(words.data());
    }
    EXPECT_TRUE(sameFloats(pixels(viaHost), pixels(viaStaging)));
}

// A piece that fails ends the process with the transfer's report: the caller never receives an
// array of which only the first pieces arrived.
TEST(StagingDeathTest, AFailedPieceEndsTheProcessWithTheTransfersReport) {
    const auto failSecondPiece = [] {
        const StagedConversions staged;
        const StagingPiece piece(1000);
        Lumerix image = imageOf(randomValues(5000, 0.f, 255.f, 9));
        onDevice({&image});
        lmx::cpu::injectFault(lmx::cpu::Fault::Copy, 2, cudaErrorInvalidValue);
        std::free(image.GetDataInt8());
        std::exit(3);
    };
    EXPECT_EXIT(failSecondPiece(), ::testing::ExitedWithCode(1),
                "^LUMERIX error\nLumerix\\.cpp:[0-9]+ : invalid argument\nFunction: "
                "cudaMemcpy\\(data, shortdata, GetDimensions\\(\\)\\.Size\\(\\)\\*sizeof\\("
                "unsigned char\\), cudaMemcpyDeviceToHost\\)\n$");
}
