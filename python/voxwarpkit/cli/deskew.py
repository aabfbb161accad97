"""``apply --deskew``: the grid and kernel matrix that put a stage-scanned light-sheet stack into sample space."""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional, Sequence, Tuple

import numpy as np

from .._core.affine import affine4
from .._core.grid import Grid, checked_grid
from ..deskew import deskew, deskew_map
from .errors import CommandError

if TYPE_CHECKING:
    from numpy.typing import NDArray


def deskewed_grid(
    source: Grid, angle: float, rotate: bool, voxel_size: Optional[Sequence[float]]
) -> Tuple[Grid, NDArray[np.float32], str]:
    """The grid holding the whole deskewed stack, the kernel's ``(1, 12)`` matrix and what was done, for the summary.

    The input's axes are the stack's: i the camera's x, j its y, k the stage
    position, with voxel size (sx, sy, dz). The output's world frame is the
    sample's (the sheet's, or the coverslip's with ``rotate``), axis-aligned
    with voxel size ``voxel_size`` (default isotropic at min(sx, sy)), and
    the input's origin carried into it.
    """
    try:
        matrix, shape = deskew(
            source.shape[::-1], source.zooms, angle=angle, rotate=rotate, output_voxel_size=voxel_size
        )
    except ValueError as error:
        raise CommandError(f"--deskew {angle:g}: {error}") from None
    to_sample = deskew_map(angle, rotate=rotate)
    first = to_sample @ affine4(matrix)[:, 3]  # output voxel 0 in the sample, the input's voxel 0 at 0
    zooms = np.full(3, min(source.zooms[:2])) if voxel_size is None else np.asarray(voxel_size, np.float64)
    affine = np.diag([*zooms, 1.0])
    affine[:3, 3] = first[:3] + to_sample[:3, :3] @ source.affine[:3, 3]
    grid = checked_grid(shape[::-1], affine, tuple(zooms), "the deskewed output")
    frame = "coverslip" if rotate else "sheet"
    return grid, matrix[np.newaxis], f" deskewed at {angle:g} degrees into the {frame}'s frame"
