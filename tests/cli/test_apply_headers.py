"""voxwarpkit apply's output headers: quaternions that read back, scaled integers kept as stored, and the codes."""

import numpy as np
import pytest
from support.command_line import assert_one_line_error, run
from support.nifti_headers import (
    HALF_TURN,
    assert_qform_reads_back,
    coded_file,
    coded_image,
    codes,
    lengthen_every_quaternion,
    long_quaternion_file,
    nifti2_sample,
    scaled_file,
    scaled_sample,
)

nib = pytest.importorskip("nibabel")
arrayproxy = pytest.importorskip("nibabel.arrayproxy")

SHIFT = "1 0 0 2\n0 1 0 0\n0 0 1 0\n"  # input i = output i + 2 mm: one voxel of 2 mm


def test_nibabels_nifti2_sample_is_shifted_on_its_own_grid(tmp_path, capsys):
    source = nifti2_sample()
    (tmp_path / "shift.txt").write_text(SHIFT)
    status, _, err = run(capsys, "apply", source, tmp_path / "o.nii.gz", "-m", tmp_path / "shift.txt")
    assert status == 0, err
    image, written = nib.load(source), nib.load(tmp_path / "o.nii.gz")
    assert_qform_reads_back(written.header, image.affine)
    assert codes(written) == codes(image)
    np.testing.assert_array_equal(written.get_fdata()[:-1], image.get_fdata()[1:])


@pytest.mark.parametrize("fill", [[], ["--fill", "0"]], ids=["default fill", "fill 0"])
def test_nearest_on_scaled_data_whose_stored_type_cannot_hold_0(tmp_path, capsys, fill):
    """The default fill resamples the values; a fill that was given and cannot be stored is one line."""
    source = scaled_sample()
    (tmp_path / "shift.txt").write_text("1 0 0 8\n0 1 0 0\n0 0 1 0\n")  # two voxels of 4 mm along i
    arguments = ("apply", source, tmp_path / "o.nii", "-m", tmp_path / "shift.txt", "--interpolation", "nearest")
    status, _, err = run(capsys, *arguments, *fill)
    if fill:
        assert_one_line_error(status, err, "not a value the data can hold")
        assert not (tmp_path / "o.nii").exists()
        return
    assert status == 0, err
    image, written = nib.load(source), nib.load(tmp_path / "o.nii")
    np.testing.assert_array_equal(written.get_fdata()[:-2], image.get_fdata()[2:])
    np.testing.assert_array_equal(written.get_fdata()[-2:], 0)


@pytest.mark.parametrize("kind", [nib.Nifti1Image, nib.Nifti2Image])
@pytest.mark.parametrize("rounding", ["exact", "long"])
def test_a_quaternion_rounded_too_long_is_written_so_that_it_reads_back(tmp_path, capsys, monkeypatch, kind, rounding):
    source = long_quaternion_file(tmp_path / "in.nii", kind)
    if rounding == "long":
        lengthen_every_quaternion(monkeypatch)
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "--like", source, "--interpolation", "nearest")
    assert status == 0, err
    monkeypatch.undo()
    written = nib.load(tmp_path / "out.nii")
    assert_qform_reads_back(written.header, HALF_TURN)
    np.testing.assert_array_equal(written.get_fdata(), nib.load(source).get_fdata())


RAW = np.random.default_rng(4).integers(-300, 300, (6, 5, 4, 3)).astype(np.int16)


@pytest.mark.parametrize("interpolation", ["nearest", "label"])
def test_nearest_and_label_write_scaled_integers_as_stored_reading_volume_by_volume(
    tmp_path, capsys, monkeypatch, interpolation
):
    source = scaled_file(tmp_path / "in.nii.gz", RAW, 0.5, 10.0, affine=np.diag([2.0, 1.0, 1.0, 1.0]))
    (tmp_path / "shift.txt").write_text(SHIFT)

    def whole(*args, **kwargs):
        raise AssertionError("the whole image was read at once")

    monkeypatch.setattr(arrayproxy.ArrayProxy, "__array__", whole)
    monkeypatch.setattr(arrayproxy.ArrayProxy, "get_unscaled", whole)
    options = ("-m", tmp_path / "shift.txt", "--interpolation", interpolation, "--fill", -1)
    status, out, err = run(capsys, "apply", source, tmp_path / "out.nii", *options)
    monkeypatch.undo()
    assert status == 0, err
    assert "int16" in out
    written = nib.load(tmp_path / "out.nii")
    assert written.get_data_dtype() == np.int16
    assert (written.dataobj.slope, written.dataobj.inter) == (0.5, 10.0)
    stored = written.dataobj.get_unscaled()
    np.testing.assert_array_equal(stored[:-1], RAW[1:])
    np.testing.assert_array_equal(stored[-1], -22)  # the fill, -1 = -22 * 0.5 + 10
    values = np.asanyarray(nib.load(source).dataobj)
    np.testing.assert_array_equal(np.asanyarray(written.dataobj)[:-1], values[1:])


