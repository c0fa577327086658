# Every operation against NumPy or SciPy: exact where values are moved, selected or rounded
# once, a stated tolerance for sums, filters and transforms.
import operator

import numpy as np
import pytest
from scipy import ndimage

import lumerix as lx
from conftest import SHAPES, random_image


def f32(x):
    return np.float32(x)


BINARY = [
    ("add", operator.add, np.add),
    ("subtract", operator.sub, np.subtract),
    ("multiply", operator.mul, np.multiply),
    ("divide", operator.truediv, np.divide),
    ("greater", operator.gt, lambda a, b: (a > b).astype(np.float32)),
    ("greater_equal", operator.ge, lambda a, b: (a >= b).astype(np.float32)),
    ("less", operator.lt, lambda a, b: (a < b).astype(np.float32)),
    ("less_equal", operator.le, lambda a, b: (a <= b).astype(np.float32)),
    ("equal", operator.eq, lambda a, b: (a == b).astype(np.float32)),
    ("not_equal", operator.ne, lambda a, b: (a != b).astype(np.float32)),
    ("bitwise_and", operator.and_, lambda a, b: np.bitwise_and(np.int32(a), np.int32(b))),
    ("bitwise_or", operator.or_, lambda a, b: np.bitwise_or(np.int32(a), np.int32(b))),
    ("bitwise_xor", operator.xor, lambda a, b: np.bitwise_xor(np.int32(a), np.int32(b))),
    ("logical_and", None, lambda a, b: ((a != 0) & (b != 0)).astype(np.float32)),
    ("logical_or", None, lambda a, b: ((a != 0) | (b != 0)).astype(np.float32)),
    ("fmin", None, np.fmin),
    ("fmax", None, np.fmax),
]


def operands(shape, seed):
    # Small integers make ties for the comparisons and exact values for the bitwise forms.
    rng = np.random.default_rng(seed)
    a = rng.integers(-4, 5, shape).astype(np.float32)
    b = rng.integers(-4, 5, shape).astype(np.float32)
    b[b == 0] = 3  # no division by zero
    return a, b


@pytest.mark.parametrize("name, op, ref", BINARY, ids=[b[0] for b in BINARY])
@pytest.mark.parametrize("shape", SHAPES)
def test_binary_forms_match_numpy_bit_for_bit(name, op, ref, shape):
    a, b = operands(shape, 1)
    ia, ib = lx.Image(a), lx.Image(b)
    s = f32(2.0)
    want = {
        "image-image": np.asarray(ref(a, b), np.float32),
        "image-scalar": np.asarray(ref(a, np.full_like(a, s)), np.float32),
        "scalar-image": np.asarray(ref(np.full_like(b, s), b), np.float32),
    }
    fn = getattr(lx, name, None)
    if fn is not None:
        got = {"image-image": fn(ia, ib), "image-scalar": fn(ia, 2.0), "scalar-image": fn(2.0, ib)}
    else:
        got = {}
    if op is not None:
        got.update({"image-image": op(ia, ib), "image-scalar": op(ia, 2.0),
                    "scalar-image": op(2.0, ib)})
    assert got
    for form, image in got.items():
        np.testing.assert_array_equal(image.numpy(), want[form], err_msg=form)


def test_operators_take_nan_and_signed_zero_as_numpy():
    a = np.array([np.nan, 0.0, -0.0, 1.0, -np.inf], np.float32)
    img = lx.Image(a)
    for got, want in [(img != img, a != a), (img == img, a == a), (-img, -a), (abs(img), np.abs(a))]:
        got, want = got.numpy(), np.asarray(want, np.float32)
        np.testing.assert_array_equal(got, want)
        number = ~np.isnan(want)  # a NaN's sign is not a value
        np.testing.assert_array_equal(np.signbit(got[number]), np.signbit(want[number]))


@pytest.mark.parametrize("name, ref, exact", [
    ("sqrt", np.sqrt, True), ("abs", np.abs, True), ("log", np.log, False),
    ("logical_not", lambda a: (a == 0).astype(np.float32), True),
])
@pytest.mark.parametrize("shape", SHAPES)
def test_unary_operations(name, ref, exact, shape):
    a, _ = random_image(shape, 0.0, 100.0, seed=2)
    a[0, 0] = 0.0
    img = lx.Image(a)
    got = getattr(lx, name)(img).numpy()
    with np.errstate(divide="ignore"):
        want = ref(a)
    if exact:
        np.testing.assert_array_equal(got, want)
    else:  # logf may differ from NumPy's by an ulp
        np.testing.assert_allclose(got, want, rtol=2e-7)


