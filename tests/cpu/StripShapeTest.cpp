// On the GPU the window filters write a strip of kRowsPerThread rows per thread from the block's
// staged tile; the CPU runs them one pixel at a time. Run as the GPU runs them (block by block,
// each thread's strip from its tile), every kernel must give the bits of its plain body, for
// every radius and for planes whose heights leave strips of 1 .. kRowsPerThread - 1 rows.

#include "TestSupport.h"

#include "backend/cpu/Engine.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"

#include <cstring>
#include <functional>
#include <vector>

using lmxtest::DeviceBuffer;

namespace {

struct Plane {
    int w, h;
};
// Single pixels, rows and columns; heights of every remainder modulo the strip; widths that are
// not multiples of the block; a plane whose strips span several blocks in both directions.
const Plane kPlanes[] = {{1, 1},  {1, 2},  {1, 3},   {1, 4},   {1, 5},   {9, 1},  {5, 9},
                         {2, 13}, {17, 6}, {16, 48}, {17, 49}, {33, 50}, {3, 40}, {200, 7}};

struct Radii {
    int xr, yr;
};
// From none to tables wider or taller than a tile can stage (their windows read the source).
const Radii kRadii[] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 3}, {3, 2}, {7, 7}, {0, 112}, {112, 0}};

// Returns what `run` wrote over the plane's buffer (filled with a marker first) with the launch
// shape set, the strips run as on the GPU or not.
std::vector<float> written(float* out, std::size_t count, dim3 grid, dim3 block, bool strips,
                           const std::function<void()>& run) {
    std::memset(out, 0x47, count * sizeof(float));  // anything left unwritten shows up
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{grid, block};
    lmx::cpu::stripsAsOnTheGpu = strips;
    run();
    lmx::cpu::stripsAsOnTheGpu = false;
    std::vector<float> v(count);
    std::memcpy(v.data(), out, count * sizeof(float));
    return v;
}

// The strip launch of the operations, and one of a single row of blocks whose strips loop down
// a taller plane.
void expectStripsMatchPlainBody(float* out, const Plane& p, const std::function<void()>& run) {
    const std::size_t count = static_cast<std::size_t>(p.w) * p.h;
    const std::vector<float> plain =
        written(out, count, lmx::planeGrid(p.w, p.h), lmx::planeBlock(p.w, p.h), false, run);
    const dim3 block = lmx::stripBlock(p.w, p.h), grid = lmx::stripGrid(p.w, p.h);
    EXPECT_TRUE(lmxtest::sameFloats(written(out, count, grid, block, true, run), plain))
        << "the operations' strip grid";
    EXPECT_TRUE(lmxtest::sameFloats(written(out, count, dim3(grid.x, 1), block, true, run), plain))
        << "one row of blocks";
}

// Source values with signed zeros, infinities and NaN among them.
std::vector<float> sourceValues(const Plane& p, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(static_cast<std::size_t>(p.w) * p.h, -9, 9, seed);
    const float specials[] = {-0.0f, 0.0f, lmxtest::kInf, -lmxtest::kInf, lmxtest::kNaN, 1.0f};
    for (std::size_t i = 3; i < v.size(); i += 7) v[i] = specials[(i / 7) % 6];
    return v;
}

using Pass = void (*)(float*, float*, int, int, int, int);

TEST(StripShape, MorphologyStripsGiveThePlainBodysBits) {
    const Pass passes[] = {&LumerixErosion4I2I, &LumerixErosionI2I, &LumerixDilation4I2I,
                           &LumerixDilationI2I};
    for (const Plane& p : kPlanes)
        for (Pass pass : passes) {
            SCOPED_TRACE(testing::Message() << p.w << "x" << p.h << " pass " << (&pass - passes));
            std::vector<float> values = sourceValues(p, p.w * 3 + p.h);
            // Mostly signed zeros, so that which of two equal values a window keeps shows.
            for (float& v : values)
                if (v > 3) v = v > 6 ? 0.0f : -0.0f;
            DeviceBuffer in(values.size() * 4), out(values.size() * 4);
            lmxtest::writeDevice(in.get(), values);
            expectStripsMatchPlainBody(out.get(), p,
                                       [&] { pass(in.get(), out.get(), p.w, p.h, 1, 1); });
        }
}

TEST(StripShape, ConvolutionStripsGiveThePlainBodysBits) {
    for (const Plane& p : kPlanes)
        for (const Radii& r : kRadii) {
            const int count = (2 * r.xr + 1) * (2 * r.yr + 1);
            if (count > kLumerixMaxTaps) continue;
            SCOPED_TRACE(testing::Message()
                         << p.w << "x" << p.h << " radii " << r.xr << "," << r.yr);
            const std::vector<float> taps = lmxtest::randomValues(count, -1, 1, count);
            ASSERT_EQ(lmx::uploadFilterTaps(taps.data(), r.xr, r.yr), cudaSuccess);
            const std::vector<float> values = sourceValues(p, p.w + r.xr);
            DeviceBuffer in(values.size() * 4), out(values.size() * 4);
            lmxtest::writeDevice(in.get(), values);
            expectStripsMatchPlainBody(out.get(), p, [&] {
                LumerixConvolveIDD2I(in.get(), r.xr, r.yr, out.get(), p.w, p.h, r.xr, r.yr);
            });
            if (r.xr == r.yr)
                expectStripsMatchPlainBody(out.get(), p, [&] {
                    LumerixConvolveID2I(in.get(), r.xr, out.get(), p.w, p.h, r.xr, r.yr);
                });
        }
}

