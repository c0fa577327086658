# Threads: calls release the GIL, so Python keeps running beside a long filter, and several
# threads calling at once get the results of one thread calling alone.
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import lumerix as lx


def work(seed):
    a = np.random.default_rng(seed).uniform(0, 50, (97, 131)).astype(np.float32)
    img = lx.Image(a)
    out = []
    for _ in range(3):
        b = lx.gauss(img, 2.0) * 2 - img
        c = lx.convolve(b, np.array([[0, 1, 0], [1, -4, 1], [0, 1, 0]], np.float32))
        re, im = lx.fft(lx.erosion(lx.fmax(c, 0.0), 2, 3))
        e = lx.ifft(re, im) / float(a.size)
        labels = lx.label(e > 10)
        out += [lx.sum(e), lx.var(e), lx.max(labels), lx.histogram256(e).tolist(),
                e.to_uint8().tolist()]
        img = e + 1
    return out


def test_threads_calling_at_once_get_the_single_threaded_results():
    alone = [work(seed) for seed in range(8)]
    with ThreadPoolExecutor(max_workers=8) as pool:
        together = list(pool.map(work, range(8)))
    assert together == alone


def test_python_keeps_running_while_a_long_filter_runs():
    img = lx.Image(np.random.default_rng(0).uniform(size=(1024, 1024)).astype(np.float32))
    taps = np.ones((15, 15), np.float32)
    ticks = [0]
    seen = {}
    done = threading.Event()

    def long_filter():
        seen["entry"] = ticks[0]
        lx.convolve(img, taps)  # one call of tens of milliseconds
        seen["exit"] = ticks[0]
        done.set()

    worker = threading.Thread(target=long_filter)
    worker.start()
    while not done.is_set():
        ticks[0] += 1
    worker.join()
    # Had the call kept the GIL, this loop could not have counted while it ran.
    assert seen["exit"] - seen["entry"] > 100, seen
