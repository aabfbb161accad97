"""resample_volumes, the kernel's entry for whole grids, gives transform's bits."""

import numpy as np
import pytest

import _voxwarpkit
import _voxwarpkit_testing as testing


@pytest.mark.parametrize(
    "shape",
    [(3, 9, 10, 21), (1, 1, 7, 18), (2, 4, 0, 5)],
    ids=["stack of volumes", "single slice", "empty axis"],
)
def test_resample_volumes_gives_transforms_bits(shape):
    rng = np.random.default_rng(sum(shape))
    image = (rng.standard_normal(shape) * 50).astype(np.float32)
    voxel_size = np.array([0.9, 1.3, 2.1], np.float32)
    # Rotated, scaled and shifted, so that positions fall inside, in the edge
    # bands and outside the input.
    angle = 0.4
    rotation = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    matrix = np.hstack([rotation * 1.1, [[1.7], [-2.3], [0.6]]]).astype(np.float32).ravel()

    produced = testing.resample_volumes(image, voxel_size, matrix)
    expected = _voxwarpkit.transform(image, voxel_size, matrix)
    assert produced.shape == expected.shape == shape
    assert produced.dtype == expected.dtype == np.float32
    np.testing.assert_array_equal(produced.view(np.uint32), expected.view(np.uint32))
