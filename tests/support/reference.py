"""Independent numpy model of what _voxwarpkit computes, for bit-exact comparison.

Nothing here calls the extension module.  Every single-precision step is a
float32 ufunc on float32 operands (scalars included, so nothing is promoted to
float64), and every double-precision step is a float64 ufunc, applied one
operation at a time in the order the kernel uses.
"""

import decimal
import operator
from typing import NamedTuple, Tuple

import numpy as np

INT32_MIN = -2147483648

# Importers read these element types (numpy type characters, 64-bit Linux: 'l'
# is numpy's long, type 7, and only 'q' is type 9).  The rank-3 and rank-4
# importers refuse 'q'.
_IMPORT_TYPES = {
    1: frozenset("Bhilqfd"),
    3: frozenset("Bhilfd"),
    4: frozenset("Bhilfd"),
}
_IMPORT_ERRORS = {
    1: "Failed to convert to FLOAT",
    3: "Failed to convert to FLOAT 3D",
    4: "Failed to convert to FLOAT 4D",
}
_WRITE_TYPES = frozenset("Bhilfd")


def accepted_types(axes):
    """The element type characters the importer for `axes` axes (1, 3 or 4) accepts."""
    if axes not in _IMPORT_TYPES:
        raise ValueError(f"there is no importer for {axes} axes")
    return set(_IMPORT_TYPES[axes])


def trunc_int32(values):
    """Truncate float32 values toward zero to int32; NaN and out-of-range give INT32_MIN.

    The range test comes first so that no undefined float-to-int cast happens:
    NaN fails both comparisons, and 2**31 and -2**31 are exact in float32.
    """
    values = np.asarray(values)
    if values.dtype != np.float32:
        raise TypeError(f"expected float32 values, got {values.dtype}")
    fits = (values >= np.float32(-2147483648.0)) & (values < np.float32(2147483648.0))
    result = np.full(values.shape, INT32_MIN, dtype=np.int32)
    result[fits] = np.trunc(values[fits]).astype(np.int32)
    return result


def _nearest_binary(integers, digits):
    """Round int64 or uint64 values to the nearest number with `digits` significant bits, ties to even.

    Done in integer arithmetic so the result cannot depend on how numpy casts
    64-bit integers (directly, or through a double, which would round twice).
    Returned as float64, which holds every such number exactly for
    digits <= 53 (2**64 included, the nearest such number to 2**64 - 1).
    """
    n = np.asarray(integers)
    if n.dtype == np.uint64:
        negative = np.zeros(n.shape, dtype=bool)
        magnitude = n
    else:
        n = n.astype(np.int64)
        negative = n < 0
        raw = n.astype(np.uint64)
        # two's complement negation in uint64 also covers -2**63
        magnitude = np.where(negative, ~raw + np.uint64(1), raw)
    length = np.zeros(n.shape, dtype=np.int64)
    for bit in range(64):
        length += (magnitude >> np.uint64(bit)) != 0
    shift = np.maximum(length - digits, 0).astype(np.uint64)
    kept = magnitude >> shift
    rest = magnitude - (kept << shift)
    half = (np.uint64(1) << shift) >> np.uint64(1)
    round_up = (shift > 0) & ((rest > half) | ((rest == half) & (kept % np.uint64(2) == 1)))
    kept = kept + round_up.astype(np.uint64)
    value = np.ldexp(kept.astype(np.float64), shift.astype(np.int32))
    return np.where(negative, -value, value)


def _float_bits_native(array):
    """The array's floats in native byte order with their bit patterns untouched.

    Going through unsigned integers of the same width keeps NaN payloads,
    signalling NaNs included, whatever the array's byte order.
    """
    width = array.dtype.itemsize
    unsigned = array.view(np.dtype(array.dtype.str[0] + f"u{width}"))
    native = unsigned.astype(np.dtype(f"u{width}"))
    return native.view(np.dtype(f"f{width}"))


def import_reference(array, axes):
    """The floats an importer produces from `array`, shaped by logical index, C order.

    axes=1: the elements along axis 0 with index 0 on every later axis, shape (d0,).
    axes=3 or 4: the whole array (which must have that rank), same shape.
    Non-native byte order is read by value.  An empty selection gives an empty
    result whatever the element type; a refused element type raises ValueError
    with the importer's message.
    """
    if not isinstance(array, np.ndarray):
        raise TypeError("expected a numpy array")
    if axes == 1:
        if array.ndim < 1:
            raise ValueError("the one-axis importer needs an array of rank 1 or more")
        selected = array[(slice(None),) + (0,) * (array.ndim - 1)]
    elif axes in (3, 4):
        if array.ndim != axes:
            raise ValueError(f"the {axes}-axis importer needs an array of rank {axes}")
        selected = array
    else:
        raise ValueError(f"there is no importer for {axes} axes")

    # the element type is only looked at when there is an element to convert
    if selected.size == 0:
        return np.zeros(selected.shape, dtype=np.float32)

    kind = array.dtype.char
    if kind not in _IMPORT_TYPES[axes]:
        raise ValueError(_IMPORT_ERRORS[axes])

    if kind == "q":  # to the nearest double first, then that double to the nearest float
        rounded = _nearest_binary(selected.astype(np.int64), 53).astype(np.float32)
        return np.ascontiguousarray(rounded)
    return import_any_reference(selected)


