// The CPU backend runs some kernels with traversals of its own (reductions with the loops
// interchanged, rows resolved once, taps outer over a strip of accumulators, row pieces copied);
// each must give exactly the bits of the kernel body as written, run through its plain loop
// shape. One table names a check for every kernel that may have a traversal, and every
// traversal the backend installs must have its row.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "backend/cpu/Control.h"
#include "backend/cpu/Registry.h"
#include "backend/cpu/Traversal.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "runtime/Backend.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using lmxtest::DeviceBuffer;

namespace {

// The part of device memory a launch may write, compared after the traversal and the plain body
// have each run over it filled with a marker: bytes exactly, or floats with every NaN equal.
struct Written {
    void* p;
    std::size_t bytes;
    bool floats;
};

std::vector<unsigned char> contents(const Written& out) {
    const auto* p = static_cast<const unsigned char*>(out.p);
    return std::vector<unsigned char>(p, p + out.bytes);
}

std::vector<float> asFloats(const std::vector<unsigned char>& bytes) {
    std::vector<float> v(bytes.size() / sizeof(float));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}

// Runs the kernel's installed traversal and its plain body with the same arguments (converted to
// its parameter types, as a launch converts them) and launch shape; returns what the traversal
// wrote after expecting the plain body to have written the same.
template <class... P, class... A>
std::vector<unsigned char> expectSameBits(void (*kernel)(P...), dim3 grid, dim3 block,
                                          const Written& out, A... args) {
    const lmx::cpu::KernelEntry* e = lmx::cpu::findKernel(reinterpret_cast<const void*>(kernel));
    EXPECT_NE(e, nullptr);
    if (!e) return {};
    EXPECT_NE(e->invoke, e->plain) << e->name << " has no CPU traversal";
    std::tuple<P...> values(static_cast<P>(args)...);
    void* argv[sizeof...(P)];
    std::apply(
        [&](auto&... v) {
            int i = 0;
            ((argv[i++] = &v), ...);
        },
        values);
    std::vector<unsigned char> got[2];
    for (int k = 0; k < 2; ++k) {
        lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{grid, block};
        std::memset(out.p, 0x47, out.bytes);  // anything the kernel fails to write shows up
        (k ? e->plain : e->invoke)(argv);
        got[k] = contents(out);
    }
    if (out.floats)
        EXPECT_TRUE(lmxtest::sameFloats(asFloats(got[0]), asFloats(got[1]))) << e->name;
    else
        EXPECT_EQ(got[0], got[1]) << e->name;
    return got[0];
}

const dim3 kPlaneBlock(lmx::kPlaneThreadsX, lmx::kPlaneThreadsY);

dim3 pixelGrid(int n) {
    return dim3(n / 256 + 1);
}

// ---- reductions and the histogram -------------------------------------------------------------

// Pixel counts around the grid's stride (64 x 128 = 8192) and the histogram's (12288 words).
const int kCounts[] = {1, 3, 127, 129, 8191, 8192, 8193, 12288 * 4 - 1, 12288 * 4 + 3, 300007};

template <void (*kKernel)(float*, float*, int)>
void reduction() {
    for (int n : kCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        std::vector<float> values = lmxtest::randomValues(n, -1000.f, 1000.f, n);
        if (n > 10) values[n / 2] = NAN;  // NaN handling must agree as well
        DeviceBuffer in(n * sizeof(float)), partial(lmx::kReduceBlocks * sizeof(float));
        lmxtest::writeDevice(in.get(), values);
        expectSameBits(kKernel, dim3(64), dim3(128),
                       {partial.ptr, lmx::kReduceBlocks * sizeof(float), true}, in.get(),
                       partial.get(), n);
    }
}

// The variance's squared deviations take the mean as a fourth argument.
void squaredDeviation() {
    for (int n : kCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        std::vector<float> values = lmxtest::randomValues(n, -1000.f, 1000.f, n);
        if (n > 10) values[n / 2] = NAN;
        DeviceBuffer in(n * sizeof(float)), partial(lmx::kReduceBlocks * sizeof(float));
        lmxtest::writeDevice(in.get(), values);
        expectSameBits(&LumerixPixelSquaredDeviationI2F, dim3(64), dim3(128),
                       {partial.ptr, lmx::kReduceBlocks * sizeof(float), true}, in.get(),
                       partial.get(), n, 3.25f);
    }
}

// The counts of each block are those of the plain kernel, and together they count every byte.
void histogram() {
    for (int n : kCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        std::vector<unsigned char> bytes(n);
        for (int i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 24);
        const std::size_t count = lmx::kHistogramBlocks * lmx::kBins;
        DeviceBuffer data(n), partial(count * sizeof(unsigned));
        cudaMemcpy(data.ptr, bytes.data(), n, cudaMemcpyHostToDevice);
        const std::vector<unsigned char> got = expectSameBits(
            &histogram256Kernel, dim3(64), dim3(192),
            {partial.ptr, count * sizeof(unsigned), false}, static_cast<unsigned*>(partial.ptr),
            static_cast<unsigned*>(data.ptr), n);
        std::vector<unsigned> counts(got.size() / sizeof(unsigned));
        std::memcpy(counts.data(), got.data(), got.size());
        std::uint64_t total = 0;
        for (unsigned c : counts) total += c;
        EXPECT_EQ(total, static_cast<std::uint64_t>(n));
    }
}

// ---- pixel-wise kernels -----------------------------------------------------------------------

const int kPixelCounts[] = {1, 7, 8, 9, 15, 16, 31, 33, 4097, 70001};

// Values with every special class spread over them: each must come out as the body gives it.
std::vector<float> pixelValues(int n, float lo, float hi, unsigned seed) {
    std::vector<float> values = lmxtest::randomValues(n, lo, hi, seed);
    const float special[] = {NAN,      -NAN,     INFINITY, -INFINITY, -0.0f,  0.0f,
                             0.999f,   1.0f,     254.999f, 255.0f,    255.5f, 256.0f,
                             65534.9f, 65535.0f, 65536.0f, 3e9f,      -1e-30f};
    for (std::size_t i = 0; i * 7 < values.size() && i < sizeof special / sizeof special[0]; ++i)
        values[i * 7] = special[i];
    return values;
}

template <class T, void (*kKernel)(float*, T*, int)>
void conversion() {
    for (int n : kPixelCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        DeviceBuffer in(n * sizeof(float)), out(n * sizeof(T));
        lmxtest::writeDevice(in.get(), pixelValues(n, -300.f, 70000.f, 5));
        expectSameBits(kKernel, pixelGrid(n), dim3(256), {out.ptr, n * sizeof(T), false}, in.get(),
                       static_cast<T*>(out.ptr), n);
    }
}

void merge() {
    for (int n : kPixelCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        DeviceBuffer c0(n * 4u), c1(n * 4u), c2(n * 4u), m(3 * n * 4u);
        lmxtest::writeDevice(c0.get(), pixelValues(n, -9, 9, 1));
        lmxtest::writeDevice(c1.get(), pixelValues(n, -9, 9, 2));
        lmxtest::writeDevice(c2.get(), pixelValues(n, -9, 9, 3));
        expectSameBits(&LumerixPixelMerge3, pixelGrid(n), dim3(256), {m.ptr, 3 * n * 4u, false},
                       c0.get(), c1.get(), c2.get(), m.get(), n);
    }
}

void split() {
    for (int n : kPixelCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        // The three channels lie one after another in one buffer, so one comparison sees them.
        DeviceBuffer m(3 * n * 4u), c(3 * n * 4u);
        lmxtest::writeDevice(m.get(), pixelValues(3 * n, -9, 9, 4));
        expectSameBits(&LumerixPixelSplit3, pixelGrid(n), dim3(256), {c.ptr, 3 * n * 4u, false},
                       m.get(), c.get(), c.get() + n, c.get() + 2 * n, n);
    }
}

void logarithm() {
    for (int n : kPixelCounts) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        std::vector<float> values(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {  // bit patterns of every sign, exponent and mantissa
            const std::uint32_t bits = static_cast<std::uint32_t>(i) * 0x9e3779b1u;
            std::memcpy(&values[i], &bits, sizeof bits);
        }
        DeviceBuffer in(n * 4u), out(n * 4u);
        lmxtest::writeDevice(in.get(), values);
        expectSameBits(&LumerixPixelLogI2I, pixelGrid(n), dim3(256), {out.ptr, n * 4u, false},
                       in.get(), out.get(), n);
    }
}

// ---- neighbourhood filters --------------------------------------------------------------------

struct Plane {
    int w, h;
};
// Widths around the traversal's strip of 64 and the edge columns; heights around the radii.
const Plane kPlanes[] = {{1, 1},  {2, 3},    {3, 2},    {17, 13},  {64, 5},
                         {79, 9}, {130, 67}, {301, 40}, {1030, 33}};

// Pixels that make the order of the folds visible: mostly signed zeros, so that the least (or,
// with sign -1, the largest) value of a window is often a tie of +0 and -0, with infinities and
// NaN among them.
std::vector<float> pixelsWithSpecials(int w, int h, unsigned seed, float sign) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(w) * h, 0, 4, seed);
    for (float& x : v) x = x < 1 ? -0.0f : (x < 2 ? 0.0f : sign * std::floor(x - 1));
    for (std::size_t i = 5; i < v.size(); i += 97) v[i] = lmxtest::kNaN;
    for (std::size_t i = 11; i < v.size(); i += 89) v[i] = (i % 2) ? lmxtest::kInf : -lmxtest::kInf;
    return v;
}

