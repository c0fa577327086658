"""Lumerix: image processing on NVIDIA GPUs (or every CPU core), with NumPy in and out.

Shapes are in NumPy order, rows first: an array of shape ``(H, W)`` is an image ``W`` pixels
wide.  Positions, offsets and radii are in the library's order, x first.  Every operation
returns a new :class:`Image`; its pixels are 32-bit floats and stay on the device until they are
read with :meth:`Image.numpy`, ``np.asarray(img)`` or a DLPack view.

Errors: ``ValueError`` (bad arguments, images of different sizes), ``IndexError`` (windows
outside the image), ``OverflowError``, ``MemoryError`` (device memory exhausted) and
:class:`LumerixError` for the library's own states.  A failed device call raises
:class:`FatalError` where the process can go on, instead of ending it.
"""

import builtins as _builtins

import numpy as _np

from . import _lumerix
from ._lumerix import (FatalError, Image, LumerixError, abs, add, bitwise_and, bitwise_or,
                       bitwise_xor, dilation, divide, equal, erosion, fft, fmax, fmin, gauss,
                       gaussx, gaussy, greater, greater_equal, ifft, less, less_equal, log,
                       logical_and, logical_not, logical_or, max, mean, merge3, min, multiply,
                       report, slice, split3, sqrt, statistics, subtract, sum, var, xx, yy)

backend = _lumerix.backend

__all__ = [
    "Image", "LumerixError", "FatalError", "backend",
    "from_uint8", "from_uint16", "from_dlpack",
    "add", "subtract", "multiply", "divide", "greater", "greater_equal", "less", "less_equal",
    "equal", "bitwise_and", "bitwise_or", "bitwise_xor", "logical_and", "logical_or",
    "logical_not", "fmin", "fmax", "sqrt", "log", "abs",
    "merge3", "split3", "sum", "min", "max", "mean", "var", "histogram256",
    "erosion", "dilation", "convolve", "gauss", "gaussx", "gaussy",
    "correlate", "gaussian", "median",
    "shift", "slice", "xx", "yy", "affine", "resize", "scale", "fft", "ifft", "label",
    "regions", "statistics", "report",
]


def _as_float32(array):
    """A C-contiguous float32 copy of an array-like (used by ``Image(array)``)."""
    a = _np.asarray(array)
    if a.dtype.kind == "c":
        raise TypeError("lumerix: complex data has no float32 image; pass the real and "
                        "imaginary parts as two images")
    if a.ndim == 0:
        raise ValueError("lumerix: images have 1 to 4 dimensions, not 0")
    return _np.ascontiguousarray(a, dtype=_np.float32)


# ---- the image's NumPy side --------------------------------------------------------------------

def _numpy(self):
    """The pixels as a new float32 array of the image's shape (one copy)."""
    out = _np.empty(self.shape, _np.float32)
    self._copy_to(out)
    return out


def _array(self, dtype=None, copy=None):
    a = _numpy(self)
    return a if dtype is None else a.astype(dtype, copy=False)


def _to_narrow(self, dtype, method):
    out = _np.empty(self.shape, dtype)
    method(self, out)
    return out


def _to_uint8(self):
    """The pixels as uint8, saturating with the fraction truncated (the library's conversion)."""
    return _to_narrow(self, _np.uint8, Image._to_uint8)


def _to_uint16(self):
    """The pixels as uint16, saturating with the fraction truncated (the library's conversion)."""
    return _to_narrow(self, _np.uint16, Image._to_uint16)


def _bool(self):
    raise ValueError("The truth value of a lumerix.Image is ambiguous: use lumerix.max() or "
                     "lumerix.min() of it")


def _reduce(self):
    # Pickled by its pixels: an image travels to other processes as a float32 array.
    return (Image, (_numpy(self),))