def _is_real_type(dtype):
    return dtype.kind in "biu" or (dtype.kind == "f" and dtype.itemsize in (2, 4, 8))


def _native_order(array):
    """The array's elements in native byte order, bits untouched (NaN payloads kept)."""
    if array.dtype.kind == "f":
        return _float_bits_native(array)
    return array.astype(array.dtype.newbyteorder("="))


def _widen_half(values):
    """float16 -> float32, exact; a NaN keeps its sign, payload and quiet bit unchanged."""
    wide = values.astype(np.float32)
    nan = np.isnan(values)
    if nan.any():
        bits = values.view(np.uint16)[nan].astype(np.uint32)
        sign = (bits >> np.uint32(15)) << np.uint32(31)
        payload = (bits & np.uint32(0x3FF)) << np.uint32(13)
        wide.view(np.uint32)[nan] = sign | np.uint32(0x7F800000) | payload
    return wide


def import_any_reference(array):
    """The float32 values linear resampling reads from `array` of any real element type.

    Every value float32 holds is taken exactly: bool as 0.0 and 1.0, 8- and
    16-bit integers, float16 (see _widen_half for NaNs) and float32, whose bits
    are copied unchanged.  Wider integers are rounded once, from the exact
    integer, to the nearest float32, ties to even (2**64 - 1 gives 2**64);
    float64 is rounded the way numpy casts it: to nearest even, overflow to
    infinity, a NaN made quiet keeping its sign and the top of its payload.
    Any rank, layout and byte order (read by value); the result is a native,
    C-contiguous float32 array of the same shape.  Other element types
    (complex, long double, objects, ...) raise TypeError.
    """
    if not isinstance(array, np.ndarray):
        raise TypeError("expected a numpy array")
    if not _is_real_type(array.dtype):
        raise TypeError(f"cannot read {array.dtype} as real numbers")
    values = _native_order(array)
    kind, width = values.dtype.kind, values.dtype.itemsize
    if kind == "f" and width == 2:
        result = _widen_half(values)
    elif kind == "f" and width == 4:
        result = values.copy()
    elif kind == "f":
        with np.errstate(over="ignore", invalid="ignore"):
            result = values.astype(np.float32)
    elif width <= 2:
        result = values.astype(np.float32)  # bool and narrow integers are exact
    else:
        # straight to float32: one rounding, not two through a double
        wide = values.astype(np.uint64 if kind == "u" else np.int64)
        result = _nearest_binary(wide, 24).astype(np.float32)
    return np.asarray(result, dtype=np.float32, order="C")  # ascontiguousarray would make 0-d 1-d


def write_reference(values_f32, dtype):
    """The values a writer stores for float32 `values_f32` into a target of `dtype`.

    Returned as a native-order array of the target's element type, or None when
    the writers do not support that type ('q' included).
    """
    values = np.asarray(values_f32)
    if values.dtype != np.float32:
        raise TypeError(f"expected float32 values, got {values.dtype}")
    kind = np.dtype(dtype).char
    if kind not in _WRITE_TYPES:
        return None
    if kind == "f":
        return values.copy()
    if kind == "d":
        return values.astype(np.float64)
    truncated = trunc_int32(values)
    if kind == "i":
        return truncated
    if kind == "l":
        return truncated.astype(np.int64)
    # narrower targets keep the low bits, so out-of-range values wrap around
    if kind == "h":
        return (truncated & 0xFFFF).astype(np.uint16).view(np.int16)
    return (truncated & 0xFF).astype(np.uint8)


# The seven cases in the order they are tried.  Each names the axis states
# (x, y, z) it needs and its terms in summation order: the slice, row and
# column read ("0" is the first one of the band's axis), then the weights,
# multiplied left to right.  The face cases deliberately list their terms in
# different orders; the sums depend bit for bit on them.
_CASES = (
    (
        ("inside", "inside", "inside"),
        (
            (("z0", "y0", "x0"), ("gx", "gy", "gz")),
            (("z0", "y0", "x1"), ("fx", "gy", "gz")),
            (("z0", "y1", "x0"), ("gx", "fy", "gz")),
            (("z0", "y1", "x1"), ("fx", "fy", "gz")),
            (("z1", "y0", "x0"), ("gx", "gy", "fz")),
            (("z1", "y0", "x1"), ("fx", "gy", "fz")),
            (("z1", "y1", "x0"), ("gx", "fy", "fz")),
            (("z1", "y1", "x1"), ("fx", "fy", "fz")),
        ),
    ),
    (
        ("low", "inside", "inside"),
        (
            (("z0", "y0", "0"), ("gy", "gz")),
            (("z0", "y1", "0"), ("fy", "gz")),
            (("z1", "y0", "0"), ("gy", "fz")),
            (("z1", "y1", "0"), ("fy", "fz")),
        ),
    ),
    (
        ("inside", "low", "inside"),
        (
            (("z0", "0", "x1"), ("fx", "gz")),
            (("z0", "0", "x0"), ("gx", "gz")),
            (("z1", "0", "x0"), ("gx", "fz")),
            (("z1", "0", "x1"), ("fx", "fz")),
        ),
    ),
    (
        ("inside", "inside", "low"),
        (
            (("0", "y0", "x1"), ("fx", "gy")),
            (("0", "y0", "x0"), ("gx", "gy")),
            (("0", "y1", "x0"), ("gx", "fy")),
            (("0", "y1", "x1"), ("fx", "fy")),
        ),
    ),
    # the high band reads x0 = nx - 1 (y0, z0 likewise)
    (
        ("high", "inside", "inside"),
        (
            (("z0", "y0", "x0"), ("gy", "gz")),
            (("z0", "y1", "x0"), ("fy", "gz")),
            (("z1", "y0", "x0"), ("gy", "fz")),
            (("z1", "y1", "x0"), ("fy", "fz")),
        ),
    ),
    (
        ("inside", "high", "inside"),
        (
            (("z0", "y0", "x1"), ("fx", "gz")),
            (("z0", "y0", "x0"), ("gx", "gz")),
            (("z1", "y0", "x0"), ("gx", "fz")),
            (("z1", "y0", "x1"), ("fx", "fz")),
        ),
    ),
    (
        ("inside", "inside", "high"),
        (
            (("z0", "y0", "x1"), ("fx", "gy")),
            (("z0", "y0", "x0"), ("gx", "gy")),
            (("z0", "y1", "x0"), ("gx", "fy")),
            (("z0", "y1", "x1"), ("fx", "fy")),
        ),
    ),
)


