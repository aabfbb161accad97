"""Value makers: random arrays of any element type, and the float32 an integer rounds to."""

import numpy as np


def values(rng, dtype, shape):
    """Random booleans, integers over their type's whole range, or normal floats times 100 with
    about 2% NaN and 1% infinity."""
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.random(shape) < 0.5
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    data = (rng.standard_normal(shape) * 100).astype(dtype)
    flat = data.reshape(-1)
    flat[rng.random(flat.size) < 0.02] = np.nan
    flat[rng.random(flat.size) < 0.01] = np.inf
    return data


def volume(shape, dtype=np.float32, seed=0):
    """Seeded random booleans, integers over their type's whole range, or floats in [0, 1)."""
    rng = np.random.default_rng(seed)
    kind = np.dtype(dtype).kind
    if kind == "b":
        return rng.random(shape) > 0.5
    if kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, size=shape, endpoint=True, dtype=dtype)
    return rng.random(shape).astype(dtype)


def nearest_float32_of_int(n):
    """Brute force: the float32 nearest to the integer n, ties to an even significand."""
    start = np.float32(float(n))
    candidates = [start, np.nextafter(start, np.float32(np.inf)), np.nextafter(start, np.float32(-np.inf))]

    def distance(c):
        return abs(int(c) - n)

    best = min(distance(c) for c in candidates)
    winners = [c for c in candidates if distance(c) == best]
    even = [c for c in winners if int(np.array(c).view(np.uint32)) % 2 == 0]
    return (even or winners)[0]
