"""Inputs at URLs: Zarr and OME-Zarr stores read in place from S3 and HTTP servers, NIfTI and
transform files fetched, each giving the bits of the same command on local copies."""

import contextlib
import os

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run
from support.servers import http_server

nib = pytest.importorskip("nibabel")
zarr = pytest.importorskip("zarr")
s3fs = pytest.importorskip("s3fs")
pytest.importorskip("moto")
pytest.importorskip("upath")
pytest.importorskip("ome_zarr_models")
if int(zarr.__version__.split(".")[0]) < 3:
    pytest.skip("stores at URLs are read through zarr 3", allow_module_level=True)

from support.ome_inputs import write_ome_input  # noqa: E402

import voxwarpkit  # noqa: E402
from voxwarpkit.io.formats import read_image  # noqa: E402


def write_input(folder, kind, image):
    """``image`` (z, y, x) as an input of ``kind`` in ``folder``; its name."""
    if kind == "nifti":
        nib.save(nib.Nifti1Image(image.T, np.diag([0.5, 0.75, 1.0, 1.0])), str(folder / "in.nii.gz"))
        return "in.nii.gz"
    if kind.startswith("ome"):
        write_ome_input(folder / "in.ome.zarr", image, kind[3:], ([1.0, 0.75, 0.5], [2.0, -1.0, 3.0], None))
        return "in.ome.zarr"
    array = zarr.create_array(
        str(folder / "in.zarr"), shape=image.shape, chunks=(5, 7, 9), dtype=image.dtype, zarr_format=int(kind[-1])
    )
    array[...] = image
    array.attrs["voxel_size"] = [0.5, 0.75, 1.0]
    return "in.zarr"


@pytest.mark.parametrize("kind", ["zarr2", "zarr3", "ome0.4", "ome0.5", "nifti"])
@pytest.mark.parametrize("server", ["s3", "http"])
def test_an_input_at_a_url_gives_the_bits_of_its_local_copy(tmp_path, capsys, request, kind, server):
    rng = np.random.default_rng(len(kind))
    image = rng.integers(0, 4000, (12, 15, 17)).astype(np.int16)
    files = tmp_path / "files"
    files.mkdir()
    name = write_input(files, kind, image)
    rotation = voxwarpkit.rigid(image.shape, (0.5, 0.75, 1.0), rotation=(12, -5, 20))
    np.savetxt(files / "rot.txt", np.asarray(rotation).reshape(3, 4))
    command = ["apply", "--interpolation", "cubic", "--chunks", 6, 7, 8]
    status, _, err = run(
        capsys, *command[:1], files / name, tmp_path / "local.zarr", "-m", files / "rot.txt", *command[1:]
    )
    assert status == 0, err
    with contextlib.nullcontext(request.getfixturevalue("bucket")) if server == "s3" else http_server(files) as base:
        if server == "s3":
            s3fs.S3FileSystem().put(str(files) + "/", f"{base}/files", recursive=True)
            base = f"s3://{base}/files"
        source, matrix = f"{base}/{name}", f"{base}/rot.txt"
        status, _, err = run(capsys, *command[:1], source, tmp_path / "remote.zarr", "-m", matrix, *command[1:])
        assert status == 0, err
        missing = run(capsys, "apply", f"{base}/none.zarr", tmp_path / "x.zarr", "-m", matrix)
        assert_one_line_error(missing[0], missing[2], "none.zarr")
        options = {"endpoint_url": os.environ["AWS_ENDPOINT_URL"]} if server == "s3" else {}
        assert read_image(source, storage_options=options).data.shape == image.shape  # from Python, a URL as text
    assert_same_bits(level_0(tmp_path / "remote.zarr"), level_0(tmp_path / "local.zarr"))


def level_0(path):
    """The values of a Zarr output: an array's, or an OME-Zarr image's level 0."""
    opened = zarr.open(str(path), mode="r")
    return (opened["0"] if isinstance(opened, zarr.Group) else opened)[...]


@pytest.mark.parametrize(
    "arguments, fragment",
    [
        (["ftp://host/in.zarr", "out.zarr"], "URLs of ftp:// are not read here"),
        (["in.zarr", "https://host/out.zarr"], "https:// URLs are read only"),
        (["in.zarr", "s3://bucket/out.nii.gz"], "only Zarr stores are written to URLs"),
        (["in.zarr", "out.zarr", "--storage-options", "{anon: true}"], "--storage-options: not JSON"),
        (["in.zarr", "out.zarr", "--storage-options", "[1]"], "--storage-options: a JSON object"),
    ],
)
@pytest.mark.parametrize("command", ["apply", "pyramid"])
def test_urls_that_cannot_be_used_are_one_line_errors(tmp_path, capsys, monkeypatch, command, arguments, fragment):
    monkeypatch.chdir(tmp_path)
    assert_one_line_error(*run(capsys, command, *arguments)[::2], fragment)
    assert list(tmp_path.iterdir()) == []
