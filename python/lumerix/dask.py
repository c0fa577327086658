"""Lumerix over ``dask.array``: images larger than one device, chunk by chunk, on a cluster.

Every function takes a 2-D dask array (any chunking, any real dtype: chunks become float32
images as ``lumerix.Image`` makes them) and returns a lazy dask array; reductions return lazy
0-d arrays (``.compute()`` them).  Chunks travel between processes as NumPy arrays and the
functions run on them are module-level, so any scheduler works: threads, processes, or a
``distributed`` cluster (see :func:`cluster`).

What each family promises against the whole-image call of :mod:`lumerix`:

* pixel-wise operations and operators: chunk by chunk, the same bits;
* ``erosion``, ``dilation``, ``convolve``, ``gauss``, ``gaussx``, ``gaussy``: one
  ``map_overlap`` whose depth is exactly what the filter reads, with no padding at the outer
  edge, so the library mirrors its own border there: the same bits, whatever the chunking
  (chunks smaller than the depth are merged by dask first; the result keeps the input's chunks);
* ``label``: each chunk labelled, then one merge over the chunk seams that keeps the
  library's numbering (raster order of each component's first pixel): the same bits;
* ``regions``: each chunk's regions by the library, joined by a tree of partials: area, box,
  centroid, min and max exact, the mean within double rounding;
* ``min``, ``max``, ``histogram256``: exact; ``sum``, ``mean``, ``var``: a tree of partials
  (see their docstrings for the tolerance);
* ``shift``, ``crop``, ``resize``, ``xx``, ``yy``: dask's own array operations, the same bits;
* ``affine``: whole-plane (the plane is rechunked to one chunk), the same bits;
* ``fft``, ``ifft``: whole-plane, the same transform; the CPU backend measures its FFTW plans in
  each process, so a worker may round differently from the caller's process (float tolerance);
  ``slice``: per output chunk when its origin is whole pixels, otherwise whole-plane.
"""

import builtins as _builtins
import functools
import os
import shutil
import subprocess

import numpy as np

import dask
import dask.array as da

import lumerix as _lx

__all__ = [
    "add", "subtract", "multiply", "divide", "greater", "greater_equal", "less", "less_equal",
    "equal", "bitwise_and", "bitwise_or", "bitwise_xor", "logical_and", "logical_or",
    "logical_not", "fmin", "fmax", "sqrt", "log", "abs",
    "erosion", "dilation", "convolve", "gauss", "gaussx", "gaussy", "label", "regions",
    "correlate", "gaussian", "median",
    "sum", "min", "max", "mean", "var", "histogram256",
    "shift", "crop", "resize", "slice", "xx", "yy", "affine", "fft", "ifft",
    "cluster", "worker_environments",
]

_F32 = np.dtype(np.float32)
_MAX_COMPONENTS = 1 << 24  # the largest count whose every number a float holds exactly


def _image2d(x, operation):
    """The argument as a float32 2-D dask array."""
    if not isinstance(x, da.Array):
        x = da.asarray(x)
    if x.ndim != 2:
        raise ValueError("lumerix.dask.%s: 2-D images only, not shape %s" % (operation, x.shape))
    if x.dtype.kind == "c":
        raise TypeError("lumerix.dask.%s: complex data has no float32 image" % operation)
    return x.astype(np.float32) if x.dtype != _F32 else x


# ---- pixel-wise operations ---------------------------------------------------------------------

def _pixel_block(name, *args):
    """One chunk through the library's pixel-wise operation ``name``; scalars pass as they are."""
    args = [_lx.Image(a) if isinstance(a, np.ndarray) else a for a in args]
    return getattr(_lx, name)(*args).numpy()


def _pixelwise(name, *operands):
    arrays = [o for o in operands if isinstance(o, (da.Array, np.ndarray))]
    if not arrays:
        raise TypeError("lumerix.dask.%s: at least one operand must be an array" % name)
    shapes = {a.shape for a in arrays}
    if len(shapes) > 1:
        raise ValueError("lumerix.dask.%s: images of different shapes %s" % (name, sorted(shapes)))
    args = []
    for o in operands:
        if isinstance(o, (da.Array, np.ndarray)):
            o = da.asarray(o)
            args.append(o.astype(np.float32) if o.dtype != _F32 else o)
        else:
            args.append(float(o))
    return da.map_blocks(functools.partial(_pixel_block, name), *args, dtype=_F32,
                         name="lumerix-" + name)


def _binary(name):
    def op(a, b):
        return _pixelwise(name, a, b)
    op.__name__ = op.__qualname__ = name
    op.__doc__ = ("``lumerix.%s`` chunk by chunk (image and image of one shape, or image and "
                  "scalar either way round): the same bits as the whole-image call." % name)
    return op


def _unary(name):
    def op(image):
        return _pixelwise(name, image)
    op.__name__ = op.__qualname__ = name
    op.__doc__ = "``lumerix.%s`` chunk by chunk: the same bits as the whole-image call." % name
    return op


