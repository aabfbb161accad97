"""Independent numpy model of what _voxwarpkit computes, for bit-exact comparison.

Nothing here calls the extension module.  Every single-precision step is a
float32 ufunc on float32 operands (scalars included, so nothing is promoted to
float64), and every double-precision step is a float64 ufunc, applied one
operation at a time in the order the kernel uses.
"""

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
    """Round int64 values to the nearest number with `digits` significant bits, ties to even.

    Done in integer arithmetic so the result cannot depend on how numpy casts
    int64 (directly, or through a double, which would round twice).  Returned
    as float64, which holds every such number exactly for digits <= 53.
    """
    n = np.asarray(integers, dtype=np.int64)
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

    if kind == "f":
        result = _float_bits_native(selected).copy()
    elif kind == "d":
        with np.errstate(over="ignore", invalid="ignore"):
            result = _float_bits_native(selected).astype(np.float32)
    elif kind in "Bh":
        result = selected.astype(np.float32)  # every value is exact in float32
    elif kind in "il":
        # straight to float32: one rounding, not two through a double
        result = _nearest_binary(selected.astype(np.int64), 24).astype(np.float32)
    else:  # "q": to the nearest double first, then that double to the nearest float
        result = _nearest_binary(selected.astype(np.int64), 53).astype(np.float32)
    return np.ascontiguousarray(result, dtype=np.float32)


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
    (("inside", "inside", "inside"), (
        (("z0", "y0", "x0"), ("gx", "gy", "gz")),
        (("z0", "y0", "x1"), ("fx", "gy", "gz")),
        (("z0", "y1", "x0"), ("gx", "fy", "gz")),
        (("z0", "y1", "x1"), ("fx", "fy", "gz")),
        (("z1", "y0", "x0"), ("gx", "gy", "fz")),
        (("z1", "y0", "x1"), ("fx", "gy", "fz")),
        (("z1", "y1", "x0"), ("gx", "fy", "fz")),
        (("z1", "y1", "x1"), ("fx", "fy", "fz")),
    )),
    (("low", "inside", "inside"), (
        (("z0", "y0", "0"), ("gy", "gz")),
        (("z0", "y1", "0"), ("fy", "gz")),
        (("z1", "y0", "0"), ("gy", "fz")),
        (("z1", "y1", "0"), ("fy", "fz")),
    )),
    (("inside", "low", "inside"), (
        (("z0", "0", "x1"), ("fx", "gz")),
        (("z0", "0", "x0"), ("gx", "gz")),
        (("z1", "0", "x0"), ("gx", "fz")),
        (("z1", "0", "x1"), ("fx", "fz")),
    )),
    (("inside", "inside", "low"), (
        (("0", "y0", "x1"), ("fx", "gy")),
        (("0", "y0", "x0"), ("gx", "gy")),
        (("0", "y1", "x0"), ("gx", "fy")),
        (("0", "y1", "x1"), ("fx", "fy")),
    )),
    # the high band reads x0 = nx - 1 (y0, z0 likewise)
    (("high", "inside", "inside"), (
        (("z0", "y0", "x0"), ("gy", "gz")),
        (("z0", "y1", "x0"), ("fy", "gz")),
        (("z1", "y0", "x0"), ("gy", "fz")),
        (("z1", "y1", "x0"), ("fy", "fz")),
    )),
    (("inside", "high", "inside"), (
        (("z0", "y0", "x1"), ("fx", "gz")),
        (("z0", "y0", "x0"), ("gx", "gz")),
        (("z1", "y0", "x0"), ("gx", "fz")),
        (("z1", "y0", "x1"), ("fx", "fz")),
    )),
    (("inside", "inside", "high"), (
        (("z0", "y0", "x1"), ("fx", "gy")),
        (("z0", "y0", "x0"), ("gx", "gy")),
        (("z0", "y1", "x0"), ("gx", "fy")),
        (("z0", "y1", "x1"), ("fx", "fy")),
    )),
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
    volumes = image.reshape((1,) + image.shape) if image.ndim == 3 else image
    spacing = np.asarray(voxel_size, dtype=np.float32)
    m = np.asarray(matrix, dtype=np.float32)
    if spacing.ndim != 1 or spacing.size < 3 or m.ndim != 1 or m.size < 12:
        raise ValueError("voxel_size needs 3 values and matrix 12, on one axis")
    sx, sy, sz = (spacing[i] for i in range(3))
    m = [m[i] for i in range(12)]  # float32 scalars keep every product in float32

    nvol, nz, ny, nx = volumes.shape
    output = np.zeros((nvol, nz * ny * nx), dtype=np.float32)
    if output.size == 0:
        return output.reshape(image.shape)

    with np.errstate(all="ignore"):
        # each coordinate from its own index, never by accumulating the spacing
        X = (np.arange(nx).astype(np.float32) * sx).reshape(1, 1, nx)
        Y = (np.arange(ny).astype(np.float32) * sy).reshape(1, ny, 1)
        Z = (np.arange(nz).astype(np.float32) * sz).reshape(nz, 1, 1)
        I = (((m[0] * X + m[1] * Y) + m[2] * Z) + m[3]) / sx
        J = (((m[4] * X + m[5] * Y) + m[6] * Z) + m[7]) / sy
        K = (((m[8] * X + m[9] * Y) + m[10] * Z) + m[11]) / sz

        x0, x1, fx, gx, x_state = _source_axis(I.ravel(), nx)
        y0, y1, fy, gy, y_state = _source_axis(J.ravel(), ny)
        z0, z1, fz, gz, z_state = _source_axis(K.ravel(), nz)

        source = volumes.reshape(nvol, nz * ny * nx)
        for (x_needs, y_needs, z_needs), terms in _CASES:
            # a position with two bands or any axis outside matches no case
            where = np.flatnonzero(x_state[x_needs] & y_state[y_needs] & z_state[z_needs])
            if where.size == 0:
                continue
            # only the selected positions are gathered, so every index is in range
            picked = {
                "x0": x0[where], "x1": x1[where], "fx": fx[where], "gx": gx[where],
                "y0": y0[where], "y1": y1[where], "fy": fy[where], "gy": gy[where],
                "z0": z0[where], "z1": z1[where], "fz": fz[where], "gz": gz[where],
                "0": np.zeros(where.size, dtype=np.int64),
            }
            total = None
            for (k, j, i), weights in terms:
                offset = (picked[k] * ny + picked[j]) * nx + picked[i]
                term = _widen(source[:, offset])
                # zero weights still multiply: inf * 0 is NaN, as in the kernel
                for weight in weights:
                    term = _multiply(term, picked[weight])
                total = term if total is None else _add(total, term)
            output[:, where] = _narrow(total)
    return output.reshape(image.shape)


