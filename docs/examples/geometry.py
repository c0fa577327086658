"""Geometry: shift, crop, canvas and scaling, with shapes rows first and offsets x first."""
import numpy as np

import lumerix as lx

a = np.arange(6 * 8, dtype=np.float32).reshape(6, 8)
img = lx.Image(a)

shifted = lx.shift(img, 2, 1)            # result (x, y) = pixel (x + 2, y + 1), wrapped
assert np.array_equal(shifted.numpy(), np.roll(a, (-1, -2), axis=(0, 1)))

crop = img[1:4, 2:7]                     # rows 1..3, columns 2..6
assert np.array_equal(crop.numpy(), a[1:4, 2:7])

canvas = lx.resize(img, (10, 12), 3, 2)  # pixel (0, 0) lands at x = 3, y = 2; the rest is 0
want = np.zeros((10, 12), np.float32)
want[2:8, 3:11] = a
assert np.array_equal(canvas.numpy(), want)

half = lx.scale(img, (3, 4), "area")     # (height, width): means of 2 x 2 blocks
assert np.allclose(half.numpy(), a.reshape(3, 2, 4, 2).mean(axis=(1, 3)))

assert img[4:9, 6:20].shape == (2, 2)    # slices are clipped to the image, as NumPy's are

try:
    lx.scale(img, (0, 4))                # a result of no pixels is refused
except ValueError as error:
    print("refused:", error)
else:
    raise AssertionError("a scale to 0 rows was accepted")
