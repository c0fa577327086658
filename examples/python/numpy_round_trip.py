"""NumPy in, NumPy out: arrays become images in one copy and come back as float32 arrays."""
import numpy as np

import lumerix as lx

photo = np.random.default_rng(0).integers(0, 256, size=(480, 640), dtype=np.uint8)

img = lx.from_uint8(photo)                  # through the library's 8-bit conversion
print("image", img.shape, img.dtype, "extents (x first):", img.extents)

brighter = lx.fmin(img * 1.5 + 10, 255.0)   # stays on the device
back = brighter.to_uint8()                  # one copy back, saturated and truncated
expected = np.minimum(photo.astype(np.float32) * 1.5 + 10, 255).astype(np.uint8)
assert np.array_equal(back, expected)

as_float = np.asarray(brighter)             # a new float32 array
if lx.backend == "cpu":                     # (on the GPU: cupy.from_dlpack, torch.from_dlpack)
    view = np.from_dlpack(brighter)         # no copy: the image stays locked while it lives
    assert np.array_equal(as_float, view)
print("mean brightness %.2f -> %.2f" % (photo.mean(), lx.mean(brighter)))