add, subtract, multiply, divide = (_binary(n) for n in ("add", "subtract", "multiply", "divide"))
greater, greater_equal, less, less_equal, equal = (
    _binary(n) for n in ("greater", "greater_equal", "less", "less_equal", "equal"))
bitwise_and, bitwise_or, bitwise_xor = (
    _binary(n) for n in ("bitwise_and", "bitwise_or", "bitwise_xor"))
logical_and, logical_or, fmin, fmax = (
    _binary(n) for n in ("logical_and", "logical_or", "fmin", "fmax"))
logical_not, sqrt, log, abs = (_unary(n) for n in ("logical_not", "sqrt", "log", "abs"))


# ---- neighbourhood filters ---------------------------------------------------------------------

def _filter_block(name, args, kwargs, block):
    return getattr(_lx, name)(_lx.Image(block), *args, **kwargs).numpy()


def _overlap(x, depth, func, boundary="none"):
    """``func`` over chunks grown by ``depth`` = (rows, columns) on every inner side.

    The outer edge gets no padding (``boundary="none"``): a chunk there ends where the image
    ends, so the library's mirrored border is the whole image's.  A pixel then reads only
    pixels of its grown chunk that hold the whole image's values, and the trim keeps exactly
    the pixels whose reads (all passes included, for iterated filters) stay inside the grown
    chunk.  dask merges chunks smaller than the depth first; the result is rechunked back.
    """
    dy, dx = (int(d) for d in depth)
    if dy < 0 or dx < 0:
        raise ValueError("lumerix.dask: negative filter depth %s" % (depth,))
    # A depth that reaches across a whole axis: that axis becomes one chunk, whose border is the
    # image's own, so it needs no overlap (dask cannot overlap by more than an axis holds).
    if dy >= x.shape[0] and x.numblocks[0] > 1:
        x = x.rechunk({0: -1})
    if dx >= x.shape[1] and x.numblocks[1] > 1:
        x = x.rechunk({1: -1})
    dy = 0 if x.numblocks[0] == 1 else dy
    dx = 0 if x.numblocks[1] == 1 else dx
    if dy == 0 and dx == 0:
        out = x.map_blocks(func, dtype=_F32)
    else:
        out = da.map_overlap(func, x, depth={0: dy, 1: dx}, boundary=boundary, trim=True,
                             dtype=_F32, allow_rechunk=True)
    return out.rechunk(x.chunks) if out.chunks != x.chunks else out


def _neighbourhood(name, depth):
    """A dask form of the library's filter ``name``, reading ``depth(*args, **kwargs)`` =
    (rows, columns) around each pixel.  Adding a filter is one line of this kind."""
    whole = getattr(_lx, name)

    def op(image, *args, **kwargs):
        x = _image2d(image, name)
        func = functools.partial(_filter_block, name, args, kwargs)
        return _overlap(x, depth(*args, **kwargs), func)

    op.__name__ = op.__qualname__ = name
    op.__doc__ = ("``lumerix.%s`` through ``map_overlap`` with exactly the depth it reads: the "
                  "same bits as the whole-image call, whatever the chunking.\n\n%s"
                  % (name, whole.__doc__ or ""))
    return op


def _passes(iterations=1, shape=1):
    n = _builtins.max(int(iterations), 0)  # each pass reads one pixel further
    return n, n


def gauss_radius(sigma):
    """The radius (1 to 7) of the Gaussian tables of ``sigma``, computed as the library does:
    t = 2 sigma in float32, raised to 1 when not above 1, lowered to 7 when not below 7,
    truncated."""
    t = np.float32(2.0) * np.float32(sigma)
    if not t > 1.0:
        t = np.float32(1.0)
    if not t < 7.0:
        t = np.float32(7.0)
    return int(t)


def _gauss_depth(sigma):
    r = gauss_radius(sigma)
    return r, r


def _taps_depth(taps):
    rows, cols = np.shape(taps)
    return rows // 2, cols // 2


erosion = _neighbourhood("erosion", _passes)
dilation = _neighbourhood("dilation", _passes)
gauss = _neighbourhood("gauss", _gauss_depth)
gaussx = _neighbourhood("gaussx", _gauss_depth)
gaussy = _neighbourhood("gaussy", _gauss_depth)
_convolve = _neighbourhood("convolve", _taps_depth)


def convolve(image, taps):
    """``lumerix.convolve`` (correlation with a 2-D table of odd sides, borders mirrored)
    through ``map_overlap`` with the table's radii as depth: the same bits as the whole-image
    call, whatever the chunking."""
    taps = np.ascontiguousarray(taps, dtype=np.float32)
    if taps.ndim != 2 or taps.shape[0] % 2 == 0 or taps.shape[1] % 2 == 0:
        raise ValueError("lumerix.dask.convolve: a 2-D table of odd sides, not shape %s"
                         % (taps.shape,))
    return _convolve(image, taps)