// Every plane, its result written with ordinary and with streaming stores.
template <void (*kKernel)(float*, float*, int, int, int, int), int kSign>
void morphology() {
    const std::size_t usual = lmx::cpu::streamingStoreThreshold();
    for (std::size_t streaming : {usual, std::size_t{0}}) {
        lmx::cpu::setStreamingStoreBytes(streaming);
        for (const Plane& p : kPlanes) {
            SCOPED_TRACE(testing::Message() << p.w << "x" << p.h << " streaming " << streaming);
            const std::vector<float> values = pixelsWithSpecials(p.w, p.h, p.w + p.h, kSign);
            const std::size_t bytes = values.size() * sizeof(float);
            DeviceBuffer in(bytes), out(bytes);
            lmxtest::writeDevice(in.get(), values);
            // The launch the operations make: a grid and block that cover the plane.
            expectSameBits(kKernel, lmx::planeGrid(p.w, p.h), lmx::planeBlock(p.w, p.h),
                           {out.ptr, bytes, true}, in.get(), out.get(), p.w, p.h, 1, 1);
        }
    }
    lmx::cpu::setStreamingStoreBytes(usual);
}

// ---- square passes folded into one ------------------------------------------------------------

// `passes` passes of the plain square kernel over the w x h plane, each reading what the one
// before wrote.
std::vector<float> plainSquarePasses(const std::vector<float>& values, int w, int h, int passes,
                                     bool dilate) {
    auto kernel = dilate ? &LumerixDilationI2I : &LumerixErosionI2I;
    const lmx::cpu::KernelEntry* e = lmx::cpu::findKernel(reinterpret_cast<const void*>(kernel));
    EXPECT_NE(e, nullptr);
    const std::size_t bytes = values.size() * sizeof(float);
    DeviceBuffer a(bytes), b(bytes);
    lmxtest::writeDevice(a.get(), values);
    float* src = a.get();
    float* dst = b.get();
    int mx = 1, my = 1;
    for (int i = 0; e && i < passes; ++i) {
        void* argv[] = {&src, &dst, &w, &h, &mx, &my};
        lmx::cpu::currentLaunch =
            lmx::cpu::LaunchShape{lmx::planeGrid(w, h), lmx::planeBlock(w, h)};
        e->plain(argv);
        std::swap(src, dst);
    }
    return std::vector<float>(src, src + values.size());
}

