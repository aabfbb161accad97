"""voxwarpkit.resample_image against nibabel's resample_from_to, and its grids, headers and errors."""

import numpy as np
import pytest
from support.geometry import source_positions

import voxwarpkit

nib = pytest.importorskip("nibabel")
processing = pytest.importorskip("nibabel.processing")
Rotation = pytest.importorskip("scipy.spatial.transform").Rotation


def affine(degrees, zooms, origin):
    """An oblique voxel-to-world affine: a rotation of axes with the given voxel sizes."""
    result = np.eye(4)
    result[:3, :3] = Rotation.from_euler("xyz", degrees, degrees=True).as_matrix() @ np.diag(zooms)
    result[:3, 3] = origin
    return result


INPUT = affine((10, -20, 30), (1.2, 0.9, 2.0), (-10, 5, 3))
LIKE = nib.Nifti1Image(np.zeros((22, 18, 14), np.float32), affine((-5, 15, 40), (0.8, 1.1, 1.5), (-6, 9, 5)))
LIKE.set_sform(LIKE.affine, code="scanner")
LIKE.set_qform(LIKE.affine, code="scanner")
WORLD = affine((0, 0, 7), (1, 1, 1), (1, -2, 0.5))  # output world -> input world


@pytest.mark.parametrize("order", [0, 1])
@pytest.mark.parametrize(
    "grid, world",
    [("like", None), ("like", WORLD), ("voxel_size", WORLD), ("voxel_size and shape", None)],
)
def test_agrees_with_nibabel_inside_and_away_from_ties(tmp_path, order, grid, world):
    rng = np.random.default_rng(order)
    data = rng.integers(0, 400, (20, 24, 12)).astype(np.uint16) if order == 0 else rng.random((20, 24, 12))
    img = nib.Nifti2Image(data, INPUT)
    img.header["cal_max"] = 400.0
    if grid == "like":
        options, target_shape, target_affine = {"like": LIKE}, LIKE.shape, LIKE.affine
    else:
        # The input's axes at 0.6 mm: scaled columns, same origin; 20 x 1.2 / 0.6 voxels cover i.
        sizes = np.array([0.6, 0.6, 0.6])
        target_affine = INPUT @ np.diag([*(sizes / [1.2, 0.9, 2.0]), 1.0])
        options = {"voxel_size": sizes}
        target_shape = (40, 36, 40)
        if grid == "voxel_size and shape":
            options["shape"] = target_shape = (15, 31, 9)
    out = voxwarpkit.resample_image(img, matrix=world, order=order, **options)
    nib.save(out, tmp_path / "out.nii")
    written = nib.load(tmp_path / "out.nii")
    assert type(written) is nib.Nifti2Image and written.shape == target_shape
    np.testing.assert_allclose(written.affine, target_affine, atol=1e-5)
    # The grid's own space: like's scanner codes, or the input's as nibabel makes them (sform 2, aligned; qform 0).
    codes = (1, 1) if grid == "like" else (2, 0)
    assert (written.header["sform_code"], written.header["qform_code"]) == codes
    np.testing.assert_allclose(written.header.get_qform(), target_affine, atol=1e-5)
    zooms = np.linalg.norm(target_affine[:3, :3], axis=0)
    np.testing.assert_allclose(written.header.get_zooms(), zooms, atol=1e-6)
    assert written.get_data_dtype() == (np.uint16 if order == 0 else np.float32)
    assert written.header["cal_max"] == 0

    motion = np.eye(4) if world is None else world
    moved = nib.Nifti1Image(data, np.linalg.inv(motion) @ INPUT)
    expected = processing.resample_from_to(moved, (target_shape, target_affine), order=order).get_fdata()
    positions = source_positions(np.linalg.inv(INPUT) @ motion @ target_affine, target_shape)
    upper = np.array(data.shape)[:, None, None, None] - 1.01
    chosen = np.all((positions > 0.01) & (positions < upper), axis=0)
    if order == 0:
        chosen &= np.all(np.abs(positions - np.floor(positions) - 0.5) > 1e-3, axis=0)
    assert chosen.sum() > 500
    result = np.asanyarray(written.dataobj)
    np.testing.assert_allclose(result[chosen], expected[chosen], rtol=0, atol=0 if order == 0 else 1e-5)


