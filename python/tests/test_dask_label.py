# Labelling over chunks: shapes that cross seams every way, numbered as the whole image is.
import dask
import dask.array as da
import numpy as np
import pytest

import lumerix as lx
import lumerix.dask as ldx
from dask_cluster import client, compute, same_bits  # noqa: F401


def u_shape(h=30, w=40):
    m = np.zeros((h, w), np.float32)
    m[2:28, 3:6] = m[2:28, 30:33] = m[25:28, 3:33] = 1  # two bars joined at the bottom
    m[0, 10:20] = 2                                      # a bar above, first in raster order
    return m


def spiral(n=31):
    m = np.zeros((n, n), np.float32)
    y, x, dy, dx, length = 0, 0, 0, 1, n - 1
    while length > 0:
        for _ in range(2):
            for _ in range(length):
                m[y, x] = 1
                y, x = y + dy, x + dx
            dy, dx = dx, -dy
        length -= 2
    m[y, x] = 1
    return m


def four_chunks():
    m = np.zeros((24, 24), np.float32)
    m[6:18, 11:13] = m[11:13, 6:18] = 1  # a plus over the corner where four chunks meet
    m[11, 11] = 0
    m[0, 23] = m[23, 0] = m[12, 0] = 5   # single pixels on the edges
    return m


def checkerboard(h=21, w=26):
    return (np.add.outer(np.arange(h), np.arange(w)) % 2).astype(np.float32)


def diagonal(n=20):
    return np.eye(n, dtype=np.float32) + np.eye(n, k=5, dtype=np.float32)


def anti_diagonal(n=24):
    # Steps from a chunk's bottom-left pixel to the top-right pixel of the chunk below left.
    m = np.fliplr(np.eye(n, dtype=np.float32)).copy()
    m[0:4, 0] = 3
    return m


def noise():
    m = np.random.default_rng(5).uniform(0, 1, (45, 38)) > 0.45
    m = m.astype(np.float32)
    m[7, 9] = np.nan   # NaN and -0.0: foreground and background, as in the library
    m[8, 9] = -0.0
    return m


SHAPES = {"U": u_shape(), "spiral": spiral(), "four chunks": four_chunks(),
          "checkerboard": checkerboard(), "diagonal": diagonal(),
          "anti-diagonal": anti_diagonal(), "noise": noise(),
          "empty": np.zeros((9, 14), np.float32), "full": np.ones((17, 11), np.float32)}
CHUNKINGS = {"one chunk": None, "stripes": (4, 1000), "columns": (1000, 5), "tiles": (12, 12),
             "slivers": (2, 3), "uneven": (7, 9)}


@pytest.mark.parametrize("connectivity", [4, 8])
@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_labels_are_the_whole_image_labels(client, chunks, connectivity):
    graphs = [ldx.label(da.from_array(m, chunks=chunks or m.shape), connectivity)
              for m in SHAPES.values()]
    results = compute(client, *graphs)
    wrong = [name for (name, m), r in zip(SHAPES.items(), results)
             if not same_bits(r, lx.label(lx.Image(m), connectivity).numpy())]
    assert not wrong, "labelled differently from the whole image: %s" % wrong


def test_a_spiral_across_every_seam_is_one_component(client):
    (labels,) = compute(client, ldx.label(da.from_array(spiral(), chunks=(3, 4))))
    assert set(np.unique(labels)) == {0.0, 1.0}


@pytest.mark.parametrize("chunks", [(3, 4), (1, 1), (2, 5)])
def test_diagonal_steps_across_seams_and_corners_join_with_connectivity_8(chunks):
    m = checkerboard(9, 10)
    labels = ldx.label(da.from_array(m, chunks=chunks), 8).compute(scheduler="sync")
    assert set(np.unique(labels)) == {0.0, 1.0}
    labels = ldx.label(da.from_array(anti_diagonal(), chunks=chunks), 8).compute(
        scheduler="sync")
    assert set(np.unique(labels)) == {0.0, 1.0, 2.0}  # the bar at the left, then the diagonal


def test_more_components_than_floats_number_overflow(monkeypatch):
    # The limit is 2^24 components; a smaller one stands in for it, run in this process.
    monkeypatch.setattr(ldx, "_MAX_COMPONENTS", 18)
    x = da.from_array(checkerboard(6, 6), chunks=(2, 3))  # 18 components
    labels = ldx.label(x).compute(scheduler="sync")
    assert labels.max() == 18
    with pytest.raises(OverflowError, match="21 components"):
        ldx.label(da.from_array(checkerboard(6, 7), chunks=(2, 3))).compute(
            scheduler="sync")
    with dask.config.set(scheduler="sync"):
        assert float(ldx.max(ldx.label(x)).compute()) == 18


def _fields(regions, exact):
    return [tuple(r[f] for f in exact) for r in regions]


EXACT = ("label", "area", "bbox", "centroid")


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_regions_are_the_whole_image_regions(client, chunks):
    values = np.random.default_rng(6).uniform(-5, 5, (45, 38)).astype(np.float32)
    cases = []
    for name, m in SHAPES.items():
        labels = lx.label(lx.Image(m), 8).numpy()
        v = np.resize(values, m.shape).astype(np.float32)
        v[tuple(np.argwhere(labels == labels.max())[0])] = np.nan  # the last region holds NaN
        cases.append((name, labels, v))
    graphs = [ldx.regions(da.from_array(lab, chunks=chunks or lab.shape), da.from_array(v))
              for _, lab, v in cases]
    for (name, lab, v), got in zip(cases, compute(client, *graphs)):
        want = lx.regions(lx.Image(lab), lx.Image(v))
        assert _fields(got, EXACT) == _fields(want, EXACT), name
        for g, w in zip(got, want):
            np.testing.assert_array_equal([g["intensity_min"], g["intensity_max"]],
                                          [w["intensity_min"], w["intensity_max"]])
            if np.isnan(w["intensity_mean"]):
                assert np.isnan(g["intensity_mean"]), (name, g["label"])
            else:  # per-chunk means times areas, summed in double: values are within 5
                assert abs(g["intensity_mean"] - w["intensity_mean"]) <= 5 * 1e-12, name


def test_regions_of_arrays_of_different_shapes_raise():
    with pytest.raises(ValueError, match="shape"):
        ldx.regions(da.zeros((4, 5), chunks=2), da.zeros((5, 4), chunks=2))
