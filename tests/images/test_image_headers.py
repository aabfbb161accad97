"""resample_image's output headers: quaternions that read back, scaled integers kept as stored, and the codes."""

import numpy as np
import pytest
from support.nifti_headers import (
    HALF_TURN,
    assert_qform_reads_back,
    coded_image,
    codes,
    lengthen_every_quaternion,
    long_quaternion_file,
    nifti2_sample,
    scaled_file,
    scaled_sample,
)

import voxwarpkit

nib = pytest.importorskip("nibabel")

SHEARED = np.array([[1.5, 0.4, 0.0, -3.0], [0.0, 1.0, 0.0, 2.0], [0.0, 0.0, 2.0, 1.0], [0.0, 0.0, 0.0, 1.0]])


def test_nibabels_nifti2_sample_comes_back_on_its_own_grid(tmp_path):
    img = nib.load(nifti2_sample())
    out = voxwarpkit.resample_image(img)
    nib.save(out, tmp_path / "out.nii")
    written = nib.load(tmp_path / "out.nii")
    assert_qform_reads_back(written.header, img.affine)
    np.testing.assert_array_equal(written.affine, img.affine)
    np.testing.assert_array_equal(np.asanyarray(written.dataobj), np.asanyarray(img.dataobj).astype(np.float32))


@pytest.mark.parametrize("kind", [nib.Nifti1Image, nib.Nifti2Image])
@pytest.mark.parametrize("rounding", ["exact", "long"])
def test_a_quaternion_rounded_too_long_is_stored_so_that_it_reads_back(tmp_path, monkeypatch, kind, rounding):
    """The input's own quaternion is too long for nibabel; with "long", so is every one nibabel computes."""
    img = nib.load(long_quaternion_file(tmp_path / "in.nii", kind))
    if rounding == "long":
        lengthen_every_quaternion(monkeypatch)
    out = voxwarpkit.resample_image(img, matrix=np.eye(4))
    assert codes(out) == (1, 1)
    assert_qform_reads_back(out.header, HALF_TURN)
    monkeypatch.undo()
    nib.save(out, tmp_path / "out.nii")
    written = nib.load(tmp_path / "out.nii")
    assert_qform_reads_back(written.header, HALF_TURN)
    np.testing.assert_array_equal(written.get_fdata(), img.get_fdata())


RAW = np.random.default_rng(3).integers(-300, 300, (7, 6, 5, 2)).astype(np.int16)


# The stored type, scl_slope, scl_inter, a fill and the raw element it is stored as.
SCALINGS = [("int16", 0.5, 10.0, -1, -22), ("uint8", 0.5, -10.0, -1, 18), ("int32", 2.0, 0.25, 4.25, 2)]


@pytest.mark.parametrize("interpolation", ["nearest", "label"])
@pytest.mark.parametrize("raw_type, slope, inter, fill, raw_fill", SCALINGS, ids=[row[0] for row in SCALINGS])
def test_nearest_and_label_keep_scaled_integers_as_stored(
    tmp_path, interpolation, raw_type, slope, inter, fill, raw_fill
):
    raw = (RAW if raw_type != "uint8" else RAW % 200).astype(raw_type)
    img = nib.load(scaled_file(tmp_path / "in.nii", raw, slope, inter))
    shift = np.eye(4)
    shift[0, 3] = 1.5  # one voxel along i
    out = voxwarpkit.resample_image(img, matrix=shift, interpolation=interpolation, fill=fill)
    assert out.get_data_dtype() == np.dtype(raw_type)
    values = np.asanyarray(img.dataobj)
    result = np.asanyarray(out.dataobj)
    assert result.dtype == values.dtype
    np.testing.assert_array_equal(result[:-1], values[1:])
    np.testing.assert_array_equal(result[-1], fill)
    stored = out.dataobj.get_unscaled()
    assert stored.dtype == np.dtype(raw_type)
    np.testing.assert_array_equal(stored[:-1], raw[1:])
    np.testing.assert_array_equal(stored[-1], raw_fill)


