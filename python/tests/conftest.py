import numpy as np
import pytest

import lumerix as lx

# Plane shapes (rows, columns) of the library's own tests: one pixel, one row, one column, sizes
# that are not multiples of the launch blocks.
SHAPES = [(1, 1), (1, 9), (9, 1), (12, 16), (13, 17), (40, 3)]


def random_image(shape, lo=-10.0, hi=10.0, seed=0):
    a = np.random.default_rng(seed).uniform(lo, hi, shape).astype(np.float32)
    return a, lx.Image(a)


cpu_only = pytest.mark.skipif(lx.backend != "cpu", reason="uses the CPU backend's controls")


def _device_usable():
    try:
        lx.Image(np.zeros(1, np.float32))
        return True
    except lx.FatalError:  # the CUDA build on a machine without a usable GPU
        return False


NO_DEVICE = not _device_usable()
# NumPy reads host memory only: views of the CUDA build's images are CuPy's or PyTorch's.
host_views = pytest.mark.skipif(lx.backend != "cpu", reason="NumPy views need host memory")


def pytest_collection_modifyitems(config, items):
    if NO_DEVICE:
        skip = pytest.mark.skip(reason="no usable GPU for the CUDA build")
        for item in items:
            item.add_marker(skip)
