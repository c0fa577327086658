"""Per-call overhead of the binding and a + b at 4096 x 4096, Python beside C++, in one run.

Usage: PYTHONPATH=build/python /usr/bin/python3 python/bench/add_overhead.py build/python/lumerix_add_timing

Each figure is the median of many calls; the C++ timing (lumerix_add_timing, built with the
package) runs between the Python ones, so that both see the same machine state.
"""
import statistics
import subprocess
import sys
import time

import numpy as np

import lumerix as lx


def python_median(h, w, repeats):
    a = lx.Image(np.full((h, w), 1.5, np.float32))
    b = lx.Image(np.full((h, w), 1.5, np.float32))
    a + b  # pixels on the device, result memory in the cache
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        a + b
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def cpp_median(timing, h, w, repeats):
    out = subprocess.run([timing, str(w), str(h), str(repeats)], capture_output=True, text=True,
                         check=True)
    return float(out.stdout)


def main():
    timing = sys.argv[1]
    print("backend:", lx.backend)
    for (h, w), repeats in [((4, 4), 20000), ((4096, 4096), 41)]:
        rounds = [(python_median(h, w, repeats), cpp_median(timing, h, w, repeats))
                  for _ in range(3)]
        py = statistics.median(r[0] for r in rounds)
        cpp = statistics.median(r[1] for r in rounds)
        print("a + b at %dx%d: Python %.2f us, C++ %.2f us, difference %.2f us (%.2fx)"
              % (w, h, py, cpp, py - cpp, py / cpp))


if __name__ == "__main__":
    main()
