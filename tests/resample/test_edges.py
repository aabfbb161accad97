"""The clamped edge rule of linear resampling against SimpleITK's linear Resample and the numpy model."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import rotation
from support.reference import resample_general_reference

import voxwarpkit

sitk = pytest.importorskip("SimpleITK")


def oblique_case(rng):
    """A random volume and an oblique output grid that covers it and a margin beyond every edge."""
    shape = tuple(int(n) for n in rng.integers(2, 12, 3))  # (nz, ny, nx)
    spacing = rng.uniform(0.5, 2.0, 3)  # (sx, sy, sz)
    out_shape = tuple(int(n) for n in rng.integers(6, 16, 3))
    # The output spans 1.3 to 1.7 times the input's extent along each axis.
    output_spacing = np.array(shape[::-1]) * spacing * rng.uniform(1.3, 1.7, 3) / np.array(out_shape[::-1])
    linear = rotation(rng, 25) * rng.uniform(0.8, 1.2)
    centre_in = (np.array(shape[::-1]) - 1) * spacing / 2
    centre_out = (np.array(out_shape[::-1]) - 1) * output_spacing / 2
    matrix = np.hstack([linear, (centre_in - linear @ centre_out)[:, None]])
    image = rng.uniform(-50, 50, shape).astype(np.float32)
    return image, spacing, matrix, out_shape, output_spacing


def sitk_linear(image, spacing, matrix, out_shape, output_spacing, fill):
    moving = sitk.GetImageFromArray(image)  # array (z, y, x) is SimpleITK's (x, y, z)
    moving.SetSpacing([float(s) for s in spacing])
    reference = sitk.Image([int(n) for n in out_shape[::-1]], sitk.sitkFloat32)
    reference.SetSpacing([float(s) for s in output_spacing])
    # Maps an output physical point to the input's: p_in = A p_out + t, about centre 0.
    transform = sitk.AffineTransform(matrix[:, :3].ravel().tolist(), matrix[:, 3].tolist(), (0.0, 0.0, 0.0))
    out = sitk.Resample(moving, reference, transform, sitk.sitkLinear, fill, sitk.sitkFloat32)
    return sitk.GetArrayFromImage(out)


def source_indices(matrix, spacing, out_shape, output_spacing):
    """Float64 source indices (I, J, K) of every output voxel, shaped like the output."""
    z, y, x = np.indices(out_shape).astype(np.float64)
    physical = np.stack([x * output_spacing[0], y * output_spacing[1], z * output_spacing[2]], axis=-1)
    return (physical @ matrix[:, :3].T + matrix[:, 3]) / spacing


@pytest.mark.parametrize("seed", range(12))
def test_clamped_edges_agree_with_simpleitk_and_the_model(seed):
    rng = np.random.default_rng(seed)
    image, spacing, matrix, out_shape, output_spacing = oblique_case(rng)
    fill = -99.0
    ours = voxwarpkit.resample(image, spacing, matrix, shape=out_shape, output_voxel_size=output_spacing, fill=fill)
    model = resample_general_reference(
        image, spacing, matrix.ravel(), shape=out_shape, output_voxel_size=output_spacing, fill=fill, edges="clamp"
    )
    assert_same_bits(ours, model)

    theirs = sitk_linear(image, spacing, matrix, out_shape, output_spacing, fill)
    # Away from the domain's boundary, where float32 and float64 positions may fall on either side.
    index = source_indices(matrix, spacing, out_shape, output_spacing)
    extent = np.array(image.shape[::-1])
    boundary = np.any((np.abs(index + 0.5) < 1e-4) | (np.abs(index - (extent - 0.5)) < 1e-4), axis=-1)
    inside = np.all((index >= -0.5) & (index < extent - 0.5), axis=-1)
    assert inside.sum() > 50 and (~inside).sum() > 50
    np.testing.assert_array_equal(ours[~inside & ~boundary], fill)
    np.testing.assert_allclose(ours[inside & ~boundary], theirs[inside & ~boundary], rtol=0, atol=1e-3)
    # A weighted mean of the data: never outside its range.
    values = ours[ours != fill]
    assert values.min() >= image.min() and values.max() <= image.max()


def test_the_edge_example_of_a_shifted_ramp():
    """Index -1.9 and -0.9 are outside, -0.4 and 5.4 take the edge voxels, 5.5 is outside."""
    ramp = np.tile(np.arange(1, 7, dtype="f4"), (6, 6, 1))
    shifted = voxwarpkit.resample(ramp, (1, 1, 1), [1, 0, 0, -1.9, 0, 1, 0, 0, 0, 0, 1, 0], fill=-99)[2, 2]
    np.testing.assert_allclose(shifted, [-99, -99, 1.1, 2.1, 3.1, 4.1], rtol=1e-6)
    half = voxwarpkit.resample(ramp, (1, 1, 1), [1, 0, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 0], fill=-99)[2, 2]
    np.testing.assert_allclose(half, [1.5, 2.5, 3.5, 4.5, 5.5, -99], rtol=1e-6)
    clamped = voxwarpkit.resample(ramp, (1, 1, 1), [1, 0, 0, -0.4, 0, 1, 0, 0, 0, 0, 1, 0], fill=-99)[2, 2]
    assert clamped[0] == 1.0
