"""The inverse of a drawn transform on the sample's grid, to map a network's prediction on an augmented
sample back onto the sample.

A drawn transform takes output index ``o`` to input index ``M (o + d(o))``. Its inverse at input index
``i`` is the ``o`` with ``o + d(o) = M^-1 i``: the fixed point of ``o <- M^-1 i - d(o)``, which converges
where the deformation moves neighbouring points by less than their distance, as TorchIO's and MONAI's
settings do (fold-free). ``d`` between voxels is the trilinear blend of its values at the voxels, the
positions clamped to the grid: so the fixed point inverts the deformation as linear sampling reads it between
voxels, and differs from the exact inverse by that blend alone. It is made in double by numpy's
element-wise operations, the same on every machine.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

from .._engine import bspline_displacements
from ..bspline import BSpline
from ..field import Field
from .draw import Drawn, inverse3

if TYPE_CHECKING:
    from numpy.typing import NDArray


def inverse(drawn: Drawn, shape: Sequence[int], *, iterations: int = 20) -> Any:
    """A chain that :func:`voxwarpkit.resample` takes with ``voxel_size=(1, 1, 1)`` to map volumes of the
    augmented sample (spatial ``shape`` ``(nz, ny, nx)``) back onto the sample: the inverse matrix for a
    drawn transform without deformation, else a chain of one :class:`voxwarpkit.Field`, ``iterations`` steps of the
    fixed point. Memory: about ten float64 arrays of the sample's size."""
    if not isinstance(iterations, int) or iterations < 1:
        raise ValueError(f"iterations must be a whole number of at least 1, got {iterations!r}")
    nz, ny, nx = (int(n) for n in shape)
    back = inverse3([[float(drawn.matrix[i, j]) for j in range(3)] for i in range(3)])
    shift = [float(drawn.matrix[i, 3]) for i in range(3)]
    if drawn.deformation is None:
        matrix = np.eye(4)
        for i in range(3):
            matrix[i, :3] = back[i]
            matrix[i, 3] = -(back[i][0] * shift[0] + back[i][1] * shift[1] + back[i][2] * shift[2])
        return matrix
    moves = _displacements(drawn.deformation, (nz, ny, nx))
    grid = np.meshgrid(np.arange(nx, dtype=np.float64), np.arange(ny), np.arange(nz), indexing="ij")
    start = [g.transpose(2, 1, 0) - shift[k] for k, g in enumerate(grid)]  # (nz, ny, nx) each, x y z
    target = [back[i][0] * start[0] + back[i][1] * start[1] + back[i][2] * start[2] for i in range(3)]
    found = [t.copy() for t in target]
    for _ in range(iterations):
        blended = _trilinear(moves, found)
        found = [target[k] - blended[k] for k in range(3)]
    steps = np.stack([found[k] - (start[k] + shift[k]) for k in range(3)], axis=-1)
    return [Field(steps, (1.0, 1.0, 1.0))]


def _displacements(deformation: Any, shape: Sequence[int]) -> NDArray[np.float64]:
    """The deformation's displacements ``(3, nz, ny, nx)`` at every voxel, index units."""
    if isinstance(deformation, BSpline):
        positions = [np.arange(n, dtype=np.float32) for n in shape[::-1]]
        return np.asarray(bspline_displacements(deformation.engine_form(), *positions), dtype=np.float64)
    assert isinstance(deformation, Field)
    return np.moveaxis(np.asarray(deformation.displacements, dtype=np.float64), 3, 0)


def _trilinear(values: NDArray[np.float64], positions: Sequence[Any]) -> Any:
    """Each of the three components of ``values`` blended at ``positions`` (x, y, z), clamped to the grid."""
    sizes = values.shape[:0:-1]  # nx, ny, nz
    lower, weight = [], []
    for p, n in zip(positions, sizes):
        clamped = np.clip(p, 0.0, n - 1.0)
        floor = np.minimum(np.floor(clamped), max(n - 2, 0)).astype(np.intp)
        lower.append(floor)
        weight.append(clamped - floor)
    (x0, y0, z0), (fx, fy, fz) = lower, weight
    x1, y1, z1 = (np.minimum(a + 1, n - 1) for a, n in zip(lower, sizes))
    blended = []
    for component in values:
        c00 = component[z0, y0, x0] * (1 - fx) + component[z0, y0, x1] * fx
        c01 = component[z0, y1, x0] * (1 - fx) + component[z0, y1, x1] * fx
        c10 = component[z1, y0, x0] * (1 - fx) + component[z1, y0, x1] * fx
        c11 = component[z1, y1, x0] * (1 - fx) + component[z1, y1, x1] * fx
        c0 = c00 * (1 - fy) + c01 * fy
        c1 = c10 * (1 - fy) + c11 * fy
        blended.append(c0 * (1 - fz) + c1 * fz)
    return blended
