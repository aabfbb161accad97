"""The voxwarpkit command line, in-process and as a subprocess, on NIfTI files made here."""

import io
import os
import re
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, read_output, run
from support.output_types import integers_of_sums
from support.values import volume

import voxwarpkit
from voxwarpkit._core.extras import EXTRA_OF
from voxwarpkit.cli import demo
from voxwarpkit.cli import memory_backend as nifti
from voxwarpkit.cli.errors import CommandError

nib = pytest.importorskip("nibabel")
ndimage = pytest.importorskip("scipy.ndimage")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")

ZOOMS = (1.5, 0.75, 2.5)
# A small rotation and shift in physical millimetres, output -> input.
TURN = np.array(
    [
        [0.98, -0.17, 0.05, 1.2],
        [0.17, 0.98, -0.04, -0.6],
        [-0.05, 0.05, 1.0, 0.9],
        [0.0, 0.0, 0.0, 1.0],
    ]
)


# transform's edge rule, for the tests that compare apply with transform.
BANDS = ("--edges", "transform")


def save_nifti(path, data, *, endianness="<", zooms=ZOOMS, dtype=None):
    """Write ``data`` (axes i, j, k[, t]) with an oblique affine of the given zooms."""
    affine = np.diag([*(tuple(zooms) + (1.0, 1.0))[:3], 1.0])
    affine[:3, :3] = affine[:3, :3] @ np.array([[1, 0, 0], [0, 0.96, -0.28], [0, 0.28, 0.96]])
    affine[:3, 3] = [-20.0, 31.5, 7.0]
    header = nib.Nifti1Header(endianness=endianness)
    image = nib.Nifti1Image(data, affine, header=header)
    image.set_data_dtype(dtype or data.dtype)
    image.header.set_zooms((*zooms, 2.0)[: data.ndim])
    nib.save(image, path)
    return path


def save_matrix(path, matrix):
    np.savetxt(path, np.asarray(matrix), fmt="%.17g")
    return path


def expected_resampling(path, matrix12):
    """What apply must write: transform on the stored data, read back through nibabel."""
    image = nib.load(path)
    data = np.asanyarray(image.dataobj)
    if data.dtype.char not in "Bhilfd":
        data = data.astype(np.float32)
    zooms = np.array(image.header.get_zooms()[:3], dtype=np.float64)
    reversed_axes = tuple(range(data.ndim))[::-1]
    return voxwarpkit.transform(data.transpose(reversed_axes), zooms, matrix12).transpose(reversed_axes)


# ---- apply: results ---------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16, np.uint8, np.int32])
@pytest.mark.parametrize("suffixes", [(".nii", ".nii.gz"), (".nii.gz", ".nii")])
def test_apply_writes_transform_result_with_the_input_geometry(tmp_path, capsys, dtype, suffixes):
    source = save_nifti(tmp_path / f"in{suffixes[0]}", volume((7, 8, 6), dtype))
    target = tmp_path / f"out{suffixes[1]}"
    matrix = save_matrix(tmp_path / "turn.txt", TURN)
    status, out, err = run(capsys, "apply", source, target, "--matrix", matrix, *BANDS)
    assert status == 0, err
    assert err == ""
    assert str(target) in out
    written, data = read_output(target)
    original = nib.load(source)
    np.testing.assert_array_equal(written.affine, original.affine)
    assert written.header.get_zooms() == original.header.get_zooms()
    assert_same_bits(data, expected_resampling(source, voxwarpkit.from_homogeneous(TURN)))


def test_apply_4d_volume_by_volume_gives_the_bits_of_one_stack_call(tmp_path, capsys):
    source = save_nifti(tmp_path / "in.nii.gz", volume((6, 5, 7, 4)))
    target = tmp_path / "out.nii.gz"
    status, _, err = run(capsys, "apply", source, target, "-m", save_matrix(tmp_path / "m.txt", TURN), *BANDS)
    assert status == 0, err
    # expected_resampling hands transform the whole (t, k, j, i) stack at once.
    _, data = read_output(target)
    assert data.shape == (6, 5, 7, 4)
    assert_same_bits(data, expected_resampling(source, voxwarpkit.from_homogeneous(TURN)))


