"""Matrix files: text layouts, folders, registration tools' formats and their directions."""

import sys
from functools import partial

import numpy as np
import pytest
from support.command_line import assert_one_line_error, read_output, run
from support.geometry import turn_about
from support.registration_files import afni, fsl_flirt, itk_binary, itk_text, lta, numbers
from support.values import volume

from voxwarpkit.io.errors import FileError as CommandError
from voxwarpkit.io.transforms.matrixtext import read_matrix_source

nib = pytest.importorskip("nibabel")
pytest.importorskip("nitransforms")
processing = pytest.importorskip("nibabel.processing")
scipy_io = pytest.importorskip("scipy.io")


def grid(shape, affine):
    return nib.Nifti1Image(np.zeros(shape, dtype=np.float32), np.array(affine, dtype=np.float64))


# Axis-aligned but permuted and flipped grids (AFNI's own de-obliquing is nitransforms'
# business), one with a positive determinant, which FSL mirrors, and one negative.
REFERENCE = grid((10, 12, 8), [[0, -1.5, 0, 30], [2, 0, 0, -20], [0, 0, 2.5, 5], [0, 0, 0, 1]])
MOVING = grid((9, 11, 7), [[-1.25, 0, 0, 12], [0, 1.75, 0, -8], [0, 0, 2, 3], [0, 0, 0, 1]])
MOTION = turn_about(np.array([5.0, -3.0, 12.0]), (8.0, -5.0), np.array([3.0, -2.0, 1.5]))


# ---- registration tools' formats, written by support.registration_files ------------------
# Each writer stores world motions (output/reference -> input/moving, RAS+) the way its tool
# defines its files; reading them back must give the same motions.

WRITERS = {
    "ITK .tfm": itk_text,
    "ANTs .txt": partial(itk_text, name="0GenericAffine.txt"),
    "ITK .mat": itk_binary,
    "FSL .mat": fsl_flirt,
    "AFNI": afni,
    "LTA RAS": lta,
    "LTA voxels": partial(lta, voxels=True),
}


@pytest.mark.parametrize("write", WRITERS.values(), ids=WRITERS.keys())
def test_registration_files_give_world_motions_from_output_to_input(tmp_path, write):
    path = write(tmp_path, [MOTION], REFERENCE, MOVING)
    source = read_matrix_source(path, reference=REFERENCE, moving=MOVING)
    assert source.space == "world"
    assert source.matrices.shape == (1, 4, 4)
    # nitransforms parses ITK and LTA text as float32.
    np.testing.assert_allclose(source.matrices[0], MOTION, rtol=0, atol=2e-5)


# ---- apply with a registration tool's transform -------------------------------------------

AFFINE = np.array([[0, 0, 2.0, -9], [-1.5, 0, 0, 14], [0, 2.5, 0, -11], [0, 0, 0, 1]])
SHAPE = (9, 10, 8)


# What the summary line calls each.
SUMMARIES = {
    "ITK .tfm": "the ITK/ANTs transform from",
    "ANTs .txt": "the ITK/ANTs transform from",
    "ITK .mat": "the ITK/ANTs transform from",
    "FSL .mat": "the FSL FLIRT matrix from",
    "AFNI": "the AFNI matrix from",
    "LTA RAS": "the FreeSurfer LTA transform from",
    "LTA voxels": "the FreeSurfer LTA transform from",
}


@pytest.mark.parametrize("kind", WRITERS)
def test_apply_world_transform_resamples_as_nibabel_does(tmp_path, capsys, kind):
    """The output at world p holds the input at MOTION p: resample_from_to with it folded in."""
    write = WRITERS[kind]
    data = volume(SHAPE)
    image = nib.Nifti1Image(data, AFFINE)
    nib.save(image, tmp_path / "in.nii")
    centre = AFFINE @ [*(np.array(SHAPE) - 1) / 2, 1.0]
    motion = turn_about(centre[:3], (6.0, 4.0), np.array([1.2, -0.7, 0.9]))
    path = write(tmp_path, [motion], image, image)
    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", path)
    assert status == 0, err
    assert f"{SUMMARIES[kind]} {path}" in out

    moved = nib.Nifti1Image(data, np.linalg.inv(motion) @ AFFINE)
    expected = processing.resample_from_to(moved, (SHAPE, AFFINE), order=1).get_fdata()
    to_input = np.linalg.inv(AFFINE) @ motion @ AFFINE
    positions = np.tensordot(to_input[:3, :3], np.indices(SHAPE), axes=1)
    positions += to_input[:3, 3, np.newaxis, np.newaxis, np.newaxis]
    upper = np.array(SHAPE)[:, np.newaxis, np.newaxis, np.newaxis] - 1.001
    inside = np.all((positions > 0.001) & (positions < upper), axis=0)
    assert inside.sum() > data.size // 3
    written = read_output(tmp_path / "out.nii")[1]
    np.testing.assert_allclose(written[inside], expected[inside], rtol=0, atol=1e-4)


