"""A synthetic head phantom of ellipsoids, made in memory."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

# After the 3-D Shepp-Logan head: (value added, semi-axes a, b, c, centre x, y, z,
# rotation about z in degrees), all in units of the half-width of the field of
# view. The last ellipsoid is off the symmetry planes, so any rotation or
# mirror of the phantom shows.
_ELLIPSOIDS: Sequence[Tuple[float, float, float, float, float, float, float, float]] = (
    (1.0, 0.69, 0.92, 0.81, 0.0, 0.0, 0.0, 0.0),
    (-0.8, 0.6624, 0.874, 0.78, 0.0, -0.0184, 0.0, 0.0),
    (-0.2, 0.11, 0.31, 0.22, 0.22, 0.0, 0.0, -18.0),
    (-0.2, 0.16, 0.41, 0.28, -0.22, 0.0, 0.0, 18.0),
    (0.1, 0.21, 0.25, 0.41, 0.0, 0.35, -0.15, 0.0),
    (0.1, 0.046, 0.046, 0.05, 0.0, 0.1, 0.25, 0.0),
    (0.1, 0.046, 0.046, 0.05, 0.0, -0.1, 0.25, 0.0),
    (0.1, 0.046, 0.023, 0.05, -0.08, -0.605, 0.0, 0.0),
    (0.1, 0.023, 0.023, 0.02, 0.0, -0.606, 0.0, 0.0),
    (0.1, 0.023, 0.046, 0.02, 0.06, -0.605, 0.0, 0.0),
    (0.3, 0.12, 0.12, 0.12, 0.35, -0.45, 0.4, 0.0),
)


def head_phantom(shape: Tuple[int, int, int], voxel_size: Tuple[float, float, float]) -> NDArray[np.float32]:
    """A float32 volume ``(nz, ny, nx)`` of nested ellipsoids with values in [0, 1.3].

    The phantom fills the largest cube that fits the grid's physical extent,
    ``voxel_size = (sx, sy, sz)``, so it keeps its proportions on anisotropic
    grids.
    """
    nz, ny, nx = shape
    sx, sy, sz = voxel_size
    half = min((nx - 1) * sx, (ny - 1) * sy, (nz - 1) * sz) / 2.0
    z = ((np.arange(nz) - (nz - 1) / 2.0) * sz / half)[:, None, None]
    y = ((np.arange(ny) - (ny - 1) / 2.0) * sy / half)[None, :, None]
    x = ((np.arange(nx) - (nx - 1) / 2.0) * sx / half)[None, None, :]
    volume = np.zeros(shape, dtype=np.float64)
    for value, a, b, c, cx, cy, cz, degrees in _ELLIPSOIDS:
        cos, sin = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
        u = (x - cx) * cos + (y - cy) * sin
        v = (y - cy) * cos - (x - cx) * sin
        inside = (u / a) ** 2 + (v / b) ** 2 + ((z - cz) / c) ** 2 <= 1.0
        volume += value * inside
    return volume.astype(np.float32)