@pytest.mark.parametrize("shape", SHAPES + [(300, 257)])
def test_reductions_against_double_precision(shape):
    a, img = random_image(shape, -3.0, 5.0, seed=3)
    a64 = a.astype(np.float64)
    for name, want in [("sum", a64.sum()), ("mean", a64.mean()), ("var", a64.var()),
                       ("min", a64.min()), ("max", a64.max())]:
        for got in (getattr(lx, name)(img), getattr(img, name)()):
            assert isinstance(got, float)
            assert got == pytest.approx(want, rel=1e-4, abs=1e-4 * a.size), name


def test_histogram_counts_saturated_truncated_values():
    a = np.random.default_rng(4).uniform(-20, 280, (61, 47)).astype(np.float32)
    a[0, :5] = np.nan
    bins = lx.histogram256(lx.Image(a))
    assert bins.dtype == np.uint32 and bins.shape == (256,)
    clean = np.trunc(np.clip(np.nan_to_num(a, nan=0.0), 0, 255)).astype(np.int64)
    np.testing.assert_array_equal(bins, np.bincount(clean.ravel(), minlength=256))


CROSS = ndimage.generate_binary_structure(2, 1)
SQUARE = np.ones((3, 3), bool)


@pytest.mark.parametrize("fn, ref", [(lx.erosion, ndimage.grey_erosion),
                                     (lx.dilation, ndimage.grey_dilation)])
@pytest.mark.parametrize("iterations, shape", [(1, 1), (2, 2), (3, 3), (0, 1)])
@pytest.mark.parametrize("size", SHAPES)
def test_morphology_matches_scipy_with_mirrored_borders(fn, ref, iterations, shape, size):
    a, img = random_image(size, seed=5)
    want = a
    for i in range(iterations):
        footprint = CROSS if shape == 1 or (shape not in (1, 2) and i % 2 == 0) else SQUARE
        want = ref(want, footprint=footprint, mode="reflect")
    np.testing.assert_array_equal(fn(img, iterations, shape).numpy(), want)


@pytest.mark.parametrize("taps_shape", [(1, 1), (3, 3), (1, 5), (5, 1), (7, 3), (15, 15)])
@pytest.mark.parametrize("size", SHAPES)
def test_convolve_is_scipy_correlate_with_reflected_borders(taps_shape, size):
    a, img = random_image(size, seed=6)
    taps = np.random.default_rng(7).uniform(-1, 1, taps_shape).astype(np.float32)
    want = ndimage.correlate(a.astype(np.float64), taps.astype(np.float64), mode="reflect")
    got = lx.convolve(img, taps).numpy()
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-4 * np.abs(taps).sum() * 10)


def gauss_taps(sigma, derivative=None):
    r = min(max(int(2 * sigma), 1), 7)
    j, i = np.mgrid[-r:r + 1, -r:r + 1].astype(np.float64)
    w = np.exp(-(i * i + j * j) / (2 * sigma * sigma))
    if derivative == "x":
        w = -(i / sigma ** 2) * w
    elif derivative == "y":
        w = -(j / sigma ** 2) * w
    return w / np.abs(w).sum()


