# The library's failures as Python exceptions.
import numpy as np
import pytest

import lumerix as lx
from conftest import cpu_only


def image(shape=(4, 5)):
    return lx.Image(np.ones(shape, np.float32))


@pytest.mark.parametrize("call, error", [
    (lambda: image() + image((5, 4)), ValueError),         # "Image sizes do not match"
    (lambda: lx.merge3(image(), image(), image((2, 2))), ValueError),
    (lambda: lx.slice(image(), float("nan"), 0, 2, 2), ValueError),    # std::invalid_argument
    (lambda: lx.gauss(image(), 0.0), ValueError),
    (lambda: lx.fft(image((2, 2, 2))), ValueError),
    (lambda: image()._crop(0, 9, 0, 1), IndexError),       # std::out_of_range
    (lambda: lx.resize(image(), (70000, 70000)), OverflowError),  # std::overflow_error
    (lambda: lx.convolve(image(), np.ones((2, 3))), ValueError),  # even side: refused before
    (lambda: lx.convolve(image(), np.ones((17, 15))), ValueError),  # 255 taps: refused before
    (lambda: lx.convolve(image(), np.ones(3)), ValueError),
    (lambda: image()[::2, :], ValueError),
    (lambda: image()[1], IndexError),
    (lambda: lx.split3(image()), ValueError),
    (lambda: bool(image()), ValueError),
    (lambda: np.ones((4, 5)) + image(), TypeError),       # NumPy does not pull the image over
])
def test_each_failure_raises_its_python_exception(call, error):
    with pytest.raises(error):
        call()


def test_lumerix_errors_are_runtime_errors():
    assert issubclass(lx.LumerixError, RuntimeError)
    assert issubclass(lx.FatalError, lx.LumerixError)


def test_taps_at_the_limit_are_accepted():
    out = lx.convolve(image((20, 20)), np.full((15, 15), 1 / 225.0))
    np.testing.assert_allclose(out.numpy(), 1.0, rtol=1e-5)


@cpu_only
def test_exhausted_device_memory_is_a_memory_error():
    t = lx._lumerix._testing
    saved = t.device_capacity()
    t.set_device_capacity(4096)  # less than one image, whatever the manager gives back
    try:
        with pytest.raises(MemoryError, match="Out of memory"):
            image((100, 100)) + 1
    finally:
        t.set_device_capacity(saved)


@cpu_only
def test_a_failed_launch_raises_fatal_error_and_the_module_goes_on():
    a = image()
    lx._lumerix._testing.fail_next_launch()
    try:
        with pytest.raises(lx.FatalError, match="(?s)LUMERIX error: .*Function: cudaGetLastError"):
            a + a
    finally:
        lx._lumerix._testing.clear_faults()
    np.testing.assert_array_equal((a + a).numpy(), np.full((4, 5), 2.0))
    assert lx.statistics()["locked"]["pages"] == 0
