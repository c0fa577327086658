"""Labelling and counting: number the blobs of a thresholded image and measure them."""
import numpy as np

import lumerix as lx

rng = np.random.default_rng(7)
h, w = 300, 400
y, x = np.mgrid[0:h, 0:w]
cells = np.zeros((h, w), np.float32)
for cy, cx, r in zip(rng.uniform(20, h - 20, 40), rng.uniform(20, w - 20, 40),
                     rng.uniform(4, 12, 40)):
    cells += 100 * ((y - cy) ** 2 + (x - cx) ** 2 < r * r)

img = lx.gauss(lx.Image(cells + rng.normal(0, 10, (h, w))), 1.0)
labels = lx.label(img > 50)
count = int(lx.max(labels))
areas = np.bincount(labels.numpy().astype(np.int64).ravel())[1:]
print("%d blobs (40 drawn, some touch); areas from %d to %d pixels"
      % (count, areas.min(), areas.max()))
print("largest blob is number %d" % (1 + int(np.argmax(areas))))
assert 1 <= count <= 40 and areas.sum() == lx.sum(img > 50)
