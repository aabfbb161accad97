"""TIFF and OME-TIFF stacks written by tifffile, read lazily: the same bits and the voxel size their metadata gives."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.values import volume

from voxwarpkit.io.errors import FileError
from voxwarpkit.io.tiff import read_tiff

tifffile = pytest.importorskip("tifffile")
pytest.importorskip("dask.array")
pytest.importorskip("zarr")

SIZES = (0.21, 0.34, 1.5)  # (sx, sy, sz) in micrometres


def ome(path, data, unit):
    """OME-TIFF, sizes in ``unit`` (nm or µm); a 4-D stack is T Z Y X."""
    scale = {"nm": 1e3, "µm": 1.0}[unit]
    fields = {f"PhysicalSize{a}": s * scale for a, s in zip("XYZ", SIZES)}
    fields.update({f"PhysicalSize{a}Unit": unit for a in "XYZ"})
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "TZYX"[4 - data.ndim :], **fields})


def imagej(path, data, unit):
    """ImageJ hyperstack: the pixel size in the resolution tags, the z step in 'spacing'."""
    scale = {"nm": 1e3, "µm": 1.0}[unit]
    metadata = {"spacing": SIZES[2] * scale, "unit": "nm" if unit == "nm" else "um", "axes": "TZYX"[4 - data.ndim :]}
    resolution = (1 / (SIZES[0] * scale), 1 / (SIZES[1] * scale))
    tifffile.imwrite(path, data, imagej=True, resolution=resolution, metadata=metadata)


@pytest.mark.parametrize("write", [ome, imagej])
@pytest.mark.parametrize("unit", ["nm", "µm"])
@pytest.mark.parametrize("shape, dtype", [((9, 13, 17), np.uint16), ((3, 5, 7, 6), np.float32), ((2, 8, 9), np.uint8)])
def test_stacks_read_lazily_give_their_bits_and_sizes_in_micrometres(tmp_path, write, unit, shape, dtype):
    data = volume(shape, dtype)
    path = tmp_path / "stack.ome.tif"
    write(path, data, unit)
    image = read_tiff(path)
    assert_same_bits(image.data.compute(), data)
    assert np.allclose(image.voxel_size, SIZES, rtol=1e-6)
    assert image.header.space_unit == "micron"


@pytest.mark.parametrize("given", [None, (0.5, 0.6, 2.0)])
@pytest.mark.parametrize("metadata", [None, {}], ids=["pages only", "tifffile's shape"])
def test_a_plain_multipage_stack_needs_a_voxel_size_given(tmp_path, given, metadata):
    data = volume((6, 10, 12), np.int16)
    path = tmp_path / "pages.tif"
    with tifffile.TiffWriter(path) as tiff:
        for plane in data:
            tiff.write(plane, metadata=metadata, contiguous=metadata is not None)
    if given is None:
        with pytest.raises(FileError, match="gives no voxel size"):
            read_tiff(path)
        return
    image = read_tiff(path, given)
    assert_same_bits(image.data.compute(), data)
    assert image.voxel_size == given


@pytest.mark.parametrize(
    "make, fragment",
    [
        (lambda p: tifffile.imwrite(p, np.zeros((8, 9), np.uint8), ome=True), "axes"),
        (lambda p: tifffile.imwrite(p, np.zeros((2, 3, 4, 5, 6), np.uint8), ome=True), "axes"),
        (lambda p: tifffile.imwrite(p, np.zeros((4, 5, 6, 3), np.uint8), photometric="rgb"), "axes"),
        (lambda p: p.write_bytes(b"II*\x00 not really"), "not a readable TIFF"),
        (lambda p: None, "no such file"),
    ],
    ids=["2-D", "5-D", "RGB", "corrupt", "missing"],
)
def test_what_is_not_a_stack_is_a_file_error(tmp_path, make, fragment):
    path = tmp_path / "bad.tif"
    make(path)
    with pytest.raises(FileError, match=fragment):
        read_tiff(path, (1.0, 1.0, 1.0))
