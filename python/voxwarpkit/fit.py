"""``fit_grid``: an output grid that holds the whole transformed input."""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

import numpy as np

from ._core.affine import affines, finite_numbers, twelve
from ._core.grid import fitted_box

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


def fit_grid(
    shape: Sequence[int],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    output_voxel_size: Optional[ArrayLike] = None,
) -> Tuple[Tuple[int, int, int], NDArray[np.float32]]:
    """Return ``(shape, matrix)``: an output grid that holds the whole transformed input.

    ``shape`` is the input's ``(nz, ny, nx)`` or ``(nvol, nz, ny, nx)``,
    ``voxel_size`` its ``(sx, sy, sz)``, and ``matrix`` maps an output
    physical position to the input's, as :func:`voxwarpkit.resample` takes
    it: 12 numbers, a 3x4 or a 4x4, or one per volume (the grid then holds
    every volume). ``output_voxel_size`` is the output's spacing (default
    ``voxel_size``).

    Every input voxel centre is mapped into the output's space, and the
    output gets the fewest voxels along each axis whose centres span them
    all, with the slack split evenly on both sides. The returned matrix is
    ``matrix`` (one per volume for a stack, float32 like ``resample``'s) with
    the translation that puts that box's first corner at output index 0::

        out_shape, out_matrix = voxwarpkit.fit_grid(image.shape, voxel_size, matrix)
        whole = voxwarpkit.resample(image, voxel_size, out_matrix, shape=out_shape)

    Raises ValueError for a shape that is not an image's, a voxel size that
    is not positive, or a matrix that is singular or of the wrong shape.
    """
    dims = tuple(shape)
    if len(dims) not in (3, 4) or not all(isinstance(n, (int, np.integer)) and n >= 1 for n in dims):
        raise ValueError(f"shape must be an image shape (nz, ny, nx) or (nvol, nz, ny, nx), got {dims!r}")
    spacing = _positive(voxel_size, "voxel_size")
    output_spacing = spacing if output_voxel_size is None else _positive(output_voxel_size, "output_voxel_size")
    maps = _matrices(matrix)
    counts, start = fitted_box(dims[-3:], spacing, maps, output_spacing)
    shift = np.eye(4)
    shift[:3, 3] = start
    fitted = [twelve(m @ shift) for m in maps]
    nx_out, ny_out, nz_out = counts
    return (nz_out, ny_out, nx_out), fitted[0] if len(fitted) == 1 else np.stack(fitted)


def _positive(value: ArrayLike, name: str) -> NDArray[np.float64]:
    spacing = finite_numbers(value, name).ravel()
    if spacing.shape != (3,) or not np.all(spacing > 0):
        raise ValueError(f"{name} must be 3 positive numbers (sx, sy, sz), got {spacing.tolist()}")
    return spacing


def _matrices(matrix: ArrayLike) -> List[NDArray[np.float64]]:
    """One 4x4 per matrix: a single one, or a stack of them."""
    return list(affines(matrix))
