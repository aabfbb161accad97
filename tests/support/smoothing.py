"""A model of anti-aliasing's Gaussian FIR in numpy, operation for operation in float64."""

import math

import numpy as np

INVERSE_LN2 = 1.4426950408889634
LN2_HIGH = 6.93147180369123816490e-01
LN2_LOW = 1.90821492927058770002e-10
INVERSE_FACTORIALS = [1.0 / math.factorial(k) for k in range(14)]


def fixed_exp(x):
    """e**x for x <= 0: exact range reduction, Taylor polynomial of degree 13, scaling by 2**n."""
    if not x >= -745.0:
        return 0.0
    n = math.floor(x * INVERSE_LN2 + 0.5)
    t = (x - n * LN2_HIGH) - n * LN2_LOW
    total = INVERSE_FACTORIALS[13]
    for k in range(12, -1, -1):
        total = total * t + INVERSE_FACTORIALS[k]
    return math.ldexp(total, n)


def gaussian_weights(sigma):
    """The normalised weights for offsets -r .. r, r = ceil(4 sigma)."""
    radius = math.ceil(4.0 * sigma)
    raw = [fixed_exp(-(float(k) * float(k) / (2.0 * (sigma * sigma)))) for k in range(-radius, radius + 1)]
    total = raw[0]
    for w in raw[1:]:
        total = total + w
    return [w / total for w in raw]


def mirror_indices(n, radius):
    """The indices of a line of n samples extended by radius mirrored samples at each end."""
    offsets = np.abs(np.arange(-radius, n + radius))
    period = 2 * (n - 1)
    within = offsets % period
    return np.where(within < n, within, period - within)


def smooth_axis(values, axis, sigma):
    """float32 ``values`` filtered along ``axis`` as the engine does; NaN stored as 0x7FC00000."""
    n = values.shape[axis]
    if sigma == 0 or n == 1:
        return values.copy()
    weights = gaussian_weights(sigma)
    radius = (len(weights) - 1) // 2
    extended = np.take(values.astype(np.float64), mirror_indices(n, radius), axis=axis)
    moved = np.moveaxis(extended, axis, 0)
    with np.errstate(invalid="ignore", over="ignore"):  # infinity times a weight of 0, sums of infinities
        total = weights[0] * moved[0:n]
        for k in range(1, len(weights)):
            total = total + weights[k] * moved[k : k + n]
        result = np.moveaxis(total, 0, axis).astype(np.float32)
    result[np.isnan(result)] = np.frombuffer(np.uint32(0x7FC00000).tobytes(), np.float32)[0]
    return result


def sigmas_of(matrix, voxel_size, output_voxel_size):
    """Anti-aliasing's sigmas (x, y, z) for one 3x4 or 4x4 output -> input matrix, from float32 numbers."""
    linear = np.abs(np.asarray(matrix, np.float32)[:3, :3].astype(np.float64))
    out = np.asarray(output_voxel_size, np.float32).astype(np.float64)
    into = np.asarray(voxel_size, np.float32).astype(np.float64)
    return [max(0.0, (max(linear[a, b] * out[b] / into[a] for b in range(3)) - 1.0) / 2.0) for a in range(3)]


def smoothed(volume, sigmas):
    """A (z, y, x) volume as float32, smoothed along x, then y, then z."""
    values = np.asarray(volume).astype(np.float32)
    for axis, sigma in zip((2, 1, 0), sigmas):
        values = smooth_axis(values, axis, sigma)
    return values
