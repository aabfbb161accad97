"""The one bit-for-bit comparison of arrays that every test uses."""

import numpy as np


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