def _source_axis(index, count):
    """Integer neighbours, weights and band states of one axis from its float32 source index."""
    lower = trunc_int32(index)  # truncation, not floor: -0.5 maps to 0 and is extrapolated
    upper = lower.astype(np.int64) + 1  # never overflows: lower <= 2**31 - 128
    fraction = (index - lower.astype(np.float32)).astype(np.float64)
    complement = 1.0 - fraction
    states = {
        "inside": (lower >= 0) & (upper < count),
        "low": upper == 0,
        "high": upper == count,
    }
    return lower.astype(np.int64), upper, fraction, complement, states


# Which NaN an operation returns is left open by IEEE 754, and compilers swap
# the operands of + and *, so the kernel fixes the rule of SSE: the first NaN
# operand, made quiet, and for a NaN made from numbers (inf * 0, inf - inf)
# the default NaN. These helpers apply that rule on top of numpy's arithmetic.
_QUIET64 = np.uint64(1 << 51)
# The bits blend_sums leaves where a position is not sampled: a signalling NaN, which no blend
# returns (every NaN a blend returns is quiet).
NOT_SAMPLED = np.uint64(0x7FF0000000000001)
_DEFAULT_NAN64 = np.uint64(0xFFF8000000000000)


def _widen(values):
    """float32 -> float64; a NaN keeps its sign and payload and becomes quiet."""
    wide = values.astype(np.float64)
    nan = np.isnan(values)
    if nan.any():
        bits = values.view(np.uint32)[nan].astype(np.uint64)
        sign = (bits >> np.uint64(31)) << np.uint64(63)
        payload = (bits & np.uint64(0x7FFFFF)) << np.uint64(29)
        wide.view(np.uint64)[nan] = sign | np.uint64(0x7FF0000000000000) | _QUIET64 | payload
    return wide


def _finished(into, sums):
    """A blend's float64 sums as ``into`` holds them: narrowed to float32 as the kernel narrows
    them, or, in an array of float64 (resample_general_reference's ``blend_sums``), as they are."""
    return sums if into.dtype == np.float64 else _narrow(sums)


def _narrow(values):
    """float64 -> float32; a NaN keeps its sign and the top of its payload and becomes quiet."""
    narrow = values.astype(np.float32)
    nan = np.isnan(values)
    if nan.any():
        bits = values.view(np.uint64)[nan]
        sign = (bits >> np.uint64(63)).astype(np.uint32) << np.uint32(31)
        payload = ((bits >> np.uint64(29)) & np.uint64(0x3FFFFF)).astype(np.uint32)
        narrow.view(np.uint32)[nan] = sign | np.uint32(0x7FC00000) | payload
    return narrow


def _with_nan_rule(first, second, result):
    first, second = np.broadcast_arrays(first, second)
    result = np.array(result, dtype=np.float64)
    first_nan = np.isnan(first)
    second_nan = np.isnan(second) & ~first_nan
    made_nan = np.isnan(result) & ~first_nan & ~second_nan
    bits = result.view(np.uint64)
    bits[first_nan] = first.view(np.uint64)[first_nan] | _QUIET64
    bits[second_nan] = second.view(np.uint64)[second_nan] | _QUIET64
    bits[made_nan] = _DEFAULT_NAN64
    return result


def _multiply(first, second):
    return _with_nan_rule(first, second, first * second)


def _add(first, second):
    return _with_nan_rule(first, second, first + second)


def resample_reference(image, voxel_size, matrix):
    """Resample every volume of `image` through the affine `matrix`, as the kernel does.

    image: float32, shape (nvol, nz, ny, nx) or (nz, ny, nx); voxel_size: at
    least 3 values (sx, sy, sz); matrix: at least 12 values m0..m11, row-major
    3x4.  Both are taken as float32.  Returns float32 of the image's shape;
    positions no case writes are +0.0.
    """
    image = np.asarray(image)
    if image.dtype != np.float32:
        raise TypeError(f"expected a float32 image, got {image.dtype}")
    if image.ndim not in (3, 4):
        raise ValueError("the image must have rank 3 or 4")
    spacing = np.asarray(voxel_size, dtype=np.float32)
    m = np.asarray(matrix, dtype=np.float32)
    if spacing.ndim != 1 or spacing.size < 3 or m.ndim != 1 or m.size < 12:
        raise ValueError("voxel_size needs 3 values and matrix 12, on one axis")
    return resample_general_reference(image, spacing[:3], m[:12])


