"""The table of image formats: each suffix it lists names its format, and an image written there by the
format's own library reads back through read_image with its bits and voxel size."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.values import volume

from voxwarpkit._core.extras import EXTRA_OF
from voxwarpkit.io.errors import FileError
from voxwarpkit.io.formats import FORMATS, format_of, read_image

nib = pytest.importorskip("nibabel")
tifffile = pytest.importorskip("tifffile")
zarr = pytest.importorskip("zarr")
pytest.importorskip("dask.array")

SIZES = (0.5, 0.75, 1.25)  # (sx, sy, sz), exact in a NIfTI header's float32


def nifti(path, data):
    """nibabel's axes are (i, j, k) = (x, y, z): the (z, y, x) array reversed."""
    nib.save(nib.Nifti1Image(data.T, np.diag([*SIZES, 1.0])), str(path))


def plain_zarr(path, data):
    array = zarr.open_array(str(path), mode="w", shape=data.shape, chunks=(2, 3, 4), dtype=data.dtype)
    array[...] = data
    array.attrs["voxel_size"] = list(SIZES)


def ome_tiff(path, data):
    sizes = {f"PhysicalSize{axis}": size for axis, size in zip("XYZ", SIZES)}
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "ZYX", **sizes})


# Each format's fixture, written by its own library; a format added to the table needs one here.
WRITERS = {"NIfTI": nifti, "Zarr": plain_zarr, "TIFF": ome_tiff}

NAMES = [(format, f"image{suffix}") for format in FORMATS for suffix in format.suffixes]


@pytest.mark.parametrize("format, name", NAMES, ids=[name for _, name in NAMES])
def test_each_suffix_names_its_format_and_reads_back_what_its_library_wrote(tmp_path, format, name):
    path = tmp_path / name
    assert format_of(path) is format
    data = volume((5, 6, 7), "f4")
    WRITERS[format.name](path, data)
    image = read_image(path)
    assert_same_bits(np.asarray(image.data.compute(scheduler="synchronous")), data)
    assert image.voxel_size == pytest.approx(SIZES)


def test_a_folder_zarr_wrote_is_zarr_whatever_its_name(tmp_path):
    path = tmp_path / "scan"
    data = volume((4, 3, 5), "u2")
    plain_zarr(path, data)
    assert format_of(path).name == "Zarr"
    assert_same_bits(np.asarray(read_image(path).data.compute(scheduler="synchronous")), data)


@pytest.mark.parametrize("format", FORMATS, ids=[format.name for format in FORMATS])
def test_each_format_package_is_installed_by_an_extra_the_missing_package_hint_names(format):
    assert format.package in EXTRA_OF


STATING = [format for format in FORMATS if not format.takes_voxel_size]


@pytest.mark.parametrize("format", STATING, ids=[format.name for format in STATING])
def test_a_voxel_size_is_refused_for_a_format_that_states_its_own(tmp_path, format):
    path = tmp_path / f"image{format.suffixes[0]}"
    WRITERS[format.name](path, volume((5, 6, 7), "f4"))
    with pytest.raises(FileError, match=f"input {path}: --input-voxel-size applies to TIFF inputs"):
        read_image(path, (1.0, 1.0, 1.0))


@pytest.mark.parametrize("name", ["image.png", "image.nii.zip", ".nii"])
def test_a_path_of_no_known_format_gets_one_line_naming_it(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"\x89PNG\r\n")
    assert format_of(path) is None
    with pytest.raises(FileError) as raised:
        read_image(path)
    message = str(raised.value)
    assert message.startswith(f"input {path}: not a Zarr array or group") and "\n" not in message
