"""The order blocks run in and the cache of decoded chunks: the replay of a plan is what the cache does."""

import numpy as np
import pytest

import voxwarpkit
from voxwarpkit._lazy import chunk_cache
from voxwarpkit._lazy.read_order import read_order, replayed_decodes
from voxwarpkit._lazy.resample import resample_block, stored

zarr = pytest.importorskip("zarr")
pytest.importorskip("dask.array")


class CountingCache(chunk_cache.ChunkCache):
    """A cache of decoded chunks that counts the decodes it asks for."""

    def __init__(self, capacity):
        super().__init__(capacity)
        self.decodes = 0

    def fetched(self, key, decode, reads=None):
        def counted():
            self.decodes += 1
            return decode()

        return super().fetched(key, counted, reads)


def assert_empty(cache):
    """Every chunk was let go after its last read, and no count is left."""
    assert (cache.held, len(cache.chunks), cache.unread) == (0, 0, {})


@pytest.mark.parametrize("seed", range(12))
def test_the_cache_decodes_what_the_replay_of_the_order_says_and_keeps_nothing_after(seed):
    """Random blocks reading random chunks, run one after another through a cache of random size
    with each read's count of readers: the decodes are the replay's, in either order read_order
    weighs, and the chosen order decodes no more than the other."""
    rng = np.random.default_rng(seed)
    grid = tuple(int(n) for n in rng.integers(1, 6, 3))
    chunks = [tuple(int(i) for i in rng.integers(0, grid)) for _ in range(int(rng.integers(1, 40)))]
    reads = {}
    for block in range(int(rng.integers(1, 60))):
        index = tuple(int(i) for i in rng.integers(0, 8, 3)) + (block,)
        reads[index] = sorted(set(chunks[int(i)] for i in rng.integers(0, len(chunks), rng.integers(1, 8))))
    readers = {}
    for chunk in (c for block in reads.values() for c in block):
        readers[chunk] = readers.get(chunk, 0) + 1
    held = int(rng.integers(0, 12))
    chosen = read_order(reads, held)
    assert sorted(chosen) == sorted(reads)
    decodes = []
    for order in (chosen, sorted(reads, key=lambda b: reads[b][0])):
        cache = CountingCache(held * 8)
        for block in order:
            for chunk in reads[block]:
                cache.fetched(("run", chunk), lambda: np.zeros(1), readers[chunk])
        assert cache.decodes == replayed_decodes(order, reads, held)
        assert_empty(cache)
        decodes.append(cache.decodes)
    assert decodes[0] <= decodes[1]


def test_a_stored_run_decodes_the_replays_count_and_leaves_the_cache_empty(tmp_path, monkeypatch):
    """apply's way of storing a rotated Zarr input, one task after another: the cache, holding a
    quarter of the input's chunks, decodes as many as the replay of the layer's order says, which
    is each chunk about once, and holds nothing when the run ends; the bits are the in-memory call's."""
    rng = np.random.default_rng(1)
    image = rng.integers(0, 1000, (64, 128, 128)).astype(np.uint16)
    source = zarr.open_array(str(tmp_path / "in.zarr"), mode="w", shape=image.shape, chunks=(8, 16, 16), dtype="u2")
    source[...] = image
    chunk_bytes = 8 * 16 * 16 * 2
    held = source.nchunks // 4
    monkeypatch.setattr(chunk_cache, "CACHED_CHUNK_BYTES", (0, 2**30))
    cache = CountingCache(held * chunk_bytes)
    monkeypatch.setattr(chunk_cache, "CACHE", cache)
    matrix = voxwarpkit.rigid(image.shape, (1.0, 1.0, 1.0), rotation=(30, 0, 20))
    lazy = voxwarpkit.resample(source, (1, 1, 1), matrix, chunks=(8, 16, 16))
    out = np.zeros(lazy.shape, lazy.dtype)

    def write(block, region):
        out[region] = block

    stored(lazy, write, flags_in_place=False).compute(scheduler="sync")
    np.testing.assert_array_equal(out, voxwarpkit.resample(image, (1, 1, 1), matrix))
    reads = {}  # of the blocks that read something, in the layer's order
    for key, (task, _) in lazy.dask.layers[lazy.name].mapping.items():
        if task.func is resample_block:
            reads[key[1:]] = [piece.chunk for piece in task.args[0].pieces]
    assert cache.decodes == replayed_decodes(list(reads), reads, held)
    assert cache.decodes <= 1.5 * len({c for block in reads.values() for c in block})
    assert_empty(cache)


def test_morton_order_comes_in_where_a_sweep_outgrows_the_cache():
    """Blocks on a wide grid each reading their own chunk and its neighbours' along every axis:
    a cache too small for a plane of chunks decodes fewer chunks in Morton order than in a sweep,
    and read_order takes it."""
    side = 8
    reads = {}
    for z, y, x in np.ndindex(side, side, side):
        near = {
            (min(side - 1, max(0, z + dz)), min(side - 1, max(0, y + dy)), x) for dz in (-1, 0, 1) for dy in (-1, 0, 1)
        }
        reads[(z, y, x)] = sorted(near)
    held = side * 2
    sweep = sorted(reads, key=lambda b: reads[b][0])
    chosen = read_order(reads, held)
    assert replayed_decodes(chosen, reads, held) < replayed_decodes(sweep, reads, held)
    assert chosen != sweep
