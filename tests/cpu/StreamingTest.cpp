// The CPU engine writes results from a size on with streaming stores, and counts the histogram
// straight from the float pixels. Every path must give the plain kernels' bits: at result sizes
// just below, at and above the threshold, for results that do not start on a cache line, with
// NaN and infinities, and without touching a byte outside the result.

#include "TestSupport.h"

#include "backend/cpu/Control.h"
#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"
#include "kernels/Shapes.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

using cmm::cmmDims;
using namespace lmxtest;

namespace {

constexpr std::size_t kNever = ~std::size_t(0);
constexpr std::size_t kThreshold = 96 << 10;  // 96 KiB: three parallel chunks of floats
constexpr int kGuard = 64;                    // bytes before and after every result

// The saturating conversion to an integer of [0, top]: NaN and values below 0 give 0.
unsigned saturated(float v, double top) {
    if (!(v > 0.0f)) return 0;
    return static_cast<unsigned>(std::min(std::trunc(static_cast<double>(v)), top));
}

struct ScopedStreamingBytes {
    explicit ScopedStreamingBytes(std::size_t bytes) : saved(lmx::cpu::streamingStoreThreshold()) {
        lmx::cpu::setStreamingStoreBytes(bytes);
    }
    ~ScopedStreamingBytes() { lmx::cpu::setStreamingStoreBytes(saved); }
    std::size_t saved;
};

// Random values in [-300, 70000] with the special ones spread over them and runs of one value.
std::vector<float> pixelValues(int n, unsigned seed) {
    std::vector<float> v = randomValues(n, -300.f, 70000.f, seed);
    const float special[] = {NAN,  -NAN,     INFINITY, -INFINITY, -0.0f,  0.0f, 0.999f,  1.0f, 2.0f,
                             4.0f, 254.999f, 255.0f,   255.5f,    256.0f, 3e9f, -1e-30f, 1e38f};
    for (int i = 0; i < n; ++i)
        if (i % 5 == 0) v[i] = special[(i / 5) % (sizeof special / sizeof special[0])];
    for (int i = n / 2; i < n / 2 + 700 && i < n; ++i) v[i] = 17.25f;
    return v;
}

// One buffer with `kGuard` bytes of a marker on each side of the result, which starts `shift`
// bytes past the allocation's (64-byte aligned) start.
struct GuardedResult {
    GuardedResult(std::size_t size, int offset)
        : bytes(size), shift(offset), buffer(size + 2 * kGuard + 64) {
        std::memset(buffer.ptr, 0xA5, size + 2 * kGuard + 64);
    }
    void* ptr() const { return static_cast<char*>(buffer.ptr) + kGuard + shift; }
    std::vector<unsigned char> contents() const {
        const auto* p = static_cast<const unsigned char*>(ptr());
        return std::vector<unsigned char>(p, p + bytes);
    }
    bool guardsIntact() const {
        const auto* p = static_cast<const unsigned char*>(ptr());
        for (int k = 1; k <= kGuard; ++k)
            if (p[-k] != 0xA5 || p[bytes + k - 1] != 0xA5) return false;
        return true;
    }
    std::size_t bytes;
    int shift;
    DeviceBuffer buffer;
};

void launchOver(int n, const lmx::cpu::KernelEntry& e, bool plain, void** args) {
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{dim3(n / 256 + 1), dim3(256)};
    (plain ? e.plain : e.invoke)(args);
}

// A pixel-wise kernel of the table with its operands: `inputs` float images (or one narrow
// image) and one result of `outBytes` bytes per pixel.
struct PixelCase {
    const char* name;
    const void* kernel;
    int inputs;      // float operands before the result
    int inBytes;     // bytes per pixel of each operand
    int outBytes;    // bytes per pixel of the result
    bool scalarArg;  // a float argument after the first operand
};

// clang-format off
const PixelCase kPixelCases[] = {
    {"AddII2I", reinterpret_cast<const void*>(&LumerixPixelAddII2I), 2, 4, 4, false},
    {"MulIF2I", reinterpret_cast<const void*>(&LumerixPixelMulIF2I), 1, 4, 4, true},
    {"DivIF2I_swap", reinterpret_cast<const void*>(&LumerixPixelDivIF2I_swap), 1, 4, 4, true},
    {"BitXorII2I", reinterpret_cast<const void*>(&LumerixPixelBitXorII2I), 2, 4, 4, false},
    {"MaxII2I", reinterpret_cast<const void*>(&LumerixPixelMaxII2I), 2, 4, 4, false},
    {"SqrtI2I", reinterpret_cast<const void*>(&LumerixPixelSqrtI2I), 1, 4, 4, false},
    {"NotI2I", reinterpret_cast<const void*>(&LumerixPixelNotI2I), 1, 4, 4, false},
    {"FloatToInt8", reinterpret_cast<const void*>(&LumerixPixelFloatToInt8), 1, 4, 1, false},
    {"FloatToInt16", reinterpret_cast<const void*>(&LumerixPixelFloatToInt16), 1, 4, 2, false},
    {"FloatToInt32", reinterpret_cast<const void*>(&LumerixPixelFloatToInt32), 1, 4, 4, false},
    {"Int8ToFloat", reinterpret_cast<const void*>(&LumerixPixelInt8ToFloat), 1, 1, 4, false},
    {"Int16ToFloat", reinterpret_cast<const void*>(&LumerixPixelInt16ToFloat), 1, 2, 4, false},
};
// clang-format on

}  // namespace

