"""Independent numpy model of chains (matrices, displacement fields and cubic B-spline deformations) with
nearest and clamped linear sampling.

Nothing here calls the extension module. Single-precision steps are float32
ufuncs on float32 operands, one operation at a time in the kernel's order;
a field's blend is float64, its eight terms added in the kernel's order and
rounded once to float32. Fields hold finite values here, so no NaN rule is
modelled, and images sampled linearly hold no NaN either.
"""

from typing import NamedTuple, Sequence, Union

import numpy as np

F32 = np.float32


class FieldStep(NamedTuple):
    """A displacement field: components (3, nz, ny, nx) of (dx, dy, dz), origin and spacing (x, y, z), all float32."""

    components: np.ndarray
    origin: np.ndarray
    spacing: np.ndarray


class BSplineStep(NamedTuple):
    """A cubic B-spline: coefficients (nz, ny, nx, 3) of (dx, dy, dz), origin and spacing (x, y, z), all float64."""

    coefficients: np.ndarray
    origin: np.ndarray
    spacing: np.ndarray


Step = Union[np.ndarray, FieldStep, BSplineStep]  # a matrix: 12 float32 numbers, row by row


def _matrix_row(a, x, by, cz, d):
    """((a*x + by) + cz) + d, each step rounded to float32."""
    return ((a * x + by) + cz) + d


def apply_matrix(m, p):
    """p <- M p for 12 float32 numbers m and float32 coordinates p = [x, y, z]."""
    return [_matrix_row(m[4 * r], p[0], m[4 * r + 1] * p[1], m[4 * r + 2] * p[2], m[4 * r + 3]) for r in range(3)]


def nearest_index(index, count):
    """The nearest voxel along an axis of ``count`` (ties go up), -1 where it is outside or the index is not finite."""
    finite = (index >= F32(-1.0)) & (index < F32(2.0**31))
    safe = np.where(finite, index, F32(0.0))
    below = np.floor(safe)
    nearest = below.astype(np.int64) + ((safe - below) >= F32(0.5))
    return np.where(finite & (nearest < count), nearest, -1)


def _clamped_axis(index, count):
    """Neighbours (clamped to the axis) and the float64 weight of the second."""
    below = np.floor(index)
    fraction = (index - below).astype(np.float64)
    lower = below.astype(np.int64)
    return np.clip(lower, 0, count - 1), np.clip(lower + 1, 0, count - 1), fraction


def clamped_blend(values, I, J, K):
    """Where the nearest voxel of (I, J, K) is on the grid of ``values`` (nz, ny, nx), and there the
    clamped linear blend rounded once to float32 (0 elsewhere)."""
    inside, total = clamped_sum(values, I, J, K)
    return inside, np.where(inside, total.astype(np.float32), F32(0.0))


def clamped_sum(values, I, J, K):
    """Where the nearest voxel of (I, J, K) is on the grid of ``values`` (nz, ny, nx), and the clamped
    linear blend's float64 sum: eight terms ((v * wx) * wy) * wz added x fastest, then y, then z.
    The indices may be float32 or float64."""
    nz, ny, nx = values.shape
    inside = (nearest_index(I, nx) >= 0) & (nearest_index(J, ny) >= 0) & (nearest_index(K, nz) >= 0)
    x0, x1, fx = _clamped_axis(np.where(inside, I, F32(0.0)), nx)
    y0, y1, fy = _clamped_axis(np.where(inside, J, F32(0.0)), ny)
    z0, z1, fz = _clamped_axis(np.where(inside, K, F32(0.0)), nz)
    gx, gy, gz = 1.0 - fx, 1.0 - fy, 1.0 - fz
    corners = [
        (z0, y0, x0, gx, gy, gz),
        (z0, y0, x1, fx, gy, gz),
        (z0, y1, x0, gx, fy, gz),
        (z0, y1, x1, fx, fy, gz),
        (z1, y0, x0, gx, gy, fz),
        (z1, y0, x1, fx, gy, fz),
        (z1, y1, x0, gx, fy, fz),
        (z1, y1, x1, fx, fy, fz),
    ]
    wide = values.astype(np.float64)
    total = np.zeros(np.shape(I), dtype=np.float64)
    for z, y, x, wx, wy, wz in corners:
        total = total + ((wide[z, y, x] * wx) * wy) * wz
    return inside, total


