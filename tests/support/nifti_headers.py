"""NIfTI files whose headers trip readers: quaternions a little too long, scaled integers, any codes."""

import os

import numpy as np
import pytest

nib = pytest.importorskip("nibabel")

# A half turn about an axis in the (j, k) plane, as in nibabel's NIfTI-2 sample: its
# quaternion's a is 0, so b, c and d alone must square-sum to 1.
HALF_TURN = np.array(
    [
        [-2.0, 0.0, 0.0, 117.855],
        [0.0, 1.97371144, -0.35552822, -35.7229],
        [0.0, 0.32320761, 2.17108169, -7.2488],
        [0.0, 0.0, 0.0, 1.0],
    ]
)
QUATERNION = ("quatern_b", "quatern_c", "quatern_d")


def nibabel_sample(name, what):
    """The path of nibabel's own sample file ``name``; a visible skip without it."""
    testing = pytest.importorskip("nibabel.testing")
    path = os.path.join(testing.data_path, name)
    if not os.path.exists(path):
        pytest.skip(f"nibabel's {what} is not installed ({path})")
    return path


def nifti2_sample():
    """nibabel's own NIfTI-2 sample file, whose grid is a half turn."""
    return nibabel_sample("example_nifti2.nii.gz", "NIfTI-2 sample")


def scaled_sample():
    """nibabel's 4-D int16 sample stored with a slope and an intercept that put 0 outside int16's range."""
    return nibabel_sample("functional.nii", "scaled sample")


def stored_too_long(header, times):
    """Lengthen the stored b, c and d by ``times`` units in the last place of their type."""
    bcd = np.array([header[name] for name in QUATERNION])
    bcd *= 1 + times * np.finfo(bcd.dtype).eps
    for name, value in zip(QUATERNION, bcd):
        header[name] = value


def long_quaternion_file(path, kind=nib.Nifti1Image):
    """A half-turn image whose stored quaternion is longer than nibabel accepts (sform code 1 holds its grid)."""
    image = kind(np.arange(6 * 5 * 4, dtype=np.float32).reshape(6, 5, 4), HALF_TURN)
    image.header.set_sform(HALF_TURN, code=1)
    image.header.set_qform(HALF_TURN, code=1)
    stored_too_long(image.header, 8)
    nib.save(image, path)
    return path


def lengthen_every_quaternion(monkeypatch):
    """Make nibabel's set_qform store quaternions 8 units in the last place too long, as rounding on
    some platforms leaves them (NIfTI-2 stores float64, whose limit is 3 units)."""
    set_qform = nib.nifti1.Nifti1Header.set_qform

    def too_long(header, affine, code=None, strip_shears=True):
        set_qform(header, affine, code=code, strip_shears=strip_shears)
        if affine is not None:
            stored_too_long(header, 8)

    monkeypatch.setattr(nib.nifti1.Nifti1Header, "set_qform", too_long)


def assert_qform_reads_back(header, affine):
    """nibabel derives the header's qform without complaint, and it is ``affine``."""
    np.testing.assert_allclose(header.get_qform(), affine, rtol=0, atol=1e-5)
    bcd = np.array([header[name] for name in QUATERNION], dtype=np.longdouble)
    assert bcd @ bcd <= 1


def scaled_file(path, raw, slope, inter, affine=None, kind=nib.Nifti1Image):
    """A NIfTI file storing ``raw`` with ``scl_slope`` and ``scl_inter``, so that readers see raw * slope + inter."""
    image = kind(raw, np.diag([1.5, 1.0, 2.0, 1.0]) if affine is None else affine, dtype=raw.dtype)
    image.header.set_slope_inter(slope, inter)
    nib.save(image, path)
    return path


def coded_image(kind, affine, sform_code, qform_code, data=None):
    """An in-memory image of ``affine`` with these codes (nibabel keeps both forms, whatever the codes)."""
    image = kind(np.zeros((6, 5, 4), np.float32) if data is None else data, affine)
    image.header.set_sform(affine, code=sform_code)
    image.header.set_qform(affine, code=qform_code)
    return image


def codes(image):
    return int(image.header["sform_code"]), int(image.header["qform_code"])


def coded_file(path, affine, sform_code, qform_code, kind=nib.Nifti1Image):
    """A NIfTI file of ``affine`` with these codes in its header as written.

    nibabel resets the codes of an image whose affine its header does not give
    back when it saves it, so the codes are written into the saved header.
    """
    coded_image(kind, affine, 1, 1).to_filename(path)
    with open(path, "r+b") as stream:
        header = kind.header_class.from_fileobj(stream)
        header["sform_code"], header["qform_code"] = sform_code, qform_code
        stream.seek(0)
        header.write_to(stream)
    return path
