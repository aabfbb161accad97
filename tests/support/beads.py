"""Gaussian beads imaged by a stage-scanned light sheet, and their centroids and second moments.

The microscope is simulated from the sample's side: beads sit at positions
in coverslip coordinates (X along the scan, Y along the sheet and the
coverslip, Z normal to the coverslip); raw voxel (k, j, i) is the sheet's
pixel (j, i) with the stage moved k * dz along X, at
``(k * dz + i * sx * cos(angle), j * sy, -i * sx * sin(angle))``.
"""

import numpy as np


def pixel_positions(shape, voxel_size, angle):
    """Coverslip positions (nz, ny, nx, 3) of every raw voxel."""
    sx, sy, dz = voxel_size
    turn = np.radians(angle)
    k, j, i = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in shape), indexing="ij")
    return np.stack([k * dz + i * sx * np.cos(turn), j * sy, -i * sx * np.sin(turn)], axis=-1)


def raw_position(bead, voxel_size, angle):
    """The raw stack's physical position (i * sx, j * sy, k * dz) that images ``bead``."""
    sx, _, dz = voxel_size
    turn = np.radians(angle)
    along = -bead[2] / np.sin(turn)  # i * sx
    return np.array([along, bead[1], bead[0] - along * np.cos(turn)])


def scatter_beads(rng, shape, voxel_size, angle, count, sigma):
    """``count`` bead positions inside the imaged volume, 4 sigma from its faces and 8 sigma apart."""
    nz, ny, nx = shape
    sx, sy, dz = voxel_size
    turn = np.radians(angle)
    beads = []
    for _ in range(100000):
        if len(beads) == count:
            return np.array(beads)
        i, j, k = rng.uniform(0, 1, 3) * np.array([nx - 1, ny - 1, nz - 1])
        inside = [i * sx * np.sin(turn), (nx - 1 - i) * sx * np.sin(turn), j * sy, (ny - 1 - j) * sy]
        inside += [k * dz * np.sin(turn), (nz - 1 - k) * dz * np.sin(turn)]  # distances to the sheet's first and last
        bead = np.array([k * dz + i * sx * np.cos(turn), j * sy, -i * sx * np.sin(turn)])
        if min(inside) > 4 * sigma and all(np.linalg.norm(bead - b) > 8 * sigma for b in beads):
            beads.append(bead)
    raise ValueError(f"{count} beads do not fit in a stack of shape {shape}")


def image_beads(shape, voxel_size, angle, beads, sigma):
    """The raw stack: each voxel the sum of the Gaussian beads at its position, float32."""
    positions = pixel_positions(shape, voxel_size, angle)
    stack = np.zeros(shape)
    for bead in beads:
        stack += np.exp(-np.sum((positions - bead) ** 2, axis=-1) / (2 * sigma**2))
    return stack.astype(np.float32)


def moments(volume, voxel_size, centre, radius):
    """The centroid (x, y, z) and covariance (3x3) of ``volume`` within ``radius`` of ``centre``, in physical units."""
    spacing = np.asarray(voxel_size, np.float64)
    low = np.maximum(np.floor((centre - radius) / spacing).astype(int), 0)
    high = np.minimum(np.ceil((centre + radius) / spacing).astype(int) + 1, volume.shape[::-1])
    window = volume[low[2] : high[2], low[1] : high[1], low[0] : high[0]].astype(np.float64)
    z, y, x = np.meshgrid(*(np.arange(a, b) for a, b in zip(low[::-1], high[::-1])), indexing="ij")
    points = np.stack([x, y, z], axis=-1) * spacing
    near = np.linalg.norm(points - centre, axis=-1) <= radius
    weights = np.where(near, window, 0.0)
    mean = np.tensordot(weights, points, axes=3) / weights.sum()
    offsets = (points - mean).reshape(-1, 3)
    covariance = (offsets * weights.reshape(-1, 1)).T @ offsets / weights.sum()
    return mean, covariance
