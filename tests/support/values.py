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


def with_specials(rng, data):
    """``data`` (a new array) with about a tenth of its elements made hard to convert to float32: for
    floats, NaNs of both signs (quiet and signalling) with random payloads, infinities, zeros of both
    signs, subnormals of the type, and float64's values past float32's range; for integers wider than
    float32's significand, values halfway between two floats (ties to even) and the type's extremes."""
    data = np.array(data)
    flat = data.reshape(-1)
    kind = rng.integers(0, 40, flat.size)
    if data.dtype.kind == "f":
        info = np.finfo(data.dtype)
        unsigned = np.dtype(f"u{data.itemsize}")
        bits = flat.view(unsigned)
        count = int((kind == 0).sum())
        exponent = ((1 << info.nexp) - 1) << info.nmant
        payload = rng.integers(1, 1 << info.nmant, count, dtype=np.uint64)  # the quiet bit set or not
        sign = rng.integers(0, 2, count, dtype=np.uint64) << np.uint64(8 * data.itemsize - 1)
        bits[kind == 0] = (sign | np.uint64(exponent) | payload).astype(unsigned)
        flat[kind == 1] = rng.choice([np.inf, -np.inf, 0.0, -0.0], int((kind == 1).sum()))
        tiny = np.nextafter(data.dtype.type(0), data.dtype.type(1))  # finfo.smallest_subnormal: numpy 1.22
        flat[kind == 2] = tiny * rng.integers(-1000, 1000, int((kind == 2).sum()))
        if data.itemsize == 8:
            beyond = [1e39, -1e300, 1e-40, -1e-300, 3.4028235677973366e38]  # the last rounds up to inf
            flat[kind == 3] = rng.choice(beyond, int((kind == 3).sum()))
    elif data.dtype.kind in "iu" and data.itemsize >= 4:
        info = np.iinfo(data.dtype)
        count = int((kind == 0).sum())
        # (2k + 1) << (s - 1) with 24-bit k: bit 25 of the significand is 1 and all below it are 0, a
        # tie; or 1 more, just past it, which a conversion through float64 would round as a tie.
        top = rng.integers(1 << 23, 1 << 24, count)
        shift = rng.integers(1, 8 * data.itemsize - 24 - (info.min < 0), count, endpoint=True)
        sign = rng.choice([1, -1] if info.min < 0 else [1], count)
        past = rng.integers(0, 2, count)
        made = zip(sign, top, shift, past)
        flat[kind == 0] = [int(g) * (((2 * int(k) + 1) << (int(s) - 1)) + int(p)) for g, k, s, p in made]
        flat[kind == 1] = rng.choice(np.array([info.min, info.max], data.dtype), int((kind == 1).sum()))
    return data