@pytest.mark.parametrize(
    "dtype, endianness, shape",
    [
        (np.uint16, "<", (6, 7, 5)),
        (np.uint16, ">", (6, 7, 5, 2)),
        (np.int8, "<", (6, 7, 5)),
    ],
)
def test_apply_converts_exact_types_to_float32_with_a_note(tmp_path, capsys, dtype, endianness, shape):
    data = volume(shape, dtype)
    source = save_nifti(tmp_path / "in.nii", data, endianness=endianness)
    assert nib.load(source).header.endianness == endianness
    target = tmp_path / "out.nii"
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    status, _, err = run(capsys, "apply", source, target, "-m", matrix, *BANDS)
    assert status == 0
    assert err.startswith("voxwarpkit: note: converting ")
    assert np.dtype(dtype).name in err
    _, written = read_output(target)
    reversed_axes = tuple(range(len(shape)))[::-1]
    expected = voxwarpkit.transform(
        data.astype(np.float32).transpose(reversed_axes),
        np.array(ZOOMS),
        voxwarpkit.from_homogeneous(TURN),
    ).transpose(reversed_axes)
    assert_same_bits(written, expected)


@pytest.mark.parametrize("dtype", [np.float32, np.int16])
def test_apply_reads_big_endian_files_like_little_endian_ones(tmp_path, capsys, dtype):
    data = volume((5, 6, 7), dtype)
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    outputs = []
    for endianness in "<>":
        name = "big" if endianness == ">" else "little"
        source = save_nifti(tmp_path / f"{name}.nii", data, endianness=endianness)
        assert nib.load(source).header.endianness == endianness
        target = tmp_path / f"{name}-out.nii"
        status, _, err = run(capsys, "apply", source, target, "-m", matrix)
        assert status == 0, err
        outputs.append(read_output(target)[1])
    assert_same_bits(outputs[1], outputs[0])
    assert np.count_nonzero(outputs[0]) > outputs[0].size // 2


def index_matrix():
    """A small turn and shift in voxel indices (i, j, k), output -> input."""
    affine = np.eye(4)
    affine[:3, :3] += np.array([[0.02, -0.1, 0.03], [0.1, -0.03, 0.02], [-0.02, 0.04, 0.05]])
    affine[:3, 3] = [0.4, -0.3, 0.2]
    return affine


def inside(index_affine, shape, margin=1e-3):
    grid = np.indices(shape).reshape(len(shape), -1).astype(np.float64)
    source = index_affine[:3, :3] @ grid + index_affine[:3, 3:]
    upper = np.array(shape, dtype=np.float64)[:, None] - 1 - margin
    return np.all((source >= margin) & (source <= upper), axis=0).reshape(shape)


@pytest.mark.parametrize("inverse", [False, True])
def test_apply_index_convention_agrees_with_scipy_on_the_nibabel_array(tmp_path, capsys, inverse):
    data = volume((9, 10, 8))
    source = save_nifti(tmp_path / "in.nii", data)
    target = tmp_path / "out.nii"
    mapping = index_matrix()
    in_file = np.linalg.inv(mapping) if inverse else mapping
    options = ["--inverse"] if inverse else []
    status, _, err = run(
        capsys,
        "apply",
        source,
        target,
        "-m",
        save_matrix(tmp_path / "m.txt", in_file),
        "--convention",
        "index",
        *options,
    )
    assert status == 0, err
    _, written = read_output(target)
    expected = ndimage.affine_transform(data.astype(np.float64), mapping, order=1)
    mask = inside(mapping, data.shape)
    assert mask.sum() > data.size // 3
    np.testing.assert_allclose(written[mask], expected[mask], rtol=0, atol=2e-5)


def test_apply_inverse_reads_a_matrix_from_input_to_output(tmp_path, capsys):
    data = volume((6, 7, 8))
    source = save_nifti(tmp_path / "in.nii", data)
    forward = save_matrix(tmp_path / "forward.txt", TURN)
    backward = save_matrix(tmp_path / "backward.txt", np.linalg.inv(TURN))
    assert run(capsys, "apply", source, tmp_path / "a.nii", "-m", forward, "--inverse")[0] == 0
    assert run(capsys, "apply", source, tmp_path / "b.nii", "-m", backward)[0] == 0
    inverted, plain = read_output(tmp_path / "a.nii")[1], read_output(tmp_path / "b.nii")[1]
    assert_same_bits(inverted, plain)
    not_inverted = expected_resampling(source, voxwarpkit.from_homogeneous(TURN))
    assert not np.array_equal(inverted, not_inverted)