// Each kernel as the engine runs it, against its plain body with ordinary stores.
TEST(Streaming, PixelKernelsGiveThePlainBitsAroundTheThreshold) {
    for (const PixelCase& c : kPixelCases) {
        const lmx::cpu::KernelEntry* e = lmx::cpu::findKernel(c.kernel);
        ASSERT_NE(e, nullptr) << c.name;
        const int atThreshold = static_cast<int>(kThreshold / c.outBytes);
        for (int n : {atThreshold - 1, atThreshold, atThreshold + 1, atThreshold + 37, 5, 16})
            for (int shift : {0, 4, 8, 60}) {
                if (shift % c.outBytes) continue;
                SCOPED_TRACE(testing::Message() << c.name << " n=" << n << " shift=" << shift);
                std::vector<float> values = pixelValues(n, 3);
                std::deque<DeviceBuffer> in;
                void* ptrs[2] = {};
                for (int k = 0; k < c.inputs; ++k) {
                    in.emplace_back(static_cast<std::size_t>(n) * 4);
                    std::vector<unsigned char> bytes(static_cast<std::size_t>(n) * c.inBytes);
                    if (c.inBytes == 4)
                        std::memcpy(bytes.data(), values.data(), bytes.size());
                    else
                        for (std::size_t i = 0; i < bytes.size(); ++i)
                            bytes[i] = static_cast<unsigned char>(i * 37 + k);
                    if (k == 1) std::reverse(bytes.begin(), bytes.end());
                    cudaMemcpy(in.back().ptr, bytes.data(), bytes.size(), cudaMemcpyHostToDevice);
                    ptrs[k] = in.back().ptr;
                }
                const std::size_t outBytes = static_cast<std::size_t>(n) * c.outBytes;
                GuardedResult want(outBytes, shift), got(outBytes, shift);
                float scalar = 0.75f;
                auto argsFor = [&](GuardedResult& r, std::vector<void*>& storage) {
                    storage = {ptrs[0], ptrs[1], r.ptr()};
                    std::vector<void*> args = {&storage[0]};
                    if (c.scalarArg) args.push_back(&scalar);
                    if (c.inputs == 2) args.push_back(&storage[1]);
                    args.push_back(&storage[2]);
                    args.push_back(&n);
                    return args;
                };
                std::vector<void*> s1, s2;
                std::vector<void*> a1 = argsFor(want, s1), a2 = argsFor(got, s2);
                {
                    const ScopedStreamingBytes never(kNever);
                    launchOver(n, *e, true, a1.data());
                }
                {
                    const ScopedStreamingBytes from(kThreshold);
                    launchOver(n, *e, false, a2.data());
                }
                ASSERT_EQ(got.contents(), want.contents());
                EXPECT_TRUE(got.guardsIntact()) << "a store outside the result";
                EXPECT_TRUE(want.guardsIntact());
            }
    }
}

