"""What the command line says: help that fits 80 columns and hides no option, counts that agree with their
nouns, paths named as the user gave them, and write failures named by the output, not its temporary name."""

import os
import re
from pathlib import Path

import numpy as np
import pytest
from support.command_line import assert_one_line_error, run
from support.values import volume

from voxwarpkit.cli.dask_backend import read_image

nib = pytest.importorskip("nibabel")
zarr = pytest.importorskip("zarr")
tifffile = pytest.importorskip("tifffile")
pytest.importorskip("dask.array")
pytest.importorskip("tqdm")

DOCS = Path(__file__).resolve().parents[2] / "docs" / "command-line.md"
SINGULAR = [[1, 0, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]


def nifti(path, shape=(6, 5, 4), dtype="f4"):
    nib.save(nib.Nifti1Image(volume(shape, dtype), np.diag([1.5, 1.0, 2.0, 1.0])), path)
    return path


def matrix_file(path, matrices):
    path.write_text("\n".join(" ".join(f"{v:.17g}" for v in np.asarray(m)[:3].ravel()) for m in matrices) + "\n")
    return path


# ---- help ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("argv", [["--help"], ["demo", "--help"], ["apply", "--help"], ["pyramid", "--help"]])
def test_every_help_line_fits_80_columns_on_a_wide_terminal_and_names_the_documentation(capsys, monkeypatch, argv):
    monkeypatch.setenv("COLUMNS", "200")  # argparse would otherwise wrap option help to the terminal
    status, out, _ = run(capsys, *argv)
    assert status == 0
    too_long = [line for line in out.splitlines() if len(line) > 80]
    assert too_long == []
    assert "docs/command-line.md in the source" in out


def test_apply_help_states_how_mcflirt_matrices_are_read(capsys):
    out = " ".join(run(capsys, "apply", "--help")[1].split())
    assert (
        "FSL MCFLIRT's MAT_0000, MAT_0001, ... (a folder, or one file) map each volume to MCFLIRT's reference, "
        "the input's own grid; they are read as FSL matrices of the input, in FSL's coordinates, for any image: "
        "give them without --inverse to bring every volume onto the reference." in out
    )
    assert "determinant" not in out
    for group in ("input and output:", "transforms:", "output grid:", "sampling:", "Zarr and clusters:"):
        assert group in out


@pytest.mark.parametrize("command", ["apply", "pyramid", "demo"])
def test_the_documentation_describes_every_option_of_the_help(capsys, command):
    options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]+", run(capsys, command, "--help")[1])) - {"--help"}
    assert options
    documented = DOCS.read_text()
    assert sorted(option for option in options if f"{option}" not in documented) == []


# ---- counts ----------------------------------------------------------------------------------------


def test_one_block_and_one_level_are_singular(tmp_path, capsys):
    source = nifti(tmp_path / "in.nii")
    status, out, err = run(capsys, "apply", source, tmp_path / "one.zarr", "--voxel-size", 3, 3, 3)
    assert status == 0, err
    assert " in 1 block, " in out
    status, out, err = run(capsys, "apply", source, tmp_path / "levels.zarr", "--voxel-size", 3, 3, 3, "--levels", 1)
    assert status == 0, err
    assert " image of 1 level from " in out


@pytest.mark.parametrize(
    "shape, count, fragment",
    [((6, 5, 4), 2, "holds 2 matrices but input {source} has 1 volume;"), ((6, 5, 4, 3), 2, "has 3 volumes;")],
)
def test_matrix_counts_agree_with_their_nouns(tmp_path, capsys, shape, count, fragment):
    source = nifti(tmp_path / "in.nii", shape)
    matrices = matrix_file(tmp_path / "m.txt", [np.eye(4)] * count)
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "-m", matrices)
    assert_one_line_error(status, err, fragment.format(source=source))


# ---- singular matrices -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, fragment",
    [
        ([], "matrix is singular: it maps the output onto a plane or a line"),
        (["--inverse"], "matrix is singular and cannot be inverted"),
    ],
)
def test_a_singular_matrix_is_called_singular_unless_its_inverse_was_asked_for(tmp_path, capsys, options, fragment):
    source = nifti(tmp_path / "in.nii")
    matrices = matrix_file(tmp_path / "flat.txt", [SINGULAR])
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "-m", matrices, *options)
    assert_one_line_error(status, err, fragment)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["flat.txt", "in.nii"]


# ---- outputs -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["out.nii.gz", "out.zarr"])
def test_a_file_where_the_output_folder_should_be_is_not_a_folder(tmp_path, capsys, name):
    source = nifti(tmp_path / "in.nii")
    (tmp_path / "notadir").write_text("a file")
    status, _, err = run(capsys, "apply", source, tmp_path / "notadir" / name, "--voxel-size", 3, 3, 3)
    assert_one_line_error(status, err, f"folder {tmp_path / 'notadir'} is not a folder")


