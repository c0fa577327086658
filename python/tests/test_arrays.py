# NumPy in and out: every dtype and 1-D to 4-D shapes, the 8- and 16-bit conversions, pickling.
import multiprocessing
import pickle

import numpy as np
import pytest

import lumerix as lx

ROUND_TRIP_SHAPES = [(7,), (1,), (0,), (5, 3), (1, 6), (0, 4), (2, 3, 4), (3, 1, 2, 5)]
DTYPES = [np.float32, np.float64, np.float16, np.int8, np.uint8, np.int16, np.uint16, np.int32,
          np.uint32, np.int64, np.bool_]


@pytest.mark.parametrize("shape", ROUND_TRIP_SHAPES)
@pytest.mark.parametrize("dtype", DTYPES)
def test_any_dtype_and_shape_comes_back_as_float32(shape, dtype):
    a = (np.arange(int(np.prod(shape))) % 7).reshape(shape).astype(dtype)
    img = lx.Image(a)
    assert img.shape == shape and img.ndim == len(shape) and img.size == a.size
    assert img.dtype == np.float32
    for out in (img.numpy(), np.asarray(img)):
        assert out.dtype == np.float32 and out.shape == shape
        np.testing.assert_array_equal(out, a.astype(np.float32))


def test_shapes_map_to_extents_x_first():
    assert lx.Image(np.zeros((3, 5))).extents == (5, 3, 1, 1)
    assert lx.Image(np.zeros((2, 3, 4, 5))).extents == (5, 4, 3, 2)


def test_non_contiguous_and_list_inputs_are_copied_in_order():
    a = np.arange(48, dtype=np.float32).reshape(6, 8)
    np.testing.assert_array_equal(lx.Image(a[::2, 1::3]).numpy(), a[::2, 1::3])
    np.testing.assert_array_equal(lx.Image(a.T).numpy(), a.T)
    np.testing.assert_array_equal(lx.Image([[1, 2], [3, 4]]).numpy(), [[1, 2], [3, 4]])


def test_the_image_owns_its_pixels():
    a = np.ones((4, 4), np.float32)
    img = lx.Image(a)
    a[:] = 5
    out = img.numpy()
    out[:] = 7
    np.testing.assert_array_equal(img.numpy(), np.ones((4, 4)))


@pytest.mark.parametrize("bad", [np.float32(3), np.zeros((1, 1, 1, 1, 1)), np.zeros(3, complex)])
def test_refused_inputs(bad):
    with pytest.raises((ValueError, TypeError)):
        lx.Image(bad)


def test_narrow_conversions_saturate_and_truncate_as_the_library():
    values = np.array([[-5.0, 0.0, 0.9, 1.5, 254.99, 255.0, 300.0, np.nan],
                       [65534.7, 65535.0, 70000.0, 2.0, 3.7, -0.5, 100.2, 42.0]], np.float32)
    img = lx.Image(values)
    clean = np.nan_to_num(values, nan=0.0)
    np.testing.assert_array_equal(img.to_uint8(), np.trunc(np.clip(clean, 0, 255)).astype(np.uint8))
    np.testing.assert_array_equal(img.to_uint16(),
                                  np.trunc(np.clip(clean, 0, 65535)).astype(np.uint16))
    u8 = np.arange(256, dtype=np.uint8).reshape(16, 16)
    u16 = (np.arange(300, dtype=np.uint16) * 211).reshape(3, 100)
    np.testing.assert_array_equal(lx.from_uint8(u8).numpy(), u8.astype(np.float32))
    np.testing.assert_array_equal(lx.from_uint16(u16).numpy(), u16.astype(np.float32))
    assert lx.from_uint8(u8).shape == (16, 16)
    with pytest.raises(TypeError):
        lx.from_uint8(u16)


def test_pickling_keeps_pixels_and_shape():
    a = np.random.default_rng(1).normal(size=(3, 5, 2)).astype(np.float32)
    back = pickle.loads(pickle.dumps(lx.Image(a)))
    assert back.shape == a.shape
    np.testing.assert_array_equal(back.numpy(), a)


def _doubled_sum(img):
    return lx.sum(img + img)


def test_images_travel_to_worker_processes():
    a = np.arange(20, dtype=np.float32).reshape(4, 5)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        sums = pool.map(_doubled_sum, [lx.Image(a), lx.Image(a * 2)])
    assert sums == [2 * a.sum(), 4 * a.sum()]
