"""Typical typed use of voxwarpkit; mypy --strict must accept it as it is."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import voxwarpkit


def rotate_about_centre(image: NDArray[np.int16], voxel_size: NDArray[np.float64]) -> NDArray[np.float32]:
    matrix = voxwarpkit.rigid(image.shape, voxel_size, rotation=(0.0, 0.0, 30.0))
    return voxwarpkit.transform(image, voxel_size, matrix)


def follow_scipy(image: NDArray[np.float32], index_matrix: NDArray[np.float64]) -> NDArray[np.float32]:
    voxel_size = np.array([0.8, 0.8, 2.0])
    linear, offset = index_matrix[:3, :3], index_matrix[:3, 3]
    matrix = voxwarpkit.from_index(linear, offset, voxel_size=voxel_size)
    return voxwarpkit.transform(image, voxel_size, matrix)


def undo_registration(image: NDArray[np.float64], forward: NDArray[np.float64]) -> NDArray[np.float32]:
    voxel_size = np.ones(3)
    backward: NDArray[np.float32] = voxwarpkit.invert(forward)
    both_ways: NDArray[np.float64] = voxwarpkit.as_homogeneous(backward) @ forward
    assert np.allclose(both_ways, np.eye(4), atol=1e-4)
    return voxwarpkit.transform(image, voxel_size, backward)


def from_scanner(
    data: NDArray[np.float32], affine: NDArray[np.float64], world: NDArray[np.float64]
) -> NDArray[np.float32]:
    zooms = np.sqrt((affine[:3, :3] ** 2).sum(axis=0))
    matrix = voxwarpkit.from_world(world, affine, voxel_size=zooms)
    return voxwarpkit.transform(data.T, zooms, matrix).T


def motion_corrected(
    series: NDArray[np.int16], voxel_size: NDArray[np.float64], matrices: NDArray[np.float64]
) -> NDArray[np.float32]:
    corrected: NDArray[np.float32] = voxwarpkit.resample(
        series, voxel_size, matrices, shape=(40, 48, 48), output_voxel_size=(2.0, 2.0, 2.0), threads=2
    )
    return corrected


def main() -> None:
    rng = np.random.default_rng(0)
    image = rng.integers(0, 1000, size=(8, 9, 10), dtype=np.int16)
    rotated = rotate_about_centre(image, np.array([1.0, 1.0, 2.5]))
    shifted = follow_scipy(image.astype(np.float32), np.eye(4))
    undone = undo_registration(image.astype(np.float64), np.diag([2.0, 2.0, 2.0, 1.0]))
    scanner = from_scanner(image.astype(np.float32).T, np.diag([0.9, 0.9, 3.0, 1.0]), np.eye(4))
    series = np.stack([image, image])
    corrected = motion_corrected(series, np.array([1.0, 1.0, 2.5]), np.stack([np.eye(4), np.eye(4)]))
    version: str = voxwarpkit.__version__
    print(version, rotated.shape, shifted.dtype, undone.shape, scanner.shape, corrected.shape)


if __name__ == "__main__":
    main()
