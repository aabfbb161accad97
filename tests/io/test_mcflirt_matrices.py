"""FSL MCFLIRT's matrices, a folder of MAT_ files or one alone, resample each volume as SimpleITK does."""

import numpy as np
import pytest
from support.command_line import assert_one_line_error, read_output, run
from support.geometry import turn_about
from support.registration_files import LPS, mcflirt
from support.warp_scenes import grid_affine, sitk_image, smooth_data

nib = pytest.importorskip("nibabel")
pytest.importorskip("nitransforms")
sitk = pytest.importorskip("SimpleITK")

SHAPE, VOLUMES = (16, 18, 12), 3
# i reversed, the same voxels covered
REVERSED_I = np.array([[-1.0, 0, 0, SHAPE[0] - 1], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])
# FSL mirrors the first axis of an image whose affine has a positive determinant, not of one with a negative one.
AFFINES = {
    "det > 0": grid_affine((2.0, 1.8, 2.5), (8.0, -5.0), (-15.0, -16.0, -14.0)),
    "det < 0": grid_affine((2.0, 1.8, 2.5), (-6.0, 4.0), (-15.0, -16.0, -14.0)) @ REVERSED_I,
}
LIKE = ((14, 15, 11), grid_affine((2.2, 2.0, 2.4), (3.0, 2.0), (-12.0, -14.0, -11.0)))


def motions(affine):
    centre = (affine @ [*(np.array(SHAPE) - 1) / 2, 1.0])[:3]
    return [turn_about(centre, (2.0 * t, -1.5 * t), np.array([0.8 * t, -0.5, 0.4 * t])) for t in range(VOLUMES)]


def simpleitk_resampled(data, affine, grid, motion):
    """SimpleITK's linear resampling of one volume onto ``grid`` through the world motion, output -> input."""
    shape, grid_affine_ = grid
    transform = sitk.AffineTransform(3)
    lps = LPS @ motion @ LPS
    transform.SetMatrix(lps[:3, :3].ravel().tolist())
    transform.SetTranslation(lps[:3, 3].tolist())
    reference = sitk_image(sitk, np.zeros(shape, np.float32), grid_affine_)
    moved = sitk.Resample(sitk_image(sitk, data, affine), reference, transform, sitk.sitkLinear, -1000.0)
    return sitk.GetArrayFromImage(moved).T


@pytest.mark.parametrize("like", [False, True], ids=["own grid", "--like"])
@pytest.mark.parametrize("given", ["folder", "one MAT_ file"])
@pytest.mark.parametrize("sign", AFFINES)
def test_mcflirt_matrices_move_each_volume_as_simpleitk_does(tmp_path, capsys, sign, given, like):
    affine = AFFINES[sign]
    data = smooth_data(SHAPE, VOLUMES) * 100
    nib.save(nib.Nifti1Image(data, affine), tmp_path / "in.nii.gz")
    nib.save(nib.Nifti1Image(np.zeros(LIKE[0], np.float32), LIKE[1]), tmp_path / "ref.nii.gz")
    moves = motions(affine)
    mcflirt(tmp_path / "mats", moves, nib.load(tmp_path / "in.nii.gz"))
    path = tmp_path / "mats" if given == "folder" else tmp_path / "mats" / "MAT_0002"
    expected_moves = moves if given == "folder" else [moves[2]] * VOLUMES
    options = ["--like", tmp_path / "ref.nii.gz"] if like else []

    # MCFLIRT's reference is the input's own grid, --like or not; and no --inverse.
    status, out, err = run(capsys, "apply", tmp_path / "in.nii.gz", tmp_path / "out.nii", "-m", path, *options)

    assert status == 0, err
    assert (f"{VOLUMES} FSL MCFLIRT matrices from" if given == "folder" else "the FSL MCFLIRT matrix from") in out
    ours = read_output(tmp_path / "out.nii")[1]
    grid = LIKE if like else (SHAPE, affine)
    for t in range(VOLUMES):
        theirs = simpleitk_resampled(data[..., t], affine, grid, expected_moves[t])
        # Inside the input on both sides: SimpleITK maps positions in double, we in float32.
        inside = (theirs > -1000) & (ours[..., t] > -1000)
        inside[[0, -1]] = inside[:, [0, -1]] = inside[:, :, [0, -1]] = False
        assert inside.sum() > theirs.size // 3
        np.testing.assert_allclose(ours[..., t][inside], theirs[inside], rtol=0, atol=1e-4 * np.ptp(data))


@pytest.mark.parametrize(
    "names, other",
    [(["MAT_0000", "MAT_0001", "vol2.txt"], "plain text"), (["MAT_0000", "MAT_0001", "x.mat"], "FSL FLIRT matrix")],
    ids=["MCFLIRT and plain text", "MCFLIRT and FLIRT"],
)
def test_a_folder_of_mixed_kinds_is_refused_in_one_line(tmp_path, capsys, names, other):
    affine = AFFINES["det > 0"]
    nib.save(nib.Nifti1Image(smooth_data(SHAPE, VOLUMES), affine), tmp_path / "in.nii")
    mcflirt(tmp_path / "mats", motions(affine), nib.load(tmp_path / "in.nii"), names=names)

    status, out, err = run(capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "-m", tmp_path / "mats")

    assert_one_line_error(status, err, "holds files of two kinds")
    assert f"{names[-1]}: {other}" in err and "FSL MCFLIRT matrix" in err
    assert out == "" and not (tmp_path / "out.nii").exists()
