"""ITK's B-spline transforms, written by SimpleITK alone and in composites, resample as SimpleITK resamples:
from files on the command line and in resample_image, and from SimpleITK's own objects."""

import numpy as np
import pytest
from support.command_line import assert_one_line_error, read_output, run

import voxwarpkit as vw

nib = pytest.importorskip("nibabel")
sitk = pytest.importorskip("SimpleITK")

LPS_TO_RAS = np.diag([-1.0, -1.0, 1.0, 1.0])


def _scene(rng, oblique):
    """An image on a grid (oblique or not) as SimpleITK and as nibabel hold it, and a cubic B-spline over its
    domain with displacements of a voxel or two."""
    data = (rng.random((22, 20, 18)) * 100).astype(np.float32)  # (i, j, k)
    spacing = rng.uniform(0.8, 1.4, 3)
    direction = np.eye(3)
    if oblique:
        direction = np.linalg.qr(rng.normal(size=(3, 3)))[0]
        direction[:, 0] *= np.sign(np.linalg.det(direction))
    origin = rng.uniform(-20, 20, 3)
    image = sitk.GetImageFromArray(np.ascontiguousarray(data.T))
    image.SetSpacing(spacing.tolist())
    image.SetOrigin(origin.tolist())
    image.SetDirection(direction.ravel().tolist())
    spline = sitk.BSplineTransformInitializer(image, [int(n) for n in rng.integers(2, 6, 3)])
    spline.SetParameters(rng.normal(scale=1.5, size=spline.GetNumberOfParameters()).tolist())
    lps = np.eye(4)
    lps[:3, :3] = direction * spacing
    lps[:3, 3] = origin
    return image, nib.Nifti1Image(data, LPS_TO_RAS @ lps), spline


def _affine(rng, image):
    matrix = np.eye(3) + rng.normal(scale=0.03, size=(3, 3))
    centre = image.TransformContinuousIndexToPhysicalPoint([n / 2 for n in image.GetSize()])
    return sitk.AffineTransform(matrix.ravel().tolist(), rng.uniform(-1, 1, 3).tolist(), centre)


def _kinds(rng, image, spline):
    affine = _affine(rng, image)
    return {
        "bspline": spline,
        "affine after bspline": sitk.CompositeTransform([affine, spline]),
        "bspline after affine": sitk.CompositeTransform([spline, affine]),
    }


def _theirs(image, transform):
    resampled = sitk.Resample(image, image, transform, sitk.sitkLinear, -1000.0)
    return sitk.GetArrayFromImage(resampled).T


@pytest.mark.parametrize("oblique", [False, True])
@pytest.mark.parametrize("suffix", [".tfm", ".txt", ".h5"])
@pytest.mark.parametrize("kind", ["bspline", "affine after bspline", "bspline after affine"])
def test_bspline_files_resample_as_simpleitk_does(tmp_path, capsys, kind, suffix, oblique):
    rng = np.random.default_rng(sum(map(ord, kind + suffix)) + oblique)
    image, img, spline = _scene(rng, oblique)
    transform = _kinds(rng, image, spline)[kind]
    path = tmp_path / f"t{suffix}"
    sitk.WriteTransform(transform, str(path))
    nib.save(img, tmp_path / "in.nii")
    status, _, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-t", path, "--fill", -1000)
    assert status == 0, err
    ours = read_output(tmp_path / "out.nii")[1]
    theirs = _theirs(image, transform)
    # Values in [0, 100]: positions to float32's precision move them by a few units of 1e-5 at most,
    # but a position within that of the input's edge may fall on either side of it.
    close = np.abs(ours - theirs) <= 1e-3
    assert close.mean() > 0.999 and np.abs(ours - theirs)[close].max() < 1e-3
    assert np.count_nonzero(theirs != -1000) > 0.5 * theirs.size


@pytest.mark.parametrize("kind", ["bspline", "affine after bspline", "bspline after affine"])
def test_simpleitk_objects_resample_as_simpleitk_does(kind):
    rng = np.random.default_rng(len(kind))
    image, img, spline = _scene(rng, True)
    transform = _kinds(rng, image, spline)[kind]
    ours = np.asarray(vw.resample_image(img, like=img, matrix=transform, fill=-1000).dataobj)
    theirs = _theirs(image, transform)
    close = np.abs(ours - theirs) <= 1e-3
    assert close.mean() > 0.999


def test_a_composite_inside_a_composite_is_taken_apart():
    rng = np.random.default_rng(4)
    image, img, spline = _scene(rng, False)
    inner = sitk.CompositeTransform([_affine(rng, image), spline])
    transform = sitk.CompositeTransform([inner, _affine(rng, image)])
    ours = np.asarray(vw.resample_image(img, like=img, transform=transform, fill=-1000).dataobj)
    assert np.mean(np.abs(ours - _theirs(image, transform)) <= 1e-3) > 0.999


def _file_with(tmp_path, rng, edit):
    image, _, spline = _scene(rng, False)
    path = tmp_path / "t.tfm"
    sitk.WriteTransform(spline, str(path))
    path.write_text(edit(path.read_text()))
    return path


@pytest.mark.parametrize(
    ("edit", "fragment"),
    [
        (lambda text: text.replace("Parameters: ", "Parameters: 1 ", 1), "three per control point"),
        (lambda text: text.replace("FixedParameters: ", "FixedParameters: 1 ", 1), "three per control point and 18"),
        (lambda text: text + text.split("\n", 1)[1].replace("#Transform 0", "#Transform 1"), "not one composite"),
        (lambda text: text.replace("BSplineTransform_double_3_3", "BSplineTransform_double_3_2"), "not supported"),
    ],
)
def test_broken_bspline_files_are_one_line_errors(tmp_path, capsys, edit, fragment):
    path = _file_with(tmp_path, np.random.default_rng(1), edit)
    nib.save(nib.Nifti1Image(np.zeros((4, 4, 4), np.float32), np.eye(4)), tmp_path / "in.nii")
    status, _, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-t", path)
    assert_one_line_error(status, err, fragment)
    assert not (tmp_path / "out.nii").exists()


def test_a_quadratic_bspline_is_refused():
    image, img, _ = _scene(np.random.default_rng(2), False)
    quadratic = sitk.BSplineTransform(3, 2)
    with pytest.raises(ValueError, match="when cubic, got order 2"):
        vw.resample_image(img, like=img, transform=quadratic)
