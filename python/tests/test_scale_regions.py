# Scaling against OpenCV, the bordered warp against scipy.ndimage and the plain warp, labels
# against scipy.ndimage.label and region statistics against scikit-image.
import cv2
import numpy as np
import pytest
from scipy import ndimage
from skimage import measure

import lumerix as lx
from conftest import random_image

METHODS = {"nearest": cv2.INTER_NEAREST_EXACT, "linear": cv2.INTER_LINEAR,
           "cubic": cv2.INTER_CUBIC, "area": cv2.INTER_AREA}
# (source shape, result shape): shrinking by whole and fractional factors, growing, one row or
# one column, a single pixel.
SCALINGS = [((13, 17), (5, 7)), ((12, 16), (4, 4)), ((13, 17), (29, 40)), ((9, 1), (2, 5)),
            ((1, 9), (3, 4)), ((1, 1), (3, 2)), ((40, 3), (17, 3)), ((24, 24), (16, 9))]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("src, dst", SCALINGS)
def test_scale_is_cv2_resize(method, src, dst):
    a, img = random_image(src, seed=21)
    want = cv2.resize(a, (dst[1], dst[0]), interpolation=METHODS[method])
    got = lx.scale(img, dst, method=method).numpy()
    assert got.shape == dst
    np.testing.assert_allclose(got, want.reshape(dst), rtol=0, atol=1e-4 * np.ptp(a))


def test_scale_scales_every_plane_alike():
    a, img = random_image((3, 13, 17), seed=22)
    got = lx.scale(img, (6, 5), method="cubic").numpy()
    for p in range(3):
        np.testing.assert_array_equal(got[p], lx.scale(lx.Image(a[p]), (6, 5), "cubic").numpy())


# scipy.ndimage's modes with interpolation reading through the border at every neighbour.
SCIPY_MODE = {"reflect": "reflect", "nearest": "nearest", "mirror": "mirror",
              "constant": "grid-constant", "wrap": "grid-wrap"}
WARPS = [(0.9, 0.2, 1.5, -0.3, 1.1, -2.25), (1.0, 0.0, -3.5, 0.0, 1.0, 2.75),
         (-1.0, 0.0, 20.0, 0.0, 0.5, 0.0)]


@pytest.mark.parametrize("mode", SCIPY_MODE)
@pytest.mark.parametrize("m", WARPS)
@pytest.mark.parametrize("shape", [(13, 17), (1, 9), (9, 1)])
def test_bordered_affine_is_scipy_affine_transform(mode, m, shape):
    a, img = random_image(shape, seed=23)
    a_, b, c, d, e, f = m
    # scipy maps result (row, col) to source (row, col): rows follow y = d x + e y + f.
    want = ndimage.affine_transform(a.astype(np.float64), [[e, d], [b, a_]], offset=(f, c),
                                    order=1, mode=SCIPY_MODE[mode], cval=2.5)
    got = lx.affine(img, m, border=mode, cval=2.5).numpy()
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * np.ptp(a) + 1e-5)


@pytest.mark.parametrize("mode", SCIPY_MODE)
def test_bordered_affine_inside_the_image_is_the_plain_warp(mode):
    a, img = random_image((13, 17), seed=24)
    m = (1.0, 0.0, 0.25, 0.0, 1.0, 0.5)
    # Every neighbour of result (x < 16, y < 12) lies inside the image.
    plain = lx.affine(img, m).numpy()[:12, :16]
    np.testing.assert_array_equal(lx.affine(img, m, border=mode, cval=7.0).numpy()[:12, :16],
                                  plain)


def test_constant_border_reads_cval_outside_and_old_warp_is_kept():
    a, img = random_image((13, 17), seed=25)
    np.testing.assert_array_equal(lx.affine(img, (1, 0, 100, 0, 1, 0), "constant", -4.0).numpy(),
                                  np.full((13, 17), -4.0, np.float32))
    np.testing.assert_array_equal(lx.affine(img, (1, 0, 0, 0, 1, 0)).numpy(), a)


def _mask(shape, seed):
    rng = np.random.default_rng(seed)
    a = (rng.uniform(size=shape) < 0.45).astype(np.float32) * rng.uniform(-3, 3, shape)
    a[rng.uniform(size=shape) < 0.05] = np.nan  # NaN is foreground
    a[(a == 0) & (rng.uniform(size=shape) < 0.5)] = -0.0  # so is neither zero
    return a.astype(np.float32)


LABEL_SHAPES = [(1, 1), (1, 9), (9, 1), (13, 17), (40, 3), (64, 71)]


@pytest.mark.parametrize("connectivity, structure", [(4, None), (8, np.ones((3, 3)))])
@pytest.mark.parametrize("shape", LABEL_SHAPES)
def test_label_is_scipy_label(connectivity, structure, shape):
    a = _mask(shape, seed=sum(shape))
    want, _ = ndimage.label(a != 0, structure=structure)
    got = lx.label(lx.Image(a), connectivity=connectivity).numpy()
    np.testing.assert_array_equal(got, want.astype(np.float32))
    assert lx.label(lx.Image(a)).numpy().tolist() == lx.label(lx.Image(a), 4).numpy().tolist()


@pytest.mark.parametrize("shape", LABEL_SHAPES)
def test_regions_are_skimage_regionprops(shape):
    labels = lx.label(lx.Image(_mask(shape, seed=31 + shape[0])), 8)
    values, vimg = random_image(shape, seed=32)
    lab = labels.numpy().astype(np.int64)
    want = measure.regionprops(lab, intensity_image=values.astype(np.float64))
    got = lx.regions(labels, vimg)
    assert [r["label"] for r in got] == [p.label for p in want]
    for r, p in zip(got, want):
        assert (r["area"], r["bbox"]) == (p.area, p.bbox)
        np.testing.assert_allclose(r["centroid"], p.centroid, rtol=1e-12)
        assert (r["intensity_min"], r["intensity_max"]) == (p.intensity_min, p.intensity_max)
        np.testing.assert_allclose(r["intensity_mean"], p.intensity_mean, rtol=1e-12)


def test_regions_skip_missing_labels_and_report_nan():
    labels = np.array([[0, 5, 5], [2, 0, 5]], np.float32)
    values = np.array([[9, 1, np.nan], [4, 9, 3]], np.float32)
    got = lx.regions(lx.Image(labels), lx.Image(values))
    assert [(r["label"], r["area"], r["bbox"]) for r in got] == [(2, 1, (1, 0, 2, 1)),
                                                                 (5, 3, (0, 1, 2, 3))]
    assert got[0]["intensity_mean"] == 4.0
    assert np.isnan(got[1]["intensity_min"]) and np.isnan(got[1]["intensity_mean"])


@pytest.mark.parametrize("call, error, text", [
    (lambda i: lx.scale(i, (0, 3)), ValueError, "at least"),
    (lambda i: lx.scale(i, (3, 3), method="bilinear"), ValueError, "method must be one of"),
    (lambda i: lx.affine(i, (1, 0, 0, 0, 1, 0), border="edge"), ValueError, "border"),
    (lambda i: lx.label(i, connectivity=6), ValueError, "connectivity"),
    (lambda i: lx.regions(i, lx.Image(np.zeros((8, 9), np.float32))), ValueError, "shape"),
    (lambda i: lx.regions(i + 0.5, i), ValueError, "whole number"),
])
def test_bad_arguments_are_errors_naming_the_operation(call, error, text):
    _, img = random_image((8, 8), seed=33)
    with pytest.raises(error, match=text):
        call(img)
