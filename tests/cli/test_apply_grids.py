"""voxwarpkit apply onto other grids: --like, --voxel-size, nearest, --fill, --threads."""

import numpy as np
import pytest
from support.command_line import assert_one_line_error, run
from support.geometry import source_positions, turn_about
from support.registration_files import fsl_flirt, itk_text
from support.values import volume

import voxwarpkit
from voxwarpkit.io.transforms.matrixtext import read_matrix_source

nib = pytest.importorskip("nibabel")
ndimage = pytest.importorskip("scipy.ndimage")
pytest.importorskip("nitransforms")


def oblique(degrees, zooms, origin):
    turn = np.radians(degrees)
    rotation = np.array([[1, 0, 0], [0, np.cos(turn), -np.sin(turn)], [0, np.sin(turn), np.cos(turn)]])
    affine = np.eye(4)
    affine[:3, :3] = rotation @ np.diag(zooms)
    affine[:3, 3] = origin
    return affine


IN_AFFINE = oblique(12, (1.5, 1.2, 2.0), (-8, -6, -9))
REF_AFFINE = oblique(-20, (1.1, 0.9, 1.6), (-7, -4, -6))
REF_SHAPE = (13, 15, 11)
MOTION = turn_about(np.array([1.0, 2.0, 3.0]), (6.0, -4.0), np.array([0.8, -0.5, 0.3]))


def save(path, data, affine, code="aligned"):
    image = nib.Nifti1Image(data, affine, dtype=data.dtype)
    image.set_sform(affine, code=code)
    image.set_qform(affine, code=code)
    nib.save(image, path)
    return path


@pytest.mark.parametrize(
    "dtype, interpolation, fill",
    [(np.float32, "linear", 0.0), (np.int16, "linear", -2.5), (np.uint16, "nearest", 65535), (np.int8, "nearest", -1)],
)
@pytest.mark.parametrize("write", [None, itk_text, fsl_flirt], ids=["no matrix", "ITK", "FSL"])
def test_like_gives_the_reference_grid_and_resample_images_values(tmp_path, capsys, dtype, interpolation, fill, write):
    source = save(tmp_path / "in.nii", volume((10, 12, 9), dtype), IN_AFFINE)
    ref = save(tmp_path / "ref.nii.gz", np.zeros(REF_SHAPE, np.float32), REF_AFFINE, code="scanner")
    options = ["--like", ref, "--interpolation", interpolation, "--fill", fill, "--threads", 2]
    image, reference = nib.load(source), nib.load(ref)
    world = None
    if write is not None:  # FSL's matrix is defined on the reference (output) and moving (input) grids
        path = write(tmp_path, [MOTION], reference, image)
        options += ["--matrix", path]
        world = read_matrix_source(path, reference=reference, moving=image).matrices[0]
    status, out, err = run(capsys, "apply", source, tmp_path / "out.nii", *options)
    assert status == 0, err
    assert f"onto the grid of {ref}" in out
    order = 0 if interpolation == "nearest" else 1
    expected = voxwarpkit.resample_image(image, like=reference, matrix=world, order=order, fill=fill)
    written = nib.load(tmp_path / "out.nii")
    assert written.shape == REF_SHAPE and written.get_data_dtype() == (dtype if order == 0 else np.float32)
    np.testing.assert_array_equal(written.affine, reference.affine)
    assert (written.header["sform_code"], written.header["qform_code"]) == (1, 1)  # the reference's space
    assert written.header.get_zooms() == reference.header.get_zooms()
    data = np.asanyarray(written.dataobj)
    np.testing.assert_array_equal(data, np.asanyarray(expected.dataobj))
    assert np.count_nonzero(data == fill) > 0 and np.count_nonzero(data != fill) > data.size // 4


@pytest.mark.parametrize("convention", ["physical", "index"])
def test_text_matrices_scale_by_each_grids_voxel_size(tmp_path, capsys, convention):
    """Output voxel indices map to input ones as scipy's index matrix says, whatever the spacings."""
    data = volume((10, 12, 9))
    source = save(tmp_path / "in.nii", data, IN_AFFINE)
    ref = save(tmp_path / "ref.nii", np.zeros(REF_SHAPE, np.float32), REF_AFFINE)
    index_map = np.eye(4)
    index_map[:3, :3] = [[0.9, 0.1, 0.0], [-0.1, 0.8, 0.05], [0.02, 0.0, 0.85]]
    index_map[:3, 3] = [0.3, 0.4, -0.2]
    in_zooms, ref_zooms = nib.load(source).header.get_zooms(), nib.load(ref).header.get_zooms()
    physical = np.diag([*in_zooms, 1.0]) @ index_map @ np.diag([*(1 / np.array(ref_zooms)), 1.0])
    np.savetxt(tmp_path / "m.txt", index_map if convention == "index" else physical)
    status, _, err = run(
        capsys,
        "apply",
        source,
        tmp_path / "out.nii",
        "-m",
        tmp_path / "m.txt",
        "--like",
        ref,
        "--convention",
        convention,
    )
    assert status == 0, err
    written = np.asanyarray(nib.load(tmp_path / "out.nii").dataobj)
    expected = ndimage.affine_transform(data.astype(np.float64), index_map, output_shape=REF_SHAPE, order=1)
    positions = source_positions(index_map, REF_SHAPE)
    upper = np.array(data.shape)[:, None, None, None] - 1.01
    inside = np.all((positions > 0.01) & (positions < upper), axis=0)
    assert inside.sum() > 300
    np.testing.assert_allclose(written[inside], expected[inside], rtol=0, atol=2e-5)


