"""apply --transform: chains of registration files written by nitransforms and SimpleITK, in memory and with dask."""

import sys

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run
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
from voxwarpkit.io.transforms.matrixtext import read_matrix_source

nib = pytest.importorskip("nibabel")
pytest.importorskip("nitransforms", minversion="25")  # older releases misplace field vectors
pytest.importorskip("tqdm")
from nitransforms.linear import Affine, LinearTransformsMapping  # noqa: E402
from nitransforms.manip import TransformChain  # noqa: E402
from nitransforms.nonlinear import DenseFieldTransform  # noqa: E402

FIELD_GRID = ((22, 22, 16), grid_affine((3.0, 3.0, 3.0), (-15.0, 20.0), (-30.0, -35.0, -25.0)))
VOLUMES = 3


def _field():
    """A fresh transform each time: nitransforms' writers change the displacements they are given."""
    shape, affine = FIELD_GRID
    return DenseFieldTransform(nib.Nifti1Image(smooth_displacements(shape), affine))


def _turn(degrees, shift):
    return grid_affine((1.0, 1.0, 1.0), degrees, shift)


def _scene(folder):
    (out_shape, out_affine), (in_shape, in_affine) = REFERENCE, MOVING
    reference = nib.Nifti1Image(np.zeros(out_shape, np.float32), out_affine)
    moving = nib.Nifti1Image(smooth_data(in_shape, VOLUMES), in_affine)
    nib.save(reference, folder / "ref.nii.gz")
    nib.save(moving, folder / "in.nii.gz")
    return reference, moving


def _itk_warp(folder, reference):
    _field().to_filename(folder / "warp.nii.gz", fmt="itk")
    return ["warp.nii.gz"], [_field()]


def _fsl_field_file(path, intent="fnirt disp field"):
    """An FSL displacement field as nitransforms writes it, with the intent code FSL gives its fields."""
    _field().to_filename(path, fmt="fsl")
    written = nib.load(path)
    marked = nib.Nifti1Image(np.asanyarray(written.dataobj), written.affine, written.header)
    marked.header.set_intent(intent)
    nib.save(marked, path)


def _fsl_warp(folder, reference):
    _fsl_field_file(folder / "warp.nii.gz")
    return ["warp.nii.gz"], [_field()]


def _composite(folder, reference):
    """An ITK composite written by SimpleITK: ITK applies its last transform (the field) first."""
    sitk = pytest.importorskip("SimpleITK")
    shape, affine = FIELD_GRID
    lps = np.diag([-1.0, -1.0, 1.0, 1.0])
    vectors = smooth_displacements(shape) * [-1.0, -1.0, 1.0]  # RAS+ -> ITK's LPS+
    field = sitk.DisplacementFieldTransform(sitk_image(sitk, vectors, affine))
    turn = _turn((5.0, 3.0), (2.0, -1.0, 0.5))
    linear = sitk.AffineTransform(3)
    itk_turn = lps @ turn @ lps
    linear.SetMatrix(itk_turn[:3, :3].ravel().tolist())
    linear.SetTranslation(itk_turn[:3, 3].tolist())
    sitk.WriteTransform(sitk.CompositeTransform([linear, field]), str(folder / "Composite.h5"))
    return ["Composite.h5"], [_field(), Affine(turn, reference=reference)]


def _x5_chain(folder, reference):
    chain = TransformChain([Affine(_turn((-3.0, 2.0), (1.0, 0.0, -1.0)), reference=reference), _field()])
    chain.to_filename(folder / "chain.x5")
    return ["chain.x5"], list(chain.transforms)


def _two_files(folder, reference):
    """A matrix file, then a field: in the order given, the first applied to the output's position."""
    sitk = pytest.importorskip("SimpleITK")
    lps = np.diag([-1.0, -1.0, 1.0, 1.0])
    turn = _turn((4.0, -2.0), (0.0, 1.5, -1.0))
    linear = sitk.AffineTransform(3)
    linear.SetMatrix((lps @ turn @ lps)[:3, :3].ravel().tolist())
    linear.SetTranslation((lps @ turn @ lps)[:3, 3].tolist())
    sitk.WriteTransform(linear, str(folder / "turn.tfm"))
    _field().to_filename(folder / "warp.nii.gz", fmt="itk")
    return ["turn.tfm", "warp.nii.gz"], [Affine(turn, reference=reference), _field()]


