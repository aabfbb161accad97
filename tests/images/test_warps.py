"""resample_image through nitransforms' transforms, compared with nitransforms and SimpleITK resampling them."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.warp_scenes import (
    MOVING,
    REFERENCE,
    grid_affine,
    inside_mask,
    sitk_image,
    smooth_data,
    smooth_displacements,
    world_points,
)

import voxwarpkit as vw

nib = pytest.importorskip("nibabel")
nt = pytest.importorskip("nitransforms", minversion="25")
from nitransforms.linear import Affine, LinearTransformsMapping  # noqa: E402
from nitransforms.manip import TransformChain  # noqa: E402
from nitransforms.nonlinear import DenseFieldTransform  # noqa: E402
from nitransforms.resampling import apply  # noqa: E402

TOLERANCE = 1e-4  # of the data's range


def _images(volumes=0):
    (out_shape, out_affine), (in_shape, in_affine) = REFERENCE, MOVING
    reference = nib.Nifti1Image(np.zeros(out_shape, np.float32), out_affine)
    return reference, nib.Nifti1Image(smooth_data(in_shape, volumes), in_affine)


def _field_on_padded_reference(deltas):
    """A field on the reference's axes, 3 voxels wider on every side: whole-voxel shifts of
    the reference's positions land on its voxels, where nitransforms reads the field as it is."""
    shape, affine = REFERENCE
    padded = affine.copy()
    padded[:3, 3] -= affine[:3, :3] @ [3.0, 3.0, 3.0]
    field_shape = tuple(n + 6 for n in shape)
    values = smooth_displacements(field_shape)
    if deltas:
        return DenseFieldTransform(nib.Nifti1Image(values, padded)), padded
    deformation = values + world_points(field_shape, padded).reshape(values.shape)
    return DenseFieldTransform(nib.Nifti1Image(deformation, padded), is_deltas=False), padded


def _motion(degrees, shift):
    return grid_affine((1.0, 1.0, 1.0), degrees, shift)


def _compare_inside(ours, theirs, chain_map, data):
    reference, moving = REFERENCE, MOVING
    reached = chain_map(world_points(*reference))
    inside = inside_mask(reached, *moving).reshape(reference[0])
    assert inside.mean() > 0.5
    assert np.max(np.abs(ours - theirs)[inside]) <= TOLERANCE * np.ptp(data)


@pytest.mark.parametrize("deltas", [True, False])
def test_affine_field_affine_chain_matches_nitransforms(deltas):
    reference, moving = _images()
    field, field_affine = _field_on_padded_reference(deltas)
    to_field_voxel = np.eye(4)
    to_field_voxel[:3, 3] = field_affine[:3, :3] @ [1.0, -2.0, 1.0]
    chain = TransformChain(
        [Affine(to_field_voxel, reference=reference), field, Affine(_motion((4.0, -3.0), (1.0, -2.0, 0.5)))]
    )

    ours = vw.resample_image(moving, like=reference, transform=chain).get_fdata()

    theirs = np.asanyarray(apply(chain, moving, reference=reference, order=1).dataobj)
    _compare_inside(ours, theirs, chain.map, moving.get_fdata())


def test_per_volume_motion_after_a_field_matches_nitransforms_volume_by_volume():
    reference, moving = _images(volumes=3)
    field, _ = _field_on_padded_reference(True)
    motions = [_motion((2.0 * t, -t), (0.5 * t, 0.0, -0.3 * t)) for t in range(3)]
    chain = TransformChain([field, LinearTransformsMapping(motions)])

    ours = vw.resample_image(moving, like=reference, transform=chain).get_fdata()

    for t, motion in enumerate(motions):
        one = TransformChain([field, Affine(motion)])
        volume = nib.Nifti1Image(moving.get_fdata()[..., t], moving.affine)
        theirs = np.asanyarray(apply(one, volume, reference=reference, order=1).dataobj)
        _compare_inside(ours[..., t], theirs, one.map, volume.get_fdata())


def test_itk_composite_matches_simpleitk(tmp_path):
    sitk = pytest.importorskip("SimpleITK")
    reference, moving = _images()
    field_shape, field_affine = (22, 22, 16), grid_affine((3.0, 3.0, 3.0), (-15.0, 20.0), (-30.0, -35.0, -25.0))
    # ITK's fields hold LPS+ vectors on an LPS+ grid: these are laid out by SimpleITK itself.
    displacements = sitk_image(sitk, smooth_displacements(field_shape), field_affine)
    affine = sitk.AffineTransform(3)
    affine.SetMatrix(_motion((5.0, 3.0), (0.0, 0.0, 0.0))[:3, :3].ravel().tolist())
    affine.SetTranslation((2.0, -1.0, 0.5))
    affine.SetCenter((1.0, 2.0, 3.0))
    # ITK applies a composite's last transform first: the field, then the affine.
    composite = sitk.CompositeTransform([affine, sitk.DisplacementFieldTransform(displacements)])
    sitk.WriteTransform(composite, str(tmp_path / "composite.h5"))
    chain = TransformChain.from_filename(tmp_path / "composite.h5", fmt="itk")

    ours = vw.resample_image(moving, like=reference, transform=chain).get_fdata()

    out_grid = sitk_image(sitk, np.zeros(REFERENCE[0], np.float32), REFERENCE[1])
    resampled = sitk.Resample(
        sitk_image(sitk, moving.get_fdata().astype(np.float32), MOVING[1]), out_grid, composite, sitk.sitkLinear
    )
    theirs = sitk.GetArrayFromImage(resampled).T

    def itk_map(points):
        lps = points * [-1.0, -1.0, 1.0]
        return np.array([composite.TransformPoint(tuple(p)) for p in lps]) * [-1.0, -1.0, 1.0]

    _compare_inside(ours, theirs, itk_map, moving.get_fdata())


@pytest.mark.parametrize("volumes", [0, 2])
def test_matrices_alone_give_the_bits_of_matrix(volumes):
    reference, moving = _images(volumes)
    motions = [_motion((3.0, 1.0 + t), (1.0, t, -0.5)) for t in range(max(volumes, 1))]
    first = Affine(_motion((-2.0, 5.0), (0.0, 2.0, 1.0)), reference=reference)
    transform = TransformChain([first, LinearTransformsMapping(motions)]) if volumes else first
    world = np.stack([m @ first.matrix for m in motions]) if volumes else first.matrix

    ours = vw.resample_image(moving, like=reference, transform=transform)

    assert_same_bits(ours.get_fdata(), vw.resample_image(moving, like=reference, matrix=world).get_fdata())


def test_refusals():
    reference, moving = _images()
    field, _ = _field_on_padded_reference(True)
    with pytest.raises(TypeError, match="not both"):
        vw.resample_image(moving, like=reference, matrix=np.eye(4), transform=Affine(np.eye(4)))
    with pytest.raises(TypeError, match="nitransforms"):
        vw.resample_image(moving, like=reference, transform=np.eye(4))
    with pytest.raises(ValueError, match="fit"):
        vw.resample_image(moving, like=reference, transform=field, fit=True)
    with pytest.raises(ValueError, match="2 matrices for an image of 1 volume"):
        vw.resample_image(moving, like=reference, transform=LinearTransformsMapping([np.eye(4), np.eye(4)]))