@pytest.mark.parametrize("interpolation", ["nearest", "linear"])
def test_voxel_size_subdivides_the_input_grid_and_covers_its_extent(tmp_path, capsys, interpolation):
    labels = volume((6, 5, 4, 2), np.int16)
    source = save(tmp_path / "in.nii", labels, IN_AFFINE)
    status, _, err = run(
        capsys,
        "apply",
        source,
        tmp_path / "out.nii",
        "--voxel-size",
        0.75,
        0.6,
        1,
        "--interpolation",
        interpolation,
        "--fill",
        -7,
    )
    assert status == 0, err
    written = nib.load(tmp_path / "out.nii")
    assert written.shape == (12, 10, 8, 2)
    np.testing.assert_allclose(written.affine, IN_AFFINE @ np.diag([0.5, 0.5, 0.5, 1.0]), atol=1e-6)
    np.testing.assert_allclose(written.header.get_zooms(), (0.75, 0.6, 1.0, 1.0), rtol=1e-7)
    data = np.asanyarray(written.dataobj)
    assert data.dtype == (np.int16 if interpolation == "nearest" else np.float32)
    # Even output voxels sit on input voxels; the last, half a voxel past the last one, is outside.
    np.testing.assert_array_equal(data[:-2:2, :-2:2, :-2:2], labels[:-1, :-1, :-1])
    if interpolation == "nearest":
        assert np.all(data[-1] == -7) and np.all(data[:, -1] == -7) and np.all(data[:-1, :-1, :-1] != -7)


def bad_grid(tmp_path, case):
    """Arrange one bad grid or type; return (arguments, expected fragment of the error)."""
    source = save(tmp_path / "in.nii", volume((4, 5, 6, 2)), np.eye(4))
    ref = save(tmp_path / "ref.nii", np.zeros((3, 4, 5), np.float32), np.eye(4))
    out = tmp_path / "out.nii"
    if case == "3 matrices for 2 volumes":
        np.savetxt(tmp_path / "m.txt", np.tile(np.eye(4)[:3].ravel(), (3, 1)))
        return [source, out, "-m", tmp_path / "m.txt", "--like", ref], "holds 3 matrices but input"
    if case == "reference with a zero axis":
        empty = save(tmp_path / "empty.nii", np.zeros((3, 0, 5), np.float32), np.eye(4))
        return [source, out, "--like", empty], "shape 3x0x5"
    if case == "input with a zero axis":
        empty = save(tmp_path / "empty.nii", np.zeros((3, 4, 0), np.float32), np.eye(4))
        return [empty, out, "--voxel-size", 1, 1, 1], "shape 3x4x0"
    if case == "unreadable reference":
        (tmp_path / "text.nii").write_text("not an image\n")
        return [source, out, "--like", tmp_path / "text.nii"], "reference " + str(tmp_path / "text.nii")
    if case == "fill outside the type":
        labels = save(tmp_path / "labels.nii", volume((4, 5, 6), np.uint8), np.eye(4))
        return [labels, out, "--like", ref, "--interpolation", "nearest", "--fill", 256], "(0 to 255)"
    if case == "complex data":
        waves = save(tmp_path / "waves.nii", volume((4, 5, 6)).astype(np.complex64), np.eye(4))
        return [waves, out, "--like", ref, "--interpolation", "nearest"], "element type complex64"
    raise AssertionError(case)


@pytest.mark.parametrize(
    "case",
    [
        "3 matrices for 2 volumes",
        "reference with a zero axis",
        "input with a zero axis",
        "unreadable reference",
        "fill outside the type",
        "complex data",
    ],
)
def test_bad_grids_and_types_are_one_line_errors_that_write_nothing(tmp_path, capsys, case):
    arguments, fragment = bad_grid(tmp_path, case)
    before = sorted(tmp_path.rglob("*"))
    status, out, err = run(capsys, "apply", *arguments)
    assert_one_line_error(status, err, fragment)
    assert out == ""
    assert sorted(tmp_path.rglob("*")) == before