@pytest.mark.parametrize(
    "text",
    [
        "1 0 0 0\n0 1 0 0\n0 0 1 0\n",
        "# identity\n1, 0, 0, 0,\n0, 1, 0, 0,\n0, 0, 1, 0,\n0, 0, 0, 1\n",
        "[[1. 0. 0. 0.]\n [0. 1. 0. 0.]\n [0. 0. 1. 0.]\n [0. 0. 0. 1.]]\n",
    ],
    ids=["3x4", "commas and a comment", "printed numpy array"],
)
def test_apply_reads_matrix_files_in_common_layouts(tmp_path, capsys, text):
    data = volume((5, 6, 7))
    source = save_nifti(tmp_path / "in.nii", data)
    (tmp_path / "m.txt").write_text(text)
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "-m", tmp_path / "m.txt")
    assert status == 0, err
    _, written = read_output(tmp_path / "out.nii")
    # The identity keeps every voxel off the last faces' edges.
    np.testing.assert_array_equal(written[:-1, :-1, :-1], data[:-1, :-1, :-1])


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_apply_shows_progress_across_volumes_on_a_terminal(tmp_path):
    from voxwarpkit.cli.apply import run_apply
    from voxwarpkit.cli.options import Mapping, Options, Running

    source = save_nifti(tmp_path / "in.nii", volume((4, 5, 6, 3)))
    err = Terminal()
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    run_apply(
        source, tmp_path / "out.nii", Options(mapping=Mapping(matrix), running=Running(err=err)), out=io.StringIO()
    )
    assert "resampling" in err.getvalue()
    assert "/3 " in err.getvalue()


def test_apply_output_type_writes_the_float64_blend_made_once_into_the_type(tmp_path, capsys):
    data = volume((9, 8, 7), np.uint16)
    data[0, :, :] = 65535  # saturation where the blend passes the type's range is the rule's, not the file's
    source = tmp_path / "in.nii.gz"
    nib.save(nib.Nifti1Image(data, np.diag([*ZOOMS, 1.0])), source)  # an axis-aligned grid, as OME-Zarr needs
    matrix = save_matrix(tmp_path / "turn.txt", TURN)
    outputs = {}
    for output_type, name, *options in [
        ("float64", "wide.nii.gz"),
        ("same", "same.nii.gz"),
        ("int8", "small.zarr"),
        ("uint8", "levels.ome.zarr", "--levels", "2"),
    ]:
        status, _, err = run(
            capsys, "apply", source, tmp_path / name, "-m", matrix, "--output-type", output_type, *options
        )
        assert status == 0, err
        outputs[output_type] = tmp_path / name
    sums = np.asanyarray(nib.load(outputs["float64"]).dataobj)
    assert sums.dtype == np.float64
    same = nib.load(outputs["same"])
    assert same.get_data_dtype() == np.uint16
    assert_same_bits(np.asanyarray(same.dataobj), integers_of_sums(sums, np.uint16, 0))
    zarr = pytest.importorskip("zarr")
    small = zarr.open_array(str(outputs["int8"]), mode="r")[...]
    assert_same_bits(small, integers_of_sums(sums, np.int8, 0).T)
    # Every level of a pyramid is written in the type, level 0 by the same rule.
    levels = zarr.open_group(str(outputs["uint8"]), mode="r")
    assert [levels[name].dtype for name in ("0", "1")] == [np.uint8, np.uint8]
    assert_same_bits(levels["0"][...], integers_of_sums(sums, np.uint8, 0).T)


@pytest.mark.parametrize(
    ("options", "fragment"),
    [
        (["--levels", "2", "--output-type", "uint8"], "--output-type needs resampling: a copy keeps"),
        (["--voxel-size", 1, 1, 1, "--interpolation", "nearest", "--output-type", "float32"], "keeps the image's type"),
        (["--voxel-size", 1, 1, 1, "--output-type", "uint8", "--fill", "-1"], "does not fit the result's type uint8"),
    ],
)
def test_apply_refuses_output_types_it_cannot_write(tmp_path, capsys, options, fragment):
    source = save_nifti(tmp_path / "in.nii.gz", volume((6, 5, 4), np.int16))
    target = tmp_path / ("out.zarr" if "--levels" in options else "out.nii.gz")
    status, _, err = run(capsys, "apply", source, target, *options)
    assert_one_line_error(status, err, fragment)
    assert not target.exists()


# ---- apply: bad input -------------------------------------------------------------------


