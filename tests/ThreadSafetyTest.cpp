// Callers on several threads: every entry point takes the library's one lock, so threads that
// run mixed operations on images of their own get the results of a single-threaded run, also
// while the manager reclaims and spills under a small device capacity.

#include "TestSupport.h"

#include <thread>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// A chain touching every shared structure: scratch chunks (reductions, 8-bit conversion,
// histogram), the tap table (convolve, gauss), FFT plans, labelling tables and new pages.
std::vector<float> mixedWork(int seed) {
    const int w = 37 + seed % 5, h = 23 + seed % 3;
    Lumerix a = imageOf(cmmDims(w, h), randomValues(static_cast<std::size_t>(w * h), 0, 50,
                                                    static_cast<unsigned>(seed)));
    std::vector<float> out;
    for (int round = 0; round < 4; ++round) {
        Lumerix b = gauss(a, 1.5f) * 2.0f - a;
        float taps[9] = {0, 1, 0, 1, -4, 1, 0, 1, 0};
        Lumerix c = convolve(b, taps, 1, 1);
        Lumerix d = erosion(fmax(c, 0.0f), 2, 3);
        Lumerix re, im;
        fft(d, re, im);
        Lumerix e = ifft(re, im) / static_cast<float>(w * h);
        Lumerix f = label(e > 10.0f);
        unsigned char* narrow = e.GetDataInt8();
        Lumerix g(e.GetDimensions());
        g.SetDataInt8(narrow);
        std::free(narrow);
        unsigned int bins[256];
        histogram256(g, bins);
        out.push_back(sum(e));
        out.push_back(var(g));
        out.push_back(fmax(f));
        out.push_back(static_cast<float>(bins[0] + bins[255]));
        const std::vector<float> px = pixels(g);
        out.insert(out.end(), px.begin(), px.end());
        // Many small steps: pages made, relocked, freed and reused at a high rate.
        Lumerix t = e;
        for (int step = 0; step < 500; ++step) t = t * 0.5f + 1.0f;
        out.push_back(fmax(t));
        a = e + 1.0f;
    }
    return out;
}

}  // namespace

TEST(ThreadSafety, ThreadsOfMixedOperationsGetTheSingleThreadedResults) {
    constexpr int kThreads = 6;
    std::vector<std::vector<float>> alone(kThreads);
    for (int t = 0; t < kThreads; ++t) alone[t] = mixedWork(t);

#if defined(LMX_BACKEND_CPU)
    // Room for a few images only: threads make each other's pages spill and zombies go.
    ScopedDeviceCapacity small(6 * 41 * 25 * sizeof(float) * 8);
#endif
    std::vector<std::vector<float>> together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &together] {
            for (int repeat = 0; repeat < 8; ++repeat) together[t] = mixedWork(t);
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(sameFloats(together[t], alone[t])) << t;
}
