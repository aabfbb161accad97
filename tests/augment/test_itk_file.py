"""A drawn transform written as an ITK file replays the sample on the command line, from the image's
NIfTI file, to float32 precision, for both elastic forms and an oblique, anisotropic grid."""

import numpy as np
import pytest
from support.augment_data import sample
from support.command_line import read_output, run

import voxwarpkit.augment as va

nib = pytest.importorskip("nibabel")
pytest.importorskip("SimpleITK")

FORMS = {
    "control-points": va.spatial(degrees=15, scales=0.1, shears=0.05, translation=3.0, elastic=va.elastic(5, 2.0, 1)),
    "smoothed": va.spatial(degrees=15, scales=0.1, translation=3.0, elastic=va.smoothed((1.5, 2.5), (3.0, 5.0))),
}


def _affine(rng):
    turn = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    affine = np.eye(4)
    affine[:3, :3] = turn * rng.uniform(0.7, 1.5, 3)
    affine[:3, 3] = rng.uniform(-30, 30, 3)
    return affine


@pytest.mark.parametrize(
    ("form", "suffix"), [("control-points", ".h5"), ("control-points", ".tfm"), ("smoothed", ".h5")]
)
def test_the_written_file_replays_the_sample_on_the_command_line(tmp_path, capsys, form, suffix):
    if form == "smoothed":  # a composite .h5 with a field is read through nitransforms 25 (Python 3.10 and later)
        pytest.importorskip("nitransforms", minversion="25")
    rng = np.random.default_rng(len(form) + len(suffix))
    image = sample(3)["image"][:1]
    affine = _affine(rng)
    voxel_size = np.linalg.norm(affine[:3, :3], axis=0)
    results, drawn = va.augment(
        {"image": image}, FORMS[form], rng, voxel_size=voxel_size, keys={"image": va.Key(fill=-1000)}
    )
    nib.save(nib.Nifti1Image(image[0].T, affine), tmp_path / "in.nii")
    va.write_itk(drawn[0], tmp_path / f"t{suffix}", affine)
    status, _, err = run(
        capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-t", tmp_path / f"t{suffix}", "--fill", -1000
    )
    assert status == 0, err
    theirs = read_output(tmp_path / "out.nii")[1].T
    ours = results["image"][0]
    # Values of about 100: positions to float32's precision move them by 1e-3 or so, but a position
    # within that of the input's edge may fall on either side of it.
    close = np.abs(ours - theirs) <= 1e-3
    assert close.mean() > 0.999
    assert np.count_nonzero(ours != -1000) > 0.5 * ours.size


def test_a_field_is_refused_for_a_text_file(tmp_path):
    drawn = va.draw(FORMS["smoothed"], np.random.default_rng(0), (6, 7, 8), (1, 1, 1))
    with pytest.raises(ValueError, match=r"\.h5 file"):
        va.write_itk(drawn, tmp_path / "t.tfm", np.eye(4))


def test_a_sheared_affine_is_refused(tmp_path):
    drawn = va.draw(FORMS["control-points"], np.random.default_rng(0), (6, 7, 8), (1, 1, 1))
    sheared = np.eye(4)
    sheared[0, 1] = 0.3
    with pytest.raises(ValueError, match="orthogonal"):
        va.write_itk(drawn, tmp_path / "t.h5", sheared)
