"""voxwarpkit apply on antsRegistration's own files, against ANTs' own antsApplyTransforms (through ANTsPy).

ANTsPy pins numpy below 2.4, so these tests need an environment of their own; .ci/run makes one. The
registration runs once, on nilearn's MNI152 template at 4 mm and a turned, scaled copy of it.
"""

import subprocess
import sys

import numpy as np
import pytest

import voxwarpkit as vw

ants = pytest.importorskip("ants", reason="needs antspyx, which pins numpy<2.4: .ci/run gives it an environment")
datasets = pytest.importorskip("nilearn.datasets", reason="needs nilearn for its MNI152 template")
nib = pytest.importorskip("nibabel")

TOLERANCE = 1e-4  # of the moving image's range: float32 positions and sums on both sides


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A folder with fixed.nii.gz, moving.nii.gz, labels.nii.gz (moving in 5 labels) and ANTs' transforms:
    out_0GenericAffine.mat, out_1Warp.nii.gz, out_1InverseWarp.nii.gz, Composite.h5, InverseComposite.h5."""
    folder = tmp_path_factory.mktemp("ants")
    template = ants.from_nibabel_nifti(datasets.load_mni152_template(resolution=2))
    fixed = ants.resample_image(template, (4, 4, 4), use_voxels=False, interp_type=0).astype("float32")
    turn = ants.create_ants_transform(transform_type="AffineTransform", dimension=3)
    angle = np.deg2rad(8.0)
    linear = 1.05 * np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    turn.set_parameters(np.r_[linear.ravel(), [3.0, -4.0, 2.0]])
    turn.set_fixed_parameters(fixed.get_center_of_mass())
    moving = ants.apply_ants_transform_to_image(turn, fixed, fixed, interpolation="linear")
    labels = moving.new_image_like(np.digitize(moving.numpy(), [20, 50, 80, 120]).astype("float32"))
    for name, image in [("fixed", fixed), ("moving", moving), ("labels", labels)]:
        ants.image_write(image, str(folder / f"{name}.nii.gz"))
    quick = {"reg_iterations": (20, 10, 0)}
    ants.registration(fixed, moving, "SyN", outprefix=str(folder / "out_"), **quick)
    ants.registration(fixed, moving, "SyN", outprefix=f"{folder}/", write_composite_transform=True, **quick)
    return folder


def ours(folder, source, like, transforms, interpolation="linear"):
    """voxwarpkit apply's result, through -t ``transforms``."""
    given = [argument for name in transforms for argument in ("-t", str(folder / name) if "[" not in name else name)]
    output = folder / "ours.nii.gz"
    done = subprocess.run(
        [sys.executable, "-m", "voxwarpkit", "apply", str(folder / source), str(output), "--like", str(folder / like)]
        + given
        + ["--interpolation", interpolation, "--force"],
        capture_output=True,
        text=True,
        cwd=folder,
    )
    assert done.returncode == 0, done.stderr
    return nib.load(output).get_fdata()


def theirs(folder, source, like, transforms, inverted=None, interpolator="linear"):
    fixed, moving = ants.image_read(str(folder / like)), ants.image_read(str(folder / source))
    files = [str(folder / name) for name in transforms]
    return ants.apply_transforms(fixed, moving, files, interpolator=interpolator, whichtoinvert=inverted).numpy()


def spread(folder, source="moving.nii.gz"):
    return np.ptp(ants.image_read(str(folder / source)).numpy())


# The rows of the antsApplyTransforms table in docs/neuroimaging.md: ANTs' list (and which to invert), and ours.
ROWS = [
    ("moving.nii.gz", "fixed.nii.gz", ["out_1Warp.nii.gz", "out_0GenericAffine.mat"], None, None),
    ("moving.nii.gz", "fixed.nii.gz", ["Composite.h5"], None, None),
    ("fixed.nii.gz", "moving.nii.gz", ["InverseComposite.h5"], None, None),
    (
        "fixed.nii.gz",
        "moving.nii.gz",
        ["out_0GenericAffine.mat", "out_1InverseWarp.nii.gz"],
        [True, False],
        ["[out_0GenericAffine.mat,1]", "out_1InverseWarp.nii.gz"],
    ),
]


