"""Reductions: one number per image, and the 256-bin histogram."""
import numpy as np

import lumerix as lx

rng = np.random.default_rng(2)
a = rng.integers(0, 300, (37, 53)).astype(np.float32)  # sizes that are not multiples of anything
img = lx.Image(a)

assert lx.sum(img) == float(a.sum(dtype=np.float64))   # small integers: exact in float
assert img.min() == a.min() and img.max() == a.max()
assert abs(lx.mean(img) - a.mean()) <= 1e-4 * abs(a.mean())
assert abs(lx.var(img) - a.var()) <= 1e-4 * a.var()     # divides by the pixel count

bins = lx.histogram256(img)                             # saturating 8-bit values
want = np.bincount(np.minimum(a, 255).astype(np.int64).ravel(), minlength=256)
assert np.array_equal(bins, want)
print("pixels of 255 and above:", bins[255])
