"""The output-type rule in numpy, for comparison with the kernel: a blend's float64 sum made once
into an element of the result type. Written from the rule alone, with numpy's own rounding
(``np.rint`` rounds ties to even), never through the code under test."""

import numpy as np

from support.reference import NOT_SAMPLED, _narrow

# The result types a blend writes, by numpy's type character.
RESULT_CODES = "bBhHiIqQefd"

_LARGEST_HALF_STEP = 65520.0  # halfway from 65504, the largest float16, to 65536: ties go to the even 65536, inf


def half_of_sums(sums):
    """float64 -> float16 rounded once, ties to even, past the largest float16 by half a step
    or more to infinity; a NaN keeps its sign and the top 9 bits of its payload, made quiet."""
    magnitude = np.abs(sums)
    finite = np.isfinite(sums) & (magnitude < _LARGEST_HALF_STEP)
    safe = np.where(finite, magnitude, 0.0)
    # A float16 holds 11 significant bits from 2**-14 up, and steps of 2**-24 below.
    exponent = np.maximum(np.frexp(safe)[1] - 1, -14)
    steps = np.rint(np.ldexp(safe, 10 - exponent))
    exact = np.copysign(np.ldexp(steps, exponent - 10), sums)  # a float16 value: its conversion is exact
    halves = np.where(finite, exact, np.copysign(np.inf, sums)).astype(np.float16)
    nan = np.isnan(sums)
    if nan.any():
        bits = sums.view(np.uint64)[nan]
        sign = ((bits >> np.uint64(63)) << np.uint64(15)).astype(np.uint16)
        payload = ((bits >> np.uint64(42)) & np.uint64(0x1FF)).astype(np.uint16)
        halves.view(np.uint16)[nan] = sign | np.uint16(0x7E00) | payload
    return halves


def integers_of_sums(sums, dtype, fill):
    """float64 -> an integer type: to nearest, ties to even, saturated to the type's range
    (infinities too); a NaN becomes ``fill``."""
    info = np.iinfo(dtype)
    rounded = np.rint(sums)
    low = rounded <= float(info.min)  # exact: 0 or -2**k
    high = rounded >= float(info.max + 1)  # exact: 2**k
    inside = ~(low | high | np.isnan(sums))
    result = np.where(inside, rounded, 0.0).astype(dtype)
    result[low] = info.min
    result[high] = info.max
    result[np.isnan(sums)] = fill
    return result


def result_of_sums(sums, dtype, fill):
    """The block of blend sums (NOT_SAMPLED where a position is not sampled) as the result of
    ``dtype``; ``fill`` is one element of that type."""
    dtype = np.dtype(dtype)
    # The signalling NaN of NOT_SAMPLED (overwritten below) and sums past float32 warn.
    with np.errstate(invalid="ignore", over="ignore"):
        if dtype == np.float32:
            made = _narrow(sums)
        elif dtype == np.float64:
            made = sums.copy()
        elif dtype == np.float16:
            made = half_of_sums(sums)
        else:
            made = integers_of_sums(sums, dtype, fill)
    made[sums.view(np.uint64) == NOT_SAMPLED] = fill
    return made
