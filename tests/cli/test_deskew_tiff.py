"""voxwarpkit apply on TIFF stacks and with --deskew: the bits of resample on the same array in memory."""

import numpy as np
import pytest
from support.beads import image_beads, scatter_beads
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run

import voxwarpkit

tifffile = pytest.importorskip("tifffile")
nib = pytest.importorskip("nibabel")
zarr = pytest.importorskip("zarr")
pytest.importorskip("dask.array")

SHAPE = (24, 20, 40)  # (nz, ny, nx)
SIZES = (0.2, 0.25, 0.5)  # (sx, sy, dz) in micrometres


def ome(path, data):
    fields = {f"PhysicalSize{a}": s for a, s in zip("XYZ", SIZES)}
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "ZYX", **fields})
    return []


def imagej(path, data):
    metadata = {"spacing": SIZES[2], "unit": "um", "axes": "ZYX"}
    tifffile.imwrite(path, data, imagej=True, resolution=(1 / SIZES[0], 1 / SIZES[1]), metadata=metadata)
    return []


def pages(path, data):
    tifffile.imwrite(path, data, metadata=None)
    return ["--input-voxel-size", *SIZES]


def written(path):
    """The output's array (z, y, x) and voxel size (sx, sy, sz)."""
    if path.suffix == ".nii":
        image = nib.load(path)
        return np.asanyarray(image.dataobj).T, image.header.get_zooms()[:3]
    group = zarr.open_group(str(path), mode="r")
    scale = group.attrs["multiscales"][0]["datasets"][0]["coordinateTransformations"][0]["scale"]
    return group["0"][...], tuple(scale[::-1])


@pytest.mark.parametrize(
    "write, suffix, options",
    [
        (ome, ".nii", ["--deskew", 31.5]),
        (imagej, ".zarr", ["--deskew", 60, "--deskew-rotate", "--chunks", 8, 16, 16]),
        (pages, ".nii", ["--deskew", 120, "--deskew-rotate", "--voxel-size", 0.3, 0.3, 0.3]),
        (ome, ".zarr", []),
        (pages, ".nii", []),
    ],
    ids=["OME deskewed", "ImageJ rotated to Zarr", "pages rotated, own voxels", "OME to Zarr", "pages to NIfTI"],
)
def test_tiff_stacks_give_the_bits_of_resample_in_memory(tmp_path, capsys, write, suffix, options):
    rng = np.random.default_rng(len(options))
    stack = image_beads(SHAPE, SIZES, 40, scatter_beads(rng, SHAPE, SIZES, 40, 2, 0.5), 0.5)
    data = (stack * 1000).astype(np.uint16)
    source, target = tmp_path / "stack.tif", tmp_path / f"out{suffix}"
    extra = write(source, data)
    status, out, err = run(capsys, "apply", source, target, *extra, *options)
    assert status == 0, err
    result, zooms = written(target)
    if "--deskew" not in options:  # a copy
        assert_same_bits(result, data)
        assert np.allclose(zooms, SIZES)
        return
    angle = float(options[options.index("--deskew") + 1])
    spacing = (0.3,) * 3 if "--voxel-size" in options else (min(SIZES[:2]),) * 3
    matrix, shape = voxwarpkit.deskew(
        SHAPE, SIZES, angle=angle, rotate="--deskew-rotate" in options, output_voxel_size=spacing
    )
    expected = voxwarpkit.resample(data, SIZES, matrix, shape=shape, output_voxel_size=spacing)
    assert_same_bits(result, expected)
    assert np.allclose(zooms, spacing)


@pytest.mark.parametrize(
    "options, status, fragment",
    [
        (["--deskew", 30], 1, "gives no voxel size"),
        (["--deskew", 0, "--input-voxel-size", 1, 1, 1], 1, "angle must be between 0 and 180"),
        (["--deskew", 30, "--fit", "--input-voxel-size", 1, 1, 1], 2, "does not go with --fit"),
        (["--deskew-rotate", "--voxel-size", 1, 1, 1], 2, "goes with --deskew"),
    ],
)
def test_bad_deskews_and_tiffs_are_one_line_errors_that_write_nothing(tmp_path, capsys, options, status, fragment):
    source, target = tmp_path / "stack.tif", tmp_path / "out.nii"
    pages(source, np.zeros(SHAPE, np.uint8))
    code, _, err = run(capsys, "apply", source, target, *options)
    assert_one_line_error(code, err, fragment, status)
    assert list(tmp_path.iterdir()) == [source]


def test_an_input_voxel_size_is_for_tiff_inputs_only(tmp_path, capsys):
    source = tmp_path / "in.nii"
    nib.save(nib.Nifti1Image(np.zeros((4, 5, 6), np.float32), np.eye(4)), source)
    code, _, err = run(capsys, "apply", source, tmp_path / "out.nii", "--deskew", 30, "--input-voxel-size", 1, 1, 1)
    assert_one_line_error(code, err, "applies to TIFF inputs", 2)


def test_a_tiff_pyramid_takes_its_voxel_size_from_the_command_line(tmp_path, capsys):
    """pyramid reads a TIFF without sizes given --input-voxel-size, and its level 0 is the stack."""
    source, target = tmp_path / "stack.tif", tmp_path / "out.zarr"
    stack = np.random.default_rng(3).integers(0, 60000, SHAPE).astype(np.uint16)
    sizes = pages(source, stack)
    status, _, err = run(capsys, "pyramid", source, target, "--levels", 2, *sizes)
    assert status == 0, err
    group = zarr.open_group(str(target), mode="r")
    scale = group.attrs["multiscales"][0]["datasets"][0]["coordinateTransformations"][0]["scale"]
    assert scale == [float(s) for s in SIZES[::-1]]
    assert_same_bits(group["0"][...], stack.astype(np.float32))