@pytest.mark.parametrize("interpolation", ["linear", "cubic", "lanczos"])
def test_blends_write_scaled_integers_as_float32_values(tmp_path, capsys, interpolation):
    source = scaled_file(tmp_path / "in.nii", RAW, 0.5, 10.0)
    status, _, err = run(
        capsys, "apply", source, tmp_path / "out.nii", "--like", source, "--interpolation", interpolation
    )
    assert status == 0, err
    written = nib.load(tmp_path / "out.nii")
    assert written.get_data_dtype() == np.float32
    np.testing.assert_allclose(written.get_fdata(), RAW * 0.5 + 10.0, rtol=0, atol=1e-4)


@pytest.mark.parametrize(
    "fill, message",
    [(0.2, "stored as -19.6, not a whole number"), (10 + 0.5 * 40000, "from -32768 to 32767")],
    ids=["between two stored values", "past the stored type"],
)
def test_a_fill_the_stored_type_cannot_hold_is_refused_in_one_line(tmp_path, capsys, fill, message):
    source = scaled_file(tmp_path / "in.nii", RAW, 0.5, 10.0)
    options = ("--like", source, "--interpolation", "nearest", "--fill", fill)
    status, _, err = run(capsys, "apply", source, tmp_path / "out.nii", *options)
    assert_one_line_error(status, err, message)
    assert f"input {source}: fill" in err
    assert not (tmp_path / "out.nii").exists()


SHEARED = np.array([[1.5, 0.4, 0.0, -3.0], [0.0, 1.0, 0.0, 2.0], [0.0, 0.0, 2.0, 1.0], [0.0, 0.0, 0.0, 1.0]])
CODES = [(0, 0), (1, 0), (0, 1), (1, 1), (2, 0), (0, 3), (4, 2)]


def expected_codes(sform_code, qform_code, sheared):
    """Both 0: 2 for both; a qform that cannot hold a sheared grid: 0, its code going to an sform without one."""
    if sform_code == qform_code == 0:
        sform_code = qform_code = 2
    if sheared:
        return sform_code or qform_code, 0
    return sform_code, qform_code


@pytest.mark.parametrize("sform_code, qform_code", CODES)
@pytest.mark.parametrize("sheared", [False, True], ids=["rotation", "shear"])
@pytest.mark.parametrize("grid_from", ["input", "like"])
def test_the_output_keeps_the_codes_of_the_image_its_grid_comes_from(
    tmp_path, capsys, sform_code, qform_code, sheared, grid_from
):
    affine = SHEARED if sheared else HALF_TURN
    coded_file(tmp_path / "coded.nii", affine, sform_code, qform_code)
    # A file's grid is its sform only when that has a code; else the qform's, which has no shear.
    sheared = sheared and sform_code != 0
    if grid_from == "like":
        nib.save(coded_image(nib.Nifti2Image, np.diag([1.2, 1.0, 2.0, 1.0]), 1, 1), tmp_path / "in.nii")
        argv = ("apply", tmp_path / "in.nii", tmp_path / "out.nii", "--like", tmp_path / "coded.nii")
    else:
        (tmp_path / "shift.txt").write_text(SHIFT)
        argv = ("apply", tmp_path / "coded.nii", tmp_path / "out.nii", "-m", tmp_path / "shift.txt")
    status, _, err = run(capsys, *argv)
    assert status == 0, err
    written = nib.load(tmp_path / "out.nii")
    assert codes(written) == expected_codes(sform_code, qform_code, sheared)
    grid = nib.load(tmp_path / "coded.nii").affine
    np.testing.assert_allclose(written.affine, grid, rtol=0, atol=1e-4)