TEST(StripShape, BorderCorrelationStripsGiveThePlainBodysBits) {
    for (const Plane& p : kPlanes)
        for (const Radii& r : kRadii)
            for (int border = 0; border < 5; ++border) {
                SCOPED_TRACE(testing::Message() << p.w << "x" << p.h << " radii " << r.xr << ","
                                                << r.yr << " border " << border);
                const int count = (2 * r.xr + 1) * (2 * r.yr + 1);
                const std::vector<float> taps = lmxtest::randomValues(count, -1, 1, border);
                const std::vector<float> values = sourceValues(p, p.h + border);
                DeviceBuffer in(values.size() * 4), out(values.size() * 4), table(count * 4);
                lmxtest::writeDevice(in.get(), values);
                lmxtest::writeDevice(table.get(), taps);
                float* i = in.get();
                float* o = out.get();
                float* t = table.get();
                const int w = p.w, h = p.h;
                expectStripsMatchPlainBody(o, p, [&] {
                    LumerixCorrelateBorderIT2I(i, t, o, w, h, r.xr, r.yr, border, 2.5f);
                });
                if (count <= kLumerixMaxTaps) {
                    ASSERT_EQ(lmx::uploadFilterTaps(taps.data(), r.xr, r.yr), cudaSuccess);
                    expectStripsMatchPlainBody(o, p, [&] {
                        LumerixCorrelateBorderI2I(i, o, w, h, r.xr, r.yr, border, 2.5f);
                    });
                }
                if (r.yr == 0)
                    expectStripsMatchPlainBody(
                        o, p, [&] { LumerixCorrelateRowsIT2I(i, t, o, w, h, r.xr, border, 2.5f); });
                if (r.xr == 0)
                    expectStripsMatchPlainBody(o, p, [&] {
                        LumerixCorrelateColumnsIT2I(i, t, o, w, h, r.yr, border, 2.5f);
                    });
            }
}

// The strip shape is the plane shape over the plane of strips, w x ceil(h / 4), worked out by
// hand: 192 threads a block, at most 65,535 rows of blocks.
TEST(StripShape, TheLaunchIsThePlaneShapeOverTheStrips) {
    static_assert(lmx::kRowsPerThread == 4, "the cases below count strips of four rows");
    struct Case {
        int w, h;
        unsigned bx, by, gx, gy;
    };
    const Case cases[] = {{1, 1, 192, 1, 1, 1},
                          {1, 5, 96, 2, 1, 1},
                          {17, 13, 48, 4, 1, 1},
                          {16, 48, 16, 12, 1, 1},
                          {17, 49, 16, 12, 2, 2},
                          {4096, 4096, 16, 12, 256, 86},
                          {1, 800000, 16, 12, 1, 16667},
                          {2, 3145681, 16, 12, 1, 65535},
                          {3, 4 * 786421, 16, 12, 1, 65535}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        const dim3 block = lmx::stripBlock(c.w, c.h), grid = lmx::stripGrid(c.w, c.h);
        EXPECT_EQ(block.x, c.bx);
        EXPECT_EQ(block.y, c.by);
        EXPECT_EQ(grid.x, c.gx);
        EXPECT_EQ(grid.y, c.gy);
    }
}

// Two rows of threads of a 16-wide block read tile rows four apart: the pitch puts them in
// opposite halves of the 32 banks, never narrower than the tile, and the tile stays within the
// 48 KiB every device gives a block.
TEST(StripShape, TheTilePitchSeparatesTheBanksOfNeighbouringThreadRows) {
    for (int bx : {16, 32, 48, 64, 96, 192})
        for (int hx = 0; hx <= 40; ++hx) {
            const int pitch = lmx::stripTilePitch(bx, hx);
            EXPECT_GE(pitch, bx + 2 * hx);
            EXPECT_LT(pitch, bx + 2 * hx + 8);
            EXPECT_EQ(4 * pitch % 32, 16) << bx << " " << hx;
            for (int hy : {0, 1, 7, 60, 200}) {
                const int floats = lmx::stripTileFloats(bx, 192 / bx, hx, hy);
                const long long need = 1LL * pitch * (192 / bx * 4 + 2 * hy);
                EXPECT_TRUE(floats == need || floats == 0) << bx << " " << hx << " " << hy;
                EXPECT_LE(floats, 48 * 1024 / 4);
                const bool fits = need * 4 + 8 * 4 * (192 / bx * 4 + 2 * hy) <= 48 * 1024;
                if (fits) {
                    EXPECT_EQ(floats, need);
                }
            }
        }
    EXPECT_EQ(lmx::stripTileFloats(16, 12, -1, 0), 0);
}

}  // namespace