def bad_input(tmp_path, case):
    """Arrange one kind of bad input; return (arguments, expected fragment of the error)."""
    good = save_nifti(tmp_path / "in.nii", volume((5, 6, 7)))
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    out = tmp_path / "out.nii.gz"
    if case == "missing input":
        return [tmp_path / "absent.nii", out, "-m", matrix], "no such file"
    if case == "input is a folder":
        (tmp_path / "folder.nii").mkdir()
        return [tmp_path / "folder.nii", out, "-m", matrix], "is a directory"
    if case == "input is not NIfTI":
        (tmp_path / "text.nii").write_text("not an image\n")
        return [tmp_path / "text.nii", out, "-m", matrix], "not a NIfTI image"
    if case == "input data truncated":
        whole = save_nifti(tmp_path / "whole.nii", volume((20, 20, 20)))
        (tmp_path / "cut.nii").write_bytes(whole.read_bytes()[:5000])
        return [tmp_path / "cut.nii", out, "-m", matrix], "cannot read its data"
    if case == "2-D image":
        flat = save_nifti(tmp_path / "flat.nii", volume((5, 6)), zooms=ZOOMS[:2])
        return [flat, out, "-m", matrix], "2-D image"
    if case == "5-D image":
        deep = save_nifti(tmp_path / "deep.nii", volume((3, 3, 3, 2, 2)), zooms=(1.0,) * 5)
        return [deep, out, "-m", matrix], "5-D image"
    if case == "complex element type":
        wide = save_nifti(tmp_path / "wide.nii", volume((4, 4, 4), np.complex64))
        return [wide, out, "-m", matrix], "element type complex64 is not supported"
    if case == "missing matrix file":
        return [good, out, "-m", tmp_path / "absent.txt"], "no such file"
    if case == "matrix file of 11 numbers":
        (tmp_path / "short.txt").write_text(" ".join(["1"] * 11))
        return [good, out, "-m", tmp_path / "short.txt"], "holds 11 numbers"
    if case == "matrix file with a word":
        (tmp_path / "word.txt").write_text("1 0 0 0 0 1 0 0 0 0 one 0")
        return [good, out, "-m", tmp_path / "word.txt"], "'one' is not a number"
    if case == "matrix file with nan":
        (tmp_path / "nan.txt").write_text("1 0 0 0 0 1 0 0 0 0 1 nan")
        return [good, out, "-m", tmp_path / "nan.txt"], "not a finite number"
    if case == "binary matrix file":
        (tmp_path / "binary.txt").write_bytes(bytes(range(128, 256)))
        return [good, out, "-m", tmp_path / "binary.txt"], "not a text file"
    if case == "projective 4x4":
        bent = save_matrix(tmp_path / "bent.txt", np.vstack([TURN[:3], [0.1, 0, 0, 1]]))
        return [good, out, "-m", bent], "last row"
    if case == "singular matrix inverted":
        flat = save_matrix(tmp_path / "flat.txt", np.diag([1.0, 1.0, 0.0, 1.0]))
        return [good, out, "-m", flat, "--inverse"], "singular"
    if case == "output not NIfTI":
        return [good, tmp_path / "out.png", "-m", matrix], "must end in .nii or .nii.gz"
    if case == "output folder missing":
        return [good, tmp_path / "absent" / "out.nii", "-m", matrix], "does not exist"
    raise AssertionError(case)


BAD_INPUTS = [
    "missing input",
    "input is a folder",
    "input is not NIfTI",
    "input data truncated",
    "2-D image",
    "5-D image",
    "complex element type",
    "missing matrix file",
    "matrix file of 11 numbers",
    "matrix file with a word",
    "matrix file with nan",
    "binary matrix file",
    "projective 4x4",
    "singular matrix inverted",
    "output not NIfTI",
    "output folder missing",
]


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_apply_reports_bad_input_in_one_line_and_writes_nothing(tmp_path, capsys, case):
    arguments, fragment = bad_input(tmp_path, case)
    before = sorted(tmp_path.rglob("*"))
    status, out, err = run(capsys, "apply", *arguments)
    assert_one_line_error(status, err, fragment)
    assert out == ""
    assert sorted(tmp_path.rglob("*")) == before


