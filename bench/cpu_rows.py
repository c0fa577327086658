#!/usr/bin/python3
"""The CPU backend's rows beside OpenCV (pixel-wise, reductions, conversions, histogram,
labelling, morphology, convolution, geometry, FFT), under the three thread settings a caller may
run with (the default wait policy, passive waiting, one thread).

Each round runs every binary once per setting, the binaries alternating (old, new, then new,
old), so that drift of the machine between runs falls on both; every Lumerix time is divided by
the OpenCV time measured in the same run. The table gives medians over the rounds.

    /usr/bin/python3 bench/cpu_rows.py --new build-bench/bench/lumerix_bench \
        [--old /path/to/older/lumerix_bench] [--rounds 3] [--policies default,passive,one]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

# (row, Lumerix benchmark, OpenCV benchmark). The histogram also reports its share of the copy
# bandwidth, read from the Lumerix benchmark's copy_share counter.
ROWS = [
    ("a + b 1x1", "Add_Lumerix/1/1", "Add_OpenCV/1/1"),
    ("a + b 256^2", "Add_Lumerix/256/256", "Add_OpenCV/256/256"),
    ("a + b 1024^2", "Add_Lumerix/1024/1024", "Add_OpenCV/1024/1024"),
    ("sum 1x1", "Sum_Lumerix/1", "Sum_OpenCV/1"),
    ("sum 256^2", "Sum_Lumerix/256", "Sum_OpenCV/256"),
    ("sum 1024^2", "Sum_Lumerix/1024", "Sum_OpenCV/1024"),
    ("sum 4096^2", "Sum_Lumerix/4096", "Sum_OpenCV/4096"),
    ("GetDataInt8 1024^2", "GetInt8_Lumerix/1024/1024", "GetInt8_OpenCV/1024/1024"),
    ("GetDataInt8 4096^2", "GetInt8_Lumerix/4096/4096", "GetInt8_OpenCV/4096/4096"),
    ("a > 0.5 1024^2", "Greater_Lumerix/1024/1024", "Greater_OpenCV/1024/1024"),
    ("a > 0.5 4096^2", "Greater_Lumerix/4096/4096", "Greater_OpenCV/4096/4096"),
    ("a * 2 1024^2", "MulScalar_Lumerix/1024/1024", "MulScalar_OpenCV/1024/1024"),
    ("a * 2 4096^2", "MulScalar_Lumerix/4096/4096", "MulScalar_OpenCV/4096/4096"),
    ("label checkerboard 1024^2", "Label_Lumerix/side:1024/input:2",
     "Label_OpenCV/side:1024/input:2"),
    ("label checkerboard 4096^2", "Label_Lumerix/side:4096/input:2",
     "Label_OpenCV/side:4096/input:2"),
    ("histogram256 1024^2", "Histogram_Lumerix/1024/1024", "Histogram_OpenCV/1024/1024"),
    ("histogram256 4096^2", "Histogram_Lumerix/4096/4096", "Histogram_OpenCV/4096/4096"),
]

# Filters, geometry and FFT. Arguments: morphology side/shape (2 = square)/passes, convolution
# side/radius; OpenCV's folded 9 x 9 erosion is what four square passes equal.
for side in (1024, 4096):
    n = str(side)
    ROWS += [
        ("erosion square 1 pass %d^2" % side, "Erode_Lumerix/%s/2/1" % n,
         "Erode_OpenCV/%s/2/1" % n),
        ("erosion square 4 passes %d^2" % side, "Erode_Lumerix/%s/2/4" % n,
         "Erode_OpenCV/%s/2/4" % n),
        ("convolve 15x15 %d^2" % side, "Convolve_Lumerix/%s/7" % n,
         "Convolve_OpenCVDirect/%s/7" % n),
        ("slice (0.5, 0.25) %d^2" % side, "Slice_Lumerix/" + n, "Slice_OpenCV/" + n),
        ("affine 10 deg %d^2" % side, "Affine_Lumerix/" + n, "Affine_OpenCV/" + n),
        ("crop half %d^2" % side, "Crop_Lumerix/" + n, "Crop_OpenCV/" + n),
        ("shift %d^2" % side, "Shift_Lumerix/" + n, "Shift_OpenCV/" + n),
        ("resize pad 32 %d^2" % side, "Canvas_Lumerix/" + n, "Canvas_OpenCV/" + n),
    ]
for side in (1000, 1024, 4096):
    ROWS.append(("fft %d^2" % side, "FFT_Lumerix/%d" % side, "FFT_OpenCV/%d" % side))
for side in (1000, 1024, 4096):
    ROWS.append(("ifft %d^2" % side, "IFFT_Lumerix/%d" % side, "IFFT_OpenCV/%d" % side))

POLICIES = {
    "default": {},
    "passive": {"OMP_WAIT_POLICY": "passive"},
    "one": {"OMP_NUM_THREADS": "1"},
}


def benchmark_filter():
    names = [n for _, lumerix, opencv in ROWS for n in (lumerix, opencv)]
    return "^(" + "|".join(n.replace("^", "\\^") for n in names) + ")(/real_time)?$"


def run(binary, policy, min_time, clock):
    env = dict(os.environ)
    for key in ("OMP_WAIT_POLICY", "OMP_NUM_THREADS"):
        env.pop(key, None)
    env.update(POLICIES[policy])
    out = subprocess.run(
        [binary, "--benchmark_filter=" + benchmark_filter(), "--benchmark_format=json",
         "--benchmark_min_time=%g" % min_time],
        env=env, check=True, capture_output=True, text=True).stdout
    results = {}
    for b in json.loads(out)["benchmarks"]:
        name = b["name"].removesuffix("/real_time")
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        results[name] = (b[clock + "_time"] * scale, b.get("copy_share"))
    return results


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=3):
    if value is None:
        return "-"
    return ("%." + str(digits) + "g") % value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--new", required=True, help="the benchmark binary under test")
    parser.add_argument("--old", help="an older benchmark binary, timed in alternation")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--policies", default="default,passive,one")
    parser.add_argument("--rows", default="", help="only the rows whose name contains one of "
                        "these comma-separated words")
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per benchmark")
    parser.add_argument("--clock", choices=("real", "cpu"), default="real",
                        help="wall time, or the calling thread's processor time (steadier on a "
                        "busy machine, but blind to the team's other threads)")
    args = parser.parse_args()
    if args.rows:
        words = args.rows.split(",")
        ROWS[:] = [r for r in ROWS if any(w in r[0] for w in words)]
    binaries = {"new": args.new}
    if args.old:
        binaries["old"] = args.old
    policies = args.policies.split(",")
    # samples[policy][binary][benchmark] = list of (time, copy_share)
    samples = {p: {b: {} for b in binaries} for p in policies}
    for r in range(args.rounds):
        order = list(binaries) if r % 2 == 0 else list(reversed(binaries))
        for policy in policies:
            for which in order:
                print("round %d, %s, %s" % (r + 1, policy, which), file=sys.stderr)
                for name, value in run(binaries[which], policy, args.min_time, args.clock).items():
                    samples[policy][which].setdefault(name, []).append(value)

    columns = [b for b in ("old", "new") if b in binaries]
    head = ["row", "policy"]
    for b in columns:
        head += [b + " us", "OpenCV us", b + " / OpenCV"]
    head.append("copy share " + "/".join(columns))
    print("| " + " | ".join(head) + " |")
    print("|" + " --- |" * len(head))
    for row, lumerix, opencv in ROWS:
        for policy in policies:
            cells = [row, policy]
            shares = []
            for b in columns:
                runs = samples[policy][b]
                ours = [t for t, _ in runs.get(lumerix, [])]
                peer = [t for t, _ in runs.get(opencv, [])]
                ratios = [o / p for o, p in zip(ours, peer)]
                cells += [fmt(median(ours)), fmt(median(peer)), fmt(median(ratios), 2)]
                share = median([s for _, s in runs.get(lumerix, [])])
                shares.append("-" if share is None else "%.0f %%" % (100 * share))
            cells.append(" / ".join(shares))
            print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
