"""Resample a synthetic 3-D phantom through a rotation about its centre.

Runs with nothing but numpy and the installed module: no data to download.
"""

import time

import numpy as np

import _voxwarpkit


def phantom(nz, ny, nx):
    """A head-like phantom: nested ellipsoids of different intensities."""
    z, y, x = np.meshgrid(np.linspace(-1, 1, nz), np.linspace(-1, 1, ny), np.linspace(-1, 1, nx), indexing="ij")
    volume = np.zeros((nz, ny, nx), np.float32)
    volume[(x / 0.9) ** 2 + (y / 0.75) ** 2 + (z / 0.85) ** 2 < 1] = 1000.0
    volume[(x / 0.8) ** 2 + (y / 0.65) ** 2 + (z / 0.75) ** 2 < 1] = 40.0
    volume[((x - 0.3) / 0.15) ** 2 + (y / 0.3) ** 2 + (z / 0.2) ** 2 < 1] = 80.0
    volume[((x + 0.3) / 0.15) ** 2 + (y / 0.3) ** 2 + (z / 0.2) ** 2 < 1] = 80.0
    return volume


def rotation_about_centre(shape_zyx, voxel_size, degrees_about_z):
    """The 12 numbers that rotate a volume about its centre, in physical space.

    The matrix maps an output voxel's physical (x, y, z) to the input's.
    """
    theta = np.deg2rad(degrees_about_z)
    rotation = np.array([[np.cos(theta), -np.sin(theta), 0.0], [np.sin(theta), np.cos(theta), 0.0], [0.0, 0.0, 1.0]])
    extent_xyz = np.array(shape_zyx[::-1], dtype=float) - 1.0
    centre = extent_xyz / 2.0 * np.asarray(voxel_size, dtype=float)
    matrix = np.hstack([rotation, (centre - rotation @ centre)[:, None]])
    return matrix.astype(np.float32).ravel()


def main():
    shape = (96, 128, 128)  # (nz, ny, nx)
    voxel_size = np.array([1.0, 1.0, 1.5], np.float32)  # (sx, sy, sz)
    image = phantom(*shape)
    matrix = rotation_about_centre(shape, voxel_size, 15.0)

    start = time.perf_counter()
    result = _voxwarpkit.transform(image, voxel_size, matrix)
    seconds = time.perf_counter() - start

    voxels = result.size
    print(f"resampled a {shape[0]}x{shape[1]}x{shape[2]} float32 phantom (voxel size {tuple(voxel_size.tolist())})")
    print("through a 15 degree rotation about its centre (z axis)")
    print(f"time: {seconds * 1e3:.1f} ms, {seconds / voxels * 1e9:.2f} ns per output voxel")
    print(f"input  mean {image.mean():9.3f}, max {image.max():7.1f}")
    print(f"output mean {result.mean():9.3f}, max {result.max():7.1f}, shape {result.shape}, dtype {result.dtype}")


if __name__ == "__main__":
    main()