def test_apply_keeps_an_existing_output_unless_forced(tmp_path, capsys):
    source = save_nifti(tmp_path / "in.nii", volume((5, 6, 7)))
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    target = tmp_path / "out.nii"
    target.write_bytes(b"precious")
    status, _, err = run(capsys, "apply", source, target, "-m", matrix)
    assert_one_line_error(status, err, "exists already")
    assert target.read_bytes() == b"precious"
    status, _, err = run(capsys, "apply", source, target, "-m", matrix, "--force", *BANDS)
    assert status == 0, err
    expected = expected_resampling(source, voxwarpkit.from_homogeneous(TURN))
    assert_same_bits(read_output(target)[1], expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii", "m.txt", "out.nii"]


@pytest.mark.parametrize(
    "failure, status, message",
    [
        (OSError(28, "No space left on device"), 1, "No space left on device"),
        (KeyboardInterrupt(), 130, "voxwarpkit: interrupted"),
        (signal.SIGTERM, 143, "voxwarpkit: terminated"),
    ],
)
def test_a_failed_write_leaves_no_partial_file_and_keeps_the_old_output(
    tmp_path, capsys, monkeypatch, failure, status, message
):
    source = save_nifti(tmp_path / "in.nii", volume((5, 6, 7)))
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    target = tmp_path / "out.nii.gz"
    target.write_bytes(b"previous result")

    def failing_save(image, path):
        Path(path).write_bytes(b"half an image")
        if failure is signal.SIGTERM:
            signal.raise_signal(signal.SIGTERM)
        raise failure

    monkeypatch.setattr(nib, "save", failing_save)
    handler = signal.getsignal(signal.SIGTERM)
    exit_status, _, err = run(capsys, "apply", source, target, "-m", matrix, "--force", *BANDS)
    assert exit_status == status
    assert len(err.splitlines()) == 1 and message in err
    assert signal.getsignal(signal.SIGTERM) is handler
    assert target.read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii", "m.txt", "out.nii.gz"]


# Writes the whole output to its temporary file, then waits there for SIGTERM.
SLOW_SAVE = """
import sys, time
import nibabel
from voxwarpkit.cli import main
write = nibabel.save
def save_and_wait(image, path):
    write(image, path)
    time.sleep(120)
nibabel.save = save_and_wait
sys.exit(main(sys.argv[1:]))
"""


def test_sigterm_while_writing_removes_the_partial_file_and_exits_143(tmp_path):
    source = save_nifti(tmp_path / "in.nii.gz", volume((30, 30, 20, 3)))
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    before = sorted(tmp_path.iterdir())
    command = [sys.executable, "-c", SLOW_SAVE, "apply", str(source), str(tmp_path / "out.nii.gz"), "-m", str(matrix)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not list(tmp_path.glob(".out.*.partial.nii.gz")):
            assert process.poll() is None, process.communicate()
            assert time.monotonic() < deadline, "the partial file never appeared"
            time.sleep(0.02)
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 143
    assert err.splitlines() == ["voxwarpkit: terminated"]
    assert sorted(tmp_path.iterdir()) == before


# ---- apply: the input's header and the summary ----------------------------------------------


@pytest.mark.parametrize("size", [0.0, -1.5, float("nan")])
def test_apply_refuses_a_voxel_size_that_is_not_positive(tmp_path, capsys, caplog, size):
    image = nib.Nifti1Image(volume((5, 6, 7)), np.diag([1.5, 1.0, 2.0, 1.0]))
    image.header["pixdim"][2] = size  # what nibabel would mend to 1 or 1.5 when loading
    nib.save(image, tmp_path / "in.nii")
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", matrix)
    assert_one_line_error(status, err, f"voxel size (pixdim) 1.5 x {size:g} x 2 ")
    assert not [record for record in caplog.records if "pixdim" in record.getMessage()]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii", "m.txt"]


def test_apply_resets_the_display_range_and_says_where_the_time_went(tmp_path, capsys):
    image = nib.Nifti1Image(volume((5, 6, 7), np.int16), np.eye(4))
    image.header["cal_min"], image.header["cal_max"] = -300.0, 2000.0
    nib.save(image, tmp_path / "in.nii")
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", matrix)
    assert status == 0, err
    header = nib.load(tmp_path / "out.nii").header
    assert (header["cal_min"], header["cal_max"]) == (0.0, 0.0)
    seconds = r"\d+\.\d{3} s"
    assert re.search(f"in {seconds}: reading {seconds}, resampling {seconds}, writing {seconds}$", out.strip()), out


@pytest.mark.parametrize(
    "dtype, widen",
    [
        ("u1", False),
        (">i2", False),
        ("i4", False),
        ("f4", False),
        (">f8", False),
        ("?", True),
        ("i1", True),
        ("u2", True),
        (">u2", True),
        ("f2", True),
        ("u4", False),  # rounded once to float32, as transform rounds int32
        ("i8" if np.dtype("i8").char == "q" else "u8", False),
    ],
)
def test_element_types_are_read_directly_or_widened_exactly(dtype, widen):
    assert nifti.needs_widening(np.dtype(dtype), Path("x.nii")) is widen


@pytest.mark.parametrize("dtype", ["c8", "f16"])
def test_element_types_that_are_not_real_numbers_are_refused(dtype):
    with pytest.raises(CommandError, match="not supported"):
        nifti.needs_widening(np.dtype(dtype), Path("x.nii"))


@pytest.mark.parametrize(
    "argv, missing",
    [(["apply", "in.nii", "out.nii", "-m", "m.txt"], "nibabel"), (["demo"], "matplotlib")],
)
def test_commands_name_the_extra_they_need_when_it_is_missing(tmp_path, capsys, monkeypatch, argv, missing):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, missing, None)  # makes the import fail
    status, _, err = run(capsys, *argv)
    assert_one_line_error(status, err, f"needs {missing}")
    assert "install voxwarpkit's cli extra (pip install '.[cli]' in its source folder)" in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("package", EXTRA_OF)
def test_each_missing_package_hint_names_the_extra_that_installs_it(package):
    tomllib = pytest.importorskip("tomllib" if sys.version_info >= (3, 11) else "tomli")
    project = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text(encoding="utf-8"))
    requirements = project["project"]["optional-dependencies"][EXTRA_OF[package]]
    assert any(re.match(rf"{package}\b", requirement, re.IGNORECASE) for requirement in requirements)