# ---- filters with a chosen border ----------------------------------------------------------------

def _bordered(name, image, depth, args, kwargs):
    """A filter with a chosen border through ``map_overlap``.  Every border but ``wrap`` reads
    only pixels near the image's edge, which the outermost chunks hold, so the outer edge gets
    no padding and the library applies the border there; ``wrap`` reads the opposite edge, which
    dask's periodic boundary brings in.  The same bits as the whole-image call either way."""
    x = _image2d(image, name)
    boundary = "periodic" if kwargs.get("border", "reflect") == "wrap" else "none"
    func = functools.partial(_filter_block, name, args, kwargs)
    return _overlap(x, depth, func, boundary)


def correlate(image, taps, border="reflect", cval=0.0):
    """``lumerix.correlate`` over a dask array, with the table's radii as depth: the same bits
    as the whole-image call, whatever the chunking."""
    taps = np.ascontiguousarray(taps, dtype=np.float32)
    if taps.ndim != 2 or taps.shape[0] % 2 == 0 or taps.shape[1] % 2 == 0:
        raise ValueError("lumerix.dask.correlate: a 2-D table of odd sides, not shape %s"
                         % (taps.shape,))
    _lx._border(border, "correlate")
    return _bordered("correlate", image, _taps_depth(taps), (taps,),
                     {"border": border, "cval": cval})


def gaussian_radius(sigma, truncate=4.0):
    """The radius of ``lumerix.gaussian``'s tables: int(truncate * sigma + 0.5), computed in
    double precision from the float32 arguments as the library does."""
    return int(float(np.float32(truncate)) * float(np.float32(sigma)) + 0.5)


def gaussian(image, sigma, border="reflect", truncate=4.0):
    """``lumerix.gaussian`` over a dask array, its radius as depth on both axes (the column
    pass reads the row pass's results within the radius): the same bits as the whole-image
    call, whatever the chunking."""
    _lx._border(border, "gaussian")
    if not (float(sigma) > 0 and np.isfinite(sigma)):
        raise ValueError("lumerix.dask.gaussian: sigma must be above 0 and finite, not %r"
                         % (sigma,))
    r = gaussian_radius(sigma, truncate)
    return _bordered("gaussian", image, (r, r), (sigma,),
                     {"border": border, "truncate": truncate})


def median(image, xradius, yradius, border="reflect"):
    """``lumerix.median`` over a dask array, the window's radii as depth: the same bits as the
    whole-image call, whatever the chunking."""
    _lx._border(border, "median")
    return _bordered("median", image, (int(yradius), int(xradius)), (xradius, yradius),
                     {"border": border})


# ---- labelling ---------------------------------------------------------------------------------

def _label_block(connectivity, block):
    return _lx.label(_lx.Image(block), connectivity).numpy()


def _label_summary(labels, y0, x0, width):
    """What the merge needs of one labelled chunk: its component count, the raster index in
    the whole image of each component's first pixel (the library numbers a chunk's components
    in that order, so entry k - 1 is component k's), and its four edges."""
    flat = labels.ravel()
    where = np.flatnonzero(flat)
    values = flat[where]
    # Numbers appear in raster order of first pixels: a pixel is its component's first exactly
    # when its number is above every number before it.
    first = np.ones(len(values), dtype=bool)
    first[1:] = values[1:] > np.maximum.accumulate(values)[:-1]
    rows, cols = np.divmod(where[first], labels.shape[1])
    starts = (rows + y0).astype(np.int64) * width + (cols + x0)
    edges = (labels[0].copy(), labels[-1].copy(), labels[:, 0].copy(), labels[:, -1].copy())
    return len(starts), starts, edges


def _find(parent, i):
    while parent[i] != i:
        parent[i] = parent[parent[i]]
        i = parent[i]
    return i


