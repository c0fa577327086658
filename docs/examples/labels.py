"""Labelling and region statistics, numbered in raster order of each component's first pixel."""
import numpy as np
from scipy import ndimage

import lumerix as lx

mask = np.array([[1, 1, 0, 0, 1],
                 [0, 1, 0, 1, 0],
                 [0, 0, 0, 0, 0],
                 [1, 0, 1, 1, 1]], np.float32)
four = lx.label(lx.Image(mask))                  # edge neighbours only
eight = lx.label(lx.Image(mask), connectivity=8)  # corners join too
want4, n4 = ndimage.label(mask)
assert np.array_equal(four.numpy(), want4) and four.max() == n4 == 5
assert eight.max() == 4                          # (0, 4) and (1, 3) meet at a corner

values = lx.Image(np.arange(mask.size, dtype=np.float32).reshape(mask.shape))
first = lx.regions(four, values)[0]              # label 1: (0, 0), (0, 1), (1, 1)
assert first["label"] == 1 and first["area"] == 3
assert first["bbox"] == (0, 0, 2, 2)             # min_row, min_col, max_row, max_col (exclusive)
assert first["intensity_max"] == 6.0
print(first)
