# lumerix.dask against the whole-image calls, on a real two-worker cluster, over chunkings that
# put seams everywhere a filter could notice them.
import dask.array as da
import numpy as np
import pytest

import lumerix as lx
import lumerix.dask as ldx
from dask_cluster import client, compute, same_bits  # noqa: F401

SHAPE = (37, 53)
CHUNKINGS = {
    "one chunk": SHAPE,
    "stripes": (8, 53),
    "columns": (37, 10),
    "tiles": (12, 16),
    "smaller than the depth": (4, 5),
    "uneven": ((5, 20, 12), (30, 1, 22)),
}


def picture():
    a = np.random.default_rng(7).uniform(-50, 300, SHAPE).astype(np.float32)
    a[3, 4], a[20, 30], a[36, 52], a[0, 0] = np.nan, np.inf, -0.0, -np.inf
    return a


def whole(f, *args):
    return lambda a: np.asarray(f(lx.Image(a), *args))


TAPS = np.random.default_rng(3).uniform(-1, 1, (3, 9)).astype(np.float32)
AFFINE = (0.97, -0.2, 3.5, 0.2, 0.97, -4.25)
# name, dask form, whole-image form: the same bits are promised.
EXACT = [
    ("add image", lambda x: ldx.add(x, x), lambda a: np.asarray(lx.Image(a) + lx.Image(a))),
    ("subtract scalar first", lambda x: ldx.subtract(255, x), whole(lambda i: 255 - i)),
    ("divide", lambda x: ldx.divide(x, 7), whole(lx.divide, 7)),
    ("greater", lambda x: ldx.greater(x, 100), whole(lx.greater, 100)),
    ("bitwise_xor", lambda x: ldx.bitwise_xor(x, 5), whole(lx.bitwise_xor, 5)),
    ("logical_not", ldx.logical_not, whole(lx.logical_not)),
    ("log", ldx.log, whole(lx.log)),
    ("sqrt", ldx.sqrt, whole(lx.sqrt)),
    ("fmax", lambda x: ldx.fmax(x, 10), whole(lx.fmax, 10)),
    ("erosion cross 1", lambda x: ldx.erosion(x), whole(lx.erosion)),
    ("erosion square 3", lambda x: ldx.erosion(x, 3, 2), whole(lx.erosion, 3, 2)),
    ("dilation alternating 4", lambda x: ldx.dilation(x, 4, 0), whole(lx.dilation, 4, 0)),
    ("dilation 0 passes", lambda x: ldx.dilation(x, 0), whole(lx.dilation, 0)),
    ("convolve 3 x 9", lambda x: ldx.convolve(x, TAPS), whole(lx.convolve, TAPS)),
    ("convolve 1 x 1", lambda x: ldx.convolve(x, [[2.0]]), whole(lx.convolve, [[2.0]])),
    ("gauss 0.7", lambda x: ldx.gauss(x, 0.7), whole(lx.gauss, 0.7)),
    ("gauss 3.5", lambda x: ldx.gauss(x, 3.5), whole(lx.gauss, 3.5)),
    ("gaussx 1", lambda x: ldx.gaussx(x, 1.0), whole(lx.gaussx, 1.0)),
    ("gaussy 2.2", lambda x: ldx.gaussy(x, 2.2), whole(lx.gaussy, 2.2)),
    ("correlate wrap 5 x 3", lambda x: ldx.correlate(x, TAPS.T[:5], border="wrap"),
     whole(lx.correlate, TAPS.T[:5], "wrap")),
    ("correlate constant 3 x 9", lambda x: ldx.correlate(x, TAPS, "constant", 2.5),
     whole(lx.correlate, TAPS, "constant", 2.5)),
    ("gaussian mirror 1.5", lambda x: ldx.gaussian(x, 1.5, "mirror"),
     whole(lx.gaussian, 1.5, "mirror")),
    ("gaussian wrap 10", lambda x: ldx.gaussian(x, 10.0, "wrap"), whole(lx.gaussian, 10.0, "wrap")),
    ("median nearest 2 x 1", lambda x: ldx.median(x, 2, 1, "nearest"),
     whole(lx.median, 2, 1, "nearest")),
    ("median wrap 1 x 3", lambda x: ldx.median(x, 1, 3, "wrap"), whole(lx.median, 1, 3, "wrap")),
    ("histogram256", ldx.histogram256, lambda a: lx.histogram256(lx.Image(a))),
    ("shift", lambda x: ldx.shift(x, 11, -5), whole(lx.shift, 11, -5)),
    ("shift by the sides", lambda x: ldx.shift(x, -53, 37), whole(lx.shift, -53, 37)),
    ("crop", lambda x: ldx.crop(x, 2, 40, 5, 36), lambda a: np.asarray(lx.Image(a)[5:36, 2:40])),
    ("resize larger", lambda x: ldx.resize(x, (45, 60), 4, 3), whole(lx.resize, (45, 60), 4, 3)),
    ("resize cut", lambda x: ldx.resize(x, (20, 70), -6, -9), whole(lx.resize, (20, 70), -6, -9)),
    ("resize off canvas", lambda x: ldx.resize(x, (5, 5), 9, 9), whole(lx.resize, (5, 5), 9, 9)),
    ("xx", ldx.xx, whole(lx.xx)),
    ("yy", ldx.yy, whole(lx.yy)),
    ("slice whole pixels", lambda x: ldx.slice(x, 30, 20, 40, 30),
     whole(lx.slice, 30, 20, 40, 30)),
    ("slice wrapping back", lambda x: ldx.slice(x, -7, -3, 20, 12),
     whole(lx.slice, -7, -3, 20, 12)),
    ("slice fractional", lambda x: ldx.slice(x, 2.5, 1.25, 31, 17),
     whole(lx.slice, 2.5, 1.25, 31, 17)),
    ("affine", lambda x: ldx.affine(x, AFFINE), whole(lx.affine, AFFINE)),
]
# The FFT: the same transform of the whole plane, but FFTW's plans are measured in each process
# (on the CPU backend), so a worker may round differently: within float tolerance.
NEAR = [
    ("fft re", lambda x: ldx.fft(x)[0], lambda a: np.asarray(lx.fft(lx.Image(a))[0])),
    ("fft im", lambda x: ldx.fft(x)[1], lambda a: np.asarray(lx.fft(lx.Image(a))[1])),
    ("ifft", lambda x: ldx.ifft(x, ldx.multiply(x, 0.5)),
     lambda a: np.asarray(lx.ifft(lx.Image(a), lx.Image(a) * 0.5))),
]
# Exact in value (0.0 and -0.0 compare equal).
VALUES = [("min", ldx.min, whole(lx.min)), ("max", ldx.max, whole(lx.max))]