// Pixels of one sign of zero (or none), with infinities and NaN among them, so that the folds
// may take their operands in any order.
std::vector<float> foldablePixels(int w, int h, unsigned seed, float zero) {
    std::vector<float> v = pixelsWithSpecials(w, h, seed, 1);
    for (float& x : v)
        if (x == 0.0f) x = zero;
    return v;
}

// Every radius of a single fold and a radius split into several, across planes narrower than a
// radius, around the vector widths and wide enough for the threads to share the rows.
TEST(TraversalFold, SquarePassesGiveThePassesBits) {
    const Plane planes[] = {{1, 1}, {2, 3}, {9, 2}, {40, 3}, {70, 9}, {3, 40}, {301, 40}};
    const std::size_t usual = lmx::cpu::streamingStoreThreshold();
    for (std::size_t streaming : {usual, std::size_t{0}}) {
        lmx::cpu::setStreamingStoreBytes(streaming);
        for (const Plane& p : planes)
            for (int passes : {2, 3, 4, 5, 6, 7, 8, 9, 17})
                for (bool dilate : {false, true})
                    for (float zero : {0.0f, -0.0f}) {
                        SCOPED_TRACE(testing::Message()
                                     << p.w << "x" << p.h << " passes " << passes << " dilate "
                                     << dilate << " zero " << zero << " streaming " << streaming);
                        const std::vector<float> values =
                            foldablePixels(p.w, p.h, p.w * 3 + passes, zero);
                        const std::size_t bytes = values.size() * sizeof(float);
                        DeviceBuffer src(bytes), spare(bytes), dst(bytes);
                        lmxtest::writeDevice(src.get(), values);
                        ASSERT_TRUE(lmx::foldSquarePasses(src.get(), spare.get(), dst.get(), p.w,
                                                          p.h, passes, dilate));
                        const std::vector<float> got(dst.get(), dst.get() + values.size());
                        EXPECT_TRUE(lmxtest::sameFloats(
                            got, plainSquarePasses(values, p.w, p.h, passes, dilate)));
                    }
    }
    lmx::cpu::setStreamingStoreBytes(usual);
}