class _Window(NamedTuple):
    """Where an image lies in the source grid, each as (z, y, x): the whole
    grid's extent, the global index of the image's first element and the
    image's own extent."""

    grid: Tuple[int, int, int]
    origin: Tuple[int, int, int]
    shape: Tuple[int, int, int]


def _three_integers(values, name, minimum=None):
    try:
        numbers = tuple(operator.index(v) for v in values)
    except TypeError:
        raise TypeError(f"{name} needs three integers, got {values!r}") from None
    if len(numbers) != 3 or (minimum is not None and min(numbers) < minimum):
        bound = "" if minimum is None else f" of at least {minimum}"
        raise ValueError(f"{name} needs three integers{bound}, got {values!r}")
    return numbers


def _three_float32(values, name):
    numbers = np.asarray(values, dtype=np.float32)
    if numbers.shape != (3,):
        raise ValueError(f"{name} needs 3 values on one axis, got shape {numbers.shape}")
    return tuple(numbers[i] for i in range(3))  # float32 scalars keep every product in float32


def _window_of(image_extent, source_origin, source_grid):
    extent = tuple(image_extent)
    grid = extent if source_grid is None else _three_integers(source_grid, "source_grid", minimum=0)
    origin = _three_integers(source_origin, "source_origin", minimum=0)
    if any(o + n > g for o, n, g in zip(origin, extent, grid)):
        raise ValueError(f"an image of extent {extent} at {origin} does not fit in the source grid {grid}")
    return _Window(grid, origin, extent)


def _matrices_by_volume(matrices, nvol):
    """(float32 matrix, the volumes it serves) pairs: one pair for a shared matrix, else one per volume."""
    m = np.asarray(matrices, dtype=np.float32)
    if m.shape == (12,):
        return [(m, slice(None))]
    if m.shape == (nvol, 12):
        return [(m[v], slice(v, v + 1)) for v in range(nvol)]
    raise ValueError(f"matrices needs 12 values or shape ({nvol}, 12), got shape {m.shape}")


def _fill_as(fill, dtype, exact):
    """`fill` in the result's element type, rounded as numpy casts it.

    With `exact`, a value the type does not hold raises ValueError instead.
    """
    with np.errstate(all="ignore"):
        converted = np.asarray(fill).astype(dtype)
    if not exact:
        return converted
    value = converted.item()
    if not (value == fill or (value != value and fill != fill)):
        raise ValueError(f"fill {fill!r} is not a value of {dtype}")
    return converted


def _window_offsets(window, k, j, i):
    """Flat offsets into the image of the grid elements at global indices (k, j, i).

    An element outside the window raises ValueError: the caller cut the window
    too small, and reading anything else would give a wrong result silently.
    """
    local = []
    for axis, index, start, count in zip("zyx", (k, j, i), window.origin, window.shape):
        inside = (index >= start) & (index < start + count)
        if not inside.all():
            raise ValueError(
                f"the image holds {axis} indices {start} to {start + count - 1} of the source grid"
                f" but {int(index[~inside][0])} is needed"
            )
        local.append(index - start)
    _, ny, nx = window.shape
    return (local[0] * ny + local[1]) * nx + local[2]


def _output_positions(block, out_origin, out_spacing):
    """Physical coordinates X, Y, Z (float32) of the block's voxels, broadcastable to the block.

    Each is one float32 product: the voxel's global index, rounded once to
    float32, times the output spacing; never accumulated from the spacing.
    """

    def axis(start, count, step):
        index = np.arange(start, start + count, dtype=np.int64)
        return _nearest_binary(index, 24).astype(np.float32) * step

    (bnz, bny, bnx), (oz, oy, ox), (osx, osy, osz) = block, out_origin, out_spacing
    X = axis(ox, bnx, osx).reshape(1, 1, bnx)
    Y = axis(oy, bny, osy).reshape(1, bny, 1)
    Z = axis(oz, bnz, osz).reshape(bnz, 1, 1)
    return X, Y, Z


def _source_indices(m, X, Y, Z, spacing):
    """Float32 source indices I, J, K (flat, C order of the block) for one float32 matrix."""
    sx, sy, sz = spacing
    m = [m[i] for i in range(12)]
    I = (((m[0] * X + m[1] * Y) + m[2] * Z) + m[3]) / sx
    J = (((m[4] * X + m[5] * Y) + m[6] * Z) + m[7]) / sy
    K = (((m[8] * X + m[9] * Y) + m[10] * Z) + m[11]) / sz
    return I.ravel(), J.ravel(), K.ravel()


