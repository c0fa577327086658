"""Images: NumPy in, operations on the device, NumPy out."""
import numpy as np

import lumerix as lx

array = np.arange(12, dtype=np.float32).reshape(3, 4)  # 3 rows of 4 pixels
img = lx.Image(array)                                   # one copy to the device
assert img.shape == (3, 4) and img.extents == (4, 3, 1, 1)  # NumPy order, library order

doubled = img * 2.0               # computed on the device; nothing comes back yet
back = doubled.numpy()            # one copy back, a new float32 array
assert back.dtype == np.float32 and np.array_equal(back, array * 2)
print(lx.backend, back[2, 3])
print(lx.report())                # the memory manager's pages and counters