// Zeros of both signs anywhere in the plane decline the fold: in the edge columns, which the
// rows' vector folds do not reach, as well as among the inner ones.
TEST(TraversalFold, ZerosOfBothSignsAnywhereDeclineTheFold) {
    const int w = 301, h = 40;
    const int columns[] = {0, 1, 5, 37, 150, 290, 299, 300};
    for (int x : columns)
        for (int y : {0, 17, h - 1}) {
            SCOPED_TRACE(testing::Message() << "-0 at " << x << "," << y);
            std::vector<float> values = foldablePixels(w, h, 11, 0.0f);
            values[static_cast<std::size_t>(y) * w + x] = -0.0f;
            const std::size_t bytes = values.size() * sizeof(float);
            DeviceBuffer src(bytes), spare(bytes), dst(bytes);
            lmxtest::writeDevice(src.get(), values);
            EXPECT_FALSE(lmx::foldSquarePasses(src.get(), spare.get(), dst.get(), w, h, 4, false));
        }
}

// Both strip widths, every plane, radii from none to the 225-tap limit along either axis. The
// one-radius kernel runs the square radii and must give what the two-radius kernel gives.
template <bool kSquare>
void convolution() {
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "wide strips" : "narrow strips");
        const bool saved = lmx::cpu::useWideFilterStrips(wide);
        const struct {
            int xr, yr;
        } radii[] = {{0, 0}, {1, 0}, {0, 1}, {2, 2}, {3, 1}, {7, 7}, {22, 2}, {112, 0}, {0, 112}};
        for (const Plane& p : kPlanes)
            for (const auto& r : radii) {
                if (kSquare && r.xr != r.yr) continue;
                SCOPED_TRACE(::testing::Message()
                             << p.w << "x" << p.h << " radii " << r.xr << "," << r.yr);
                const int count = (2 * r.xr + 1) * (2 * r.yr + 1);
                std::vector<float> taps = lmxtest::randomValues(count, -1, 1, count);
                ASSERT_EQ(lmx::uploadFilterTaps(taps.data(), r.xr, r.yr), cudaSuccess);
                std::vector<float> values = lmxtest::randomValues(
                    static_cast<std::size_t>(p.w) * p.h, -100, 100, p.w * 7 + r.xr);
                if (values.size() > 40) values[values.size() / 2] = lmxtest::kInf;
                const std::size_t bytes = values.size() * sizeof(float);
                DeviceBuffer in(bytes), out(bytes);
                lmxtest::writeDevice(in.get(), values);
                // The launch the operations make: a grid and block that cover the plane.
                const dim3 grid = lmx::planeGrid(p.w, p.h), block = lmx::planeBlock(p.w, p.h);
                const Written o{out.ptr, bytes, true};
                const auto both = expectSameBits(&LumerixConvolveIDD2I, grid, block, o, in.get(),
                                                 r.xr, r.yr, out.get(), p.w, p.h, r.xr, r.yr);
                if (!kSquare) continue;
                const auto one = expectSameBits(&LumerixConvolveID2I, grid, block, o, in.get(),
                                                r.xr, out.get(), p.w, p.h, r.xr, r.yr);
                EXPECT_TRUE(lmxtest::sameFloats(asFloats(one), asFloats(both)));
            }
        lmx::cpu::useWideFilterStrips(saved);
    }
}

