"""Times lumerix.dask and lumerix-batch against the work done in one process.

1. gauss 2, threshold 100, label over a SIZE x SIZE image: whole in this process, then through
   lumerix.dask on local clusters of 1 and 2 workers (the input persisted on the workers first,
   so that only the pipeline is timed; each run ends in the component count, which must agree).
2. lumerix-batch over FILES generated SIDE x SIDE PNG files with 1 and 2 workers, against the
   lumerix tool run on each file in turn from here.

Medians of --repeat runs.  Usage:
    PYTHONPATH=build/python /usr/bin/python3 python/bench/dask_pipeline.py [--size 16384]
        [--chunk 4096] [--files 200] [--side 1024] [--repeat 3] [--skip-batch]
"""

import argparse
import logging
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import dask.array as da
import lumerix as lx
import lumerix.dask as ldx
from lumerix import batch

PIPELINE = ["gauss", "2", "threshold", "100", "label"]


def tile(block_id, chunk, size):
    """The pixels of one chunk: a smooth field of blobs plus noise, the same wherever it is
    computed."""
    (i, j) = block_id
    y0, x0 = i * chunk, j * chunk
    h, w = min(chunk, size - y0), min(chunk, size - x0)
    y, x = np.mgrid[y0:y0 + h, x0:x0 + w].astype(np.float32)
    rng = np.random.default_rng(i * 100003 + j)
    field = 100 + 60 * np.sin(x / 37.0) * np.cos(y / 23.0)
    return (field + rng.normal(0, 20, (h, w))).astype(np.float32)


def dask_input(size, chunk):
    return da.map_blocks(lambda block_id=None: tile(block_id, chunk, size), dtype=np.float32,
                         chunks=(da.core.normalize_chunks(chunk, (size, size))))


def whole_input(size, chunk):
    out = np.empty((size, size), np.float32)
    for i in range(0, size, chunk):
        for j in range(0, size, chunk):
            block = tile((i // chunk, j // chunk), chunk, size)
            out[i:i + block.shape[0], j:j + block.shape[1]] = block
    return out


def median_time(run, repeat):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def fresh_result(client, graph):
    """Computes the graph and waits until the cluster has forgotten its result, so that the
    next run computes it again instead of finding it in memory."""
    future = client.compute(graph)
    value = float(future.result())
    key = future.key
    del future
    while client.run_on_scheduler(lambda dask_scheduler: key in dask_scheduler.tasks):
        time.sleep(0.05)
    return value


def bench_pipeline(size, chunk, repeat):
    from distributed import Client, wait

    a = whole_input(size, chunk)

    def whole():
        img = lx.Image(a)
        return float(lx.max(lx.label(lx.greater(lx.gauss(img, 2.0), 100.0))))

    t_whole, k_whole = median_time(whole, repeat)
    del a
    print("pipeline %d^2, chunks %d^2: whole image in one process  %8.2f s  (%d components)"
          % (size, chunk, t_whole, k_whole), flush=True)
    for workers in (1, 2):
        with ldx.cluster(workers, silence_logs=logging.ERROR) as cluster, Client(cluster) as c:
            x = c.persist(dask_input(size, chunk))
            wait(x)
            graph = ldx.max(ldx.label(ldx.greater(ldx.gauss(x, 2.0), 100.0)))
            t, k = median_time(lambda: fresh_result(c, graph), repeat)
        assert k == k_whole, (k, k_whole)
        print("pipeline %d^2, chunks %d^2: lumerix.dask, %d worker%s      %8.2f s  "
              "(%+.0f %% against whole)" % (size, chunk, workers, " " if workers == 1 else "s",
                                           t, 100 * (t / t_whole - 1)), flush=True)


def bench_batch(files, side, repeat):
    tool = batch.find_tool()
    folder = tempfile.mkdtemp(prefix="lumerix-batch-bench-")
    try:
        inputs = os.path.join(folder, "in")
        os.makedirs(inputs)
        rng = np.random.default_rng(0)
        pgm = os.path.join(folder, "seed.pgm")
        for n in range(files):
            pixels = rng.integers(0, 256, (side, side), dtype=np.uint8)
            with open(pgm, "wb") as f:
                f.write(b"P5\n%d %d\n255\n" % (side, side) + pixels.tobytes())
            subprocess.run([tool, pgm, "-o", os.path.join(inputs, "f%03d.png" % n)], check=True)
        names = sorted(os.listdir(inputs))

        def serial():
            out = tempfile.mkdtemp(dir=folder)
            for name in names:
                subprocess.run([tool, os.path.join(inputs, name)] + PIPELINE +
                               ["-o", os.path.join(out, name)], check=True)

        t, _ = median_time(serial, repeat)
        print("batch %d x %d^2 PNG: the tool file after file     %8.2f s  %6.1f files/s"
              % (files, side, t, files / t), flush=True)
        for workers in (1, 2):
            def run():
                out = tempfile.mkdtemp(dir=folder)
                done = subprocess.run([sys.executable, "-m", "lumerix.batch",
                                       os.path.join(inputs, "*.png"), "--out", out,
                                       "--workers", str(workers), "--quiet", "--"] + PIPELINE,
                                      capture_output=True, text=True)
                assert done.returncode == 0, done.stderr

            t, _ = median_time(run, repeat)
            print("batch %d x %d^2 PNG: lumerix-batch, %d worker%s     %8.2f s  %6.1f files/s "
                  "(cluster start included)" % (files, side, workers,
                                                " " if workers == 1 else "s", t, files / t),
                  flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size", type=int, default=16384)
    p.add_argument("--chunk", type=int, default=4096)
    p.add_argument("--files", type=int, default=200)
    p.add_argument("--side", type=int, default=1024)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--skip-batch", action="store_true")
    p.add_argument("--skip-pipeline", action="store_true")
    args = p.parse_args()
    print("backend %s, %d cores, load average %.1f" % (lx.backend, os.cpu_count(),
                                                      os.getloadavg()[0]), flush=True)
    if not args.skip_pipeline:
        bench_pipeline(args.size, args.chunk, args.repeat)
    if not args.skip_batch:
        bench_batch(args.files, args.side, args.repeat)


if __name__ == "__main__":
    main()