def transform_reference(image, voxel_size, matrix):
    """What a whole transform call returns for arguments it accepts: the
    image, voxel size and matrix as the importers read them, resampled."""
    values = import_reference(image, image.ndim)
    stack = values.reshape((1,) * (4 - image.ndim) + image.shape)
    out = resample_reference(stack, import_reference(voxel_size, 1)[:3], import_reference(matrix, 1)[:12])
    return out.reshape(image.shape)


def assert_same_bits(actual, expected):
    """Fail unless both arrays have the same shape, dtype and bit pattern everywhere.

    Comparing bits makes -0.0 differ from +0.0 and tells NaN payloads apart.
    """
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    if actual.shape != expected.shape:
        raise AssertionError(f"shape {actual.shape} != expected {expected.shape}")
    if actual.dtype != expected.dtype:
        raise AssertionError(f"dtype {actual.dtype} != expected {expected.dtype}")
    width = actual.dtype.itemsize
    if width not in (1, 2, 4, 8):
        raise TypeError(f"cannot compare bits of {actual.dtype}")
    unsigned = np.dtype(f"u{width}")
    actual_bits = np.ascontiguousarray(actual).view(unsigned)
    expected_bits = np.ascontiguousarray(expected).view(unsigned)
    differ = np.argwhere(actual_bits != expected_bits)
    if differ.size == 0:
        return
    lines = [f"{len(differ)} of {actual.size} elements differ in their bits"]
    for position in differ[:8]:
        at = tuple(int(p) for p in position)
        lines.append(
            f"  at {at}: {actual[at]!r} (0x{int(actual_bits[at]):0{2 * width}x})"
            f" != expected {expected[at]!r} (0x{int(expected_bits[at]):0{2 * width}x})"
        )
    raise AssertionError("\n".join(lines))
