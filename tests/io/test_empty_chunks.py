"""A block written by write_region leaves the store as zarr's own write does, its empty-chunk check
skipped or not."""

import zlib

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
if int(zarr.__version__.split(".")[0]) < 3:
    pytest.skip("zarr 2 stores empty chunks: there is no check to skip", allow_module_level=True)

from voxwarpkit.io import empty_chunks  # noqa: E402
from voxwarpkit.io.zarr import write_region  # noqa: E402

CASES = [  # dtype, fill value
    ("uint16", 0),
    ("int8", -3),
    ("float32", 0.0),
    ("float64", np.nan),
    ("float32", 2.5),
]


def _block(rng, shape, dtype, fill):
    """A block that is the fill with, chunk by chunk, nothing, one odd element, -0.0 or data."""
    block = np.full(shape, fill, dtype=dtype)
    for _ in range(rng.integers(0, 6)):
        where = tuple(rng.integers(0, n) for n in shape)
        kind = rng.integers(0, 3)
        if kind == 0:
            block[where] = -0.0 if block.dtype.kind == "f" else 1
        elif kind == 1:
            block[where] = np.nan if block.dtype.kind == "f" else 5
        else:
            box = tuple(slice(w, w + int(rng.integers(1, 9))) for w in where)
            block[box] = rng.integers(1, 100, size=block[box].shape)
    return block


def _contents(store):
    return {key: bytes(value.to_bytes()) for key, value in store._store_dict.items() if "zarr.json" not in key}


@pytest.mark.parametrize("dtype, fill", CASES)
@pytest.mark.parametrize("shards", [None, (8, 12, 16)])
def test_the_store_is_what_zarr_writes(tmp_path, dtype, fill, shards):
    rng = np.random.default_rng(zlib.crc32(f"{dtype} {fill} {shards}".encode()))
    shape, chunks = (19, 25, 33), (4, 6, 8)
    for trial in range(12):
        store = zarr.storage.MemoryStore()
        array = zarr.create_array(store, shape=shape, chunks=chunks, shards=shards, dtype=dtype, fill_value=fill)
        step = shards or chunks
        start = [int(rng.integers(0, n // s + 1)) * s for n, s in zip(shape, step)]
        region = tuple(slice(a, min(n, a + s * int(rng.integers(1, 3)))) for a, n, s in zip(start, shape, step))
        block = _block(rng, tuple(r.stop - r.start for r in region), dtype, fill)
        array[region] = block
        path = tmp_path / f"{trial}.zarr"
        zarr.create_array(str(path), shape=shape, chunks=chunks, shards=shards, dtype=dtype, fill_value=fill)
        write_region(str(path), block, region)
        ours = {
            key: (path / key).read_bytes()
            for key in (p.relative_to(path).as_posix() for p in path.rglob("*") if p.is_file())
            if "zarr.json" not in key
        }
        assert ours == _contents(store), (trial, region)  # the same chunk files, byte for byte


def test_the_check_is_skipped_only_where_every_chunk_holds_data():
    array = zarr.create_array(zarr.storage.MemoryStore(), shape=(8, 8), chunks=(4, 4), dtype="uint16")
    full = np.ones((8, 8), np.uint16)
    assert empty_chunks.written_all_the_same(array, full, (slice(0, 8), slice(0, 8))).config.write_empty_chunks
    one_empty = full.copy()
    one_empty[4:, 4:] = 0
    assert not empty_chunks.written_all_the_same(array, one_empty, (slice(0, 8),) * 2).config.write_empty_chunks
