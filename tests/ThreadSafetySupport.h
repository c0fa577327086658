#pragma once
// Callers on several threads: a chain of mixed operations run on threads of their own must give
// each thread the results of a single-threaded run.

#include "TestSupport.h"

#include <cstdlib>
#include <thread>
#include <vector>

namespace lmxtest {

// A chain touching every shared structure: scratch chunks (reductions, 8-bit conversion,
// histogram), the tap table (convolve, gauss), FFT plans, labelling tables and new pages.
inline std::vector<float> mixedWork(int seed) {
    using cmm::cmmDims;
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

// Runs mixedWork on kThreads threads at once, several times, against each thread's work run
// alone beforehand. `during` is constructed once the results alone are known and lives while
// the threads run.
template <class During>
void expectThreadsGetTheirResultsAlone() {
    constexpr int kThreads = 6;
    std::vector<std::vector<float>> alone(kThreads);
    for (int t = 0; t < kThreads; ++t) alone[t] = mixedWork(t);

    [[maybe_unused]] const During during{};
    std::vector<std::vector<float>> together(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &together] {
            for (int repeat = 0; repeat < 8; ++repeat) together[t] = mixedWork(t);
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(sameFloats(together[t], alone[t])) << t;
}

}  // namespace lmxtest
