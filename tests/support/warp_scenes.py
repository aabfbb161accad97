"""A moving image, a reference grid and displacement fields for warp tests, and their SimpleITK (LPS+) twins.

Grids are oblique; the image is smooth, so that peers' interpolations agree
with ours to float32 rounding wherever the same positions are sampled.
"""

import numpy as np

from support.geometry import turn_about

LPS = np.diag([-1.0, -1.0, 1.0, 1.0])


def grid_affine(zooms, degrees, origin):
    """A voxel-to-world affine: voxel axes scaled by ``zooms``, turned by ``degrees`` (about z, then x)."""
    affine = turn_about(np.zeros(3), degrees, np.zeros(3)) @ np.diag([*zooms, 1.0])
    affine[:3, 3] = origin
    return affine


REFERENCE = ((20, 18, 12), grid_affine((2.0, 2.5, 3.0), (10.0, 0.0), (-20.0, -25.0, -15.0)))
MOVING = ((32, 36, 20), grid_affine((1.5, 1.5, 2.0), (-4.0, 7.0), (-24.0, -28.0, -18.0)))


def smooth_data(shape, volumes=0):
    """Smooth float32 data of range about 3 on ``shape`` (i, j, k), with ``volumes`` volumes last when not 0."""
    x, y, z = np.meshgrid(*[np.linspace(0.0, 1.0, n) for n in shape], indexing="ij")
    first = np.sin(3 * x) + np.cos(4 * y) * z + x * y
    if not volumes:
        return first.astype(np.float32)
    return np.stack([first + 0.1 * t * x for t in range(volumes)], axis=-1).astype(np.float32)


def smooth_displacements(shape, scale=1.5):
    """Displacements (i, j, k, 3) of a few millimetres that vary slowly across ``shape``."""
    i, j, k = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    return scale * np.stack([np.sin(i / 5.0), 0.7 * np.cos(j / 4.0), 0.5 * np.sin((i + k) / 6.0)], axis=-1)


def world_points(shape, affine):
    """The world positions (n, 3) of every voxel of a grid, in C order of (i, j, k)."""
    index = np.indices(shape).reshape(3, -1).T
    return index @ affine[:3, :3].T + affine[:3, 3]


def inside_mask(points, shape, affine, margin=0.01):
    """Which world ``points`` fall inside the grid, away from its outer half voxel, where clamped
    and zero-padded linear sampling agree."""
    index = (points - affine[:3, 3]) @ np.linalg.inv(affine[:3, :3]).T
    return np.all((index > margin) & (index < np.array(shape) - 1 - margin), axis=1)


def sitk_image(sitk, data, affine):
    """A SimpleITK image of ``data`` (i, j, k) or vectors (i, j, k, 3) on the grid of the RAS+ ``affine``."""
    zooms = np.sqrt(np.sum(affine[:3, :3] ** 2, axis=0))
    lps = LPS @ affine
    array = data.transpose(2, 1, 0, 3) if data.ndim == 4 else data.T
    image = sitk.GetImageFromArray(np.ascontiguousarray(array), isVector=data.ndim == 4)
    image.SetSpacing(zooms.tolist())
    image.SetOrigin(lps[:3, 3].tolist())
    image.SetDirection((lps[:3, :3] / zooms).ravel().tolist())
    return image
