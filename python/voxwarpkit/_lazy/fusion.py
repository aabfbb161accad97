"""Fused blocks: each a slab of planes at a time through the engine, in memory or as dask tasks.

A block is made from global indices, so its bits do not depend on the chunking or the threads; a
slab's double sums, weights and one tile's values are reused slab after slab, so a task holds a
slab's memory however large its block, and every tile is resampled only over the box of the slab
it holds. Every call that computes goes to the engine of the arrays (:mod:`voxwarpkit._backends`).
"""

from __future__ import annotations

import collections
import concurrent.futures
import importlib
import itertools
import operator
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from .._backends.chain_positions import ChainFrame
from .._backends.engines import cpu_engine, engine_for
from .._backends.request import Counts, Request, counts
from .chunk_cache import spanned
from .graphs import array_of, token_of
from .read_order import BlockIndex
from .windows import Windows

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Output blocks of at most this many voxels per axis (z, y, x), 4 Mi voxels: a task's result.
DEFAULT_BLOCK = (64, 256, 256)
# A block is fused a slab of whole planes of about this many voxels at a time: the slab's double
# sums, weights and one tile's values then stay in the processor's cache from one step to the
# next, and a task's memory is a slab's, however large its block.
SLAB_VOXELS = 2**18
# A lazy result's task fuses a run of its chunks along z, up to this many bytes of result.
TASK_BYTES = 64 * 2**20


class Tile(NamedTuple):
    """One tile checked: what its blocks read, how the engine samples it and where its voxels lie."""

    source: Any  # a numpy array or Windows (nvol, z, y, x) or (z, y, x), a dask array, or a HeldWindow of one
    stack: bool  # the tile is 4-D
    grid: Counts  # the tile's extent (z, y, x)
    request: Request  # the tile's resample onto the output, with a double result
    index_matrix: Tuple[float, ...]  # output index -> tile index, 12 doubles, rows x, y, z; () for a chain
    scale: Tuple[float, float, float]  # (x, y, z): the spacing over the blend width, inf for no ramp
    chain: Optional[ChainFrame] = None  # a chain tile's steps in double, which give its positions


class Plan(NamedTuple):
    """A fusion checked: every tile, the output and how blocks are blended and finished."""

    tiles: Tuple[Tile, ...]
    volumes: int
    stack: bool
    shape: Counts
    blending: str
    result_type: np.dtype[Any]
    fill: bytes


# A stored chunk of a tile, named by the tile's place in the plan and the chunk's index in its grid.
TileChunk = Tuple[int, ...]


def fused_block(
    plan: Plan,
    block_origin: Counts,
    block_shape: Counts,
    threads: int = 1,
    releases: Tuple[Tuple[TileChunk, int], ...] = (),
) -> NDArray[Any]:
    """The output block ``block_shape`` at ``block_origin``, every volume, made a slab of planes at a time.

    ``releases`` are the stored chunks of tiles the block reads, each with how many tasks of
    its graph read it: once the block is made, the cache of decoded chunks lets go of each
    chunk after its last task, so that the space goes to chunks still to be read."""
    result = _fused(_with_windows_held(plan, block_origin, block_shape), block_origin, block_shape, threads)
    for (tile, *index), readers in releases:
        reader = plan.tiles[tile].source.read
        reader.cache.released((reader.key, tuple(index)), readers)
    return result


