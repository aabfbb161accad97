"""What Zarr outputs say of their grid: OME-Zarr scale and translation, and a NIfTI header kept through Zarr."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.values import values

from voxwarpkit import cli

nib = pytest.importorskip("nibabel")
zarr = pytest.importorskip("zarr")
pytest.importorskip("ome_zarr_models")

from ome_zarr_models import v04, v05  # noqa: E402  (needs ome-zarr-models)
from support.ome_inputs import write_ome_input  # noqa: E402

# (z, y, x): level 0's scale and translation, then the multiscale's; world = (2, 0.5, 0.25) index + (-16, -40, -32).
LEVEL_ONLY = ([2.0, 0.5, 0.25], [-16.0, -40.0, -32.0], None)
SPLIT = ([1.0, 0.25, 0.5], [-5.0, -15.0, -60.0], ([2.0, 2.0, 0.5], [-6.0, -10.0, -2.0]))


@pytest.mark.skipif(int(zarr.__version__.split(".")[0]) < 3, reason="OME-Zarr 0.5 and its models need zarr 3")
@pytest.mark.parametrize("transforms", [LEVEL_ONLY, SPLIT], ids=["level", "level-and-multiscale"])
@pytest.mark.parametrize("version", ["0.4", "0.5"])
def test_an_ome_output_lands_where_the_input_world_says_and_validates(tmp_path, monkeypatch, version, transforms):
    monkeypatch.chdir(tmp_path)
    data = values(np.random.default_rng(4), "f", (8, 13, 15))
    write_ome_input(tmp_path / "in.zarr", data, version, transforms)
    # A reference grid 2 voxels on in x and y and one in z, at twice the input's spacing in x and y: with
    # the identity world map, output voxel (i, j, k) is input voxel (x, y, z) = (4 + 2i, 6 + 2j, 1 + k).
    origin = np.array([-32 + 0.25 * 4, -40 + 0.5 * 6, -16 + 2.0 * 1])
    reference = np.diag([0.5, 1.0, 2.0, 1.0])
    reference[:3, 3] = origin
    nib.save(nib.Nifti1Image(np.zeros((5, 3, 6), np.float32), reference), "ref.nii.gz")
    assert cli.main(["apply", "in.zarr", "out.zarr", "--like", "ref.nii.gz", "--interpolation", "nearest"]) == 0

    group = zarr.open_group("out.zarr", mode="r")
    assert group["0"].metadata.zarr_format == (2 if version == "0.4" else 3)
    image = (v04 if version == "0.4" else v05).Image.from_zarr(group)  # raises for metadata the model refuses
    multiscale = image.ome_attributes.multiscales[0]
    scale, translation = multiscale.datasets[0].coordinateTransformations
    assert multiscale.coordinateTransformations is None
    assert scale.scale == [2.0, 1.0, 0.5]
    np.testing.assert_allclose(translation.translation, origin[::-1], rtol=0, atol=1e-12)
    assert_same_bits(group["0"][...], data[1:7, 6:12:2, 4:14:2])


@pytest.mark.parametrize(
    "grid", [[], ["--voxel-size", "1.5", "2", "2.5", "--interpolation", "nearest"]], ids=["copied", "resampled"]
)
def test_a_4d_nifti_keeps_its_tr_units_and_codes_through_zarr(tmp_path, monkeypatch, grid):
    monkeypatch.chdir(tmp_path)
    affine = np.array([[1.5, 0, 0, -20], [0, 2.0, 0, 12], [0, 0, 2.5, -7], [0, 0, 0, 1]])
    image = nib.Nifti1Image(values(np.random.default_rng(6), "h", (6, 5, 4, 3)), affine)
    image.header.set_xyzt_units("mm", "msec")
    image.header.set_zooms((1.5, 2.0, 2.5, 2000.0))
    image.header.set_sform(affine, code=2)
    image.header.set_qform(affine, code=1)
    nib.save(image, "in.nii.gz")
    assert cli.main(["apply", "in.nii.gz", "mid.zarr", *grid]) == 0
    assert cli.main(["apply", "mid.zarr", "back.nii.gz", *grid]) == 0
    back = nib.load("back.nii.gz")
    assert back.header.get_zooms() == (1.5, 2.0, 2.5, 2000.0)
    assert back.header.get_xyzt_units() == ("mm", "msec")
    assert (int(back.header["sform_code"]), int(back.header["qform_code"])) == (2, 1)
    np.testing.assert_array_equal(back.affine, affine)
    assert_same_bits(np.asarray(back.dataobj), np.asarray(image.dataobj))
