# The filters with a chosen border against scipy.ndimage, every mode, on images smaller and larger
# than their windows.
import numpy as np
import pytest
from scipy import ndimage

import lumerix as lx
from conftest import random_image

MODES = ["reflect", "nearest", "mirror", "constant", "wrap"]
SIZES = [(1, 1), (1, 9), (9, 1), (13, 17)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("taps_shape", [(3, 5), (17, 15)])
def test_correlate_is_scipy_correlate(mode, size, taps_shape):
    a, img = random_image(size, seed=11)
    taps = np.random.default_rng(12).uniform(-1, 1, taps_shape).astype(np.float32)
    want = ndimage.correlate(a.astype(np.float64), taps.astype(np.float64), mode=mode, cval=0.5)
    got = lx.correlate(img, taps, border=mode, cval=0.5).numpy()
    scale = max(np.abs(a).max(), 0.5) * np.abs(taps).sum()
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * scale)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("sigma", [0.8, 3.5, 10.0])
def test_gaussian_is_scipy_gaussian_filter(mode, sigma):
    a, img = random_image((29, 41), seed=13)
    want = ndimage.gaussian_filter(a.astype(np.float64), sigma, mode=mode, truncate=4.0)
    got = lx.gaussian(img, sigma, border=mode).numpy()
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * np.abs(a).max())


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("radii", [(1, 1), (2, 2), (3, 1)])
def test_median_is_scipy_median_filter(mode, size, radii):
    a, img = random_image(size, seed=14)
    xr, yr = radii
    want = ndimage.median_filter(a, size=(2 * yr + 1, 2 * xr + 1), mode=mode, cval=0.0)
    np.testing.assert_array_equal(lx.median(img, xr, yr, border=mode).numpy(), want)


def test_reflect_correlation_is_convolve_to_the_bit():
    a, img = random_image((31, 23), seed=15)
    taps = np.random.default_rng(16).uniform(-1, 1, (5, 7)).astype(np.float32)
    np.testing.assert_array_equal(lx.correlate(img, taps).numpy(), lx.convolve(img, taps).numpy())


@pytest.mark.parametrize("call, text", [
    (lambda i: lx.correlate(i, np.ones((2, 3))), "odd sides"),
    (lambda i: lx.correlate(i, np.ones(3)), "2-D"),
    (lambda i: lx.gaussian(i, 0.0), "sigma"),
    (lambda i: lx.gaussian(i, 1.0, border="edge"), "border must be one of"),
    (lambda i: lx.median(i, 8, 8), "225"),
    (lambda i: lx.median(i, -1, 0), "median"),
])
def test_bad_arguments_are_value_errors_naming_the_operation(call, text):
    _, img = random_image((8, 8), seed=17)
    with pytest.raises(ValueError, match=text):
        call(img)