def _fused(plan: Plan, block_origin: Counts, block_shape: Counts, threads: int) -> NDArray[Any]:
    nz, ny, nx = block_shape
    result = np.empty((plan.volumes, *block_shape), dtype=plan.result_type)
    planes = max(1, min(nz, SLAB_VOXELS // (ny * nx)))
    buffers = _SlabBuffers(plan.volumes * planes * ny * nx)
    for first in range(0, nz, planes):
        count = min(planes, nz - first)
        out = result[:, first : first + count]
        into = out if out.flags.c_contiguous else np.empty(out.shape, dtype=plan.result_type)
        slab_origin = counts((block_origin[0] + first, block_origin[1], block_origin[2]))
        _fuse_slab(plan, slab_origin, counts((count, ny, nx)), into, buffers, threads)
        if into is not out:
            out[...] = into
    return result if plan.stack else result[0]


class _SlabBuffers:
    """One slab's double sums, weights and one tile's values, reused slab after slab."""

    def __init__(self, size: int) -> None:
        self.sums = np.empty(size, dtype=np.float64)
        self.weights = np.empty(size, dtype=np.float64)
        self.values = np.empty(size, dtype=np.float64)

    def take(self, flat: NDArray[np.float64], shape: Tuple[int, ...]) -> NDArray[np.float64]:
        """The first voxels of ``flat`` as a C-contiguous array of ``shape``."""
        return flat[: int(np.prod(shape))].reshape(shape)


def _fuse_slab(
    plan: Plan, origin: Counts, shape: Counts, result: NDArray[Any], buffers: _SlabBuffers, threads: int
) -> None:
    """Each tile that holds voxels of the slab resampled over the box of them it holds and added
    in order, then the mean finished into ``result``."""
    sums = buffers.take(buffers.sums, (plan.volumes, *shape))
    weights = buffers.take(buffers.weights, shape)
    sums.fill(0.0)
    weights.fill(0.0)
    engine = engine_for(sums)
    for tile in plan.tiles:
        if engine.source_box(tile.grid, tile.request, origin, shape) is None:
            continue
        # A chain's positions are not a matrix's: its tile is taken over the whole slab.
        cover = engine.tile_cover(origin, shape, tile.index_matrix, tile.grid) if tile.chain is None else _whole(shape)
        if cover is None:
            continue
        at = counts([start for start, _ in cover])
        extent = counts([stop - start for start, stop in cover])
        cover_origin = counts([o + a for o, a in zip(origin, at)])
        box = engine.source_box(tile.grid, tile.request, cover_origin, extent)
        if box is None:  # no voxel of the cover is sampled: the tile's values there are fill, weighed 0
            continue
        window = _window(tile, box)
        start = counts([first for first, _ in box])
        arguments = (window, start, tile.grid, tile.request, cover_origin, extent, threads)
        if tile.request.result_type != np.float64:  # nearest: the tile's own elements, then as doubles
            values = engine.resample_window(*arguments).astype(np.float64)
        else:
            values = engine.resample_window(*arguments, out=buffers.take(buffers.values, (plan.volumes, *extent)))
        if tile.chain is None:
            engine.blend_tile(
                sums, weights, values, origin, at, tile.index_matrix, tile.grid, tile.scale, plan.blending
            )
        else:
            positions = engine.chain_positions(tile.chain, cover_origin, extent)
            engine.blend_tile_at(sums, weights, values, at, positions, tile.grid, tile.scale, plan.blending)
    engine.finish_blend(sums, weights, result, plan.fill, plan.blending)


class HeldWindow(NamedTuple):
    """The values of a dask tile over the box one block reads of it, computed once for the block's
    slabs: computing the tile's graph for each slab would compute its chunks again for each."""

    values: NDArray[Any]  # (volumes, z, y, x)
    start: Counts  # where the box starts in the tile (z, y, x)
    tile: Any  # the dask array, for a box outside the held one

    def read(self, cut: Tuple[slice, ...]) -> NDArray[Any]:
        spatial = cut[-3:]
        inside = [part.start - s for part, s in zip(spatial, self.start)]
        ends = [part.stop - s for part, s in zip(spatial, self.start)]
        if min(inside) < 0 or any(e > n for e, n in zip(ends, self.values.shape[1:])):
            return np.asarray(self.tile[cut].compute(scheduler="sync"))
        return self.values[(slice(None),) + tuple(slice(a, b) for a, b in zip(inside, ends))]


def _with_windows_held(plan: Plan, origin: Counts, shape: Counts) -> Plan:
    """``plan`` with each dask tile (one not read from a store) held over the box the block reads of it."""
    tiles = []
    for tile in plan.tiles:
        box = None
        if not isinstance(tile.source, (np.ndarray, Windows, HeldWindow)):
            box = cpu_engine().source_box(tile.grid, tile.request, origin, shape)
        if box is None:  # read as it is, or not at all: no slab of the block reads it either
            tiles.append(tile)
            continue
        cut = tuple(slice(start, stop) for start, stop in box)
        values = np.asarray(tile.source[((slice(None),) + cut) if tile.stack else cut].compute(scheduler="sync"))
        held = HeldWindow(values if tile.stack else values[np.newaxis], counts([a for a, _ in box]), tile.source)
        tiles.append(tile._replace(source=held))
    return plan._replace(tiles=tuple(tiles))


def _whole(shape: Counts) -> Tuple[Tuple[int, int], ...]:
    return tuple((0, n) for n in shape)


def _window(tile: Tile, box: Tuple[Tuple[int, int], ...]) -> NDArray[Any]:
    """The tile's voxels in ``box`` (z, y, x half-open ranges) as (volumes, z, y, x)."""
    cut = tuple(slice(start, stop) for start, stop in box)
    if tile.stack:
        cut = (slice(None),) + cut
    source = tile.source
    if isinstance(source, np.ndarray):
        part = source[cut] if source.ndim == len(cut) else source[(slice(None),) + cut]
    elif isinstance(source, (Windows, HeldWindow)):
        part = source.read(cut)
    else:  # a dask array: this task computes its own window
        part = source[cut].compute(scheduler="sync")
    part = np.asarray(part)
    return part if part.ndim == 4 else part[np.newaxis]


def fused_in_memory(plan: Plan, chunks: Tuple[Tuple[int, ...], ...], threads: int) -> NDArray[Any]:
    result = np.empty((plan.volumes, *plan.shape), dtype=plan.result_type)

    def run(block: Tuple[Tuple[int, ...], Counts, Counts]) -> None:
        _, (z, y, x), (nz, ny, nx) = block
        result[:, z : z + nz, y : y + ny, x : x + nx] = _as_stack(fused_block(plan, *block[1:]), plan.stack)

    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        for _ in pool.map(run, _blocks(chunks)):
            pass
    return result if plan.stack else result[0]


def fused_lazily(plan: Plan, chunks: Tuple[Tuple[int, ...], ...], threads: int) -> Any:
    """A dask array of ``chunks``; each task fuses a run of them along z, and its chunks are views
    of its result."""
    token = token_of(plan, chunks)
    name, task_name = "voxwarpkit-fuse-" + token, "voxwarpkit-fuse-task-" + token
    runs = _runs(chunks, plan.volumes * plan.result_type.itemsize)
    task_chunks = tuple(
        tuple(sum(axis[i : i + run]) for i in range(0, len(axis), run)) for axis, run in zip(chunks, runs)
    )
    starts = [list(itertools.accumulate((0,) + axis[:-1])) for axis in chunks]
    blocks = _blocks(task_chunks)
    reads = _cached_reads(plan, blocks)
    readers = collections.Counter(chunk for block in reads.values() for chunk in block)
    layer: Dict[Tuple[Any, ...], Any] = {}
    for task_index, origin, extent in blocks:
        task_key = (task_name, *task_index)
        releases = tuple((chunk, readers[chunk]) for chunk in reads.get(task_index, ()))
        layer[task_key] = (fused_block, plan, origin, extent, threads, releases)
        members = [range(i * run, min((i + 1) * run, len(axis))) for i, run, axis in zip(task_index, runs, chunks)]
        for index in itertools.product(*members):
            cut = tuple(
                slice(starts[a][i] - origin[a], starts[a][i] - origin[a] + chunks[a][i]) for a, i in enumerate(index)
            )
            key = (name, 0, *index) if plan.stack else (name, *index)
            layer[key] = (operator.getitem, task_key, ((slice(None),) + cut) if plan.stack else cut)
    out_chunks = ((plan.volumes,), *chunks) if plan.stack else chunks
    return array_of(name, layer, out_chunks, plan.result_type)


def _cached_reads(plan: Plan, blocks: List[Tuple[BlockIndex, Counts, Counts]]) -> Dict[BlockIndex, List[TileChunk]]:
    """The stored chunks each task's block reads of the tiles read through the cache of decoded
    chunks, in chunk order; blocks that read none of them left out."""
    engine = cpu_engine()
    cached = [
        (number, tile)
        for number, tile in enumerate(plan.tiles)
        if isinstance(tile.source, Windows) and tile.source.read.cached
    ]
    reads: Dict[BlockIndex, List[TileChunk]] = {}
    for index, origin, extent in blocks:
        chunks: List[TileChunk] = []
        for number, tile in cached:
            box = engine.source_box(tile.grid, tile.request, origin, extent)
            if box is None:
                continue
            bounds = tile.source.read.bounds
            every_volume = [range(len(axis) - 1) for axis in bounds[:-3]]
            spans = [spanned(axis, start, stop) for axis, (start, stop) in zip(bounds[-3:], box)]
            chunks.extend((number, *chunk) for chunk in itertools.product(*every_volume, *spans))
        if chunks:
            reads[index] = chunks
    return reads


def _runs(chunks: Tuple[Tuple[int, ...], ...], voxel_bytes: int) -> Tuple[int, int, int]:
    """How many chunks along z one task fuses (and one along y and x): as many as keep its result
    within TASK_BYTES. A tile's stored chunks are decoded once for every task that reads them;
    fused volumes are thin along z, and a task that makes the whole depth reads each chunk of a
    tile's depth once instead of once for every output chunk along z that meets it."""
    run = 1
    plane = voxel_bytes * max(chunks[1]) * max(chunks[2])
    while (
        run < len(chunks[0])
        and plane * max(sum(chunks[0][i : i + run + 1]) for i in range(0, len(chunks[0]), run + 1)) <= TASK_BYTES
    ):
        run += 1
    return (run, 1, 1)


def output_chunks(chunks: Any, plan: Plan) -> Tuple[Tuple[int, ...], ...]:
    """The output's blocks along z, y, x."""
    if chunks is None:
        return tuple(_even(n, min(n, b)) for n, b in zip(plan.shape, DEFAULT_BLOCK))
    normalize_chunks = importlib.import_module("dask.array.core").normalize_chunks
    spatial = chunks[-3:] if isinstance(chunks, (tuple, list)) and len(chunks) == 4 else chunks
    try:
        normalized: Tuple[Tuple[int, ...], ...] = normalize_chunks(spatial, shape=plan.shape, dtype=plan.result_type)
    except (ArithmeticError, ValueError, IndexError, KeyError, TypeError) as error:
        raise ValueError(f"chunks {chunks!r} cannot chunk an output of shape {plan.shape}: {error}") from None
    return normalized


def _even(n: int, block: int) -> Tuple[int, ...]:
    return tuple(min(block, n - start) for start in range(0, n, block))


def _blocks(chunks: Tuple[Tuple[int, ...], ...]) -> List[Tuple[Tuple[int, ...], Counts, Counts]]:
    """Every block of ``chunks``: its index in the block grid, its origin and its extent (z, y, x)."""
    starts = [list(itertools.accumulate((0,) + axis[:-1])) for axis in chunks]
    return [
        (
            index,
            counts([starts[a][i] for a, i in enumerate(index)]),
            counts([chunks[a][i] for a, i in enumerate(index)]),
        )
        for index in itertools.product(*(range(len(axis)) for axis in chunks))
    ]


def _as_stack(block: NDArray[Any], stack: bool) -> NDArray[Any]:
    return block if stack else block[np.newaxis]
