#!/usr/bin/env python3
"""The GPU check's peer and its summary (run by scripts/gpu-check).

    gpu-peer.py measure OUT.json
        Times CuPy (cupyx.scipy.ndimage) on a 4096 x 4096 float32 image: sum, histogram,
        erosion 3 x 3, correlate 15 x 15, gaussian_filter of radius 7, affine_transform of
        order 1, fft2, label, and the device-to-device copy of the image. Medians of CUDA-event
        timings, in microseconds.
    gpu-peer.py summary BENCH.json CUPY.json RESULTS.txt
        Prints the summary table in Markdown (standard library only): for each operation our
        median, CuPy's, the share of the copy bandwidth our time reaches, and the floor of an
        H100 SXM (3.35 TB/s of HBM3, 67 TFLOP/s fp32); then every benchmark at 4096 x 4096 with
        its floor, then the outcome of each step of the check.
"""

import json
import math
import sys

SIDE = 4096
PIXELS = SIDE * SIDE
H100_BYTES_PER_S = 3.35e12
H100_FLOP_PER_S = 67e12


def bandwidth_floor_us(bytes_moved):
    return bytes_moved / H100_BYTES_PER_S * 1e6


def flop_floor_us(flop):
    return flop / H100_FLOP_PER_S * 1e6


# The least traffic (bytes) or arithmetic (FLOP) of each operation at 4096 x 4096, whichever
# bounds it: an image of n floats is 4n bytes read once, a result 4n bytes written once.
N = PIXELS
FLOORS = {
    # name prefix of the benchmark: (floor in microseconds, what bounds it)
    "Copy_Device": (bandwidth_floor_us(8 * N), "read + write 4n bytes"),
    "Add_Lumerix": (bandwidth_floor_us(12 * N), "read 2 x 4n, write 4n"),
    "GetInt8_Lumerix": (bandwidth_floor_us(5 * N), "read 4n, write n (PCIe not counted)"),
    "Convert16_Lumerix": (bandwidth_floor_us(12 * N), "read 4n, write 2n, and back"),
    "Sum_Lumerix": (bandwidth_floor_us(4 * N), "read 4n"),
    "MinMax_Lumerix": (bandwidth_floor_us(4 * N), "read 4n"),
    "MeanVar_Lumerix": (bandwidth_floor_us(8 * N), "two passes of 4n"),
    "Histogram_Lumerix": (bandwidth_floor_us(4 * N), "read 4n"),
    "Erode_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n per pass"),
    "Convolve_Lumerix/4096/7": (flop_floor_us(2 * 225 * N), "225 multiply-adds a pixel"),
    "Convolve_Lumerix/4096/2": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Gauss_Lumerix/4096/35": (flop_floor_us(2 * 225 * N), "225 multiply-adds (15 x 15 table)"),
    "Gauss_Lumerix/4096/10": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Shift_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Crop_Lumerix": (bandwidth_floor_us(2 * N), "read and write a quarter"),
    "Affine_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "AffineBorder_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Scale_Lumerix": (bandwidth_floor_us(4 * N + N // 4), "read 4n, write 4n / 16 (to 1024)"),
    "FFT_Lumerix": (bandwidth_floor_us(12 * N), "read 4n, write 2 x 4n, one pass"),
    "IFFT_Lumerix": (bandwidth_floor_us(12 * N), "read 2 x 4n, write 4n, one pass"),
    "Label_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Regions_Lumerix": (bandwidth_floor_us(8 * N), "read 2 x 4n"),
    "Median3_Lumerix": (bandwidth_floor_us(8 * N), "read 4n, write 4n"),
    "Correlate7_Lumerix": (flop_floor_us(2 * 225 * N), "225 multiply-adds a pixel"),
    "Gaussian35_Lumerix": (bandwidth_floor_us(16 * N), "two passes (rows, columns) of 8n"),
}

# The CuPy comparison: (operation, our benchmark's name prefix, bytes the operation must move at
# least, for the share of the copy bandwidth).
PEERS = [
    ("sum", "Sum_Lumerix/4096", 4 * N),
    ("histogram", "Histogram_Lumerix/4096", 4 * N),
    ("erosion 3 x 3", "Erode_Lumerix/4096/2/1", 8 * N),
    ("correlate 15 x 15", "Convolve_Lumerix/4096/7", 8 * N),
    ("gaussian_filter radius 7", "Gauss_Lumerix/4096/35", 8 * N),
    ("affine_transform order 1", "Affine_Lumerix/4096", 8 * N),
    ("fft2", "FFT_Lumerix/4096", 12 * N),
    ("label", "Label_Lumerix/side:4096/input:1", 8 * N),
]
COPY = "Copy_Device/4096"