def finite(a):
    return np.nan_to_num(a, nan=1.0, posinf=2.0, neginf=-3.0)


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_every_operation_gives_the_whole_image_result(client, chunks):
    a = picture()
    b = finite(a)  # a NaN or an infinity spreads over the whole FFT
    graphs = [d(da.from_array(a, chunks=chunks)) for _, d, _ in EXACT + VALUES]
    graphs += [d(da.from_array(b, chunks=chunks)) for _, d, _ in NEAR]
    results = compute(client, *graphs)
    wrong = [n for (n, _, w), r in zip(EXACT, results) if not same_bits(r, w(a))]
    for (n, _, w), r in zip(VALUES, results[len(EXACT):]):
        if not (r == w(a) and np.asarray(r).dtype == np.float32):
            wrong.append(n)
    scale = np.abs(b.astype(np.float64)).sum() * 2.0**-24 * 64
    for (n, _, w), r in zip(NEAR, results[len(EXACT) + len(VALUES):]):
        if not (r.shape == b.shape and np.abs(r - w(b)).max() <= scale):
            wrong.append(n)
    assert not wrong, "differ from the whole-image call: %s" % wrong


@pytest.mark.parametrize("chunks", [(37, 53), (5, 7), ((1, 36), (52, 1))],
                         ids=["one chunk", "tiles", "slivers"])
def test_sums_stay_within_the_stated_tolerance(client, chunks):
    a = np.random.default_rng(1).uniform(-2, 10, SHAPE).astype(np.float32)
    s, m, v = compute(client, *(f(da.from_array(a, chunks=chunks))
                                for f in (ldx.sum, ldx.mean, ldx.var)))
    exact = a.astype(np.float64)
    n = a.size
    bound = (n / 8192 + 72) * 2.0**-24
    assert abs(s - exact.sum()) <= bound * np.abs(exact).sum()
    assert abs(m - exact.mean()) <= bound * np.abs(exact).sum() / n
    dev = (exact - exact.mean())**2
    assert abs(v - dev.mean()) <= bound * dev.sum() / n + 2.0**-24 * dev.mean()
    for got, lib in ((s, lx.sum), (m, lx.mean), (v, lx.var)):
        assert np.isclose(got, lib(lx.Image(a)), rtol=2 * bound, atol=0)


def test_reductions_of_nan_only_pixels_are_nan(client):
    x = da.from_array(np.full((6, 6), np.nan, np.float32), chunks=(3, 2))
    lo, hi = compute(client, ldx.min(x), ldx.max(x))
    assert np.isnan(lo) and np.isnan(hi) and np.isnan(lx.min(lx.Image(np.full(3, np.nan))))


@pytest.mark.parametrize("call, error", [
    (lambda x: ldx.gauss(x[0], 1.0), ValueError),             # not 2-D
    (lambda x: ldx.convolve(x, np.ones((2, 3))), ValueError),  # even side
    (lambda x: ldx.add(x, x[:3]), ValueError),                 # shapes differ
    (lambda x: ldx.crop(x, 0, 60, 0, 5), IndexError),          # window outside
    (lambda x: ldx.affine(x, (1, 0, 0)), ValueError),          # three coefficients
])
def test_bad_arguments_raise_before_any_work(call, error):
    with pytest.raises(error):
        call(da.zeros(SHAPE, chunks=10, dtype=np.float32))


@pytest.mark.parametrize("workers, cpus, threads", [(2, 2, ["1", "1"]), (2, 16, ["8", "8"]),
                                                    (3, 16, ["5"] * 3), (None, 4, ["1"] * 4),
                                                    (4, 2, ["1"] * 4)])
def test_workers_divide_the_cpu_threads(workers, cpus, threads):
    envs = ldx.worker_environments(workers, backend="cpu", cpus=cpus)
    assert [e["OMP_NUM_THREADS"] for e in envs] == threads


def test_cuda_workers_get_one_gpu_each(monkeypatch):
    monkeypatch.setenv("CUDA_VISIBLE_DEVICES", "0,1,2,3")
    envs = ldx.worker_environments(backend="cuda")
    assert [e["CUDA_VISIBLE_DEVICES"] for e in envs] == ["0", "1", "2", "3"]


def test_the_cluster_runs_one_single_threaded_process_per_worker(client):
    info = client.scheduler_info()["workers"].values()
    assert [w["nthreads"] for w in info] == [1, 1]
    pids = client.run(lambda: __import__("os").getpid())
    threads = client.run(lambda: __import__("os").environ.get("OMP_NUM_THREADS"))
    assert len(set(pids.values())) == 2 and set(threads.values()) == {"1"}