@pytest.mark.parametrize("files", [_itk_warp, _fsl_warp, _composite, _x5_chain, _two_files])
def test_transform_files_resample_as_the_chain_they_hold(tmp_path, capsys, monkeypatch, files):
    monkeypatch.chdir(tmp_path)
    reference, moving = _scene(tmp_path)
    names, transforms = files(tmp_path, reference)
    given = [argument for name in names for argument in ("--transform", name)]

    status, _, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", *given)

    assert status == 0, err
    expected = vw.resample_image(moving, like=reference, transform=TransformChain(transforms)).get_fdata()
    written = nib.load(tmp_path / "out.nii.gz").get_fdata()
    assert np.max(np.abs(written - expected)) <= 1e-5 * np.ptp(moving.get_fdata())


def test_motion_applies_last_and_dask_gives_the_bits_in_memory(tmp_path, capsys, monkeypatch):
    pytest.importorskip("zarr")
    monkeypatch.chdir(tmp_path)
    reference, moving = _scene(tmp_path)
    _field().to_filename(tmp_path / "warp.nii.gz", fmt="itk")
    # Plain per-volume motions in the input's physical frame (index times voxel size) at both ends.
    motions = [_turn((1.5 * t, -t), (0.4 * t, -0.2 * t, 0.3)) for t in range(VOLUMES)]
    np.savetxt(tmp_path / "motion.txt", [m[:3].ravel() for m in motions], fmt="%.17g")
    common = ["--like", "ref.nii.gz", "-t", "warp.nii.gz", "-m", "motion.txt"]

    assert run(capsys, "apply", "in.nii.gz", "memory.nii.gz", *common)[0] == 0
    assert run(capsys, "apply", "in.nii.gz", "blocks.zarr", "--chunks", "5", "6", "7", *common)[0] == 0
    assert run(capsys, "apply", "blocks.zarr", "back.nii.gz")[0] == 0

    physical = moving.affine @ np.diag([*(1.0 / np.array(moving.header.get_zooms()[:3])), 1.0])
    world = [physical @ m @ np.linalg.inv(physical) for m in motions]
    chain = TransformChain([_field(), LinearTransformsMapping(world)])
    expected = vw.resample_image(moving, like=reference, transform=chain).get_fdata()
    memory = nib.load(tmp_path / "memory.nii.gz").get_fdata()
    assert np.max(np.abs(memory - expected)) <= 1e-5 * np.ptp(moving.get_fdata())
    assert_same_bits(np.asarray(nib.load(tmp_path / "back.nii.gz").dataobj), np.asarray(memory, np.float32))


@pytest.mark.parametrize(
    ("name", "fragment"),
    [
        ("ref.nii.gz", "no displacement field"),
        ("missing.h5", "no such file"),
        ("notes.txt", "not a registration tool's transform"),
        ("three.nii.gz", "(intent code 0) does not say it is a displacement field"),
        ("coefficients.nii.gz", "FSL's spline or DCT coefficients (intent code 2007)"),
        ("[warp.nii.gz,1]", "[FILE,1] inverts linear transforms, and this file holds a displacement field"),
    ],
)
def test_a_transform_file_that_cannot_be_read_is_one_line_and_no_output(tmp_path, capsys, monkeypatch, name, fragment):
    monkeypatch.chdir(tmp_path)
    _scene(tmp_path)
    (tmp_path / "notes.txt").write_text("1 2 3\n")
    # Three volumes that are no field, FSL's coefficients of one, and a field ANTs would invert.
    nib.save(nib.Nifti1Image(np.zeros((4, 5, 6, 3), np.float32), np.eye(4)), tmp_path / "three.nii.gz")
    _fsl_field_file(tmp_path / "coefficients.nii.gz", intent="fnirt cubic spline coef")
    _field().to_filename(tmp_path / "warp.nii.gz", fmt="itk")

    status, out, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", "-t", name)

    assert_one_line_error(status, err, fragment)
    assert out == ""
    assert not (tmp_path / "out.nii.gz").exists()