def _getitem(self, key):
    """A crop by basic slicing: ``img[y0:y1, x0:x1]`` (steps other than 1 raise)."""
    if not isinstance(key, tuple):
        key = (key,)
    if self.ndim > 2 or len(key) > self.ndim:
        raise IndexError("lumerix: crops index 1-D and 2-D images with at most one slice per "
                         "axis, not %d for shape %s" % (len(key), self.shape))
    if not all(isinstance(k, _builtins.slice) for k in key):
        raise IndexError("lumerix: images are cropped with slices only")
    key = key + (_builtins.slice(None),) * (self.ndim - len(key))
    ranges = []
    for k, n in zip(key, self.shape):
        start, stop, step = k.indices(n)
        if step != 1:
            raise ValueError("lumerix: crops take steps of 1, not %d" % step)
        ranges.append((start, _builtins.max(start, stop)))
    if self.ndim == 1:
        (x0, x1), (y0, y1) = ranges[0], (0, 1)
    else:
        (y0, y1), (x0, x1) = ranges
    return self._crop(x0, x1, y0, y1)


Image.numpy = _numpy
Image.__array__ = _array
Image.__array_ufunc__ = None  # NumPy operands on the left defer to the image's operators
Image.to_uint8 = _to_uint8
Image.to_uint16 = _to_uint16
Image.__bool__ = _bool
Image.__reduce__ = _reduce
Image.__getitem__ = _getitem
Image.dtype = property(lambda self: _np.dtype(_np.float32), doc="Always float32.")
Image.__repr__ = lambda self: "lumerix.Image(shape=%s, dtype=float32)" % (self.shape,)
Image.__len__ = lambda self: self.shape[0]
Image.sum = lambda self: sum(self)
Image.min = lambda self: min(self)
Image.max = lambda self: max(self)
Image.mean = lambda self: mean(self)
Image.var = lambda self: var(self)


# ---- functions with NumPy arguments ------------------------------------------------------------

def from_uint8(array):
    """A new image from a uint8 array, through the library's 8-bit conversion."""
    return _lumerix._from_uint8(_narrow(array, _np.uint8))


def from_uint16(array):
    """A new image from a uint16 array, through the library's 16-bit conversion."""
    return _lumerix._from_uint16(_narrow(array, _np.uint16))


def _narrow(array, dtype):
    a = _np.asarray(array)
    if a.dtype != dtype:
        raise TypeError("lumerix: a %s array is needed, not %s" % (_np.dtype(dtype), a.dtype))
    return _np.ascontiguousarray(a)


def from_dlpack(x):
    """A new image from any DLPack producer on the library's device, in one copy."""
    if not hasattr(x, "__dlpack__"):
        raise TypeError("lumerix.from_dlpack: %s is no DLPack producer" % type(x).__name__)
    if backend == "cuda" and x.__dlpack_device__()[0] == 2:
        return _lumerix._from_device_capsule(x.__dlpack__())
    return Image(_np.from_dlpack(x))


def histogram256(image):
    """The 256-bin histogram of the pixels' saturating 8-bit values, as a uint32 array."""
    bins = _np.zeros(256, _np.uint32)
    _lumerix._histogram256(image, bins)
    return bins


def convolve(image, taps):
    """Correlation with a 2-D table of taps of odd sides ``(2 yradius + 1, 2 xradius + 1)``
    (not flipped), borders mirrored; at most 225 taps."""
    return _lumerix._convolve(image, _np.ascontiguousarray(taps, dtype=_np.float32))


# scipy.ndimage's mode names, in the order of the library's LumerixBorder.
_BORDERS = ("reflect", "nearest", "mirror", "constant", "wrap")


def _border(name, op):
    if name not in _BORDERS:
        raise ValueError("lumerix.%s: border must be one of %s, not %r"
                         % (op, ", ".join(_BORDERS), name))
    return _BORDERS.index(name)


def correlate(image, taps, border="reflect", cval=0.0):
    """Correlation with a 2-D table of taps of odd sides ``(2 yradius + 1, 2 xradius + 1)``
    (not flipped) and any radii, as ``scipy.ndimage.correlate(image, taps, mode=border,
    cval=cval)``.  With ``"reflect"`` and at most 225 taps it is :func:`convolve` to the bit."""
    return _lumerix._correlate(image, _np.ascontiguousarray(taps, dtype=_np.float32),
                               _border(border, "correlate"), float(cval))