@pytest.mark.parametrize("interpolation", ["linear", "cubic", "lanczos"])
def test_blends_read_scaled_integers_as_their_values(tmp_path, interpolation):
    img = nib.load(scaled_file(tmp_path / "in.nii", RAW, 0.5, 10.0))
    out = voxwarpkit.resample_image(img, matrix=np.eye(4), interpolation=interpolation)
    assert out.get_data_dtype() == np.float32
    values = np.asanyarray(img.dataobj)
    expected = voxwarpkit.resample(values.T, (1.0, 1.0, 1.0), np.eye(3, 4).ravel(), interpolation=interpolation).T
    np.testing.assert_array_equal(np.asanyarray(out.dataobj), expected)


@pytest.mark.parametrize(
    "fill, message",
    [(0.2, "stored as -19.6, not a whole number"), (10 + 0.5 * 40000, "from -32768 to 32767"), (np.nan, "nan")],
    ids=["between two stored values", "past the stored type", "nan"],
)
def test_a_fill_the_stored_type_cannot_hold_is_refused(tmp_path, fill, message):
    img = nib.load(scaled_file(tmp_path / "in.nii", RAW, 0.5, 10.0))
    with pytest.raises(ValueError, match="not a value the data can hold") as raised:
        voxwarpkit.resample_image(img, interpolation="nearest", fill=fill)
    assert message in str(raised.value)


@pytest.mark.parametrize("interpolation", ["nearest", "label"])
def test_the_default_fill_works_on_data_whose_stored_type_cannot_hold_0(tmp_path, interpolation):
    """nibabel's scaled sample stores 0 as -41124: the default resamples its values, 0 and all;
    an explicit fill it cannot hold is still refused."""
    img = nib.load(scaled_sample())
    values = np.asanyarray(img.dataobj)
    same = voxwarpkit.resample_image(img, like=img, interpolation=interpolation)
    np.testing.assert_array_equal(np.asanyarray(same.dataobj), values)
    three_along_i = np.eye(4)
    three_along_i[0, 3] = 3  # input i = output i + 3
    shift = img.affine @ three_along_i @ np.linalg.inv(img.affine)
    moved = np.asanyarray(voxwarpkit.resample_image(img, matrix=shift, interpolation=interpolation).dataobj)
    np.testing.assert_array_equal(moved[:-3], values[3:])
    np.testing.assert_array_equal(moved[-3:], 0)
    with pytest.raises(ValueError, match="not a value the data can hold"):
        voxwarpkit.resample_image(img, interpolation=interpolation, fill=0)


def expected_codes(sform_code, qform_code, sheared):
    """Both 0: 2 for both; a qform that cannot hold a sheared grid: 0, its code going to an sform without one."""
    if sform_code == qform_code == 0:
        sform_code = qform_code = 2
    if sheared:
        return sform_code or qform_code, 0
    return sform_code, qform_code


CODES = [(0, 0), (1, 0), (0, 1), (1, 1), (2, 0), (0, 3), (4, 2)]


@pytest.mark.parametrize("sform_code, qform_code", CODES)
@pytest.mark.parametrize("sheared", [False, True], ids=["rotation", "shear"])
@pytest.mark.parametrize("grid_from", ["img", "like"])
def test_the_output_keeps_the_codes_of_the_image_its_grid_comes_from(
    tmp_path, sform_code, qform_code, sheared, grid_from
):
    affine = SHEARED if sheared else HALF_TURN
    source = coded_image(nib.Nifti1Image, affine, sform_code, qform_code)
    if grid_from == "like":
        img = coded_image(nib.Nifti2Image, np.diag([1.2, 1.0, 2.0, 1.0]), 1, 1)
        out = voxwarpkit.resample_image(img, like=source)
    else:
        out = voxwarpkit.resample_image(source)
    assert codes(out) == expected_codes(sform_code, qform_code, sheared)
    nib.save(out, tmp_path / "out.nii")
    written = nib.load(tmp_path / "out.nii")
    assert codes(written) == expected_codes(sform_code, qform_code, sheared)
    np.testing.assert_allclose(written.affine, affine, rtol=0, atol=1e-4)