def _label_merge(grid_shape, connectivity, *summaries):
    """Joins the components that touch across a seam (edge neighbours; with connectivity 8 the
    diagonal ones too, across the corner where four chunks meet as well) and numbers the joined
    components in raster order of their first pixel.  Returns, per chunk, the table from its own
    numbers (index 0 the background) to the whole image's."""
    ny, nx = grid_shape
    counts = [s[0] for s in summaries]
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    total = int(offsets[-1])
    parent = np.arange(total, dtype=np.int64)

    def join(a_labels, a_offset, b_labels, b_offset):
        both = (a_labels > 0) & (b_labels > 0)
        pairs = np.unique(np.stack([a_labels[both].astype(np.int64) - 1 + a_offset,
                                    b_labels[both].astype(np.int64) - 1 + b_offset]), axis=1)
        for a, b in pairs.T:
            ra, rb = _find(parent, a), _find(parent, b)
            if ra != rb:
                parent[_builtins.max(ra, rb)] = _builtins.min(ra, rb)

    def seam(a_labels, a_offset, b_labels, b_offset):
        # Facing pixels along a seam; with connectivity 8 also each one's diagonal neighbours.
        join(a_labels, a_offset, b_labels, b_offset)
        if connectivity == 8:
            join(a_labels[1:], a_offset, b_labels[:-1], b_offset)
            join(a_labels[:-1], a_offset, b_labels[1:], b_offset)

    for i in range(ny):
        for j in range(nx):
            k = i * nx + j
            top, bottom, left, right = summaries[k][2]
            if j + 1 < nx:
                seam(right, offsets[k], summaries[k + 1][2][2], offsets[k + 1])
            if i + 1 < ny:
                seam(bottom, offsets[k], summaries[k + nx][2][0], offsets[k + nx])
            if connectivity == 8 and i + 1 < ny and j + 1 < nx:
                # The corner: this chunk's last pixel and the first of the chunk below right;
                # the first row's last pixel of the chunk right and the chunk below's last row's
                # first pixel.
                join(bottom[-1:], offsets[k], summaries[k + nx + 1][2][0][:1],
                     offsets[k + nx + 1])
                join(summaries[k + 1][2][1][:1], offsets[k + 1], summaries[k + nx][2][0][-1:],
                     offsets[k + nx])

    roots = parent
    while True:  # pointer jumping: every entry to its root
        up = roots[roots]
        if np.array_equal(up, roots):
            break
        roots = up
    starts = np.concatenate([s[1] for s in summaries]) if total else np.zeros(0, np.int64)
    first = np.full(total, np.iinfo(np.int64).max, dtype=np.int64)
    np.minimum.at(first, roots, starts)
    root_ids = np.unique(roots)
    if len(root_ids) > _MAX_COMPONENTS:
        raise OverflowError("label: %d components, more than a float numbers exactly "
                            "(16777216)" % len(root_ids))
    order = root_ids[np.argsort(first[root_ids], kind="stable")]
    number = np.zeros(total, dtype=np.float32)
    number[order] = np.arange(1, len(order) + 1, dtype=np.float32)
    return [np.concatenate([[np.float32(0)], number[roots[offsets[k]:offsets[k + 1]]]])
            for k in range(len(summaries))]


def _relabel(labels, tables, k):
    return tables[k][labels.astype(np.int64)]




def label(image, connectivity=4):
    """``lumerix.label`` of a 2-D dask array: the 4- or 8-connected components of the non-zero
    pixels numbered 1, 2, ... in raster order of each component's first pixel, the same bits as
    the whole-image call.  Each chunk is labelled by the library, one small task joins the
    components that meet across the chunk seams (and, 8-connected, diagonally across them and
    their corners), and each chunk's numbers are then mapped to the whole image's.  More than
    2^24 components raise ``OverflowError`` when computed, as the whole-image call does (so does
    a single chunk with more than 2^24 of its own)."""
    x = _image2d(image, "label")
    connectivity = int(connectivity)
    if connectivity not in (4, 8):
        raise ValueError("lumerix.dask.label: connectivity %d, not 4 or 8" % connectivity)
    labelled = x.map_blocks(functools.partial(_label_block, connectivity), dtype=_F32,
                            name="lumerix-label%d-chunk" % connectivity)
    blocks = labelled.to_delayed()
    ny, nx = blocks.shape
    ystarts = np.concatenate([[0], np.cumsum(x.chunks[0])])
    xstarts = np.concatenate([[0], np.cumsum(x.chunks[1])])
    summary = dask.delayed(_label_summary, pure=True)
    summaries = [summary(blocks[i, j], int(ystarts[i]), int(xstarts[j]), x.shape[1])
                 for i in range(ny) for j in range(nx)]
    tables = dask.delayed(_label_merge, pure=True)((ny, nx), connectivity, *summaries)
    relabel = dask.delayed(_relabel, pure=True)
    rows = [[da.from_delayed(relabel(blocks[i, j], tables, i * nx + j),
                             shape=(x.chunks[0][i], x.chunks[1][j]), dtype=_F32)
             for j in range(nx)] for i in range(ny)]
    return da.block(rows)


# ---- region statistics -------------------------------------------------------------------------

_REGION_FIELDS = ("label", "area", "y0", "x0", "y1", "x1", "sy", "sx", "sum", "min", "max")
_REGION_INTS = ("label", "area", "y0", "x0", "y1", "x1", "sy", "sx")


def _regions_partial(y0, x0, labels, values):
    """One chunk's regions by the library, as columns in whole-image coordinates: the area, the
    box, the sums of row and column indices (whole numbers, so centroid times area rounds back
    to them exactly) and the sum of the values (mean times area)."""
    found = _lx.regions(_lx.Image(labels), _lx.Image(values)) if labels.size else []
    cols = {f: [] for f in _REGION_FIELDS}
    for r in found:
        n = r["area"]
        r0, c0, r1, c1 = r["bbox"]
        cy, cx = r["centroid"]
        row = (r["label"], n, r0 + y0, c0 + x0, r1 + y0, c1 + x0, round(cy * n) + y0 * n,
               round(cx * n) + x0 * n, r["intensity_mean"] * n, r["intensity_min"],
               r["intensity_max"])
        for f, v in zip(_REGION_FIELDS, row):
            cols[f].append(v)
    return {f: np.array(v, dtype=np.int64 if f in _REGION_INTS else np.float64)
            for f, v in cols.items()}


