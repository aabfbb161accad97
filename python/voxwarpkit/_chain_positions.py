"""A chain tile's index at each output voxel, in double, for fusion's weights.

A tile whose transform is a matrix has an index matrix, and the engine forms
its positions row by row. A chain with a displacement field has none, so its
positions are made here, a slab of planes at a time: the output voxel's
physical offset from the output's origin, each matrix step
``((a0 x + a1 y) + a2 z) + t`` and each field step ``p + d(p)`` in double
(``d`` by the clamped linear rule over the field's grid, its eight terms
summed in double and never rounded to float32), then ``p_r / s_r``. numpy's
float64 ufuncs are single IEEE operations with no fused multiply-add, so each
step rounds once, as written.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, NamedTuple, Tuple, Union

import numpy as np

from .field import EngineField

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from ._request import Counts

# A step of the chain: a 3x4 matrix in double, or a field in the engine's form.
WeightStep = Union["NDArray[np.float64]", EngineField]

# What the arrays of one field step take per voxel at most (positions, neighbours, weights, the
# gathered terms and their sum), and what a slab's arrays may take in all.
BYTES_PER_VOXEL = 256
SLAB_BYTES = 24 * 2**20


class ChainFrame(NamedTuple):
    """What a chain tile's positions are made from."""

    steps: Tuple[WeightStep, ...]  # the first a matrix, already moved to the output's origin
    output_spacing: Tuple[float, float, float]  # (x, y, z), as the caller gave it, in double
    spacing: Tuple[float, float, float]  # the tile's (x, y, z), in double


def slab_planes(rows: int, columns: int) -> int:
    """How many planes of ``rows`` by ``columns`` voxels one slab of positions takes."""
    return max(1, SLAB_BYTES // (BYTES_PER_VOXEL * rows * columns))


def chain_positions(
    frame: ChainFrame, block_origin: Counts, first_plane: int, planes: int, rows: int, columns: int
) -> NDArray[np.float64]:
    """The tile index (x, y, z) as (3, planes, rows, columns) of the output block at ``block_origin``
    (z, y, x), its planes ``first_plane`` to ``first_plane + planes - 1``."""
    z0, y0, x0 = block_origin
    ox, oy, oz = frame.output_spacing
    x = (np.arange(columns, dtype=np.float64) + float(x0)) * ox
    y = (np.arange(rows, dtype=np.float64) + float(y0))[:, np.newaxis] * oy
    z = (np.arange(planes, dtype=np.float64) + float(z0 + first_plane))[:, np.newaxis, np.newaxis] * oz
    shape = (planes, rows, columns)
    point: List[NDArray[np.float64]] = [np.broadcast_to(x, shape), np.broadcast_to(y, shape), np.broadcast_to(z, shape)]
    with np.errstate(all="ignore"):  # infinities and NaNs are positions like any other: outside the tile
        for step in frame.steps:
            point = _displaced(step, point) if isinstance(step, tuple) else _moved(step, point)
        positions = np.empty((3, *shape), dtype=np.float64)
        for axis in range(3):
            np.divide(point[axis], frame.spacing[axis], out=positions[axis])
    return positions


def _moved(matrix: NDArray[np.float64], point: List[NDArray[np.float64]]) -> List[NDArray[np.float64]]:
    """``A p``: each new coordinate ((a0 x + a1 y) + a2 z) + t from the old point."""
    rows = [[float(v) for v in matrix[r]] for r in range(3)]
    return [((a[0] * point[0] + a[1] * point[1]) + a[2] * point[2]) + a[3] for a in rows]


def _displaced(field: EngineField, point: List[NDArray[np.float64]]) -> List[NDArray[np.float64]]:
    """``p + d(p)`` where the field's gate passes, ``p`` itself elsewhere."""
    components, origin, spacing = field
    nz, ny, nx = components.shape[1:]
    sampled = np.ones(point[0].shape, dtype=bool)
    axes = []
    for axis, count in enumerate((nx, ny, nz)):
        index = (point[axis] - origin[axis]) / spacing[axis]
        # The nearest gate: NaN and infinities fail the first test, then the nearest voxel (ties up)
        # must lie on the grid.
        gated = (index >= -1.0) & (index < 2.0**31)
        index = np.where(gated, index, 0.0)
        low = np.floor(index)
        fraction = index - low  # exact
        nearest = low + (fraction >= 0.5)
        sampled &= gated & (nearest >= 0.0) & (nearest <= count - 1)
        first = np.clip(low, 0, count - 1).astype(np.intp)
        second = np.clip(low + 1.0, 0, count - 1).astype(np.intp)
        axes.append((first, second, fraction, 1.0 - fraction))
    (x0, x1, fx, gx), (y0, y1, fy, gy), (z0, z1, fz, gz) = axes
    flat = components.reshape(3, -1)
    total = None
    # The clamped rule's eight terms in its order, each ((v wx) wy) wz, added from the left.
    for z, wz in ((z0, gz), (z1, fz)):
        for y, wy in ((y0, gy), (y1, fy)):
            for x, wx in ((x0, gx), (x1, fx)):
                values = flat[:, (z * ny + y) * nx + x].astype(np.float64)
                term = ((values * wx) * wy) * wz
                total = term if total is None else total + term
    assert total is not None
    return [np.where(sampled, point[axis] + total[axis], point[axis]) for axis in range(3)]