def test_a_store_the_command_reads_is_not_called_a_file(tmp_path, capsys):
    source = nifti(tmp_path / "in.nii")
    assert run(capsys, "apply", source, tmp_path / "in.zarr")[0] == 0
    store = tmp_path / "in.zarr"
    status, _, err = run(capsys, "apply", store, store, "--voxel-size", 3, 3, 3, "--force")
    assert_one_line_error(status, err, f"output {store}: is {store}, which this command reads")
    assert "the file" not in err


def assert_written_nowhere(tmp_path, err, kept):
    assert "partial" not in err and "Errno" not in err and "Error:" not in err
    assert sorted(p.name for p in tmp_path.iterdir()) == kept


def test_a_zarr_output_that_cannot_be_created_is_named_as_given(tmp_path, capsys, monkeypatch):
    # The temporary store's name is longer than the output's: past the file system's limit of
    # 255 bytes it cannot be made, whoever runs the test, root included.
    monkeypatch.chdir(tmp_path)
    nifti(tmp_path / "in.nii")
    target = "o" * 240 + ".zarr"
    status, _, err = run(capsys, "apply", "in.nii", target, "--voxel-size", 3, 3, 3)
    assert_one_line_error(status, err, f"output {target}: cannot write it (File name too long)")
    assert_written_nowhere(tmp_path, err, ["in.nii"])


@pytest.mark.parametrize("command", ["apply", "pyramid"])
def test_a_read_only_folder_is_reported_as_the_output_that_cannot_be_written(tmp_path, capsys, monkeypatch, command):
    source = nifti(tmp_path / "in.nii")
    folder = tmp_path / "locked"
    folder.mkdir()
    folder.chmod(0o555)
    try:
        if os.access(folder, os.W_OK):
            pytest.skip("this user writes into read-only folders (root): the long-name test covers it")
        target = folder / "out.zarr"
        options = ["--voxel-size", 3, 3, 3] if command == "apply" else []
        status, _, err = run(capsys, command, source, target, *options)
        assert_one_line_error(status, err, f"output {target}: cannot write it (Permission denied)")
        assert_written_nowhere(folder, err, [])
    finally:
        folder.chmod(0o755)


# ---- inputs named as given ---------------------------------------------------------------------------


def write_input(path):
    data = volume((6, 5, 4), "f4")
    if path.suffix == ".nii":
        nifti(path)
        return np.asarray(nib.load(path).dataobj).T
    if path.suffix == ".zarr":
        array = zarr.open_array(str(path), mode="w", shape=data.shape, chunks=(2, 5, 6), dtype=data.dtype)
        array[...] = data
        array.attrs["voxel_size"] = [1.0, 1.0, 2.0]
        return data
    tifffile.imwrite(path, data, imagej=True, resolution=(1.0, 1.0), metadata={"spacing": 2.0, "unit": "um"})
    return data


@pytest.mark.parametrize("name", ["in.nii", "in.zarr", "in.tif"])
def test_pyramid_names_a_relative_input_as_given(tmp_path, capsys, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    status, _, err = run(capsys, "pyramid", "absent" + name[2:], "out.zarr")
    assert_one_line_error(status, err, f"input absent{name[2:]}: no such file")
    assert str(tmp_path) not in err
    write_input(tmp_path / name)
    status, out, err = run(capsys, "pyramid", name, "out.zarr", "--levels", 2)
    assert status == 0, err
    assert f" of {name} into out.zarr " in out
    assert str(tmp_path) not in out + err


@pytest.mark.parametrize("name", ["in.nii", "in.zarr", "in.tif"])
def test_a_lazily_read_input_is_read_by_its_absolute_path(tmp_path, monkeypatch, name):
    # A cluster's workers start in other folders: the graph must not depend on this one.
    monkeypatch.chdir(tmp_path)
    expected = write_input(tmp_path / name)
    image = read_image(Path(name))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    np.testing.assert_array_equal(image.data.compute(scheduler="synchronous"), expected)


@pytest.mark.parametrize(
    ("output", "options", "what"),
    [
        ("s3://bucket/out.zarr", [], "writing a store at a URL"),
        ("out.ome.zarr", ["--levels", 2, "--ngff", "0.5"], "OME-Zarr 0.5 (Zarr format 3)"),
        ("out.zarr", ["--chunks", 2, 2, 2, "--shards", 4, 4, 4], "shards need Zarr format 3"),
    ],
    ids=["url", "ome 0.5", "shards"],
)
def test_what_needs_zarr_3_names_the_python_it_needs_under_zarr_2(tmp_path, capsys, monkeypatch, output, options, what):
    """Pythons before 3.11 get zarr 2: what it cannot write is one line that says what would."""
    if output.startswith("s3://"):
        pytest.importorskip("upath")
        pytest.importorskip("s3fs")
    monkeypatch.chdir(tmp_path)
    nifti(tmp_path / "in.nii")
    monkeypatch.setattr(zarr, "__version__", "2.18.7")
    status, _, err = run(capsys, "apply", "in.nii", output, "--voxel-size", 3, 3, 3, *options)
    assert_one_line_error(status, err, what)
    assert "zarr 3 or later (on Python 3.11 or newer)" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii"]