// ---- filters with a chosen border --------------------------------------------------------------

// Widths around the strips and the edge columns; heights around the radii.
const Plane kBorderPlanes[] = {{1, 1}, {3, 2}, {17, 13}, {20, 5}, {37, 9}, {64, 3}, {101, 30}};
constexpr int kBorders = 5;

// Values with ties, signed zeros, infinities and NaN of both signs among them.
std::vector<float> borderFilterPixels(int w, int h, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(w) * h, -4, 4, seed);
    const float specials[] = {-0.0f,         0.0f,           lmxtest::kInf, -lmxtest::kInf,
                              lmxtest::kNaN, -lmxtest::kNaN, 1.0f};
    for (std::size_t i = 0; i < v.size(); i += 5) v[i] = specials[(i / 5) % 7];
    return v;
}

// check(in, taps, out, table, w, h, border) for every plane and border, with the source, a
// table of 225 taps in device memory and on the host, and the result.
template <class Check>
void overBorderPlanes(Check check) {
    for (const Plane& p : kBorderPlanes)
        for (int border = 0; border < kBorders; ++border) {
            SCOPED_TRACE(::testing::Message() << p.w << "x" << p.h << " border " << border);
            const std::vector<float> values = borderFilterPixels(p.w, p.h, p.w * 5 + border);
            const std::size_t bytes = values.size() * sizeof(float);
            DeviceBuffer in(bytes), out(bytes), taps(225 * sizeof(float));
            lmxtest::writeDevice(in.get(), values);
            const std::vector<float> table = lmxtest::randomValues(225, -1, 1, border);
            lmxtest::writeDevice(taps.get(), table);
            check(in.get(), taps.get(), Written{out.ptr, bytes, true}, table, p.w, p.h, border);
        }
}