def measure(path):
    import cupy as cp
    import cupyx.scipy.ndimage as ndi

    rng = cp.random.default_rng(7)
    a = rng.random((SIDE, SIDE), dtype=cp.float32)
    b = cp.empty_like(a)
    taps = rng.random((15, 15), dtype=cp.float32) - 0.5
    angle = math.radians(15)
    rotation = cp.asarray(
        [[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]], dtype=cp.float64
    )
    mask = a > 0.5
    ops = {
        "copy": lambda: cp.copyto(b, a),
        "sum": lambda: cp.sum(a),
        "histogram": lambda: cp.histogram(a, bins=256, range=(0, 256)),
        "erosion 3 x 3": lambda: ndi.grey_erosion(a, size=(3, 3)),
        "correlate 15 x 15": lambda: ndi.correlate(a, taps, mode="reflect"),
        # radius = int(truncate * sigma + 0.5) = 7
        "gaussian_filter radius 7": lambda: ndi.gaussian_filter(a, 3.5, truncate=2.0),
        "affine_transform order 1": lambda: ndi.affine_transform(a, rotation, order=1),
        "fft2": lambda: cp.fft.fft2(a),
        "label": lambda: ndi.label(mask),
    }
    start, stop = cp.cuda.Event(), cp.cuda.Event()
    result = {"device": cp.cuda.runtime.getDeviceProperties(0)["name"].decode(), "us": {}}
    for name, op in ops.items():
        for _ in range(3):
            op()
        cp.cuda.Device().synchronize()
        times = []
        for _ in range(5 if name == "label" else 20):
            start.record()
            op()
            stop.record()
            stop.synchronize()
            times.append(cp.cuda.get_elapsed_time(start, stop) * 1e3)
        times.sort()
        result["us"][name] = times[len(times) // 2]
        print(f"CuPy {name}: {result['us'][name]:.1f} us", file=sys.stderr)
    with open(path, "w") as f:
        json.dump(result, f, indent=1)


def bench_medians(path):
    """Median real time in microseconds of each benchmark run of a Google Benchmark JSON file."""
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    medians = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name", "median") != "median":
            continue
        name = b.get("run_name") or b["name"]
        medians[name] = b["real_time"] * scale.get(b.get("time_unit", "ns"), 1e-3)
    return medians


def find(medians, prefix):
    for name in sorted(medians):
        if name == prefix or name.startswith(prefix + "/"):
            return name, medians[name]
    return None, None


def floor_of(name):
    best = None
    for prefix, floor in FLOORS.items():
        if name == prefix or name.startswith(prefix + "/"):
            if best is None or len(prefix) > len(best[0]):
                best = (prefix, floor)
    return best[1] if best else (None, "")


def fmt(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def summary(bench_path, cupy_path, results_path):
    ours = bench_medians(bench_path)
    try:
        with open(cupy_path) as f:
            peer = json.load(f)
    except (OSError, ValueError):
        peer = {"device": "?", "us": {}}
    _, copy_us = find(ours, COPY)
    print("# GPU check\n")
    print(f"Device (CuPy): {peer.get('device', '?')}. Times are medians in microseconds at "
          f"{SIDE} x {SIDE}; the share is the least traffic of the operation over our time, "
          f"against the device copy's 8n bytes over its time "
          f"({fmt(copy_us)} us, CuPy's {fmt(peer['us'].get('copy'))} us).\n")
    print("| operation | Lumerix us | CuPy us | CuPy / Lumerix | share of copy bandwidth "
          "| H100 floor us |")
    print("|---|---:|---:|---:|---:|---:|")
    for op, prefix, least in PEERS:
        name, us = find(ours, prefix)
        cupy_us = peer["us"].get(op)
        share = None
        if us and copy_us:
            share = 100.0 * (least / us) / (8 * N / copy_us)
        ratio = cupy_us / us if us and cupy_us else None
        floor, _ = floor_of(name or prefix)
        print(f"| {op} | {fmt(us)} | {fmt(cupy_us)} | {fmt(ratio, 2)} | "
              f"{fmt(share, 0)}{'' if share is None else ' %'} | {fmt(floor)} |")
    print("\n## Every benchmark at 4096 x 4096\n")
    print("| benchmark | median us | H100 floor us | bound by | floor / time |")
    print("|---|---:|---:|---|---:|")
    for name in sorted(ours):
        floor, why = floor_of(name)
        share = f"{100.0 * floor / ours[name]:.0f} %" if floor else "-"
        print(f"| {name} | {fmt(ours[name])} | {fmt(floor)} | {why} | {share} |")
    print("\n## Steps\n")
    print("| step | outcome | detail |")
    print("|---|---|---|")
    try:
        with open(results_path) as f:
            for line in f:
                parts = (line.rstrip("\n").split("\t") + ["", "", ""])[:3]
                print("| " + " | ".join(parts) + " |")
    except OSError:
        print("| (no results) | | |")


def main(argv):
    if len(argv) == 3 and argv[1] == "measure":
        measure(argv[2])
    elif len(argv) == 5 and argv[1] == "summary":
        summary(argv[2], argv[3], argv[4])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