def _write_linear(into, source, I, J, K, window):
    """Write the kernel's trilinear blends into `into` (nvol, positions) where a case applies.

    source: float32 (nvol, image voxels); I, J, K: float32 source indices.
    Gates and bands use the whole grid's extent.
    """
    gnz, gny, gnx = window.grid
    x0, x1, fx, gx, x_state = _source_axis(I, gnx)
    y0, y1, fy, gy, y_state = _source_axis(J, gny)
    z0, z1, fz, gz, z_state = _source_axis(K, gnz)
    for (x_needs, y_needs, z_needs), terms in _CASES:
        # a position with two bands or any axis outside matches no case
        where = np.flatnonzero(x_state[x_needs] & y_state[y_needs] & z_state[z_needs])
        if where.size == 0:
            continue
        # only the selected positions are gathered, so every index is in the grid
        picked = {
            "x0": x0[where],
            "x1": x1[where],
            "fx": fx[where],
            "gx": gx[where],
            "y0": y0[where],
            "y1": y1[where],
            "fy": fy[where],
            "gy": gy[where],
            "z0": z0[where],
            "z1": z1[where],
            "fz": fz[where],
            "gz": gz[where],
            "0": np.zeros(where.size, dtype=np.int64),
        }
        total = None
        for (k, j, i), weights in terms:
            # zero weights still read their voxel: inf * 0 is NaN, as in the kernel
            term = _widen(source[:, _window_offsets(window, picked[k], picked[j], picked[i])])
            for weight in weights:
                term = _multiply(term, picked[weight])
            total = term if total is None else _add(total, term)
        into[:, where] = _finished(into, total)


def _nearest_axis(index, count):
    """Nearest grid index along one axis (int64) and whether it is sampled.

    The float32 floor, plus one when the fraction left (exact in float32) is at
    least 0.5, so ties go up: source indices in [-0.5, count - 0.5) are
    sampled, NaN and infinities never.
    """
    lower = np.floor(index)
    nearest = lower + ((index - lower) >= np.float32(0.5)).astype(np.float32)
    sampled = np.isfinite(index) & (nearest >= 0) & (nearest.astype(np.float64) <= count - 1)
    return np.where(sampled, nearest, np.float32(0)).astype(np.int64), sampled


def _write_nearest(into, source, I, J, K, window):
    """Copy into `into` (nvol, positions) the nearest element of `source` where all three axes are sampled."""
    gnz, gny, gnx = window.grid
    x, x_sampled = _nearest_axis(I, gnx)
    y, y_sampled = _nearest_axis(J, gny)
    z, z_sampled = _nearest_axis(K, gnz)
    where = np.flatnonzero(x_sampled & y_sampled & z_sampled)
    into[:, where] = source[:, _window_offsets(window, z[where], y[where], x[where])]


def _clamped_axis(index, count):
    """Neighbours, weights and domain of one axis under the clamped edge rule.

    A position is sampled along the axis where nearest sampling takes it,
    source index in [-0.5, count - 0.5); its neighbours are floor(I) and
    floor(I) + 1, each clamped to [0, count - 1], with weight I - floor(I)
    (exact in float32) on the second.
    """
    nearest, sampled = _nearest_axis(index, count)
    lower = np.where(sampled, np.floor(index), np.float32(0))
    fraction = (np.where(sampled, index, np.float32(0)) - lower).astype(np.float64)
    first = np.clip(lower.astype(np.int64), 0, count - 1)
    second = np.clip(lower.astype(np.int64) + 1, 0, count - 1)
    return first, second, fraction, 1.0 - fraction, sampled


def _write_linear_clamped(into, source, I, J, K, window):
    """Write the trilinear blends of the clamped edge rule into `into` (nvol, positions).

    Terms in the order of the interior case, with clamped neighbours; every
    position inside the domain on all three axes is written, all others keep
    the fill.
    """
    gnz, gny, gnx = window.grid
    x0, x1, fx, gx, x_in = _clamped_axis(I, gnx)
    y0, y1, fy, gy, y_in = _clamped_axis(J, gny)
    z0, z1, fz, gz, z_in = _clamped_axis(K, gnz)
    where = np.flatnonzero(x_in & y_in & z_in)
    if where.size == 0:
        return
    picked = {
        "x0": x0[where],
        "x1": x1[where],
        "fx": fx[where],
        "gx": gx[where],
        "y0": y0[where],
        "y1": y1[where],
        "fy": fy[where],
        "gy": gy[where],
        "z0": z0[where],
        "z1": z1[where],
        "fz": fz[where],
        "gz": gz[where],
    }
    total = None
    for (k, j, i), weights in _CASES[0][1]:
        term = _widen(source[:, _window_offsets(window, picked[k], picked[j], picked[i])])
        for weight in weights:
            term = _multiply(term, picked[weight])
        total = term if total is None else _add(total, term)
    into[:, where] = _finished(into, total)


def _write_label(into, source, I, J, K, window):
    """Write the label each position takes into `into` (nvol, positions), from `source` of any element type.

    The clamped rule's positions and neighbours; neighbour k (x fastest, then
    y, then z) weighs (wx * wy) * wz in float64.  For each neighbour, the
    weights of the neighbours holding its element (as bits) are summed from
    0.0 in neighbour order; the largest sum wins, the nearest voxel's element
    when it ties for it, else the first neighbour's that does.
    """
    gnz, gny, gnx = window.grid
    x0, x1, fx, gx, x_in = _clamped_axis(I, gnx)
    y0, y1, fy, gy, y_in = _clamped_axis(J, gny)
    z0, z1, fz, gz, z_in = _clamped_axis(K, gnz)
    where = np.flatnonzero(x_in & y_in & z_in)
    if where.size == 0:
        return
    bits = source.view(np.dtype(f"u{source.dtype.itemsize}"))
    values, weights = [], []
    for k in range(8):
        xs, wx = (x1, fx) if k & 1 else (x0, gx)
        ys, wy = (y1, fy) if k & 2 else (y0, gy)
        zs, wz = (z1, fz) if k & 4 else (z0, gz)
        values.append(bits[:, _window_offsets(window, zs[where], ys[where], xs[where])])
        weights.append((wx[where] * wy[where]) * wz[where])
    totals = []
    for k in range(8):
        total = np.zeros(values[0].shape)
        for m in range(8):
            total = total + np.where(values[m] == values[k], weights[m], 0.0)
        totals.append(total)
    totals = np.stack(totals)  # (8, nvol, positions)
    largest = totals.max(axis=0)
    nearest = (fx[where] >= 0.5).astype(int) + 2 * (fy[where] >= 0.5) + 4 * (fz[where] >= 0.5)
    nearest_total = np.take_along_axis(totals, np.broadcast_to(nearest, totals.shape[1:])[None], axis=0)[0]
    first_largest = np.argmax(totals == largest, axis=0)
    chosen = np.where(nearest_total == largest, nearest, first_largest)
    picked = np.take_along_axis(np.stack(values), chosen[None], axis=0)[0]
    into.view(bits.dtype)[:, where] = picked