@pytest.mark.parametrize("order", [0, 1])
def test_each_volume_takes_its_own_matrix_as_one_stack_call(order):
    """Whole-voxel shifts along i, one per volume, on scaled int16 data: nearest copies the stored
    int16 and keeps the scaling, linear reads the values as float; both read back the same values."""
    zooms, shifts = np.array([2.0, 1.5, 2.5]), [0, 2, -1, 3]
    to_world = np.diag([*zooms, 1.0])
    to_world[:3, 3] = [4.0, -6.0, 2.0]
    stored = np.random.default_rng(5).integers(-300, 300, (9, 5, 4, len(shifts))).astype(np.int16)
    img = nib.Nifti1Image(stored, to_world)
    img.header.set_slope_inter(0.5, 10.0)
    img = nib.Nifti1Image.from_bytes(img.to_bytes())  # scaling applies when the data are read
    data = np.asanyarray(img.dataobj)
    assert data.dtype == np.float64
    worlds = np.stack([np.eye(4)] * len(shifts))
    worlds[:, 0, 3] = np.array(shifts) * zooms[0]
    out = voxwarpkit.resample_image(img, matrix=worlds, order=order, fill=-1, threads=3)
    assert out.shape == data.shape and out.get_data_dtype() == (np.int16 if order == 0 else np.float32)
    for t, shift in enumerate(shifts):
        first, stop = max(0, -shift), min(9, 9 - shift) - 1
        np.testing.assert_array_equal(
            out.dataobj[first:stop, :-1, :-1, t], data[first + shift : stop + shift, :-1, :-1, t]
        )
    kernel = np.stack([voxwarpkit.from_world(w, to_world, voxel_size=zooms) for w in worlds])
    stack = voxwarpkit.resample(data.T, zooms, kernel, order=order, fill=-1, threads=1)
    np.testing.assert_array_equal(np.asanyarray(out.dataobj), stack.T)


IMAGE = nib.Nifti1Image(np.zeros((4, 5, 6, 2), np.float32), np.eye(4))
SINGULAR = nib.Nifti1Image(np.zeros((4, 5, 6)), [[1, 1, 0, 0], [1, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])


@pytest.mark.parametrize(
    "img, options, error, message",
    [
        (IMAGE, {"like": IMAGE, "voxel_size": (1, 1, 1)}, TypeError, "like gives the whole output grid"),
        (IMAGE.dataobj, {}, TypeError, "must be a nibabel image"),
        (IMAGE, {"matrix": np.stack([np.eye(4)] * 3)}, ValueError, "3 matrices for an image of 2 volumes"),
        (nib.Nifti1Image(np.zeros((4, 0, 6), np.float32), np.eye(4)), {}, ValueError, "shape 4x0x6"),
        (IMAGE, {"voxel_size": (1, 0, 1)}, ValueError, "voxel_size must be 3 positive"),
        (SINGULAR, {}, ValueError, "affine is singular"),
    ],
    ids=["like with voxel_size", "not an image", "count", "zero axis", "zero voxel size", "singular affine"],
)
def test_bad_arguments_are_named(img, options, error, message):
    with pytest.raises(error) as raised:
        voxwarpkit.resample_image(img, **options)
    assert message in str(raised.value)


@pytest.mark.parametrize("dtype, stored", [(bool, np.uint8), (np.float16, np.float32)])
def test_types_nifti_cannot_store_stay_in_the_data_and_are_stored_exactly(tmp_path, dtype, stored):
    data = (np.arange(60).reshape(3, 4, 5) % 3 == 0).astype(dtype)
    out = voxwarpkit.resample_image(nib.Nifti1Image(data, np.eye(4), header=nib.Nifti1Header()), order=0)
    assert out.dataobj.dtype == dtype and out.get_data_dtype() == stored
    nib.save(out, tmp_path / "out.nii")
    np.testing.assert_array_equal(np.asanyarray(nib.load(tmp_path / "out.nii").dataobj), data)


@pytest.mark.parametrize("dtype, order", [(np.float32, 1), (np.int32, 0)])
def test_other_formats_keep_their_class(dtype, order):
    img = nib.MGHImage(np.ones((4, 5, 6), dtype), np.diag([2.0, 2.0, 2.0, 1.0]))
    out = voxwarpkit.resample_image(img, voxel_size=(1, 1, 1), order=order)
    assert type(out) is nib.MGHImage and out.shape == (8, 10, 12)
    assert out.get_data_dtype().newbyteorder("=") == out.dataobj.dtype == dtype
    np.testing.assert_allclose(out.header.get_zooms(), (1, 1, 1))


@pytest.mark.parametrize("options", [{}, {"like": LIKE}, {"voxel_size": (0.7, 1.3, 1.1)}], ids=["own", "like", "size"])
def test_fit_holds_every_input_voxel_on_the_output_grid(options):
    data = np.ones((9, 7, 5), np.float32)
    img = nib.Nifti1Image(data, INPUT)
    out = voxwarpkit.resample_image(img, matrix=WORLD, fit=True, fill=0, **options)
    # Each input voxel centre, carried to the output's world by the inverse of WORLD, falls on the output grid.
    centres = np.indices(data.shape).reshape(3, -1).T
    world = nib.affines.apply_affine(np.linalg.inv(WORLD) @ INPUT, centres)
    index = nib.affines.apply_affine(np.linalg.inv(out.affine), world)
    assert np.all(index >= -1e-6) and np.all(index <= np.array(out.shape) - 1 + 1e-6)
    span = index.max(axis=0) - index.min(axis=0)
    assert np.all(np.array(out.shape) - 1 < span + 1)
    if options:  # the output keeps the grid's axes and voxel size
        reference = options.get("like", LIKE).header.get_zooms() if "like" in options else options["voxel_size"]
        np.testing.assert_allclose(out.header.get_zooms(), reference, rtol=1e-6)
    assert (
        np.count_nonzero(np.asanyarray(out.dataobj))
        >= data.size * np.prod(img.header.get_zooms()) / np.prod(out.header.get_zooms()) * 0.9
    )