_FOLDS = (("area", np.add), ("sy", np.add), ("sx", np.add), ("sum", np.add),
          ("y0", np.minimum), ("x0", np.minimum), ("y1", np.maximum), ("x1", np.maximum),
          ("min", np.minimum), ("max", np.maximum))


def _regions_combine(*parts):
    """The partials of several chunks as one: per label the areas and sums added, the boxes
    joined, min and max taken with NaN winning (one NaN value makes both NaN, as the library
    reports them)."""
    cols = {f: np.concatenate([p[f] for p in parts]) for f in _REGION_FIELDS}
    ids, where = np.unique(cols["label"], return_inverse=True)
    out = {"label": ids}
    for f, fold in _FOLDS:
        dtype = cols[f].dtype
        if fold is np.add:
            start = 0
        elif dtype == np.int64:
            start = np.iinfo(np.int64).max if fold is np.minimum else np.iinfo(np.int64).min
        else:
            start = np.inf if fold is np.minimum else -np.inf
        acc = np.full(len(ids), start, dtype=dtype)
        fold.at(acc, where, cols[f])
        out[f] = acc
    return out


def _regions_finish(part):
    out = []
    for k in range(len(part["label"])):
        n = int(part["area"][k])
        out.append({
            "label": int(part["label"][k]), "area": n,
            "bbox": tuple(int(part[f][k]) for f in ("y0", "x0", "y1", "x1")),
            "centroid": (float(part["sy"][k]) / n, float(part["sx"][k]) / n),
            "intensity_min": float(part["min"][k]), "intensity_max": float(part["max"][k]),
            "intensity_mean": float(part["sum"][k]) / n,
        })
    return out


def regions(labels, values, split_every=8):
    """``lumerix.regions`` of two 2-D dask arrays of one shape (the values are rechunked to the
    labels' chunks), as a ``dask.delayed`` list of dicts in label order (``.compute()`` it).
    Each chunk's regions come from the library and a tree of partials joins them: ``label``,
    ``area``, ``bbox``, ``centroid``, ``intensity_min`` and ``intensity_max`` are exactly the
    whole-image call's; ``intensity_mean`` is rebuilt from per-chunk means times areas summed
    in double, within a few units of 2**-52 of the values' absolute mean."""
    lab, val = _image2d(labels, "regions"), _image2d(values, "regions")
    if lab.shape != val.shape:
        raise ValueError("lumerix.dask.regions: labels of shape %s and values of shape %s"
                         % (lab.shape, val.shape))
    val = val.rechunk(lab.chunks) if val.chunks != lab.chunks else val
    ystarts = np.concatenate([[0], np.cumsum(lab.chunks[0])]).astype(int)
    xstarts = np.concatenate([[0], np.cumsum(lab.chunks[1])]).astype(int)
    lb, vb = lab.to_delayed(), val.to_delayed()
    partial = dask.delayed(_regions_partial, pure=True)
    level = [partial(int(ystarts[i]), int(xstarts[j]), lb[i, j], vb[i, j])
             for i in range(lb.shape[0]) for j in range(lb.shape[1])]
    combined = dask.delayed(_regions_combine, pure=True)
    while len(level) > 1:
        level = [combined(*level[i:i + split_every]) for i in range(0, len(level), split_every)]
    return dask.delayed(_regions_finish, pure=True)(combined(*level))


# ---- reductions --------------------------------------------------------------------------------

def _tree(x, partial, combine, finish, dtype, shape=(), split_every=8):
    """A tree of partial results: ``partial`` per chunk, ``combine`` over at most
    ``split_every`` of them at a time, ``finish`` on the last one."""
    x = x if isinstance(x, da.Array) else da.asarray(x)
    if x.dtype != _F32:
        x = x.astype(np.float32)
    level = [dask.delayed(partial, pure=True)(b) for b in x.to_delayed().ravel()]
    combined = dask.delayed(combine, pure=True)
    while len(level) > 1:
        level = [combined(*level[i:i + split_every]) for i in range(0, len(level), split_every)]
    return da.from_delayed(dask.delayed(finish, pure=True)(level[0]), shape=shape, dtype=dtype)


def _nan_ignoring(fold):
    # The library's rule: NaN is ignored; the result is NaN only when every value is.
    def reduce(*values):
        v = np.array([float(a) for a in values], dtype=np.float32)
        v = v[~np.isnan(v)]
        return np.float32(fold(v)) if v.size else np.float32(np.nan)
    return reduce