@pytest.mark.parametrize(("source", "like", "listed", "inverted", "given"), ROWS, ids=[" ".join(r[2]) for r in ROWS])
def test_an_ants_list_is_given_to_apply_as_it_stands(scene, source, like, listed, inverted, given):
    expected = theirs(scene, source, like, listed, inverted)
    result = ours(scene, source, like, given or listed)
    assert np.max(np.abs(result - expected)) <= TOLERANCE * spread(scene, source)


def test_the_list_reversed_is_far_from_ants(scene):
    """The order the docs once gave: the test above would see it."""
    expected = theirs(scene, "moving.nii.gz", "fixed.nii.gz", ["out_1Warp.nii.gz", "out_0GenericAffine.mat"])
    result = ours(scene, "moving.nii.gz", "fixed.nii.gz", ["out_0GenericAffine.mat", "out_1Warp.nii.gz"])
    assert np.max(np.abs(result - expected)) > 100 * TOLERANCE * spread(scene)


# ANTs' interpolators and ours of the same definition; label sampling on the label map.
METHODS = [("linear", "linear"), ("nearestNeighbor", "nearest"), ("genericLabel", "label"), ("bSpline", "cubic")]
METHODS += [("lanczosWindowedSinc", "lanczos")]  # the template is 0 at its edges, where the two rules differ


@pytest.mark.parametrize(("interpolator", "interpolation"), METHODS, ids=[m for _, m in METHODS])
def test_each_interpolation_agrees_with_ants(scene, interpolator, interpolation):
    source = "labels.nii.gz" if interpolation == "label" else "moving.nii.gz"
    chain = ["out_1Warp.nii.gz", "out_0GenericAffine.mat"]
    expected = theirs(scene, source, "fixed.nii.gz", chain, interpolator=interpolator)
    result = ours(scene, source, "fixed.nii.gz", chain, interpolation)
    if interpolation in ("nearest", "label"):  # copies: the same voxel, but for ties in the rounding
        assert np.mean(result != expected) <= 1e-3
    else:
        assert np.max(np.abs(result - expected)) <= TOLERANCE * spread(scene, source)


def lanczos_as_ants(image, voxel_size, matrix, shape, fill=0.0):
    """Lanczos with ANTs' edge rule (taps beyond the input read ``fill``), as the definitions page gives it."""
    shifted = np.asarray(matrix, float).reshape(3, 4) + [[0, 0, 0, 3 * size] for size in voxel_size]
    padded = np.pad(np.asarray(image, np.float32), 3, constant_values=fill)
    result = vw.resample(padded, voxel_size, shifted, shape=shape, interpolation="lanczos")
    inside = vw.resample(np.ones(np.shape(image), np.uint8), voxel_size, matrix, shape=shape, interpolation="nearest")
    result[inside == 0] = fill
    return result


def test_lanczos_takes_ants_edge_rule_through_padding(scene):
    """On a crop whose edges are bright, the rules differ within the taps' reach of the edge; padding with
    the fill gives ANTs' everywhere."""
    crop = ants.crop_indices(ants.image_read(str(scene / "moving.nii.gz")), (12, 14, 12), (38, 45, 36))
    onto = ants.resample_image(crop, (3.3, 3.3, 3.3), use_voxels=False, interp_type=0)
    ants.image_write(crop, str(scene / "crop.nii.gz"))
    ants.image_write(onto, str(scene / "onto.nii.gz"))
    expected = theirs(scene, "crop.nii.gz", "onto.nii.gz", [], interpolator="lanczosWindowedSinc")
    limit = TOLERANCE * spread(scene, "crop.nii.gz")
    assert np.max(np.abs(ours(scene, "crop.nii.gz", "onto.nii.gz", [], "lanczos") - expected)) > 100 * limit

    img, ref = nib.load(scene / "crop.nii.gz"), nib.load(scene / "onto.nii.gz")
    sizes = [np.asarray(image.header.get_zooms()[:3], float) for image in (img, ref)]
    # Output physical -> input physical through the world: both grids are axis-aligned here.
    matrix = np.diag([*(1 / sizes[0]), 1]) @ np.linalg.inv(img.affine) @ ref.affine @ np.diag([*(1 / sizes[1]), 1])
    matrix = np.diag([*sizes[0], 1]) @ matrix @ np.diag([*sizes[1], 1])
    data = np.asarray(img.dataobj, np.float32).T
    result = lanczos_as_ants(data, tuple(sizes[0]), matrix[:3], ref.shape[::-1]).T
    assert np.max(np.abs(result - expected)) <= limit