template <void (*kKernel)(float*, float*, float*, int, int, int, int, float)>
void borderPass() {
    overBorderPlanes([](float* in, float* taps, const Written& out, const std::vector<float>&,
                        int w, int h, int border) {
        for (int r : {0, 1, 3, 20}) {
            SCOPED_TRACE(::testing::Message() << "radius " << r);
            expectSameBits(kKernel, lmx::planeGrid(w, h), kPlaneBlock, out, in, taps,
                           static_cast<float*>(out.p), w, h, r, border, 2.5f);
        }
    });
}

// Two-dimensional tables: in d_kernel (kTable) or in device memory.
template <bool kTable>
void borderCorrelation() {
    overBorderPlanes([](float* in, float* taps, const Written& out, const std::vector<float>& table,
                        int w, int h, int border) {
        float* o = static_cast<float*>(out.p);
        const dim3 grid = lmx::planeGrid(w, h);
        for (int xr : {0, 2, 5})
            for (int yr : {1, 3}) {
                SCOPED_TRACE(::testing::Message() << "radii " << xr << "," << yr);
                ASSERT_EQ(lmx::uploadFilterTaps(table.data(), xr, yr), cudaSuccess);
                if (kTable)
                    expectSameBits(&LumerixCorrelateBorderI2I, grid, kPlaneBlock, out, in, o, w, h,
                                   xr, yr, border, 2.5f);
                else
                    expectSameBits(&LumerixCorrelateBorderIT2I, grid, kPlaneBlock, out, in, taps, o,
                                   w, h, xr, yr, border, 2.5f);
            }
    });
}

void borderMedian() {
    overBorderPlanes([](float* in, float*, const Written& out, const std::vector<float>&, int w,
                        int h, int border) {
        for (int r : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "median radius " << r);
            expectSameBits(&LumerixMedianI2I, lmx::planeGrid(w, h), kPlaneBlock, out, in,
                           static_cast<float*>(out.p), w, h, r, r, border);
        }
    });
}

// ---- geometry ---------------------------------------------------------------------------------

