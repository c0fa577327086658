"""Neighbourhood filters: the mirrored border of convolve, the chosen border of correlate."""
import numpy as np
from scipy import ndimage

import lumerix as lx

rng = np.random.default_rng(3)
a = rng.uniform(0, 1, (40, 30)).astype(np.float32)
img = lx.Image(a)
taps = np.array([[0, 1, 0], [1, -4, 1], [0, 1, 0]], np.float32)  # (2 yr + 1, 2 xr + 1)

laplace = lx.convolve(img, taps)  # taps not flipped; the edge pixel repeated beyond the image
want = ndimage.correlate(a.astype(np.float64), taps, mode="reflect")
assert np.allclose(laplace.numpy(), want, atol=1e-5)

wrapped = lx.correlate(img, taps, border="wrap")  # any radii, scipy.ndimage's mode names
assert np.allclose(wrapped.numpy(), ndimage.correlate(a.astype(np.float64), taps, mode="wrap"),
                   atol=1e-5)

clean = lx.median(img, 2, 1, border="nearest")    # 5 x 3 window: x radius first
assert np.array_equal(clean.numpy(), ndimage.median_filter(a, size=(3, 5), mode="nearest"))

opened = lx.dilation(lx.erosion(img, 1, 2), 1, 2)  # one pass of the 3 x 3 square each
assert np.array_equal(opened.numpy(), ndimage.grey_opening(a, size=(3, 3), mode="reflect"))
print("laplacian range:", laplace.min(), laplace.max())