def gaussian(image, sigma, border="reflect", truncate=4.0):
    """Gaussian smoothing as ``scipy.ndimage.gaussian_filter(image, sigma, mode=border,
    truncate=truncate)``: a row pass, then a column pass, radius ``int(truncate * sigma + 0.5)``
    without an upper limit; ``"constant"`` reads 0."""
    return _lumerix._gaussian(image, float(sigma), _border(border, "gaussian"), float(truncate))


def median(image, xradius, yradius, border="reflect"):
    """The median of the ``(2 yradius + 1, 2 xradius + 1)`` window around each pixel (at most
    225 pixels), as ``scipy.ndimage.median_filter`` with ``mode=border``; NaN sorts above +inf
    and ``"constant"`` reads 0."""
    return _lumerix._median(image, int(xradius), int(yradius), _border(border, "median"))


def shift(image, dx, dy):
    """Circular shift: result (x, y) is pixel (x + dx, y + dy), wrapped."""
    return image._shift(int(dx), int(dy))


def affine(image, coefficients, border=None, cval=0.0):
    """The image warped by (a, b, c, d, e, f): result (x, y) samples
    (a x + b y + c, d x + e y + f) bilinearly.  Without ``border`` the warp is the library's
    original one; with one of SciPy's mode names, positions outside the image read through that
    border (``"constant"`` reads ``cval``)."""
    a, b, c, d, e, f = (float(v) for v in coefficients)
    if border is None:
        return _lumerix._affine(image, a, b, c, d, e, f)
    return _lumerix._affine_border(image, a, b, c, d, e, f, _border(border, "affine"),
                                   float(cval))


def resize(image, shape, x=0, y=0):
    """A new canvas of the given shape (NumPy order) with pixel (0, 0) of the image at (x, y);
    the rest is 0.  No scaling."""
    shape = tuple(int(n) for n in (shape if isinstance(shape, (tuple, list)) else (shape,)))
    if not 1 <= len(shape) <= 4:
        raise ValueError("lumerix.resize: a shape of 1 to 4 dimensions, not %s" % (shape,))
    if any(n < 0 for n in shape):
        raise ValueError("lumerix.resize: negative extent in %s" % (shape,))
    return _lumerix._resize(image, list(shape), int(x), int(y))


# Interpolation names, in the order of the library's LumerixInterpolation.
_METHODS = ("nearest", "linear", "cubic", "area")


def scale(image, shape, method="linear"):
    """The image scaled to ``shape = (height, width)`` (NumPy order, as :func:`resize`), every
    plane alike, as ``cv2.resize`` with INTER_NEAREST_EXACT, INTER_LINEAR, INTER_CUBIC or
    INTER_AREA for ``method`` "nearest", "linear", "cubic" or "area"."""
    if method not in _METHODS:
        raise ValueError("lumerix.scale: method must be one of %s, not %r"
                         % (", ".join(_METHODS), method))
    height, width = (int(n) for n in shape)
    if height < 1 or width < 1:
        raise ValueError("lumerix.scale: a shape of at least (1, 1), not %s" % ((height, width),))
    return _lumerix._scale(image, height, width, _METHODS.index(method))


def label(image, connectivity=4):
    """Connected components of the non-zero pixels, numbered 1, 2, ... in the order their first
    pixels come row by row; 0 stays background.  ``connectivity`` 4 joins edge neighbours, 8
    joins diagonal ones too."""
    return _lumerix._label(image, int(connectivity))


def regions(labels, values):
    """Statistics of each labelled component (label 0 is background), in label order: a list of
    dicts with scikit-image's regionprops names ``label``, ``area``, ``bbox`` (min_row, min_col,
    max_row, max_col; ends exclusive), ``centroid`` (row, col), ``intensity_min``,
    ``intensity_max`` and ``intensity_mean`` (summed in double).  Labels must be whole numbers
    in [0, 16777216]; the first plane is counted."""
    return _lumerix._regions(labels, values)