// Every geometric traversal over planes of odd shapes, with the operations' grid and with a grid
// of one block (which covers only part of the plane), comparing the whole buffer: nothing may
// be written past the plane either.
void geometry(int kernel) {
    const Plane sizes[] = {{1, 1}, {1, 9}, {9, 1}, {17, 13}, {3, 40}, {45, 6}, {1448, 1450}};
    const float maps[][6] = {{1, 0, 0, 0, 1, 0},
                             {0.985f, -0.174f, 40, 0.174f, 0.985f, -30},
                             {1.23f, -0.217f, -9.5f, 0.217f, 1.23f, -20.25f},
                             {1, 0, 0.5f, 0, 1, -0.5f},
                             {lmxtest::kNaN, 0, 0, 0, 1, 0},
                             {1, 0, lmxtest::kInf, 0, 1, 0},
                             {-3e30f, 2, 1e9f, 0.5f, -7e8f, 3}};
    const float origins[][2] = {{0.5f, 0.25f}, {0, 0},        {-3.75f, 2.2f},
                                {7, -1.5f},    {1e6f, -7e5f}, {16777215.5f, 0.999f}};
    for (const Plane& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        const int w = s.w, h = s.h, sw = w + 5, sh = h + 3, count = sw * sh + 40;
        DeviceBuffer source(count * 4u), result(count * 4u);
        float* src = source.get();
        float* dst = result.get();
        lmxtest::writeDevice(src, lmxtest::randomValues(count, -9, 9, w + h));
        const Written o{dst, count * 4u, true};
        // Each grid with the usual stores, then (but for the large plane) with every result
        // written by streaming stores, whose rows start anywhere in a cache line.
        const std::size_t usual = lmx::cpu::streamingStoreThreshold();
        const std::size_t streamed = w > 100 ? usual : 0;
        const struct {
            std::size_t streamFrom;
            dim3 grid;
        } passes[] = {{usual, lmx::planeGrid(w, h)},
                      {usual, dim3(1, 1)},
                      {streamed, lmx::planeGrid(w, h)},
                      {streamed, dim3(1, 1)}};
        for (const auto& pass : passes) {
            if (&pass - passes >= 2 && streamed == usual) break;
            SCOPED_TRACE(pass.streamFrom ? "usual stores" : "streaming stores");
            lmx::cpu::setStreamingStoreBytes(pass.streamFrom);
            const dim3 grid = pass.grid;
            switch (kernel) {
                case 0:
                    for (int k : {0, 1, -1, 3, w})
                        expectSameBits(&LumerixGeometricShift, grid, kPlaneBlock, o, src,
                                       k % (w + 1), -k % (h + 1), dst, w, h);
                    expectSameBits(&LumerixGeometricShift, grid, kPlaneBlock, o, src, -w, h, dst, w,
                                   h);
                    break;
                case 1:
                    expectSameBits(&LumerixGeometricSlice, grid, kPlaneBlock, o, src, 2, 3, sw, dst,
                                   w, h);
                    break;
                case 2:
                    for (const auto& ab : {std::pair{-3, -2}, std::pair{2, 5}})
                        expectSameBits(&LumerixGeometricResize, grid, kPlaneBlock, o, src, ab.first,
                                       ab.second, w + 2, h / 2 + 1, dst, w, h);
                    expectSameBits(&LumerixGeometricResize, grid, kPlaneBlock, o, src, INT32_MIN, 0,
                                   sw, sh, dst, w, h);
                    break;
                case 3:
                    expectSameBits(&LumerixGeometricXX, grid, kPlaneBlock, o, dst, w, h);
                    break;
                case 4:
                    expectSameBits(&LumerixGeometricYY, grid, kPlaneBlock, o, dst, w, h);
                    break;
                case 6:
                    // Windows inside the source, across its edges, around sources smaller than
                    // the window, and far enough away that positions lose their fraction (the
                    // large plane only with the first two: it checks the threads' split).
                    for (const auto& at : origins) {
                        if (w > 100 && &at - origins > 1) break;
                        for (const Plane& from : {Plane{sw, sh}, Plane{(w + 2) / 3, (h + 1) / 2},
                                                  Plane{1, sh}, Plane{sw, 1}})
                            expectSameBits(&LumerixGeometricSliceInterp, grid, kPlaneBlock, o, src,
                                           at[0], at[1], from.w, from.h, dst, w, h);
                    }
                    break;
                case 7:
                    // Every border rule (and a number that names none, which writes nothing);
                    // the large plane with the constant border and the first maps only.
                    for (const auto& m : maps)
                        for (int border = 0; border <= 5; ++border) {
                            if (w > 100 && (border != 3 || &m - maps > 2)) continue;
                            expectSameBits(&LumerixAffineBorderI2I, grid, kPlaneBlock, o, src, m[0],
                                           m[1], m[2], m[3], m[4], m[5], border, 2.5f, dst, w, h);
                        }
                    break;
                default:
                    for (const auto& m : maps)
                        expectSameBits(&LumerixGeometricAffine, grid, kPlaneBlock, o, src, m[0],
                                       m[1], m[2], m[3], m[4], m[5], dst, w, h);
            }
        }
        lmx::cpu::setStreamingStoreBytes(usual);
    }
}

template <int kKernel>
void geometryOf() {
    geometry(kKernel);
}

// ---- the table --------------------------------------------------------------------------------

struct Row {
    const char* name;
    const void* kernel;
    void (*check)();
};

template <class K>
const void* address(K kernel) {
    return reinterpret_cast<const void*>(kernel);
}