# Lanczos of radius 3: the sines as fixed Taylor polynomials in double, as the kernel has them.
_SINE = (
    1.0 / 51090942171709440000.0,
    -1.0 / 121645100408832000.0,
    1.0 / 355687428096000.0,
    -1.0 / 1307674368000.0,
    1.0 / 6227020800.0,
    -1.0 / 39916800.0,
    1.0 / 362880.0,
    -1.0 / 5040.0,
    1.0 / 120.0,
    -1.0 / 6.0,
    1.0,
)
_COSINE = (
    1.0 / 2432902008176640000.0,
    -1.0 / 6402373705728000.0,
    1.0 / 20922789888000.0,
    -1.0 / 87178291200.0,
    1.0 / 479001600.0,
    -1.0 / 3628800.0,
    1.0 / 40320.0,
    -1.0 / 720.0,
    1.0 / 24.0,
    -1.0 / 2.0,
    1.0,
)
_PI, _PI_SQUARED = 3.141592653589793, 9.869604401089358
_SIN_THIRD = (-0.8660254037844386, -0.8660254037844386, 0.0, 0.8660254037844386, 0.8660254037844386, 0.0)
_COS_THIRD = (-0.5, 0.5, 1.0, 0.5, -0.5, -1.0)


def _series(y, first, coefficients):
    y2 = y * y
    total = np.full(y.shape, first)
    for coefficient in coefficients:
        total = total * y2
        total = total + coefficient
    return total


def lanczos_weights(d):
    """The six weights (6, positions) of taps floor(I) - 2 .. floor(I) + 3 for float64 fractions d in [0, 1).

    Tap k at t = d - k weighs 3 sin(pi t) sin(pi t / 3) / (pi^2 t^2), 1 at t = 0, each step a float64
    operation in the kernel's order; sin(pi t) = (-1)^k sin(pi d) and sin(pi t / 3) by the angle
    difference from sin and cos of pi d / 3, all from fixed Taylor polynomials.
    """
    half = np.where(d > 0.5, 1.0 - d, d)
    s1 = _series(_PI * half, -1.0 / 25852016738884976640000.0, _SINE) * (_PI * half)
    third = (_PI * d) / 3.0
    s3 = _series(third, -1.0 / 25852016738884976640000.0, _SINE) * third
    c3 = _series(third, -1.0 / 1124000727777607680000.0, _COSINE)
    weights = []
    with np.errstate(invalid="ignore", divide="ignore"):
        for tap in range(6):
            k = tap - 2
            t = d - k
            s1k = s1 if k % 2 == 0 else -s1
            s3k = s3 * _COS_THIRD[tap] - c3 * _SIN_THIRD[tap]
            scaled = 3.0 * (s1k * s3k)
            weights.append(np.where(t == 0.0, 1.0, scaled / (_PI_SQUARED * (t * t))))
    return weights


def _write_lanczos(into, source, I, J, K, window):
    """Write the Lanczos blends into `into` (nvol, positions): 216 terms, z outermost, x fastest."""
    gnz, gny, gnx = window.grid
    axes = []
    sampled = np.ones(I.shape, dtype=bool)
    for index, count in ((I, gnx), (J, gny), (K, gnz)):
        _, inside = _nearest_axis(index, count)
        sampled &= inside
        lower = np.where(inside, np.floor(index), np.float32(0))
        fraction = (np.where(inside, index, np.float32(0)) - lower).astype(np.float64)
        taps = [np.clip(lower.astype(np.int64) + k, 0, count - 1) for k in range(-2, 4)]
        axes.append((taps, lanczos_weights(fraction)))
    where = np.flatnonzero(sampled)
    if where.size == 0:
        return
    (xt, wx), (yt, wy), (zt, wz) = axes
    total = None
    for kz in range(6):
        for ky in range(6):
            for kx in range(6):
                term = _widen(source[:, _window_offsets(window, zt[kz][where], yt[ky][where], xt[kx][where])])
                for weight in (wx[kx][where], wy[ky][where], wz[kz][where]):
                    term = _multiply(term, weight)
                total = term if total is None else _add(total, term)
    into[:, where] = _finished(into, total)


