"""ITK's linear transforms, written by SimpleITK in every file format, resample as SimpleITK resamples."""

import numpy as np
import pytest
from support.command_line import read_output, run

nib = pytest.importorskip("nibabel")
sitk = pytest.importorskip("SimpleITK")

CENTRE = (1.5, -2.0, 3.0)  # mm, LPS, as SimpleITK takes it


def transforms():
    """Each linear 3-D type SimpleITK writes, a small motion about CENTRE, and a composite of two."""
    euler = sitk.Euler3DTransform(CENTRE, 0.08, -0.05, 0.12, (1.2, -0.7, 0.9))
    versor = sitk.VersorRigid3DTransform((0.03, -0.04, 0.05, 0.997), (0.8, 0.4, -0.6), CENTRE)
    similarity = sitk.Similarity3DTransform(1.05, (0.1, 0.2, 0.3), 0.07, (0.5, -0.5, 1.0), CENTRE)
    scale_versor = sitk.ScaleVersor3DTransform((1.02, 0.97, 1.04), (0.0, 0.0, 1.0), 0.09, (0.2, 0.3, 0.1))
    scale_versor.SetCenter(CENTRE)
    skew = sitk.ScaleSkewVersor3DTransform(
        (1.03, 0.98, 1.01), (0.02, -0.01, 0.03, 0.01, 0.02, -0.02), (0.0, 1.0, 0.0), 0.06, (0.4, 0.1, -0.3)
    )
    skew.SetCenter(CENTRE)
    affine = sitk.AffineTransform((1.02, 0.05, -0.03, -0.04, 0.99, 0.02, 0.03, -0.02, 1.01), (0.6, -0.4, 0.8), CENTRE)
    translation = sitk.TranslationTransform(3, (1.3, -0.6, 0.4))
    scale = sitk.ScaleTransform(3, (1.04, 0.95, 1.02))
    scale.SetCenter(CENTRE)
    return {
        "Euler3D": euler,
        "VersorRigid3D": versor,
        "Similarity3D": similarity,
        "ScaleVersor3D": scale_versor,
        "ScaleSkewVersor3D": skew,
        "Affine": affine,
        "Translation": translation,
        "Scale": scale,
        "composite": sitk.CompositeTransform([euler, translation]),
    }


@pytest.mark.parametrize("suffix", [".tfm", ".h5", ".mat"])
@pytest.mark.parametrize("kind", list(transforms()))
def test_every_linear_itk_type_resamples_as_simpleitk_does(tmp_path, capsys, kind, suffix):
    if kind == "composite" and suffix == ".mat":
        pytest.skip("ITK's MATLAB files hold one transform")
    transform = transforms()[kind]
    path = tmp_path / f"t{suffix}"
    sitk.WriteTransform(transform, str(path))
    # A smooth image on an oblique grid, so that LPS and RAS, axes and the centre all matter.
    turn = np.deg2rad(10.0)
    rotation = np.array([[np.cos(turn), -np.sin(turn), 0], [np.sin(turn), np.cos(turn), 0], [0, 0, 1]])
    affine = np.eye(4)
    affine[:3, :3] = rotation @ np.diag([1.1, 1.2, 1.4])
    affine[:3, 3] = [-8.0, -9.0, -7.0]
    i, j, k = np.indices((15, 16, 12))
    data = (np.sin(i / 3.0) * np.cos(j / 4.0) + k / 6.0).astype(np.float32) * 100
    nib.save(nib.Nifti1Image(data, affine), tmp_path / "in.nii")
    status, _, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", path, "--fill", -1000)
    assert status == 0, err
    ours = read_output(tmp_path / "out.nii")[1]

    image = sitk.ReadImage(str(tmp_path / "in.nii"))
    theirs = sitk.GetArrayFromImage(sitk.Resample(image, image, transform, sitk.sitkLinear, -1000.0)).T
    # Inside the volume on both sides: SimpleITK computes positions in double, we in float32.
    inside = (ours > -1000) & (theirs > -1000)
    inside[[0, -1]] = inside[:, [0, -1]] = inside[:, :, [0, -1]] = False
    assert inside.sum() > data.size // 3
    np.testing.assert_allclose(ours[inside], theirs[inside], rtol=0, atol=1e-4 * np.ptp(data))