_min_fold = _nan_ignoring(np.min)
_max_fold = _nan_ignoring(np.max)


def _min_partial(block):
    return np.float32(_lx.min(_lx.Image(block))) if block.size else np.float32(np.nan)


def _max_partial(block):
    return np.float32(_lx.max(_lx.Image(block))) if block.size else np.float32(np.nan)


def _same(v):
    return v


def min(image):
    """The smallest pixel, NaN ignored (NaN only when every pixel is), as a lazy 0-d array:
    exactly the whole-image call's value (0.0 and -0.0 compare equal; either may come back)."""
    return _tree(image, _min_partial, _min_fold, _same, _F32)


def max(image):
    """The largest pixel, NaN ignored (NaN only when every pixel is), as a lazy 0-d array:
    exactly the whole-image call's value (0.0 and -0.0 compare equal; either may come back)."""
    return _tree(image, _max_partial, _max_fold, _same, _F32)


def _moments_partial(block):
    # (pixel count, mean, sum of squared deviations) of one chunk, from the library's float32
    # reductions of that chunk.
    n = block.size
    if n == 0:
        return (0, 0.0, 0.0)
    img = _lx.Image(block)
    return (n, float(_lx.mean(img)), float(_lx.var(img)) * n)


def _moments_combine(*parts):
    # Chan, Golub and LeVeque's pairwise update, in float64.
    n, m, m2 = 0, 0.0, 0.0
    for nb, mb, m2b in parts:
        if nb == 0:
            continue
        total = n + nb
        delta = mb - m
        m = m + delta * nb / total
        m2 = m2 + m2b + delta * delta * n * nb / total
        n = total
    return (n, m, m2)


def _sum_of(moments):
    return np.float32(moments[0] * moments[1])


def _mean_of(moments):
    return np.float32(moments[1]) if moments[0] else np.float32(np.nan)


def _var_of(moments):
    return np.float32(moments[2] / moments[0]) if moments[0] else np.float32(np.nan)


_TOLERANCE = """
    Each chunk's partial is the library's own float32 reduction of that chunk; the partials
    are combined in float64 and the result rounded to float32.  It therefore differs from the
    whole-image call only by the float32 rounding that each makes: both lie within
    ``(n / 8192 + 72) * 2**-24 * sum(abs(pixels))`` of the exact %s (scaled by the pixel count
    for the mean), n the pixel count of the image or of its largest chunk; with many chunks
    this one is usually the closer."""


def sum(image):
    return _tree(image, _moments_partial, _moments_combine, _sum_of, _F32)


def mean(image):
    return _tree(image, _moments_partial, _moments_combine, _mean_of, _F32)


def var(image):
    return _tree(image, _moments_partial, _moments_combine, _var_of, _F32)


sum.__doc__ = "The sum of the pixels, as a lazy 0-d array, by a tree of partials.\n" + (
    _TOLERANCE % "sum")
mean.__doc__ = "The mean of the pixels, as a lazy 0-d array, by a tree of partials.\n" + (
    _TOLERANCE % "sum")
var.__doc__ = ("The population variance (divided by the pixel count), as a lazy 0-d array, by "
               "a tree of (count, mean, squared deviations) partials.\n" + (
                   _TOLERANCE % "sum of squared deviations").replace("abs(pixels)",
                                                                     "(pixels - mean)**2"))


def _histogram_partial(block):
    return _lx.histogram256(_lx.Image(block)).astype(np.uint64)


def _histogram_combine(*parts):
    return np.sum(parts, axis=0, dtype=np.uint64)


def _histogram_finish(counts):
    return counts.astype(np.uint32)


def histogram256(image):
    """The 256-bin histogram of the pixels' saturating 8-bit values, as a lazy uint32 array of
    256 counts: exactly the whole-image call's."""
    return _tree(image, _histogram_partial, _histogram_combine, _histogram_finish,
                 np.dtype(np.uint32), shape=(256,))


# ---- geometry ----------------------------------------------------------------------------------

def shift(image, dx, dy):
    """Circular shift: result (x, y) is pixel (x + dx, y + dy), wrapped; offsets of any size are
    reduced modulo the sides.  Dask's ``roll``: the same bits as the whole-image call."""
    x = _image2d(image, "shift")
    h, w = x.shape
    if h == 0 or w == 0:
        return x
    return da.roll(x, (-(int(dy) % h), -(int(dx) % w)), axis=(0, 1))


def crop(image, x0, x1, y0, y1):
    """The window of columns x0 .. x1 - 1 and rows y0 .. y1 - 1 (the library's crop, x range
    first), by slicing; a window outside the image raises ``IndexError`` as the library does."""
    x = _image2d(image, "crop")
    h, w = x.shape
    if not (0 <= x0 <= x1 <= w and 0 <= y0 <= y1 <= h):
        raise IndexError("lumerix.dask.crop: window x %d..%d, y %d..%d is outside the %d x %d "
                         "image" % (x0, x1, y0, y1, w, h))
    return x[y0:y1, x0:x1]