# Cubic B-spline: the recursive prefilter of pole sqrt(3) - 2 with mirror-symmetric boundaries. The pole is
# the double nearest to sqrt(3) - 2, not sqrt(3.0) - 2.0 (which is 2 ulps away).
_POLE = float(decimal.Context(prec=40).sqrt(3) - 2)
_START_TERMS = 28


def _mirror(k, n):
    """Indices k >= 0 of a line of n >= 2 reflected about its first and last samples into [0, n - 1]."""
    k = k % (2 * (n - 1))
    return np.where(k < n, k, 2 * (n - 1) - k)


def prefilter_reference(stack, axis):
    """The float32 stack (volumes, z, y, x) filtered along `axis` (1 z, 2 y, 3 x), as one pass stores it.

    Every line in float64: gain 6, the causal start (28 terms over the mirrored line, powers by repeated
    products, added from k = 0), the causal recursion, the anticausal start and recursion; each line rounded
    once to float32 and a NaN stored as 0x7FC00000. A line of one sample is left as it is.
    """
    stack = np.asarray(stack)
    if stack.dtype != np.float32 or stack.ndim != 4:
        raise TypeError("expected a float32 stack of rank 4")
    lines = np.moveaxis(stack, axis, -1)
    n = lines.shape[-1]
    if n < 2:
        return stack.copy()
    z = _POLE
    with np.errstate(all="ignore"):
        c = 6.0 * lines.astype(np.float64)
        c = [c[..., i] for i in range(n)]
        start, power = c[0], 1.0
        for k in range(1, _START_TERMS):
            power = power * z
            start = start + power * c[int(_mirror(k, n))]
        c[0] = start
        for i in range(1, n):
            c[i] = c[i] + z * c[i - 1]
        c[n - 1] = (z / (z * z - 1.0)) * (z * c[n - 2] + c[n - 1])
        for i in range(n - 2, -1, -1):
            c[i] = z * (c[i + 1] - c[i])
        out = np.stack(c, axis=-1).astype(np.float32)
    out.view(np.uint32)[np.isnan(out)] = 0x7FC00000
    return np.ascontiguousarray(np.moveaxis(out, -1, axis))


def bspline_coefficients(stack):
    """The coefficients cubic interpolation reads for the float32 stack (volumes, z, y, x): passes x, y, z."""
    for axis in (3, 2, 1):
        stack = prefilter_reference(stack, axis)
    return stack


def bspline_weights(t):
    """The four weights of taps floor(I) - 1 .. floor(I) + 2 for float64 fractions t, each step rounded."""
    s = 1.0 - t
    s3 = (s * s) * s
    t3 = (t * t) * t
    three_t3 = 3.0 * t3
    third = (3.0 * (t * t) - three_t3) + 3.0 * t
    return [s3 / 6.0, ((three_t3 - 6.0 * (t * t)) + 4.0) / 6.0, (third + 1.0) / 6.0, t3 / 6.0]


def _write_cubic(into, source, I, J, K, window):
    """Write cubic B-spline blends of the coefficients `source` into `into` (nvol, positions): taps mirrored
    about the first and last voxels, each row summed along x, the rows along y, the planes along z."""
    axes = []
    sampled = np.ones(I.shape, dtype=bool)
    for index, count in zip((I, J, K), window.grid[::-1]):
        _, inside = _nearest_axis(index, count)
        sampled &= inside
        lower = np.where(inside, np.floor(index), np.float32(0))
        fraction = (np.where(inside, index, np.float32(0)) - lower).astype(np.float64)
        taps = [lower.astype(np.int64) + k for k in range(-1, 3)]
        taps = [np.zeros_like(t) if count == 1 else _mirror(np.abs(t), count) for t in taps]
        axes.append((taps, bspline_weights(fraction)))
    where = np.flatnonzero(sampled)
    if where.size == 0:
        return
    (xt, wx), (yt, wy), (zt, wz) = [([t[where] for t in taps], [w[where] for w in weights]) for taps, weights in axes]

    def weighted(values, weights):
        total = _multiply(values[0], weights[0])
        for value, weight in zip(values[1:], weights[1:]):
            total = _add(total, _multiply(value, weight))
        return total

    planes = []
    for z in zt:
        rows = [weighted([_widen(source[:, _window_offsets(window, z, y, x)]) for x in xt], wx) for y in yt]
        planes.append(weighted(rows, wy))
    into[:, where] = _finished(into, weighted(planes, wz))