# ---- help and usage ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--help"], ["demo", "apply"]),
        (["demo", "--help"], ["--output", "FILE.png"]),
        (
            ["apply", "--help"],
            [
                "--matrix",
                "--convention",
                "physical",
                "index",
                "--inverse",
                "--force",
                "--like",
                "--voxel-size",
                "--interpolation",
                "nearest",
                "--fill",
                "--threads",
            ],
        ),
    ],
)
def test_every_command_has_help(capsys, argv, expected):
    status, out, _ = run(capsys, *argv)
    assert status == 0
    assert out.startswith("usage: voxwarpkit")
    for word in expected:
        assert word in out


@pytest.mark.parametrize(
    "argv, fragment",
    [
        ([], "required: COMMAND"),
        (["apply", "a.nii", "b.nii"], "--matrix"),
        (["apply", "a.nii", "b.nii", "-m", "m.txt", "--convention", "world"], "invalid choice"),
        (["apply", "a.nii", "b.nii", "--like", "r.nii", "--voxel-size", "1", "1", "1"], "not allowed with"),
        (["apply", "a.nii", "b.nii", "--voxel-size", "1", "0", "1"], "'0' is not a positive number"),
        (["apply", "a.nii", "b.nii", "-m", "m.txt", "--threads", "0"], "is not a whole number of at least 1"),
        (["apply", "a.nii", "b.nii", "--like", "r.nii", "--inverse"], "apply to a --matrix file"),
        (["apply", "a.nii", "b.nii", "-m", "m.txt", "--fill", "lots"], "'lots' is not a number"),
        (["rotate"], "invalid choice"),
    ],
)
def test_usage_mistakes_exit_with_2(capsys, argv, fragment):
    status, _, err = run(capsys, *argv)
    assert_one_line_error(status, err, fragment, expected_status=2)


# ---- demo ---------------------------------------------------------------------------------


def panel(picture, row, column):
    """The inner part of one panel of the demo's picture, away from frames and titles."""
    height, width = picture.shape[:2]
    left, bottom, panel_width, panel_height = demo.panel_rect(row, column)
    top = 1.0 - bottom - panel_height
    rows = slice(int((top + 0.1 * panel_height) * height), int((top + 0.9 * panel_height) * height))
    columns = slice(int((left + 0.1 * panel_width) * width), int((left + 0.9 * panel_width) * width))
    return picture[rows, columns, :3]