def _itk_file(path, world):
    """A world matrix (RAS+) as SimpleITK writes an affine transform (LPS+)."""
    sitk = pytest.importorskip("SimpleITK")
    lps = np.diag([-1.0, -1.0, 1.0, 1.0])
    linear = sitk.AffineTransform(3)
    linear.SetMatrix((lps @ world @ lps)[:3, :3].ravel().tolist())
    linear.SetTranslation((lps @ world @ lps)[:3, 3].tolist())
    sitk.WriteTransform(linear, str(path))


# -t arguments in ANTs' spelling, and the chain of world matrices (nitransforms' order) each stands for.
TURN, SHIFT = _turn((4.0, -2.0), (0.0, 1.5, -1.0)), _turn((-1.0, 3.0), (2.0, 0.5, 0.0))
SPELLINGS = [
    (["[turn.tfm,1]"], [np.linalg.inv(TURN)]),
    (["[turn.tfm, 0]"], [TURN]),
    (["[turn.tfm,1]", "shift.tfm"], [np.linalg.inv(TURN), SHIFT]),
    (["shift.tfm", "[turn.tfm,1]", "warp.nii.gz"], [SHIFT, np.linalg.inv(TURN), "field"]),
    (["[odd,1].tfm"], [SHIFT]),  # a file of that very name
]


@pytest.mark.parametrize(("given", "chain"), SPELLINGS, ids=[" ".join(given) for given, _ in SPELLINGS])
def test_a_linear_file_in_a_chain_is_inverted_where_it_stands(tmp_path, capsys, monkeypatch, given, chain):
    monkeypatch.chdir(tmp_path)
    reference, moving = _scene(tmp_path)
    _itk_file(tmp_path / "turn.tfm", TURN)
    _itk_file(tmp_path / "shift.tfm", SHIFT)
    _itk_file(tmp_path / "[odd,1].tfm", SHIFT)
    _field().to_filename(tmp_path / "warp.nii.gz", fmt="itk")
    arguments = [argument for name in given for argument in ("-t", name)]

    status, _, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", *arguments)

    assert status == 0, err
    steps = [_field() if isinstance(step, str) else Affine(step, reference=reference) for step in chain]
    expected = vw.resample_image(moving, like=reference, transform=TransformChain(steps)).get_fdata()
    written = nib.load(tmp_path / "out.nii.gz").get_fdata()
    assert np.max(np.abs(written - expected)) <= 1e-5 * np.ptp(moving.get_fdata())


@pytest.mark.parametrize("option", [["-m", "a.txt", "-m", "b.txt"], ["--like", "ref.nii.gz", "--like", "in.nii.gz"]])
def test_an_option_given_twice_is_refused_rather_than_one_of_them_dropped(tmp_path, capsys, monkeypatch, option):
    monkeypatch.chdir(tmp_path)
    _scene(tmp_path)
    status, _, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", *option)
    assert_one_line_error(status, err, f"is given twice ({option[1]} and {option[3]}): give it once", 2)
    assert not (tmp_path / "out.nii.gz").exists()


def test_resample_image_reads_transform_files_as_the_command_line_does(tmp_path, capsys, monkeypatch):
    """Paths in a chain, and a nitransforms transform given as the matrix, give the command's bits."""
    monkeypatch.chdir(tmp_path)
    _scene(tmp_path)
    reference, moving = nib.load("ref.nii.gz"), nib.load("in.nii.gz")  # as the command reads them
    _itk_file(tmp_path / "turn.tfm", TURN)
    _field().to_filename(tmp_path / "warp.nii.gz", fmt="itk")
    assert run(capsys, "apply", "in.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", "-t", "warp.nii.gz")[0] == 0
    written = np.asarray(nib.load(tmp_path / "out.nii.gz").dataobj)

    from_path = vw.resample_image(moving, like=reference, transform=tmp_path / "warp.nii.gz")
    assert_same_bits(np.asarray(from_path.dataobj), written)
    both = vw.resample_image(moving, like=reference, transform=["turn.tfm", _field()])
    expected = vw.resample_image(
        moving, like=reference, transform=TransformChain([Affine(TURN, reference=reference), _field()])
    )
    np.testing.assert_allclose(both.get_fdata(), expected.get_fdata(), rtol=0, atol=1e-5 * np.ptp(moving.get_fdata()))
    as_matrix = vw.resample_image(moving, like=reference, matrix=Affine(TURN, reference=reference))
    assert_same_bits(
        np.asarray(as_matrix.dataobj), np.asarray(vw.resample_image(moving, like=reference, matrix=TURN).dataobj)
    )