// clang-format off
const Row kRows[] = {
    {"SumI2F",         address(&LumerixPixelSumI2F),        &reduction<&LumerixPixelSumI2F>},
    {"MinI2F",         address(&LumerixPixelMinI2F),        &reduction<&LumerixPixelMinI2F>},
    {"MaxI2F",         address(&LumerixPixelMaxI2F),        &reduction<&LumerixPixelMaxI2F>},
    {"SquaredDeviationI2F", address(&LumerixPixelSquaredDeviationI2F), &squaredDeviation},
    {"Histogram",      address(&histogram256Kernel),        &histogram},
    {"FloatToInt8",    address(&LumerixPixelFloatToInt8),   &conversion<unsigned char, &LumerixPixelFloatToInt8>},
    {"FloatToInt16",   address(&LumerixPixelFloatToInt16),  &conversion<unsigned short, &LumerixPixelFloatToInt16>},
    {"Merge3",         address(&LumerixPixelMerge3),        &merge},
    {"Split3",         address(&LumerixPixelSplit3),        &split},
    {"LogI2I",         address(&LumerixPixelLogI2I),        &logarithm},
    {"Erosion4I2I",    address(&LumerixErosion4I2I),        &morphology<&LumerixErosion4I2I, 1>},
    {"ErosionI2I",     address(&LumerixErosionI2I),         &morphology<&LumerixErosionI2I, 1>},
    {"Dilation4I2I",   address(&LumerixDilation4I2I),       &morphology<&LumerixDilation4I2I, -1>},
    {"DilationI2I",    address(&LumerixDilationI2I),        &morphology<&LumerixDilationI2I, -1>},
    {"ConvolveIDD2I",  address(&LumerixConvolveIDD2I),      &convolution<false>},
    {"ConvolveID2I",   address(&LumerixConvolveID2I),       &convolution<true>},
    {"CorrelateRowsIT2I",    address(&LumerixCorrelateRowsIT2I),    &borderPass<&LumerixCorrelateRowsIT2I>},
    {"CorrelateColumnsIT2I", address(&LumerixCorrelateColumnsIT2I), &borderPass<&LumerixCorrelateColumnsIT2I>},
    {"CorrelateBorderI2I",   address(&LumerixCorrelateBorderI2I),   &borderCorrelation<true>},
    {"CorrelateBorderIT2I",  address(&LumerixCorrelateBorderIT2I),  &borderCorrelation<false>},
    {"MedianI2I",      address(&LumerixMedianI2I),          &borderMedian},
    {"GeometricShift", address(&LumerixGeometricShift),     &geometryOf<0>},
    {"GeometricSlice", address(&LumerixGeometricSlice),     &geometryOf<1>},
    {"GeometricResize",address(&LumerixGeometricResize),    &geometryOf<2>},
    {"GeometricXX",    address(&LumerixGeometricXX),        &geometryOf<3>},
    {"GeometricYY",    address(&LumerixGeometricYY),        &geometryOf<4>},
    {"GeometricAffine",address(&LumerixGeometricAffine),    &geometryOf<5>},
    {"GeometricSliceInterp", address(&LumerixGeometricSliceInterp), &geometryOf<6>},
    {"AffineBorderI2I", address(&LumerixAffineBorderI2I), &geometryOf<7>},
};
// clang-format on

class Traversal : public testing::TestWithParam<Row> {};

}  // namespace

TEST_P(Traversal, GivesThePlainKernelsBits) {
    GetParam().check();
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, Traversal, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& row) {
                             return std::string(row.param.name);
                         });

TEST(TraversalTable, EveryInstalledTraversalHasARow) {
    std::set<const void*> rows;
    for (const Row& row : kRows) rows.insert(row.kernel);
    int installed = 0;
    for (std::size_t i = 0; i < lmx::cpu::kernelCount(); ++i) {
        const lmx::cpu::KernelEntry& e = lmx::cpu::kernelEntries()[i];
        if (e.invoke == e.plain) continue;
        ++installed;
        EXPECT_EQ(rows.count(e.function), 1u) << e.name << " has a traversal but no row";
    }
    EXPECT_EQ(static_cast<std::size_t>(installed), lmx::cpu::traversals().size());
}
