"""Build the ``matrix`` argument of :func:`voxwarpkit.transform` from common conventions.

:func:`~voxwarpkit.transform` takes 12 numbers, a row-major 3x4 matrix that
maps an **output** voxel's **physical** position to the **input's** physical
position. Physical means index times voxel size, with index 0 at 0, in the
order ``(x, y, z)`` = (columns, rows, slices) = the array's axes read from
last to first. Every helper here returns those 12 numbers as float32 and
states which convention it reads:

======================  =============================================  =======================
helper                  what it reads                                  direction it reads
======================  =============================================  =======================
``from_homogeneous``    4x4 or 3x4, physical ``(x, y, z)``             output -> input
``from_index``          scipy.ndimage ``matrix``/``offset``, indices   output -> input
                        in array axis order ``(z, y, x)``
``invert``              4x4 or 3x4, physical ``(x, y, z)``             input -> output
``rigid``               rotation angles and a translation              moves the content
``from_world``          world-space 4x4 and a NIfTI voxel-to-world     output -> input
                        affine (nibabel's ``img.affine``)
======================  =============================================  =======================

``as_homogeneous`` turns 12 numbers back into a 4x4 float64 matrix, for
composing with ``@`` or for printing.

All matrices are read as float64 and rounded to float32 once, at the end.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Optional, Sequence

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

from ._core.affine import REVERSE_AXES, affine4, finite_numbers, inverse4, physical_from_index, twelve

__all__ = ["as_homogeneous", "from_homogeneous", "from_index", "from_world", "invert", "rigid"]


def _voxel_size(voxel_size: ArrayLike) -> NDArray[np.float64]:
    """Three positive spacings (sx, sy, sz), or ValueError."""
    spacing = finite_numbers(voxel_size, "voxel_size").ravel()
    if spacing.shape != (3,):
        raise ValueError(f"voxel_size must hold 3 numbers (sx, sy, sz), got {spacing.size}")
    if not np.all(spacing > 0):
        raise ValueError(f"voxel_size must be positive, got {spacing.tolist()}")
    return spacing


def as_homogeneous(matrix: ArrayLike) -> NDArray[np.float64]:
    """Return a matrix in any of transform's forms as a 4x4 float64 matrix.

    Accepts the 12 numbers the helpers return, a 3x4 or a 4x4 matrix. The
    convention does not change: a matrix for :func:`~voxwarpkit.transform`
    stays output -> input in physical ``(x, y, z)``. Use it to compose
    matrices with ``@`` or to print one readably.
    """
    return affine4(matrix)


def from_homogeneous(matrix: ArrayLike) -> NDArray[np.float32]:
    """Return transform's 12 numbers from a 4x4 or 3x4 homogeneous matrix.

    Convention read: the matrix maps an **output** position to an **input**
    position, both **physical** ``(x, y, z)`` (index times voxel size, with
    x along the array's last axis), which is transform's own convention::

        [x]   [m0 m1  m2  m3 ] [X]
        [y] = [m4 m5  m6  m7 ] [Y]
        [z]   [m8 m9  m10 m11] [Z]
        [1]   [0  0   0   1  ] [1]

    Also accepts 12 numbers in row-major order. The last row of a 4x4 must be
    ``0 0 0 1``. For a matrix that maps input to output, use :func:`invert`.

    Raises ValueError for other shapes, non-finite entries or a 4x4 that is
    not affine.
    """
    return twelve(affine4(matrix))


def invert(matrix: ArrayLike) -> NDArray[np.float32]:
    """Return transform's 12 numbers from a matrix that maps input to output.

    Convention read: the matrix maps an **input** position to an **output**
    position (the direction registration tools usually save), both
    **physical** ``(x, y, z)``; 4x4, 3x4 or 12 numbers, as for
    :func:`from_homogeneous`. The inverse is computed in float64 and rounded
    to float32 once.

    For a forward matrix in index space, invert it in that space and pass it
    to :func:`from_index`: ``from_index(numpy.linalg.inv(forward),
    voxel_size=...)``.

    Raises ValueError when the matrix is singular (or nearly so).
    """
    return twelve(inverse4(affine4(matrix)))


def from_index(matrix: ArrayLike, offset: ArrayLike = 0.0, *, voxel_size: ArrayLike) -> NDArray[np.float32]:
    """Return transform's 12 numbers from an index-space matrix, as scipy.ndimage uses.

    Convention read: that of ``scipy.ndimage.affine_transform(image, matrix,
    offset)``, which maps an **output** index to an **input** index, with
    indices in the **array's axis order** ``(z, y, x)``::

        input_index = matrix @ output_index + offset

    ``matrix`` may be 3x3, a diagonal of 3 numbers, 3x4 or 4x4 (the last two
    carry their own translation, and ``offset`` must then be left at 0).
    ``offset`` is one number for all axes or three in ``(z, y, x)`` order.

    ``voxel_size`` is ``(sx, sy, sz)``, the same array you pass to
    :func:`~voxwarpkit.transform`; the result maps the same voxels onto each
    other for any positive spacing, provided transform is called with it.

    Raises ValueError for bad shapes, non-finite numbers, a non-positive
    voxel size or an offset given twice.
    """
    spacing = _voxel_size(voxel_size)
    linear = finite_numbers(matrix, "matrix")
    shift = finite_numbers(offset, "offset")
    if shift.shape not in ((), (3,)):
        raise ValueError(f"offset must be one number or 3, got shape {shift.shape}")
    if linear.shape in ((3, 4), (4, 4)):
        if np.any(shift != 0):
            raise ValueError("a 3x4 or 4x4 matrix carries its own translation; leave offset at 0")
        zyx = affine4(linear)
    elif linear.shape in ((3,), (3, 3)):
        zyx = np.eye(4)
        zyx[:3, :3] = np.diag(linear) if linear.ndim == 1 else linear
        zyx[:3, 3] = shift
    else:
        raise ValueError(f"matrix must be 3x3, 3 numbers, 3x4 or 4x4, got shape {linear.shape}")
    xyz = REVERSE_AXES @ zyx @ REVERSE_AXES
    return twelve(physical_from_index(xyz, spacing))


def _rotation(degrees: NDArray[np.float64]) -> NDArray[np.float64]:
    """Rotate about x, then about y, then about z (fixed axes, right-handed)."""
    ax, ay, az = (math.radians(float(angle)) for angle in degrees)
    about_x = np.array([[1, 0, 0], [0, math.cos(ax), -math.sin(ax)], [0, math.sin(ax), math.cos(ax)]])
    about_y = np.array([[math.cos(ay), 0, math.sin(ay)], [0, 1, 0], [-math.sin(ay), 0, math.cos(ay)]])
    about_z = np.array([[math.cos(az), -math.sin(az), 0], [math.sin(az), math.cos(az), 0], [0, 0, 1]])
    result: NDArray[np.float64] = about_z @ about_y @ about_x
    return result


def rigid(
    shape: Sequence[int],
    voxel_size: ArrayLike,
    *,
    rotation: ArrayLike = (0.0, 0.0, 0.0),
    translation: ArrayLike = (0.0, 0.0, 0.0),
    centre: Optional[ArrayLike] = None,
) -> NDArray[np.float32]:
    """Return transform's 12 numbers for a rigid motion of the image's content.

    Convention read: a motion of what the image shows. The content is first
    rotated about the **centre** and then moved by **translation**; a feature
    at input position ``p`` appears in the output at::

        q = R @ (p - centre) + centre + translation

    All positions are physical ``(x, y, z)``, in the units of ``voxel_size``.

    ``rotation`` holds angles in **degrees** ``(about x, about y, about z)``,
    applied in that order, about axes fixed in space, each right-handed
    (positive from +y towards +z, from +z towards +x, from +x towards +y):
    ``R = Rz @ Ry @ Rx``. This is ``scipy.spatial.transform.Rotation
    .from_euler("xyz", rotation, degrees=True)``.

    ``shape`` is the image's shape, ``(nz, ny, nx)`` or ``(nvol, nz, ny, nx)``;
    with ``centre=None`` the motion is about the volume's centre,
    ``((nx-1)*sx/2, (ny-1)*sy/2, (nz-1)*sz/2)``. ``voxel_size`` is
    ``(sx, sy, sz)``, the one you pass to :func:`~voxwarpkit.transform`.

    The result is the inverse of that motion, as transform maps output to
    input.
    """
    dims = tuple(shape)
    counts_ok = all(isinstance(n, (int, np.integer)) and n >= 0 for n in dims)
    if len(dims) not in (3, 4) or not counts_ok:
        raise ValueError(f"shape must be an image shape (nz, ny, nx) or (nvol, nz, ny, nx), got {dims!r}")
    spacing = _voxel_size(voxel_size)
    angles = finite_numbers(rotation, "rotation").ravel()
    shift = finite_numbers(translation, "translation").ravel()
    if angles.shape != (3,) or shift.shape != (3,):
        raise ValueError("rotation and translation must each hold 3 numbers (x, y, z)")
    if centre is None:
        nz, ny, nx = dims[-3:]
        middle = np.array([nx - 1, ny - 1, nz - 1], dtype=np.float64) * spacing / 2.0
    else:
        middle = finite_numbers(centre, "centre").ravel()
        if middle.shape != (3,):
            raise ValueError("centre must hold 3 numbers (x, y, z)")
    turn = _rotation(angles)
    backward = np.eye(4)
    backward[:3, :3] = turn.T
    backward[:3, 3] = middle - turn.T @ (middle + shift)
    return twelve(backward)


def from_world(matrix: ArrayLike, affine: ArrayLike, *, voxel_size: ArrayLike) -> NDArray[np.float32]:
    """Return transform's 12 numbers from a world-space matrix and a NIfTI affine.

    Convention read: ``matrix`` is a 4x4 (or 3x4) that maps an **output**
    position to an **input** position in **world** coordinates (the scanner
    millimetres of a NIfTI header); ``affine`` maps voxel indices
    ``(i, j, k)`` to world, as nibabel's ``img.affine`` does for
    ``img.get_fdata()``, whose axes are ``(i, j, k)``. For a world matrix that
    maps input to output, pass ``numpy.linalg.inv(matrix)``.

    transform needs that array with its axes reversed, ``data.T``, so that
    ``x = i``, ``y = j``, ``z = k``, and the voxel size along ``(i, j, k)``,
    for instance ``img.header.get_zooms()[:3]``::

        m = from_world(world, img.affine, voxel_size=zooms)
        result = transform(data.T, np.asarray(zooms), m).T

    Input and output share the grid described by ``affine``.
    """
    spacing = _voxel_size(voxel_size)
    world = affine4(matrix)
    to_world = affine4(affine, "affine")
    index_map = inverse4(to_world, "affine") @ world @ to_world
    return twelve(physical_from_index(index_map, spacing))
