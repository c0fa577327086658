# Zero-copy views through DLPack: the consumer sees the image's own pixels, the image stays
# locked (neither freed nor spilled) while a view lives, and is let go when the last one goes.
import gc

import numpy as np
import pytest

import lumerix as lx
from conftest import cpu_only, host_views


def locked_pages():
    return lx.statistics()["locked"]["pages"]


@host_views
def test_numpy_sees_the_pixels_without_a_copy():
    a = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    img = lx.Image(a) * 2
    before = locked_pages()
    view = np.from_dlpack(img)
    assert view.shape == (2, 3, 4) and view.dtype == np.float32
    np.testing.assert_array_equal(view, a * 2)
    assert locked_pages() == before + 1
    second = np.from_dlpack(img)
    assert second.ctypes.data == view.ctypes.data  # the same memory: no copy
    del view, second
    gc.collect()
    assert locked_pages() == before


def test_the_device_is_the_backends():
    img = lx.Image(np.zeros(3))
    assert img.__dlpack_device__() == ((1, 0) if lx.backend == "cpu" else img.__dlpack_device__())
    if lx.backend == "cuda":
        assert img.__dlpack_device__()[0] == 2


@host_views
def test_a_view_keeps_the_image_alive_after_its_name_goes():
    img = lx.Image(np.full((5, 5), 3.0, np.float32))
    view = np.from_dlpack(img)
    del img
    gc.collect()
    for _ in range(20):  # new images reuse released memory; the view's must not be reused
        lx.Image(np.zeros((5, 5), np.float32)) + 1
    np.testing.assert_array_equal(view, 3.0)


@cpu_only
def test_a_viewed_image_is_not_spilled_when_memory_runs_short():
    t = lx._lumerix._testing
    img = lx.Image(np.full((64, 64), 7.0, np.float32)) + 0
    view = np.from_dlpack(img)
    saved = t.device_capacity()
    t.set_device_capacity(t.device_bytes_in_use() + 64 * 64 * 4)
    try:
        others = [lx.Image(np.ones((64, 64), np.float32)) + i for i in range(4)]  # spill others
        assert lx.statistics()["pages_spilled"] > 0
    finally:
        t.set_device_capacity(saved)
    np.testing.assert_array_equal(view, 7.0)
    np.testing.assert_array_equal(others[-1].numpy(), 4.0)


@host_views
def test_operations_on_a_viewed_image_leave_the_view_intact():
    img = lx.Image(np.arange(6, dtype=np.float32))
    view = np.from_dlpack(img)
    np.testing.assert_array_equal((img + img).numpy(), 2 * np.arange(6))
    np.testing.assert_array_equal(img.numpy(), np.arange(6))
    np.testing.assert_array_equal(pickle_round_trip(img), np.arange(6))
    np.testing.assert_array_equal(view, np.arange(6))


def pickle_round_trip(img):
    import pickle
    return pickle.loads(pickle.dumps(img)).numpy()


def test_an_unconsumed_capsule_releases_the_image():
    img = lx.Image(np.ones(4))
    before = locked_pages()
    capsule = img.__dlpack__()
    assert locked_pages() == before + 1
    del capsule
    gc.collect()
    assert locked_pages() == before


@host_views
def test_from_dlpack_copies_once_into_a_new_image():
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    img = lx.from_dlpack(a)
    a[:] = -1
    assert img.shape == (3, 4)
    np.testing.assert_array_equal(img.numpy(), np.arange(12).reshape(3, 4))
    back = lx.from_dlpack(lx.Image(np.ones((2, 2))) * 5)
    np.testing.assert_array_equal(back.numpy(), 5.0)
    with pytest.raises(TypeError):
        lx.from_dlpack([1, 2, 3])