// merge3 and split3 move values only: the traversal must put every one where the kernel does.
TEST(Streaming, ChannelTraversalsMoveEveryValueAsTheKernelsDo) {
    const auto* merge = lmx::cpu::findKernel(reinterpret_cast<const void*>(&LumerixPixelMerge3));
    const auto* split = lmx::cpu::findKernel(reinterpret_cast<const void*>(&LumerixPixelSplit3));
    ASSERT_TRUE(merge && split);
    const int atThreshold = static_cast<int>(kThreshold / 12);
    for (int n : {1, 7, 8, 9, 4097, atThreshold - 1, atThreshold, atThreshold + 1})
        for (int shift : {0, 4, 32})
            for (std::size_t threshold : {kNever, kThreshold}) {
                SCOPED_TRACE(testing::Message()
                             << "n=" << n << " shift=" << shift << " streaming from " << threshold);
                const std::size_t bytes = static_cast<std::size_t>(n) * 4;
                std::deque<DeviceBuffer> channels;
                void* c[3];
                for (int k = 0; k < 3; ++k) {
                    channels.emplace_back(bytes);
                    const std::vector<float> v = pixelValues(n, 10 + k);
                    cudaMemcpy(channels.back().ptr, v.data(), bytes, cudaMemcpyHostToDevice);
                    c[k] = channels.back().ptr;
                }
                GuardedResult want(3 * bytes, shift), got(3 * bytes, shift);
                void* wm = want.ptr();
                void* gm = got.ptr();
                void* mergeWant[] = {&c[0], &c[1], &c[2], &wm, &n};
                void* mergeGot[] = {&c[0], &c[1], &c[2], &gm, &n};
                {
                    const ScopedStreamingBytes never(kNever);
                    launchOver(n, *merge, true, mergeWant);
                }
                {
                    const ScopedStreamingBytes from(threshold);
                    launchOver(n, *merge, false, mergeGot);
                }
                ASSERT_EQ(got.contents(), want.contents());
                EXPECT_TRUE(got.guardsIntact());

                std::deque<GuardedResult> outs;
                for (int k = 0; k < 3; ++k) outs.emplace_back(bytes, shift);
                void* o[3] = {outs[0].ptr(), outs[1].ptr(), outs[2].ptr()};
                void* splitArgs[] = {&gm, &o[0], &o[1], &o[2], &n};
                {
                    const ScopedStreamingBytes from(threshold);
                    launchOver(n, *split, false, splitArgs);
                }
                for (int k = 0; k < 3; ++k) {
                    std::vector<unsigned char> channel(bytes);
                    cudaMemcpy(channel.data(), c[k], bytes, cudaMemcpyDeviceToHost);
                    EXPECT_EQ(outs[k].contents(), channel) << "channel " << k;
                    EXPECT_TRUE(outs[k].guardsIntact()) << "channel " << k;
                }
            }
}