def resize(image, shape, x=0, y=0):
    """A new canvas of the given 2-D shape (NumPy order) with pixel (0, 0) of the image at
    (x, y) and 0 elsewhere; no scaling.  A crop and a zero pad: the same bits as the
    whole-image call."""
    src = _image2d(image, "resize")
    rows, cols = (int(n) for n in shape)
    if rows < 0 or cols < 0:
        raise ValueError("lumerix.dask.resize: negative extent in %s" % (tuple(shape),))
    h, w = src.shape
    # The part of the source that lands on the canvas, and where.
    sx0, sy0 = _builtins.max(0, -x), _builtins.max(0, -y)
    sx1, sy1 = _builtins.min(w, cols - x), _builtins.min(h, rows - y)
    if sx1 <= sx0 or sy1 <= sy0:
        return da.zeros((rows, cols), dtype=_F32, chunks=src.chunksize)
    part = src[sy0:sy1, sx0:sx1]
    top, left = y + sy0, x + sx0
    out = da.pad(part, ((top, rows - top - (sy1 - sy0)), (left, cols - left - (sx1 - sx0))),
                 mode="constant", constant_values=0)
    return out.astype(np.float32)


def _coordinates(image, axis):
    x = _image2d(image, "xx" if axis == 1 else "yy")
    n = x.shape[axis]
    line = da.arange(n, dtype=np.float32, chunks=x.chunks[axis])
    line = line[None, :] if axis == 1 else line[:, None]
    return da.broadcast_to(line, x.shape, chunks=x.chunks)


def xx(image):
    """An image of the argument's shape and chunks whose pixels hold their column index."""
    return _coordinates(image, 1)


def yy(image):
    """An image of the argument's shape and chunks whose pixels hold their row index."""
    return _coordinates(image, 0)


def _whole_plane(x):
    return x.rechunk(x.shape)


def _affine_block(coefficients, block):
    return _lx.affine(_lx.Image(block), coefficients).numpy()


def affine(image, coefficients):
    """``lumerix.affine`` as a whole-plane operation: the plane is rechunked to one chunk (one
    worker holds it: 8 bytes per pixel, source and result), warped by the library, and
    rechunked back to the input's chunks.  The same bits as the whole-image call.  It is not
    done per output chunk: the library clamps the sampled 2 x 2 neighbourhood to the whole
    plane's sides and computes each position from whole-plane coordinates, which a window
    would round differently."""
    x = _image2d(image, "affine")
    coefficients = tuple(float(v) for v in coefficients)
    if len(coefficients) != 6:
        raise ValueError("lumerix.dask.affine: six coefficients, not %d" % len(coefficients))
    out = _whole_plane(x).map_blocks(functools.partial(_affine_block, coefficients), dtype=_F32)
    return out.rechunk(x.chunks)


def _slice_block(x, y, w, h, block):
    return _lx.slice(_lx.Image(block), x, y, w, h).numpy()


def _wrap_once(i, n):
    return i + n if i < 0 else (i - n if i >= n else i)


def slice(image, x, y, w, h):
    """``lumerix.slice``: the w x h window at origin (x, y), sampled bilinearly, wrapping
    round the edges once.  With whole-pixel origins each output chunk (the input's chunk
    sizes) is sampled by the library from its own source window (the columns and rows it
    reads, gathered with the wrap); a fractional origin makes it a whole-plane operation (the
    positions are rounded from whole-plane coordinates).  The same bits as the whole-image
    call either way."""
    src = _image2d(image, "slice")
    x, y, w, h = float(x), float(y), int(w), int(h)
    if w < 0 or h < 0:
        raise ValueError("lumerix.dask.slice: negative size %d x %d" % (w, h))
    height, width = src.shape
    whole = x.is_integer() and y.is_integer() and width > 0 and height > 0
    if whole:
        cols = [_wrap_once(int(x) + i, width) for i in range(w + 1)]
        rows = [_wrap_once(int(y) + j, height) for j in range(h + 1)]
        whole = all(0 <= c < width for c in cols) and all(0 <= r < height for r in rows)
    if not whole or w == 0 or h == 0:
        func = functools.partial(_slice_block, x, y, w, h)
        out = da.map_blocks(func, _whole_plane(src), dtype=_F32, chunks=((h,), (w,)))
        return out.rechunk(src.chunksize)
    ch, cw = src.chunksize
    pieces = []
    for j0 in range(0, h, ch):
        j1 = _builtins.min(h, j0 + ch)
        line = []
        for i0 in range(0, w, cw):
            i1 = _builtins.min(w, i0 + cw)
            window = src[rows[j0:j1 + 1]][:, cols[i0:i1 + 1]]
            window = window.rechunk(window.shape)
            func = functools.partial(_slice_block, 0.0, 0.0, i1 - i0, j1 - j0)
            line.append(window.map_blocks(func, dtype=_F32, chunks=((j1 - j0,), (i1 - i0,))))
        pieces.append(line)
    return da.block(pieces)


