"""Grids turned so that OME-Zarr can place them: every voxel axis pointing along its world axis.

OME-Zarr places a level by a scale and a translation, and its scale must be
positive. A grid whose voxel axes run along the world axes but some of them
backwards (a NIfTI image stored LAS, x pointing left) is the same set of
voxels read from the other end: the array is flipped along those axes and
the translation moved to the new first voxel, so every voxel keeps its world
position. A rotated or sheared grid has no such form and is left as it is,
for the writers to refuse.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np

from .._core.affine import affine4, twelve
from .._core.grid import Grid
from .._lazy.windows import Windows
from ..io.windows import flipped
from .chains import MatrixOrChain

if TYPE_CHECKING:
    from numpy.typing import NDArray

Flips = Tuple[bool, bool, bool]


def backward_axes(affine: NDArray[np.float64]) -> Optional[Flips]:
    """Which voxel axes (i, j, k) of a voxel-to-world ``affine`` run against their world axis,
    or None when its linear part is not diagonal (rotated or sheared)."""
    linear = np.asarray(affine, dtype=np.float64)[:3, :3]
    diagonal = np.diag(linear)
    tolerance = 1e-9 * float(np.max(np.abs(diagonal)))
    if not np.allclose(linear, np.diag(diagonal), rtol=0, atol=tolerance):
        return None
    i, j, k = (bool(d < 0) for d in diagonal)
    return (i, j, k)


def _reversal(shape: Tuple[int, int, int], spacing: Tuple[float, ...], flips: Flips) -> NDArray[np.float64]:
    """The map from positions on the flipped grid to the same voxels' positions on the grid itself,
    as a 4x4 along (i, j, k): index n - 1 - i for a flipped axis, scaled by ``spacing`` (1 for indices)."""
    reversal = np.eye(4)
    for axis, flip in enumerate(flips):
        if flip:
            reversal[axis, axis] = -1.0
            reversal[axis, 3] = (shape[axis] - 1) * spacing[axis]
    return reversal


def forward_grid(grid: Grid, matrix: MatrixOrChain) -> Tuple[Grid, MatrixOrChain]:
    """``grid`` with its backward axes flipped, and the kernel's matrices (or chain) that sample
    the same positions on it: each output voxel moves, and keeps its world position and value."""
    flips = backward_axes(grid.affine)
    if flips is None or not any(flips):
        return grid, matrix
    index = _reversal(grid.shape, (1.0, 1.0, 1.0), flips)
    physical = _reversal(grid.shape, grid.zooms, flips)
    turned = Grid(grid.shape, grid.affine @ index, grid.zooms)
    if isinstance(matrix, list):  # a chain starts with the output's matrices
        return turned, [_composed(matrix[0], physical), *matrix[1:]]
    return turned, _composed(matrix, physical)


def _composed(matrices: NDArray[np.float32], physical: NDArray[np.float64]) -> NDArray[np.float32]:
    """The kernel's (12,) or (n, 12) matrices applied after ``physical``, rounded once to float32."""
    stack: List[NDArray[np.float32]] = [twelve(affine4(m) @ physical) for m in np.reshape(matrices, (-1, 12))]
    return np.stack(stack).reshape(np.shape(matrices))


def forward_image(data: Any, affine: NDArray[np.float64]) -> Tuple[Any, NDArray[np.float64]]:
    """An image ((t,) z, y, x: a dask or numpy array, or Windows read from its store) and its
    voxel-to-world ``affine``, with the backward axes flipped: the same voxels at the same world
    positions, read from the other end."""
    flips = backward_axes(affine)
    if flips is None or not any(flips):
        return data, affine
    shape = tuple(int(n) for n in data.shape[-3:][::-1])
    reversal = _reversal((shape[0], shape[1], shape[2]), (1.0, 1.0, 1.0), flips)
    turned: NDArray[np.float64] = affine @ reversal
    if isinstance(data, Windows):
        return flipped(data, [data.ndim - 1 - axis for axis, flip in enumerate(flips) if flip]), turned
    steps = tuple(slice(None, None, -1 if flip else 1) for flip in flips[::-1])  # (z, y, x)
    return data[(Ellipsis, *steps)], turned