def apply_field(step, p):
    """p <- p + d(p): d blended by the clamped rule where the nearest field voxel is on the grid, else 0."""
    index = [(p[axis] - step.origin[axis]) / step.spacing[axis] for axis in range(3)]
    return [p[axis] + clamped_blend(step.components[axis], *index)[1] for axis in range(3)]


def cubic_weights(t):
    """The cubic B-spline's four weights at the float64 fractions ``t``, each operation as written."""
    s = 1.0 - t
    t2 = t * t
    t3 = t2 * t
    return [
        ((s * s) * s) / 6.0,
        (((3.0 * t3) - (6.0 * t2)) + 4.0) / 6.0,
        ((((3.0 * t2) - (3.0 * t3)) + (3.0 * t)) + 1.0) / 6.0,
        t3 / 6.0,
    ]


def bspline_displacement(step, p):
    """Where each float32 position p = [x, y, z] lies in the B-spline's support, and d there: along each
    axis u = (p - origin) / spacing in float64 within [1, n - 2], taps from b - 1 with b = floor(u)
    (n - 3 at u = n - 2), the sums along x, then y, then z, each from the left, rounded to float32."""
    counts = step.coefficients.shape[2::-1]  # nx, ny, nz
    inside = np.ones(np.shape(p[0]), dtype=bool)
    first, weights = [], []
    for axis in range(3):
        u = (p[axis].astype(np.float64) - step.origin[axis]) / step.spacing[axis]
        last = float(counts[axis]) - 2.0
        inside &= (u >= 1.0) & (u <= last)
        safe = np.where(inside, u, 1.0)
        base = np.where(safe == last, last - 1.0, np.floor(safe))
        first.append(base.astype(np.int64) - 1)
        weights.append(cubic_weights(safe - base))
    d = []
    for c in range(3):
        planes = []
        for kz in range(4):
            rows = []
            for ky in range(4):
                row = None
                for kx in range(4):
                    value = step.coefficients[
                        np.where(inside, first[2] + kz, 0),
                        np.where(inside, first[1] + ky, 0),
                        np.where(inside, first[0] + kx, 0),
                        c,
                    ]
                    term = value * weights[0][kx]
                    row = term if row is None else row + term
                rows.append(row)
            plane = rows[0] * weights[1][0]
            for ky in range(1, 4):
                plane = plane + rows[ky] * weights[1][ky]
            planes.append(plane)
        total = planes[0] * weights[2][0]
        for kz in range(1, 4):
            total = total + planes[kz] * weights[2][kz]
        d.append(np.where(inside, total, 0.0).astype(np.float32))
    return inside, d


def apply_bspline(step, p):
    """p <- p + d(p) where p lies in the B-spline's support."""
    inside, d = bspline_displacement(step, p)
    return [np.where(inside, p[axis] + d[axis], p[axis]) for axis in range(3)]


def chain_indices(shape, output_spacing, voxel_size, steps: Sequence[Step]):
    """The float32 source indices (I, J, K), each (nz, ny, nx), of a chain whose first step is a matrix."""
    osx, osy, osz = (F32(s) for s in output_spacing)
    z, y, x = np.indices(shape)
    p = [x.astype(np.float32) * osx, y.astype(np.float32) * osy, z.astype(np.float32) * osz]
    for step in steps:
        if isinstance(step, FieldStep):
            p = apply_field(step, p)
        elif isinstance(step, BSplineStep):
            p = apply_bspline(step, p)
        else:
            p = apply_matrix(step, p)
    return [p[axis] / F32(voxel_size[axis]) for axis in range(3)]


def resample_chain(image, voxel_size, steps_by_volume, shape, output_spacing, interpolation):
    """Each volume of ``image`` (nvol, nz, ny, nx) sampled through its own chain of steps, "nearest" (the
    image's elements) or "linear" (float32 image, clamped edges), 0 where nothing is sampled."""
    nz, ny, nx = image.shape[1:]
    kind = image.dtype if interpolation == "nearest" else np.float32
    result = np.zeros((image.shape[0], *shape), dtype=kind)
    for volume, steps in enumerate(steps_by_volume):
        I, J, K = chain_indices(shape, output_spacing, voxel_size, steps)
        if interpolation == "linear":
            result[volume] = clamped_blend(image[volume], I, J, K)[1]
            continue
        i, j, k = nearest_index(I, nx), nearest_index(J, ny), nearest_index(K, nz)
        found = (i >= 0) & (j >= 0) & (k >= 0)
        result[volume][found] = image[volume][k[found], j[found], i[found]]
    return result
