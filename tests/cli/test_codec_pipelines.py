"""The command line's Zarr outputs through zarrs' codec pipeline: the bytes zarr's own pipeline writes."""

import numpy as np
import pytest
from support.command_line import run

import voxwarpkit
from voxwarpkit.io.codecs import ZARR_PIPELINE

zarr = pytest.importorskip("zarr")
zarrs = pytest.importorskip("zarrs")


def stored_bytes(folder):
    """Every file of a store by its path inside it."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize(
    "command, zarr_format, dtype",
    [
        (["apply", "--interpolation", "linear"], 3, "uint16"),
        (["apply", "--interpolation", "cubic", "--output-type", "same"], 2, "int16"),
        (["apply", "--interpolation", "nearest"], 3, "float32"),
        (["apply", "--levels", "2"], 3, "uint16"),  # a pyramid: zarr's own pipeline
        (["pyramid", "--levels", "3"], 2, "float32"),
    ],
)
def test_zarrs_writes_the_bytes_of_zarrs_own_pipeline(tmp_path, capsys, monkeypatch, command, zarr_format, dtype):
    """The same command with zarr's own pipeline (chosen through its environment variable) and
    with zarrs' (the default for one level of apply where it is installed, and used: its pipeline
    is made for the arrays; pyramids keep zarr's own) writes the same files, byte for byte, with
    random chunks smaller and larger than the output's blocks."""
    rng = np.random.default_rng(len(command) + zarr_format)
    image = (rng.random((21, 30, 26)) * 3000).astype(dtype)
    chunks = tuple(int(n) for n in rng.integers(4, 16, 3))
    source = zarr.create_array(
        str(tmp_path / "in.zarr"), shape=image.shape, chunks=chunks, dtype=dtype, zarr_format=zarr_format
    )
    source[...] = image
    source.attrs["voxel_size"] = [0.5, 0.75, 1.0]
    np.savetxt(
        tmp_path / "rot.txt", voxwarpkit.rigid(image.shape, (0.5, 0.75, 1.0), rotation=(12, -5, 20)).reshape(3, 4)
    )
    options = command[1:] + (["-m", tmp_path / "rot.txt", "--chunks", 8, 8, 8] if command[0] == "apply" else [])
    made = []
    original = zarrs.ZarrsCodecPipeline.from_array_metadata_and_store.__func__

    def counted(cls, *args, **kwargs):
        made.append(cls)
        return original(cls, *args, **kwargs)

    monkeypatch.setattr(zarrs.ZarrsCodecPipeline, "from_array_metadata_and_store", classmethod(counted))
    with monkeypatch.context() as own:
        own.setenv("ZARR_CODEC_PIPELINE__PATH", ZARR_PIPELINE)
        status, _, err = run(capsys, command[0], tmp_path / "in.zarr", tmp_path / "own.zarr", *options)
        assert status == 0, err
    assert not made
    status, _, err = run(capsys, command[0], tmp_path / "in.zarr", tmp_path / "zarrs.zarr", *options)
    assert status == 0, err
    assert bool(made) == (command[0] == "apply" and "--levels" not in command)
    assert zarr.config.get("codec_pipeline.path") == ZARR_PIPELINE  # put back after the command
    assert stored_bytes(tmp_path / "zarrs.zarr") == stored_bytes(tmp_path / "own.zarr")