def resample_general_reference(
    image,
    voxel_size,
    matrices,
    *,
    shape=None,
    output_voxel_size=None,
    edges="transform",
    interpolation=None,
    order=1,
    fill=0.0,
    out_origin=(0, 0, 0),
    source_origin=(0, 0, 0),
    source_grid=None,
    blend_sums=False,
    indices=None,
):
    """One block of the resampled image, as the generalised kernel computes it.

    image: rank 3 (nz, ny, nx) or rank 4 (nvol, nz, ny, nx); float32 for
    order 1 (convert with import_any_reference), any real type for order 0.
    It may be a window of a larger source grid: source_grid (gnz, gny, gnx)
    is the whole grid's extent (default: the image's own) and source_origin
    the global index of image[..., 0, 0, 0]; element (gz, gy, gx) is read at
    image[..., gz - wz, gy - wy, gx - wx], and a needed element outside the
    window raises ValueError.  Gates, bands and rounding use the whole grid.

    voxel_size (sx, sy, sz) is the input spacing, output_voxel_size the
    output's (default: the input's), both float32.  matrices: 12 values for
    every volume or shape (nvol, 12), one per volume, float32.  The block has
    shape (bnz, bny, bnx) (default: the image's extent) and starts at global
    output index out_origin.

    Output index (z, y, x) sits at X = float32(x) * osx (Y, Z likewise) and
    reads source indices I = (((m0*X + m1*Y) + m2*Z) + m3) / sx, J and K
    likewise with m4..m7 / sy and m8..m11 / sz, every step in float32.
    order 1: the kernel's trilinear blends, float32: with edges="transform"
    those of transform (see _source_axis, _CASES and the NaN rules); with
    edges="clamp" the clamped rule (see _clamped_axis).  order 0: the nearest element (see _nearest_axis),
    copied bit for bit, in the image's type and native byte order.
    interpolation="label" (or order="label"): see _write_label, in the
    image's type.  "lanczos": see _write_lanczos; "cubic" (or order 3):
    _write_cubic of bspline_coefficients of the whole float32 grid;
    order="bspline": _write_cubic of the image, taken as coefficients.
    Positions not sampled get `fill` in the result's type (rounded to
    float32 for orders 1 and 3 and Lanczos; exact otherwise, else
    ValueError).  An empty grid samples nothing.

    ``indices``: the float32 source indices (I, J, K), each of the block's shape, read in place of
    the matrices' (for every volume), as a chain makes them.

    With ``blend_sums`` (linear, Lanczos and cubic only) the block holds the
    float64 sums before any rounding, NaN sums as the first-NaN rule makes
    them, and NOT_SAMPLED's bits (a signalling NaN no blend makes) where a
    position is not sampled; ``fill`` is then not used.

    Returns (bnz, bny, bnx) for a rank-3 image, (nvol, bnz, bny, bnx) for rank 4.
    """
    image = np.asarray(image)
    if image.ndim not in (3, 4):
        raise ValueError("the image must have rank 3 or 4")
    volumes = image.reshape((1,) + image.shape) if image.ndim == 3 else image
    if interpolation is not None:  # a name, as resample takes it: it decides over `order`
        order = {"nearest": 0, "linear": 1, "label": "label", "lanczos": "lanczos", "cubic": 3}[interpolation]
    if order in ("lanczos", 3, "bspline"):
        if image.dtype != np.float32:
            raise TypeError(f"Lanczos and cubic resampling read a float32 image, got {image.dtype}")
        write = _write_lanczos if order == "lanczos" else _write_cubic
    elif order == "label":
        if not _is_real_type(image.dtype):
            raise TypeError(f"cannot resample an image of {image.dtype}")
        volumes = _native_order(volumes)
        write = _write_label
    elif order == 1:
        if image.dtype != np.float32:
            raise TypeError(f"linear resampling reads a float32 image, got {image.dtype}")
        write = _write_linear if edges == "transform" else _write_linear_clamped
    elif order == 0:
        if not _is_real_type(image.dtype):
            raise TypeError(f"cannot resample an image of {image.dtype}")
        volumes = _native_order(volumes)
        write = _write_nearest
    else:
        raise ValueError(f"order must be 0 or 1, got {order!r}")

    nvol = volumes.shape[0]
    window = _window_of(volumes.shape[1:], source_origin, source_grid)
    if order == 3:  # every coefficient depends on its whole line
        if window.shape != window.grid:
            raise ValueError("cubic resampling needs the whole source grid, not a window of it")
        volumes = bspline_coefficients(volumes)
    block = window.shape if shape is None else _three_integers(shape, "shape", minimum=0)
    out_origin = _three_integers(out_origin, "out_origin")
    spacing = _three_float32(voxel_size, "voxel_size")
    if output_voxel_size is None:
        out_spacing = spacing
    else:
        out_spacing = _three_float32(output_voxel_size, "output_voxel_size")
    by_volume = _matrices_by_volume(matrices, nvol)

    source = volumes.reshape(nvol, window.shape[0] * window.shape[1] * window.shape[2])
    if blend_sums:
        if order not in (1, 3, "lanczos", "bspline"):
            raise ValueError("blend_sums needs a method that blends")
        output = np.full((nvol, block[0] * block[1] * block[2]), NOT_SAMPLED, np.uint64).view(np.float64)
    else:
        fill = _fill_as(fill, volumes.dtype, exact=order not in (1, 3, "lanczos", "bspline"))
        output = np.full((nvol, block[0] * block[1] * block[2]), fill, volumes.dtype)
    if output.size and 0 not in window.grid:
        with np.errstate(all="ignore"):
            X, Y, Z = _output_positions(block, out_origin, out_spacing)
            for matrix, served in by_volume:
                if indices is None:
                    I, J, K = _source_indices(matrix, X, Y, Z, spacing)
                else:
                    I, J, K = (np.asarray(index, dtype=np.float32).ravel() for index in indices)
                write(output[served], source[served], I, J, K, window)
    return output.reshape(image.shape[:-3] + block)


def transform_reference(image, voxel_size, matrix):
    """What a whole transform call returns for arguments it accepts: the
    image, voxel size and matrix as the importers read them, resampled."""
    values = import_reference(image, image.ndim)
    stack = values.reshape((1,) * (4 - image.ndim) + image.shape)
    out = resample_reference(stack, import_reference(voxel_size, 1)[:3], import_reference(matrix, 1)[:12])
    return out.reshape(image.shape)
