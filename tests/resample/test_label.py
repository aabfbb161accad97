"""Label interpolation against SimpleITK's sitkLabelLinear, and the properties a label map needs."""

import numpy as np
import pytest
from support.geometry import rotation

import voxwarpkit

sitk = pytest.importorskip("SimpleITK")


def label_sums(labels, index):
    """For float64 source indices (x, y, z) of each output voxel, each label's summed trilinear
    weight over the clamped neighbours: (positions, number of labels)."""
    extent = np.array(labels.shape[::-1])
    lower = np.floor(index)
    fraction = index - lower
    sums = np.zeros((len(index), labels.max() + 1))
    for k in range(8):
        corner = np.array([k & 1, (k >> 1) & 1, (k >> 2) & 1])
        voxel = np.clip(lower + corner, 0, extent - 1).astype(int)
        weight = np.prod(np.where(corner, fraction, 1 - fraction), axis=1)
        np.add.at(sums, (np.arange(len(index)), labels[voxel[:, 2], voxel[:, 1], voxel[:, 0]]), weight)
    return sums


@pytest.mark.parametrize("seed", range(4))
def test_label_agrees_with_simpleitk_where_no_two_labels_tie(seed):
    rng = np.random.default_rng(seed)
    shape = (9, 11, 13)
    labels = (rng.random((3, 4, 4)) * 6).astype(np.uint16)  # blocks of a few voxels, labels 0 to 5
    labels = np.kron(labels, np.ones((3, 3, 4), np.uint16))[: shape[0], : shape[1], : shape[2]]
    spacing, out_shape = np.array([0.9, 1.1, 1.3]), (10, 12, 12)
    linear = rotation(rng, 20)
    centre = (np.array(shape[::-1]) - 1) * spacing / 2
    matrix = np.hstack([linear, (centre - linear @ centre + rng.uniform(-1, 1, 3))[:, None]])
    ours = voxwarpkit.resample(labels, spacing, matrix, shape=out_shape, interpolation="label", fill=99)
    assert ours.dtype == np.uint16 and set(np.unique(ours)) <= set(np.unique(labels)) | {99}

    moving = sitk.GetImageFromArray(labels)
    moving.SetSpacing(spacing.tolist())
    reference = sitk.Image(list(out_shape[::-1]), sitk.sitkUInt16)
    reference.SetSpacing(spacing.tolist())
    transform = sitk.AffineTransform(matrix[:, :3].ravel().tolist(), matrix[:, 3].tolist(), (0.0, 0.0, 0.0))
    theirs = sitk.GetArrayFromImage(sitk.Resample(moving, reference, transform, sitk.sitkLabelLinear, 99))

    z, y, x = np.indices(out_shape).reshape(3, -1)
    index = (np.stack([x, y, z], axis=1) * spacing) @ matrix[:, :3].T + matrix[:, 3]
    index /= spacing
    extent = np.array(shape[::-1])
    inside = np.all((index > -0.5 + 1e-4) & (index < extent - 0.5 - 1e-4), axis=1)
    ordered = np.sort(label_sums(labels, index), axis=1)
    clear = inside & (ordered[:, -1] - ordered[:, -2] > 1e-4)
    assert clear.sum() > ours.size // 3
    np.testing.assert_array_equal(ours.ravel()[clear], theirs.ravel()[clear])


def test_label_on_whole_voxels_is_nearest():
    shifted = [1, 0, 0, 2, 0, 1, 0, -3, 0, 0, 1, 1]  # whole voxels: label is nearest, bit for bit
    image = np.random.default_rng(1).integers(0, 5, (6, 20, 20)).astype(np.uint8)
    np.testing.assert_array_equal(
        voxwarpkit.resample(image, (1, 1, 1), shifted, interpolation="label", fill=9),
        voxwarpkit.resample(image, (1, 1, 1), shifted, order=0, fill=9),
    )


@pytest.mark.parametrize(
    "kwargs, message",
    [({"order": 0, "interpolation": "linear"}, "disagree"), ({"interpolation": "cubic?"}, "interpolation must be")],
)
def test_order_and_interpolation_must_agree(kwargs, message):
    with pytest.raises(ValueError, match=message):
        voxwarpkit.resample(np.zeros((2, 2, 2), np.float32), (1, 1, 1), np.eye(3, 4), **kwargs)
