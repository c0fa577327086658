"""A filter pipeline on a picture made in code: smoothing, edges, threshold, clean-up."""
import numpy as np

import lumerix as lx


def picture(h=360, w=480, seed=1):
    """A sky gradient, a sun, two hills and sensor noise."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    sky = 200 - 80 * y / h
    sun = 255 * ((x - 0.75 * w) ** 2 + (y - 0.25 * h) ** 2 < (0.08 * h) ** 2)
    hills = (y > 0.6 * h + 40 * np.sin(x / 60)) | (y > 0.7 * h + 25 * np.cos(x / 35))
    scene = np.where(hills, 70 + 10 * np.sin(x / 7), np.maximum(sky, sun))
    return scene + np.random.default_rng(seed).normal(0, 6, (h, w))


img = lx.Image(picture())
smooth = lx.gauss(img, 1.5)
gx, gy = lx.gaussx(smooth, 1.0), lx.gaussy(smooth, 1.0)
edges = lx.sqrt(gx * gx + gy * gy)
mask = edges > lx.mean(edges) + 0.5 * lx.var(edges) ** 0.5
cleaned = lx.dilation(lx.erosion(mask, 1, 1), 1, 1)   # an opening drops isolated pixels
sharpened = img + 0.5 * (img - smooth)
laplace = lx.convolve(smooth, [[0, 1, 0], [1, -4, 1], [0, 1, 0]])

print("edge pixels: %d of %d (%d after the opening)"
      % (lx.sum(mask), img.size, lx.sum(cleaned)))
print("sharpened range %.1f .. %.1f, laplacian energy %.1f"
      % (lx.min(sharpened), lx.max(sharpened), lx.mean(laplace * laplace)))
assert 0 < lx.sum(cleaned) <= lx.sum(mask) < img.size
