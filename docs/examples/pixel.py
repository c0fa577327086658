"""Pixel-wise operations: arithmetic, comparisons as 0/1 masks, 8-bit data, channels."""
import numpy as np

import lumerix as lx

rng = np.random.default_rng(1)
a = rng.uniform(0, 255, (48, 64)).astype(np.float32)
b = rng.uniform(1, 2, (48, 64)).astype(np.float32)
ia, ib = lx.Image(a), lx.Image(b)

ratio = ia / ib                              # image by image, same extents required
mask = lx.greater(ia, 128.0)                 # 1.0 where it holds, 0.0 elsewhere
root = lx.sqrt(lx.fmax(ia - 100.0, 0.0))     # image and scalar mix freely
assert np.array_equal(ratio.numpy(), a / b)
assert np.array_equal(mask.numpy(), (a > 128).astype(np.float32))
assert np.array_equal(root.numpy(), np.sqrt(np.fmax(a - np.float32(100), np.float32(0))))

narrow = lx.from_uint8(a.astype(np.uint8))   # 8-bit data in, float pixels
doubled = np.minimum(a.astype(np.uint8).astype(np.int32) * 2, 255)  # saturates at 255
assert np.array_equal((narrow * 2.0).to_uint8(), doubled)

rgb = lx.merge3(ia, ib, mask)                # (H, W, 3), channels interleaved
assert rgb.shape == (48, 64, 3)
try:
    ia + lx.Image(np.zeros((4, 4), np.float32))
except ValueError as error:                  # sizes must match
    print("refused:", error)
else:
    raise AssertionError("images of different sizes were added")