// The one-pass count against the conversion kernel, the counting kernel and the merge as written.
TEST(Streaming, FloatPixelsCountedInOnePassGiveTheTwoKernelsHistogram) {
    const auto* toBytes =
        lmx::cpu::findKernel(reinterpret_cast<const void*>(&LumerixPixelFloatToInt8));
    const auto* count = lmx::cpu::findKernel(reinterpret_cast<const void*>(&histogram256Kernel));
    const auto* merge =
        lmx::cpu::findKernel(reinterpret_cast<const void*>(&mergeHistogram256Kernel));
    ASSERT_TRUE(toBytes && count && merge);
    const std::size_t partialBytes = lmx::kHistogramBlocks * lmx::kBins * sizeof(unsigned);
    auto merged = [&](DeviceBuffer& partial) {
        lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{dim3(lmx::kBins), dim3(64)};
        void* args[] = {&partial.ptr};
        merge->plain(args);
        std::vector<unsigned> bins(lmx::kBins);
        cudaMemcpy(bins.data(), partial.ptr, lmx::kBins * sizeof(unsigned), cudaMemcpyDeviceToHost);
        return bins;
    };
    // Besides the sizes above: around the one-pass count's blocks of 256 pixels, for one thread
    // and, where the team splits the count, for each of two threads.
    for (int n : {1, 31, 32, 33, 4097, 32767, 32768, 300007, 255, 256, 257, 511, 512, 513,
                  2 * 65536 + 2 * 256 - 1, 2 * 65536 + 2 * 256 + 1}) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        const std::vector<float> v = pixelValues(n, 21);
        DeviceBuffer pixels(static_cast<std::size_t>(n) * 4), bytes(n);
        DeviceBuffer twoKernels(partialBytes), onePass(partialBytes);
        cudaMemcpy(pixels.ptr, v.data(), v.size() * 4, cudaMemcpyHostToDevice);
        std::memset(onePass.ptr, 0x5A, partialBytes);  // every counter must be written
        void* convertArgs[] = {&pixels.ptr, &bytes.ptr, &n};
        {
            const ScopedStreamingBytes never(kNever);
            launchOver(n, *toBytes, true, convertArgs);
        }
        lmx::cpu::currentLaunch =
            lmx::cpu::LaunchShape{dim3(lmx::kHistogramBlocks), dim3(lmx::kHistogramThreads)};
        void* countArgs[] = {&twoKernels.ptr, &bytes.ptr, &n};
        count->plain(countArgs);
        ASSERT_TRUE(lmx::countFloatPixels(pixels.get(), n, static_cast<unsigned*>(onePass.ptr)));
        const std::vector<unsigned> want = merged(twoKernels), got = merged(onePass);
        EXPECT_EQ(got, want);
        std::uint64_t total = 0;
        for (unsigned b : got) total += b;
        EXPECT_EQ(total, static_cast<std::uint64_t>(n));
    }
}

// From the threshold on, the 8- and 16-bit conversions read and write the host arrays in the
// launch; below it the narrow data goes through the scratch buffer. Both give the same pixels.
TEST(Streaming, LargeConversionsRunOnTheHostArrayWithTheSameResult) {
    constexpr std::size_t kBytes = 8192;
    for (int n : {4095, 4096, 4097, 8191, 8192}) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        const std::vector<float> v = pixelValues(n, 31);
        Lumerix image = imageOf(cmmDims(n), v);
        std::vector<unsigned short> words(n);
        for (int i = 0; i < n; ++i) words[i] = static_cast<unsigned short>(i * 2654435761u >> 16);
        const std::vector<unsigned char> bytes(words.begin(), words.end());
        const ScopedStreamingBytes from(kBytes);
        const std::size_t inPlaceBytes = lmx::cpu::inPlaceConversionThreshold();
        lmx::cpu::setInPlaceConversionBytes(kBytes);
        onDevice({&image});  // no upload, and no wait of its own, in what is counted
        const RuntimeTotals before = RuntimeTotals::now();
        const long waits = lmx::cpu::counters().synchronizations;
        unsigned char* b = image.GetDataInt8();
        unsigned short* w = image.GetDataInt16();
        const RuntimeTotals moved = RuntimeTotals::now().since(before);
        // Either way the narrow bytes are counted as crossing; only the transfer through the
        // staging buffer waits for its copy.
        EXPECT_EQ(moved.deviceToHostBytes, 3u * n);
        EXPECT_EQ(lmx::cpu::counters().synchronizations - waits,
                  (n >= static_cast<int>(kBytes) ? 0 : 1) + (2u * n >= kBytes ? 0 : 1));
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(b[i], saturated(v[i], 255.0)) << i;
            ASSERT_EQ(w[i], saturated(v[i], 65535.0)) << i;
        }
        std::free(b);
        std::free(w);
        image.SetDataInt16(words.data());
        EXPECT_EQ(pixels(image), std::vector<float>(words.begin(), words.end()));
        image.SetDataInt8(bytes.data());
        EXPECT_EQ(pixels(image), std::vector<float>(bytes.begin(), bytes.end()));
        lmx::cpu::setInPlaceConversionBytes(inPlaceBytes);
    }
}
