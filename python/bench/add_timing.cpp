// Times c = a + b in C++ for the comparison in add_overhead.py: the median of `repeats` calls on
// images whose pixels are already on the device, each result freed before the next call (as a
// Python loop frees it). Usage: lumerix_add_timing WIDTH HEIGHT REPEATS; prints the median in
// microseconds.

#include <lumerix/Lumerix.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lumerix_add_timing WIDTH HEIGHT REPEATS\n");
        return 2;
    }
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]), repeats = std::atoi(argv[3]);
    std::vector<float> values(static_cast<std::size_t>(w) * h, 1.5f);
    Lumerix a(cmm::cmmDims(w, h)), b(cmm::cmmDims(w, h));
    a.SetData(values.data());
    b.SetData(values.data());
    std::vector<double> times;
    for (int i = 0; i < repeats + 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        { Lumerix c = a + b; }
        const auto stop = std::chrono::steady_clock::now();
        if (i >= 3)
            times.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f\n", times[times.size() / 2]);
    return 0;
}
