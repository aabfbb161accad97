"""resample of a zarr.Array: each task reads its own window from the store, with the in-memory bits."""

import functools
import math

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import random_case

import voxwarpkit
from voxwarpkit._lazy import chunk_cache
from voxwarpkit._lazy.resample import stored

da = pytest.importorskip("dask.array")
zarr = pytest.importorskip("zarr")

ZARR_3 = int(zarr.__version__.split(".")[0]) >= 3


def random_store(rng, image, path):
    """``image`` in a Zarr array of random chunks, sharded for some seeds (format 3)."""
    chunks = tuple(int(rng.integers(1, max(n, 1) + 3)) for n in image.shape)
    if ZARR_3 and rng.random() < 0.5:
        shards = tuple(c * int(rng.integers(1, 4)) for c in chunks)
        array = zarr.create_array(str(path), shape=image.shape, chunks=chunks, shards=shards, dtype=image.dtype)
    else:
        array = zarr.open_array(str(path), mode="w", shape=image.shape, chunks=chunks, dtype=image.dtype)
    array[...] = image
    return zarr.open_array(str(path), mode="r")


def write_into(array, block, region):
    array[region] = block


@pytest.mark.parametrize("seed", range(16))
def test_tasks_that_read_their_windows_from_the_store_give_the_in_memory_bits(tmp_path, monkeypatch, seed):
    """For random chunkings and shardings of the input, output blocks, interpolations (cubic's
    coefficients staged in a store) and element types, windows read whole or through a cache of
    decoded chunks that holds a few at most; stored block by block by the tasks that compute
    them, in the order of their keys or of the chunks they read, the bits are the same again."""
    rng = np.random.default_rng(seed)
    image, voxel_size, matrix, kwargs = random_case(rng)
    if image.dtype == np.float16 or image.dtype.kind == "b":  # zarr stores them, but not every format does
        image = image.astype(np.float32)
        kwargs["fill"] = 0.0
    kwargs["antialias"] = kwargs["interpolation"] != "label" and rng.random() < 0.3
    want = voxwarpkit.resample(image, voxel_size, matrix, **kwargs)
    source = random_store(rng, image, tmp_path / "in.zarr")
    if seed % 2:  # every chunk through a cache that holds a few of them, dropping the rest
        chunk = math.prod(getattr(source, "shards", None) or source.chunks) * image.itemsize
        monkeypatch.setattr(chunk_cache, "CACHED_CHUNK_BYTES", (0, 2**30))
        monkeypatch.setattr(chunk_cache, "CACHE", chunk_cache.ChunkCache(chunk * int(rng.integers(1, 16))))
    block = tuple(int(rng.integers(1, max(n, 1) + 2)) for n in want.shape)
    # Cubic's coefficients are staged through the scratch folder (other interpolations need none).
    lazy = voxwarpkit.resample(source, voxel_size, matrix, chunks=block, scratch=tmp_path / "scratch", **kwargs)
    assert_same_bits(lazy.compute(), want)
    written = zarr.open_array(
        str(tmp_path / "out.zarr"), mode="w", shape=want.shape, chunks=block, dtype=want.dtype, fill_value=None
    )
    in_place = bool(rng.random() < 0.5)
    stored(lazy, functools.partial(write_into, written), flags_in_place=in_place).compute(scheduler="threads")
    assert_same_bits(written[...], want)


@pytest.mark.parametrize("interpolation", ["nearest", "linear", "lanczos", "label"])
def test_the_graph_holds_one_task_per_output_block_however_the_input_is_chunked(tmp_path, interpolation):
    rng = np.random.default_rng(3)
    image = rng.integers(0, 1000, (40, 48, 56)).astype(np.uint16)
    source = zarr.open_array(str(tmp_path / "in.zarr"), mode="w", shape=image.shape, chunks=(4, 4, 4), dtype="u2")
    source[...] = image
    matrix = voxwarpkit.rigid(image.shape, (1.0, 1.0, 1.0), rotation=(30, 0, 20))
    lazy = voxwarpkit.resample(source, (1, 1, 1), matrix, interpolation=interpolation, chunks=(16, 16, 16))
    assert len(lazy.dask) == lazy.npartitions == 36  # 1,680 input chunks, none of them a task
    stores = stored(lazy, functools.partial(write_into, None))
    assert len(stores.dask) == stores.npartitions  # each block computed and stored by one task
