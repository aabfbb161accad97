"""The same logical array in different memory layouts.

Each function returns a view whose elements, read by logical index, equal the
argument's, while its strides, alignment or byte order differ.
"""

import numpy as np


def c_order(a):
    return np.ascontiguousarray(a)


def fortran_order(a):
    return np.asfortranarray(a)


def reversed_axes(a):
    """Negative strides on every axis."""
    flip = (slice(None, None, -1),) * a.ndim
    return np.ascontiguousarray(a[flip])[flip]


def stepped(a):
    """Every second element of a larger buffer along each axis."""
    big = np.zeros(tuple(2 * n + 1 for n in a.shape), dtype=a.dtype)
    step = (slice(1, None, 2),) * a.ndim
    big[step] = a
    return big[step]


def misaligned(a):
    """Elements at odd byte addresses, through a packed structured dtype."""
    packed = np.dtype([("pad", "u1"), ("value", a.dtype)], align=False)
    holder = np.zeros(a.shape, dtype=packed)
    holder["value"] = a
    view = holder["value"]
    assert a.dtype.itemsize == 1 or view.ctypes.data % a.dtype.itemsize != 0 or a.size == 0
    return view


def byte_swapped(a):
    """The same values stored in the other byte order."""
    return a.astype(a.dtype.newbyteorder())


def transposed_reversed_misaligned_swapped(a):
    """All of the above at once: every view keeps the strides of the one before."""
    flip = (slice(None, None, -1),) * a.ndim
    holder = misaligned(byte_swapped(a.T[flip]))
    return holder[flip].T


LAYOUTS = {
    "C": c_order,
    "F": fortran_order,
    "reversed": reversed_axes,
    "stepped": stepped,
    "misaligned": misaligned,
    "swapped": byte_swapped,
    "mixed": transposed_reversed_misaligned_swapped,
}