def _fft_block(block):
    re, im = _lx.fft(_lx.Image(block))
    return np.stack([re.numpy(), im.numpy()])


def _ifft_block(pair):
    return _lx.ifft(_lx.Image(pair[0]), _lx.Image(pair[1])).numpy()


def fft(image):
    """``lumerix.fft`` over the whole plane: ``(re, im)``, each with the input's chunks.  The
    plane is rechunked to one chunk, so one worker holds about 28 bytes per pixel at once (the
    float32 plane, the complex working array, both results and their stacked copy).  On the CPU
    backend each process measures its own FFTW plans, so the result may differ from a
    whole-image call in another process by the float rounding of another plan (a few units in
    the last place of the largest coefficient)."""
    x = _image2d(image, "fft")
    h, w = x.shape
    pair = _whole_plane(x).map_blocks(_fft_block, dtype=_F32, new_axis=0,
                                      chunks=((2,), (h,), (w,)))
    return pair[0].rechunk(x.chunks), pair[1].rechunk(x.chunks)


def ifft(re, im):
    """``lumerix.ifft`` over the whole plane (unnormalised, real part), with ``re``'s chunks.
    One worker holds about 28 bytes per pixel at once; rounding as for :func:`fft`."""
    re, im = _image2d(re, "ifft"), _image2d(im, "ifft")
    if re.shape != im.shape:
        raise ValueError("lumerix.dask.ifft: images of different shapes %s and %s"
                         % (re.shape, im.shape))
    pair = da.stack([re, im]).rechunk((2,) + re.shape)
    out = pair.map_blocks(_ifft_block, dtype=_F32, drop_axis=0, chunks=((re.shape[0],),
                                                                         (re.shape[1],)))
    return out.rechunk(re.chunks)


# ---- workers -----------------------------------------------------------------------------------

def _gpu_count():
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible is not None:
        return [d for d in visible.split(",") if d.strip()]
    smi = shutil.which("nvidia-smi")
    if smi:
        try:
            done = subprocess.run([smi, "-L"], capture_output=True, text=True, timeout=30)
            gpus = [line for line in done.stdout.splitlines() if line.startswith("GPU ")]
            return [str(i) for i in range(len(gpus))]
        except (OSError, subprocess.SubprocessError):
            pass
    return ["0"]


def worker_environments(n_workers=None, backend=None, cpus=None):
    """The environment of each worker process that :func:`cluster` starts: on the CPU backend
    ``n_workers`` (default: one per core) workers dividing the cores between their OpenMP
    teams (``OMP_NUM_THREADS``); on the cuda backend one worker per visible GPU
    (``CUDA_VISIBLE_DEVICES`` naming one device each)."""
    backend = backend or _lx.backend
    if backend == "cuda":
        gpus = _gpu_count()
        if n_workers is not None:
            gpus = [gpus[i % len(gpus)] for i in range(n_workers)]
        return [{"CUDA_VISIBLE_DEVICES": g, "OMP_NUM_THREADS": "1"} for g in gpus]
    cpus = cpus or os.cpu_count() or 1
    n = n_workers or cpus
    if n < 1:
        raise ValueError("lumerix.dask.cluster: at least one worker, not %d" % n)
    return [{"OMP_NUM_THREADS": str(_builtins.max(1, cpus // n))} for _ in range(n)]


def cluster(n_workers=None, host="127.0.0.1", **kwargs):
    """A local ``distributed`` cluster set up for the library: one process per worker, one
    task thread each (the library serialises its callers, so more threads only wait), and the
    environment of :func:`worker_environments`.  Use it as ``Client(cluster(2))`` or in a
    ``with`` block; any other scheduler's address works with ``Client(address)`` as well.
    Further keywords go to the cluster (``dashboard_address=None`` is the default here)."""
    from distributed import LocalCluster, Nanny, Scheduler, SpecCluster

    envs = worker_environments(n_workers)
    kwargs.setdefault("dashboard_address", None)
    if len({tuple(sorted(e.items())) for e in envs}) == 1:
        return LocalCluster(n_workers=len(envs), threads_per_worker=1, processes=True,
                            host=host, env=envs[0], **kwargs)
    # Workers with environments of their own (one GPU each): one Nanny entry per worker.
    silence = kwargs.pop("silence_logs", None)
    workers = {i: {"cls": Nanny, "options": {"nthreads": 1, "env": env, "host": host}}
               for i, env in enumerate(envs)}
    scheduler = {"cls": Scheduler, "options": {"host": host, "dashboard_address":
                                               kwargs.pop("dashboard_address")}}
    if silence is not None:
        kwargs["silence_logs"] = silence
    return SpecCluster(workers=workers, scheduler=scheduler, **kwargs)