# ---- one matrix per volume --------------------------------------------------------------

ZOOMS = (2.0, 1.5, 2.5)
SHIFTS = (0, 2, -1, 3)  # whole voxels along i, one per volume


def shift_along_i(voxels):
    """Output voxel i takes input voxel i + voxels: physical and world x are both along i here."""
    matrix = np.eye(4)
    matrix[0, 3] = voxels * ZOOMS[0]
    return matrix


def rows_of_12(folder, motions):
    np.savetxt(folder / "m.txt", [m[:3].ravel() for m in motions], fmt="%.17g")
    return folder / "m.txt"


def blocks_of_4x4(folder, motions):
    blocks = ["\n".join(map(numbers, m)) for m in motions]
    (folder / "m.txt").write_text("".join(f"# volume {t}\n{b}\n" for t, b in enumerate(blocks)))
    return folder / "m.txt"


def one_file_each(folder, motions):
    (folder / "mats").mkdir()
    for t, motion in enumerate(motions):
        np.savetxt(folder / "mats" / f"vol{t}.txt", motion, fmt="%.17g")
    return folder / "mats"


def world(writer):
    return lambda folder, motions: writer(folder, motions, None, None)


@pytest.mark.parametrize(
    "write",
    [rows_of_12, blocks_of_4x4, one_file_each, world(afni), world(itk_text)],
    ids=["rows of 12", "4x4 blocks", "folder", "AFNI", "ITK"],
)
def test_each_volume_gets_its_own_matrix(tmp_path, capsys, write):
    data = volume((9, 5, 4, len(SHIFTS)))
    affine = np.diag([*ZOOMS, 1.0])
    affine[:3, 3] = [4.0, -6.0, 2.0]
    image = nib.Nifti1Image(data, affine)
    image.header.set_zooms((*ZOOMS, 2.0))
    nib.save(image, tmp_path / "in.nii")
    path = write(tmp_path, [shift_along_i(s) for s in SHIFTS])
    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", path)
    assert status == 0, err
    assert f"{len(SHIFTS)} " in out and "one per volume" in out
    written = read_output(tmp_path / "out.nii")[1]
    for t, shift in enumerate(SHIFTS):
        # Voxels whose source lies inside, short of the last faces.
        first, stop = max(0, -shift), min(9, 9 - shift) - 1
        np.testing.assert_allclose(
            written[first:stop, :-1, :-1, t],
            data[first + shift : stop + shift, :-1, :-1, t],
            rtol=0,
            atol=1e-5,
        )


# ---- text layouts and folders -------------------------------------------------------------

MATRICES = np.stack([shift_along_i(s) @ MOTION for s in SHIFTS[:3]])


@pytest.mark.parametrize(
    "text",
    [
        "\n".join(numbers(m[:3]) for m in MATRICES),
        "\n\n".join("\n".join(map(numbers, m)) for m in MATRICES),
        "\n".join("\n".join(map(numbers, m)) for m in MATRICES) + "\n# the end\n",
        np.array2string(MATRICES, precision=17, floatmode="unique", max_line_width=200),
    ],
    ids=["rows of 12", "blocks and blank lines", "blocks back to back", "printed numpy array"],
)
def test_text_files_with_one_matrix_per_volume(tmp_path, text):
    (tmp_path / "m.txt").write_text(text)
    source = read_matrix_source(tmp_path / "m.txt")
    assert source.space == "plain"
    np.testing.assert_array_equal(source.matrices, MATRICES)


def test_a_folder_is_read_in_natural_name_order_without_hidden_files(tmp_path):
    for name, shift in [("vol10", 10), ("vol2", 2), ("vol1", 1), (".vol0", 0)]:
        np.savetxt(tmp_path / name, shift_along_i(shift)[:3])
    source = read_matrix_source(tmp_path)
    assert source.space == "plain"
    assert (source.matrices[:, 0, 3] / ZOOMS[0]).tolist() == [1, 2, 10]