def test_demo_writes_a_picture_whose_after_panels_differ_from_before(tmp_path, capsys):
    import matplotlib.image

    target = tmp_path / "picture.png"
    status, out, err = run(capsys, "demo", "-o", target)
    assert status == 0, err
    assert str(target) in out
    assert " ms " in out
    picture = matplotlib.image.imread(target)
    assert picture.shape[:2] == (
        round(demo.FIGURE_SIZE[1] * demo.DPI),
        round(demo.FIGURE_SIZE[0] * demo.DPI),
    )
    for column in range(3):
        before, after = panel(picture, 0, column), panel(picture, 1, column)
        assert before.std() > 0.1, "the phantom should show"
        assert np.mean(np.abs(before - after)) > 0.02
    assert sorted(p.name for p in tmp_path.iterdir()) == ["picture.png"]


@pytest.mark.parametrize(
    "name, fragment",
    [("picture.jpg", "must end in .png"), ("absent/picture.png", "does not exist")],
)
def test_demo_reports_a_bad_output_path(tmp_path, capsys, name, fragment):
    status, _, err = run(capsys, "demo", "-o", tmp_path / name)
    assert_one_line_error(status, err, fragment)
    assert list(tmp_path.iterdir()) == []


# ---- as a separate process ------------------------------------------------------------------


def console_script():
    name = "voxwarpkit.exe" if os.name == "nt" else "voxwarpkit"
    path = Path(sysconfig.get_path("scripts")) / name
    if not path.exists():
        pytest.skip(f"the console script is not installed at {path}")
    return str(path)


def test_python_m_voxwarpkit_applies_a_matrix(tmp_path):
    source = save_nifti(tmp_path / "in.nii.gz", volume((5, 6, 7, 2), np.uint16))
    matrix = save_matrix(tmp_path / "m.txt", TURN)
    target = tmp_path / "out.nii.gz"
    done = subprocess.run(
        [sys.executable, "-m", "voxwarpkit", "apply", str(source), str(target), "-m", str(matrix), *BANDS],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "uint16" in done.stderr
    expected = expected_resampling(source, voxwarpkit.from_homogeneous(TURN))
    assert_same_bits(read_output(target)[1], expected)


def test_console_script_reports_a_missing_file_without_a_traceback(tmp_path):
    done = subprocess.run(
        [
            console_script(),
            "apply",
            str(tmp_path / "absent.nii"),
            str(tmp_path / "out.nii"),
            "-m",
            str(tmp_path / "m.txt"),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert_one_line_error(done.returncode, done.stderr, "no such file")
    assert list(tmp_path.iterdir()) == []


def test_console_script_demo_writes_its_default_picture_here(tmp_path):
    done = subprocess.run([console_script(), "demo"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "voxwarpkit-demo.png").stat().st_size > 0
    assert "voxwarpkit-demo.png" in done.stdout


# ---- apply: outputs that would lose a file, matrices no scan can have, usage mistakes ----------------


@pytest.mark.parametrize("link", ["same path", "symlink", "hard link"])
def test_apply_never_writes_over_its_own_input(tmp_path, capsys, link):
    source = save_nifti(tmp_path / "in.nii", volume((5, 6, 4), "f4"))
    before = source.read_bytes()
    target = source
    if link != "same path":
        target = tmp_path / "other.nii"
        (os.symlink if link == "symlink" else os.link)(source, target)
    status, _, err = run(capsys, "apply", source, target, "--voxel-size", 3, 3, 3, "--force")
    assert_one_line_error(status, err, f"is {source}, which this command reads")
    assert source.read_bytes() == before


def test_apply_refuses_a_singular_matrix_file_naming_it(tmp_path, capsys):
    source = save_nifti(tmp_path / "in.nii", volume((5, 6, 4), "f4"))
    matrix = save_matrix(tmp_path / "flat.txt", [[1, 0, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "-m", matrix)
    assert_one_line_error(status, err, f"matrix file {matrix}: matrix is singular")
    assert not (tmp_path / "out.nii").exists()


@pytest.mark.parametrize(
    "options, fragment",
    [
        (["--scheduler", "tcp://127.0.0.1:1"], "apply to Zarr images"),
        (["--chunks", "4", "4"], "--chunks takes 3 numbers"),
    ],
)
def test_usage_mistakes_exit_2(tmp_path, capsys, options, fragment):
    source = save_nifti(tmp_path / "in.nii", volume((5, 6, 4), "f4"))
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "--voxel-size", 2, 2, 2, *options)
    assert_one_line_error(status, err, fragment, expected_status=2)