@pytest.mark.parametrize("sigma", [0.7, 1.0, 2.5, 5.0])
@pytest.mark.parametrize("fn, derivative", [(lx.gauss, None), (lx.gaussx, "x"), (lx.gaussy, "y")])
def test_gaussian_filters_against_their_taps(sigma, fn, derivative):
    a, img = random_image((37, 29), seed=8)
    want = ndimage.correlate(a.astype(np.float64), gauss_taps(sigma, derivative), mode="reflect")
    np.testing.assert_allclose(fn(img, sigma).numpy(), want, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("size", SHAPES)
def test_geometry_that_moves_pixels_is_exact(size):
    a, img = random_image(size, seed=9)
    h, w = size
    for dx, dy in [(0, 0), (1, 0), (0, 2), (-3, 5), (w + 1, -h - 2)]:
        np.testing.assert_array_equal(lx.shift(img, dx, dy).numpy(),
                                      np.roll(a, (-dy, -dx), axis=(0, 1)))
    y0, x0 = h // 3, w // 4
    np.testing.assert_array_equal(img[y0:, x0:].numpy(), a[y0:, x0:])
    np.testing.assert_array_equal(img[:, :].numpy(), a)
    np.testing.assert_array_equal(lx.slice(img, x0, y0, 2, 3).numpy(),
                                  np.tile(a, (4, 3))[y0:y0 + 3, x0:x0 + 2])
    yy, xx = np.indices(size, dtype=np.float32)
    np.testing.assert_array_equal(lx.xx(img).numpy(), xx)
    np.testing.assert_array_equal(lx.yy(img).numpy(), yy)
    np.testing.assert_array_equal(lx.affine(img, (1, 0, 0, 0, 1, 0)).numpy(), a)
    canvas = np.zeros((h + 3, w + 2), np.float32)
    canvas[2:2 + h, 1:1 + w] = a
    np.testing.assert_array_equal(lx.resize(img, (h + 3, w + 2), 1, 2).numpy(), canvas)


def test_slice_samples_bilinearly_between_pixels():
    a, img = random_image((6, 8), seed=10)
    got = lx.slice(img, 1.25, 2.5, 3, 2).numpy()
    j, i = np.mgrid[0:2, 0:3]
    x, y = i + 1.25, j + 2.5
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = x - x0, y - y0
    want = ((1 - fx) * (1 - fy) * a[y0, x0] + fx * (1 - fy) * a[y0, x0 + 1]
            + (1 - fx) * fy * a[y0 + 1, x0] + fx * fy * a[y0 + 1, x0 + 1])
    np.testing.assert_allclose(got, want, rtol=1e-5)


def test_affine_translates_by_whole_pixels_inside():
    a, img = random_image((9, 10), seed=11)
    got = lx.affine(img, [1, 0, 2, 0, 1, 1]).numpy()
    np.testing.assert_array_equal(got[:-1, :-2], a[1:, 2:])


@pytest.mark.parametrize("size", SHAPES + [(64, 48)])
def test_fft_and_ifft_against_numpy(size):
    a, img = random_image(size, seed=12)
    re, im = lx.fft(img)
    want = np.fft.fft2(a.astype(np.float64))
    scale = np.abs(a).sum()
    np.testing.assert_allclose(re.numpy(), want.real, atol=1e-5 * scale)
    np.testing.assert_allclose(im.numpy(), want.imag, atol=1e-5 * scale)
    back = lx.ifft(re, im).numpy()
    np.testing.assert_allclose(back, a * a.size, atol=1e-4 * scale)


@pytest.mark.parametrize("size", SHAPES + [(50, 70)])
def test_labels_number_4_connected_components_in_raster_order(size):
    a = (np.random.default_rng(13).uniform(size=size) > 0.55).astype(np.float32)
    want, count = ndimage.label(a)  # 4-connectivity, numbered in raster order of first pixels
    got = lx.label(lx.Image(a)).numpy()
    np.testing.assert_array_equal(got, want.astype(np.float32))
    assert lx.max(lx.label(lx.Image(a))) == count or count == 0


@pytest.mark.parametrize("shape", [(5,), (4, 6), (2, 3, 5)])
def test_merge3_and_split3_are_numpy_stack_and_its_inverse(shape):
    rng = np.random.default_rng(14)
    c = [rng.normal(size=shape).astype(np.float32) for _ in range(3)]
    merged = lx.merge3(*(lx.Image(x) for x in c))
    assert merged.shape == shape + (3,)
    np.testing.assert_array_equal(merged.numpy(), np.stack(c, axis=-1))
    parts = lx.split3(lx.Image(np.stack(c, axis=-1)))
    for got, want in zip(parts, c):
        assert got.shape == shape
        np.testing.assert_array_equal(got.numpy(), want)
    # A split channel combines with an image made from an array of its shape.
    np.testing.assert_array_equal((parts[0] + lx.Image(c[1])).numpy(), c[0] + c[1])


def test_results_combine_with_images_of_their_shape():
    a, img = random_image((8, 8), seed=15)
    merged = lx.merge3(img, img, img)
    np.testing.assert_array_equal((merged + lx.Image(np.stack([a] * 3, -1))).numpy(),
                                  np.stack([a + a] * 3, -1))


def test_statistics_and_report_describe_the_manager():
    img = lx.Image(np.ones((64, 64), np.float32))
    lx.sum(img + img)
    figures = lx.statistics()
    assert figures["pages"] >= 1 and figures["locks"] >= 1
    assert set(figures["cached"]) == {"pages", "device_memory", "managed_host_memory",
                                      "unmanaged_host_memory"}
    assert lx.report().startswith("Managing %d pages" % figures["pages"])