@pytest.mark.parametrize(
    "text, fragment",
    [
        ("1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n", "hold 7 rows of 4"),
        ("1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 1 1\n", "lines 6-9: the last row"),
        (f"{numbers(np.eye(4)[:3])}\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", "on 5 lines"),
        ("\n".join(["1 0 0 0 1 0"] * 8), "holds 48 numbers on 8 lines"),
    ],
    ids=["incomplete block", "bad last row", "mixed layouts", "lines of 6"],
)
def test_text_files_that_are_no_layout_are_refused(tmp_path, text, fragment):
    (tmp_path / "m.txt").write_text(text)
    with pytest.raises(CommandError, match=fragment) as raised:
        read_matrix_source(tmp_path / "m.txt")
    assert str(tmp_path / "m.txt") in str(raised.value)


def test_fsl_matrices_need_both_images(tmp_path):
    path = fsl_flirt(tmp_path, [MOTION], REFERENCE, MOVING)
    with pytest.raises(CommandError, match="needs the reference .output. and moving .input."):
        read_matrix_source(path, reference=REFERENCE)


# ---- bad matrix files on the command line ---------------------------------------------------

ITK_TEXT = "#Insight Transform File V1.0\n#Transform 0\nTransform: {}\nParameters: {}\n"
ITK_TEXT += "FixedParameters: 0 0 0\n"


def bad_matrix(tmp_path, case, monkeypatch):
    """Write one kind of bad matrix file; return (its name, extra arguments, error fragment)."""
    if case == "nonlinear ITK":
        text = ITK_TEXT.format("BSplineTransform_double_3_3", "0 " * 81)
        return "warp.tfm", text, [], "BSplineTransform_double_3_3 is not supported"
    if case == "composite ITK":
        text = ITK_TEXT.format("CompositeTransform_double_3_3", "")
        return "chain.txt", text, [], "CompositeTransform_double_3_3 holds 0 parameters and 3 fixed"
    if case == "rigid ITK binary":
        # SimpleITK itself would corrupt its memory reading this one
        return "rigid.mat", {"Euler3DTransform_double_3_3": np.zeros((4, 1))}, [], "holds 4 parameters"
    if case == "AFNI motion parameters":
        return "motion.1D", "0.1 0.2 0.3 1 2 3\n", [], "(AFNI matrix): cannot read"
    if case == "broken LTA":
        return "register.lta", "type      = 1\nnxforms   = 1\n", [], "(FreeSurfer LTA transform): cannot read"
    if case == "displacement field":
        return "warp.nii.gz", "", [], "displacement fields"
    if case == "convention with a world file":
        text = ITK_TEXT.format("AffineTransform_double_3_3", numbers(np.eye(4)[:3].T.ravel()))
        return "affine.tfm", text, ["--convention", "index"], "--convention applies to plain"
    if case == "nitransforms missing":
        monkeypatch.setitem(sys.modules, "nitransforms", None)
        monkeypatch.setitem(sys.modules, "nitransforms.io", None)
        text = ITK_TEXT.format("AffineTransform_double_3_3", numbers(np.eye(4)[:3].T.ravel()))
        return "affine.tfm", text, [], "needs nitransforms, which is not installed: install voxwarpkit's cli extra"
    if case == "SimpleITK missing":
        monkeypatch.setitem(sys.modules, "SimpleITK", None)
        text = ITK_TEXT.format("TranslationTransform_double_3_3", "1 2 3").replace("FixedParameters: 0 0 0", "")
        return "shift.tfm", text, [], "only ITK's own code turns into a matrix, needs SimpleITK"
    if case == "3 matrices for 4 volumes":
        return "m.txt", "\n".join([numbers(np.eye(4)[:3])] * 3), [], "3 matrices but input"
    if case == "empty folder":
        return "mats", None, [], "holds no matrix files"
    raise AssertionError(case)


@pytest.mark.parametrize(
    "case",
    [
        "nonlinear ITK",
        "composite ITK",
        "rigid ITK binary",
        "AFNI motion parameters",
        "broken LTA",
        "displacement field",
        "convention with a world file",
        "nitransforms missing",
        "SimpleITK missing",
        "3 matrices for 4 volumes",
        "empty folder",
    ],
)
def test_bad_matrix_files_are_one_line_errors_naming_the_file(tmp_path, capsys, monkeypatch, case):
    nib.save(nib.Nifti1Image(volume((4, 5, 6, 4)), np.eye(4)), tmp_path / "in.nii")
    name, content, options, fragment = bad_matrix(tmp_path, case, monkeypatch)
    path = tmp_path / name
    if content is None:
        path.mkdir()
    elif isinstance(content, dict):
        scipy_io.savemat(str(path), {**content, "fixed": np.zeros((3, 1))}, format="4")
    else:
        path.write_text(content)
    before = sorted(tmp_path.rglob("*"))
    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", path, *options)
    assert_one_line_error(status, err, fragment)
    assert str(path) in err
    assert out == ""
    assert sorted(tmp_path.rglob("*")) == before