def test_a_lone_displacement_field_in_hdf5_resamples_as_simpleitk_does(tmp_path, capsys, monkeypatch):
    """SimpleITK writes a DisplacementFieldTransform alone as TransformGroup/0: a field of LPS vectors."""
    sitk = pytest.importorskip("SimpleITK")
    monkeypatch.chdir(tmp_path)
    reference, moving = _scene(tmp_path)
    shape, affine = FIELD_GRID
    vectors = smooth_displacements(shape) * [-1.0, -1.0, 1.0]  # RAS+ -> ITK's LPS+
    sitk.WriteTransform(sitk.DisplacementFieldTransform(sitk_image(sitk, vectors, affine)), "f.h5")

    status, _, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", "--like", "ref.nii.gz", "-t", "f.h5", "--fill", -9)

    assert status == 0, err
    written = nib.load(tmp_path / "out.nii.gz").get_fdata()
    field = sitk.DisplacementFieldTransform(sitk_image(sitk, vectors, affine))
    grid = sitk_image(sitk, np.zeros(reference.shape, np.float32), reference.affine)
    # Away from the field's edges, where ITK and we may treat its outside differently, and inside the input.
    within_field = inside_mask(world_points(reference.shape, reference.affine), shape, affine, margin=1.0)
    data = moving.get_fdata(dtype=np.float32)
    for t in range(VOLUMES):
        image = sitk_image(sitk, data[..., t], moving.affine)
        theirs = sitk.GetArrayFromImage(sitk.Resample(image, grid, field, sitk.sitkLinear, -9.0)).T.ravel()
        ours = written[..., t].ravel()
        inside = within_field & (theirs > -9) & (ours > -9)
        assert inside.sum() > within_field.sum() // 2
        np.testing.assert_allclose(ours[inside], theirs[inside], rtol=0, atol=1e-4 * np.ptp(data))


def test_an_affine_in_hdf5_is_read_without_simpleitk(tmp_path, monkeypatch):
    """SimpleITK writes the same affine as .tfm and .h5: both are read alike, SimpleITK or not."""
    sitk = pytest.importorskip("SimpleITK")
    affine = sitk.AffineTransform((1.02, 0.05, -0.03, -0.04, 0.99, 0.02, 0.03, -0.02, 1.01), (0.6, -0.4, 0.8))
    affine.SetCenter((1.5, -2.0, 3.0))
    sitk.WriteTransform(affine, str(tmp_path / "a.h5"))
    sitk.WriteTransform(affine, str(tmp_path / "a.tfm"))
    monkeypatch.setitem(sys.modules, "SimpleITK", None)

    from_hdf5 = read_matrix_source(tmp_path / "a.h5")
    from_text = read_matrix_source(tmp_path / "a.tfm")

    assert from_hdf5.space == from_text.space == "world"
    np.testing.assert_allclose(from_hdf5.matrices, from_text.matrices, rtol=0, atol=1e-6)  # nitransforms: float32 text


ITK_COMPOSITE = """#Insight Transform File V1.0
#Transform 0
Transform: CompositeTransform_double_3_3
#Transform 1
Transform: Euler3DTransform_double_3_3
Parameters: 0 0 0 1
FixedParameters: 0 0 0
"""


@pytest.mark.parametrize(("option", "role"), [("-m", "matrix file"), ("-t", "transform file")])
@pytest.mark.parametrize(
    ("name", "content", "fragment"),
    [
        ("notes.h5", "1 0 0 0\n", "notes.h5: not an HDF5 file (file signature not found)"),
        ("chain.tfm", ITK_COMPOSITE, "chain.tfm: Euler3DTransform_double_3_3 holds 4 parameters"),
    ],
    ids=["text named .h5", "composite .tfm"],
)
def test_messages_name_the_file_as_given(tmp_path, capsys, monkeypatch, option, role, name, content, fragment):
    monkeypatch.chdir(tmp_path)
    _scene(tmp_path)
    (tmp_path / name).write_text(content)

    status, out, err = run(capsys, "apply", "in.nii.gz", "out.nii.gz", option, name)

    assert_one_line_error(status, err, f"{role} {fragment}")
    assert out == "" and not (tmp_path / "out.nii.gz").exists()
