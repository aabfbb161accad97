"""``deskew``: the matrix and grid that turn a stage-scanned light-sheet stack into sample space.

The raw stack ``(nz, ny, nx)`` holds one camera frame per stage position:
plane k was taken with the stage moved k * dz along the scan direction, and
each frame lies in the light sheet, which is tilted by ``angle`` from the
coverslip. In the stack's own physical units, voxel ``(k, j, i)`` is at
``p = (i * sx, j * sy, k * dz)``, and in sample space at::

    deskewed frame (x', y', z'):  x' = i * sx + k * dz * cos(angle)
                                  y' = j * sy
                                  z' = k * dz * sin(angle)

x' runs along the camera's x axis, in the sheet; y' is the camera's y axis,
along the sheet and parallel to the coverslip; z' is normal to the sheet
(the detection axis). Each plane is shifted along +x by the stage step times
cos(angle); the scan direction in that frame is ``(cos(angle), 0, sin(angle))``,
so an angle above 90 degrees shifts later planes towards -x. ``rotate``
turns the deskewed frame by ``angle`` about y into coverslip coordinates::

    X = x' * cos(angle) + z' * sin(angle)  (along the scan; = k * dz + i * sx * cos(angle))
    Y = y'
    Z = z' * cos(angle) - x' * sin(angle)  (normal to the coverslip; = -i * sx * sin(angle))

Both maps keep the stack's handedness: a rotation, no mirror.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Optional, Sequence, Tuple

import numpy as np

from ._core.affine import finite_numbers, inverse4
from .fit import fit_grid

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


def deskew(
    shape: Sequence[int],
    voxel_size: ArrayLike,
    *,
    angle: float,
    rotate: bool = False,
    output_voxel_size: Optional[ArrayLike] = None,
) -> Tuple[NDArray[np.float32], Tuple[int, int, int]]:
    """Return ``(matrix, shape)`` that deskew a stage-scanned light-sheet stack.

    ``shape`` is the raw stack's ``(nz, ny, nx)`` (or ``(nvol, nz, ny, nx)``),
    ``voxel_size`` its ``(sx, sy, dz)``: the camera's pixel size along x and
    y in the sample and the stage step between planes. ``angle`` is the angle
    in degrees between the light sheet and the coverslip (the stage), strictly
    between 0 and 180. Plane k lies k * dz along the scan; in the output it is
    shifted along x by ``k * dz * cos(angle)``, and the planes are
    ``dz * sin(angle)`` apart along z, normal to the sheet (see the module's
    description for the frames). ``rotate=True`` turns that frame by
    ``angle`` about y, so that z is normal to the coverslip and x runs along
    the scan.

    ``output_voxel_size`` is the output's ``(osx, osy, osz)``; by default
    isotropic at the finer lateral pixel size, ``min(sx, sy)`` along every
    axis. The output grid is the smallest box of that spacing whose voxel
    centres hold every raw voxel centre, as :func:`voxwarpkit.fit_grid`
    finds it; ``matrix`` maps output physical positions to the stack's, as
    :func:`voxwarpkit.resample` takes it::

        matrix, out_shape = voxwarpkit.deskew(stack.shape, (0.1, 0.1, 0.4), angle=31.5)
        volume = voxwarpkit.resample(stack, (0.1, 0.1, 0.4), matrix, shape=out_shape,
                                     output_voxel_size=(0.1, 0.1, 0.1))

    Raises ValueError for an angle outside (0, 180), or a shape, voxel size
    or output voxel size that :func:`voxwarpkit.fit_grid` refuses.
    """
    to_sample = deskew_map(angle, rotate=rotate)
    if output_voxel_size is None:
        lateral = finite_numbers(voxel_size, "voxel_size").ravel()[:2]
        output_voxel_size = np.full(3, lateral.min() if lateral.size == 2 else 1.0)
    out_shape, matrix = fit_grid(shape, voxel_size, inverse4(to_sample), output_voxel_size=output_voxel_size)
    return matrix, out_shape


def deskew_map(angle: float, *, rotate: bool = False) -> NDArray[np.float64]:
    """The 4x4 that takes the raw stack's physical position ``(i * sx, j * sy, k * dz)``
    to the deskewed frame's, or with ``rotate`` to coverslip coordinates."""
    degrees = float(angle)
    if not (math.isfinite(degrees) and 0.0 < degrees < 180.0):
        raise ValueError(f"angle must be between 0 and 180 degrees (exclusive), got {angle!r}")
    turn = math.radians(degrees)
    cos, sin = math.cos(turn), math.sin(turn)
    shear = np.eye(4)
    shear[0, 2] = cos  # x' = x + z * cos(angle), the stage step's part along the sheet
    shear[2, 2] = sin  # z' = z * sin(angle), its part normal to the sheet
    if not rotate:
        return shear
    about_y = np.eye(4)
    about_y[:3, :3] = [[cos, 0.0, sin], [0.0, 1.0, 0.0], [-sin, 0.0, cos]]
    placed: NDArray[np.float64] = about_y @ shear
    return placed
