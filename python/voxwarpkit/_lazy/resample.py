"""``resample`` of a dask array: one task per output block, the bits of one in-memory call.

Each task computes its voxels' positions from their global output indices,
so the result does not depend on the chunking. It reads only the input
chunks its positions need (found with the kernel's own float32 arithmetic),
copies them into one window of the input grid and lets the engine resample
the block from that window, with the gates and bands of the whole grid.
Anti-aliasing widens the window by the Gaussian's radius and smooths it in
the task: the voxels the block reads then have the bits of the whole image
smoothed, and no smoothed copy of the image is ever made.
A source stored in chunks (a ``zarr.Array``, or the Windows of a TIFF or
NIfTI file) is read by the tasks themselves, each its own window straight
from the store (:mod:`voxwarpkit._lazy.windows`): the graph then holds one task
per output block and no input chunk waits in memory for its readers.
Indices over the whole volume are Python ints: only blocks and windows must
stay below 2**31 elements.
"""

from __future__ import annotations

import collections
import functools
import importlib
import itertools
import math
import operator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple

import numpy as np

from .._backends.engines import Box, cpu_engine, engine_for
from .._backends.line_passes import gaussian_radius, lazy_source_of, pass_groups, source_of
from .._backends.request import (
    LIMIT,
    Counts,
    Request,
    check_image_axes,
    check_image_type,
    checked_request,
    counts,
    volume_range,
)
from .._core.methods import method_named
from .chunk_cache import spanned
from .graphs import array_of, flag, flag_chunks, token_of
from .read_order import read_order
from .staged import staged
from .windows import Windows, as_dask, windows_of

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# The names of resampling layers, whose tasks stored() wraps.
_RESAMPLE = "voxwarpkit-resample-"
# Default output blocks hold about this many bytes.
_BLOCK_BYTES = 64 * 2**20
# A block whose source box spans several input chunks is cut into up to this
# many parts per axis, to leave out the chunks no position of it reads.
_PARTS = 4

Chunks = Tuple[Tuple[int, ...], ...]
BlockIndex = Tuple[int, ...]


class Piece(NamedTuple):
    """One input chunk's share of a task's window: ``window[into] = chunk[out_of]``,
    both ``(volume, z, y, x)`` slices (a 3-D chunk is read as one volume)."""

    chunk: BlockIndex  # the chunk's index in the input's chunk grid
    into: Tuple[slice, ...]
    out_of: Tuple[slice, ...]


class BlockPlan(NamedTuple):
    """What one task does: the window it assembles and the output block it computes."""

    grid: Counts  # the input's true extent (z, y, x)
    window_origin: Counts
    window_shape: Tuple[int, int, int, int]  # (volumes, z, y, x)
    smoothed: bool  # the window is anti-aliased in the task
    pieces: Tuple[Piece, ...]  # empty when the block reads nothing: it is all fill
    request: Request  # with the block's own matrices when there is one per volume
    block_origin: Counts
    block_shape: Counts
    volumes: Tuple[int, int] = (0, 1)  # the stack's volumes first:end the block holds
    stack: bool = False  # the input is 4-D (volumes, z, y, x), and so is the block


class WindowTooLarge(ValueError):
    """A block or its input window would hold 2**31 elements or more."""


def resample_dask(image: Any, request: Request, *, chunks: Any = None, scratch: Any = None) -> Any:
    """:func:`voxwarpkit.resample` of ``image`` (a dask array or :class:`~voxwarpkit._lazy.windows.Windows`,
    whose windows each task reads itself), as :func:`checked_lazy` gives it with its ``request``,
    as a lazy dask array.

    ``chunks`` is the output's chunking, in any form dask's
    ``normalize_chunks`` accepts; by default blocks of about 64 MiB shaped
    like the input's chunks, made smaller where a block's window would reach
    2**31 elements or, from a store read through the cache of decoded
    chunks, fill more than half of it (:func:`_default_blocks`). The
    request's threads are how many threads each task uses (the scheduler
    runs tasks in parallel). The computed result has the bits of the
    in-memory call whatever the chunkings and the scheduler.

    ``scratch`` is a folder where cubic's coefficients of a stored image are
    staged, pass by pass, instead of held by dask (:mod:`voxwarpkit._lazy.staged`).

    Raises ValueError when a block or the input window it reads would hold
    2**31 elements or more (use smaller output chunks).
    """
    image, reach = prepared(image, request, scratch)
    output_shape = tuple(image.shape[:-3]) + request.shape
    if chunks is None:
        output_chunks, plans = _default_blocks(image, request, output_shape, reach)
    else:
        output_chunks = _normalized(chunks, output_shape, request.result_type, image.chunks)
        plans = _plans(image, request, output_chunks, reach)

    name = _RESAMPLE + token_of(
        image.name,
        request.voxel_size.tobytes(),
        request.output_voxel_size.tobytes(),
        request.matrices.tobytes(),
        request.shape,
        request.interpolation,
        request.edges,
        request.result_type.str,
        request.fill,
        output_chunks,
        request.chain,
        request.sigmas,
    )
    source_type = image.dtype.newbyteorder("=")
    graph: Dict[Any, Any] = {}
    # Each task says, with each chunk it reads through the cache, how many tasks read that chunk.
    counted = isinstance(image, Windows) and image.read.cached
    readers = collections.Counter(piece.chunk for plan in plans.values() for piece in plan.pieces) if counted else None
    for index in _listing(image, plans):
        plan = plans[index]
        if plan.pieces:
            parts, inputs = parts_of(image, plan, readers)
            task: Callable[..., Any] = functools.partial(resample_block, plan, parts, source_type, request.threads)
        else:
            shape_out = plan.window_shape[:1] + plan.block_shape if image.ndim == 4 else plan.block_shape
            task, inputs = functools.partial(_filled, shape_out, request.fill, request.result_type), []
        graph[(name,) + index] = (task, inputs)
    return array_of(name, graph, output_chunks, request.result_type, source_collections(image))


def _listing(image: Any, plans: Dict[BlockIndex, BlockPlan]) -> List[BlockIndex]:
    """The blocks in the order the layer lists them, which stored() may run them in: blocks that read
    the same chunks close together, while the chunks are still in the cache of decoded chunks
    (:mod:`voxwarpkit._lazy.read_order`); the blocks that read nothing first. Nothing else depends
    on the order: dask finds blocks by their keys."""
    filled = [index for index, plan in plans.items() if not plan.pieces]
    reads = {index: [piece.chunk for piece in plan.pieces] for index, plan in plans.items() if plan.pieces}
    if not (isinstance(image, Windows) and image.read.cached):
        return filled + sorted(reads, key=lambda index: reads[index][0])
    return filled + read_order(reads, image.read.cache.capacity // max(image.read.chunk_bytes, 1))


def source_collections(image: Any) -> List[Any]:
    """The dask collections whose tasks the blocks wait for: the input array's chunks, the
    writes of a stored level, or none for a store read as it is."""
    if isinstance(image, Windows):
        return [] if image.after is None else [image.after]
    return [image]


Sink = Callable[["NDArray[Any]", Tuple[slice, ...]], None]


def stored(lazy: Any, sink: Sink, *, flags_in_place: bool = True) -> Any:
    """One flag per block of the dask array ``lazy``, whose task hands the block to
    ``sink(block, region)`` (its place in ``lazy``, a slice per axis).

    The blocks of a resampling are stored by the very tasks that compute them,
    so no block waits in memory for a writer; any other array is stored by a
    task per block after it.

    Without ``flags_in_place`` (when nothing will wait for one block's flag, as a
    next pyramid level waits for the blocks it reads), the tasks of a resampling
    that reads its windows from a store are run in the order its layer lists them,
    the order of the input chunks they read, so that each chunk's readers meet it
    while it is in the cache of decoded chunks: dask runs tasks that wait for
    nothing in an order of their keys alone, so each key's task computes the
    block of that rank in the listing. The flags then say only that every block
    was stored.
    """
    da = importlib.import_module("dask.array")
    highlevelgraph = importlib.import_module("dask.highlevelgraph")
    name = "voxwarpkit-stored-" + token_of(lazy.name, sink)
    flags = flag_chunks([len(axis) for axis in lazy.chunks])
    meta = np.empty((0,) * lazy.ndim, dtype=bool)
    layer = lazy.dask.layers.get(lazy.name)
    if not (lazy.name.startswith(_RESAMPLE) and isinstance(layer, highlevelgraph.MaterializedLayer)):
        return da.map_blocks(_store_block, lazy, sink=sink, dtype=bool, chunks=flags, meta=meta, name=name)
    bounds = [_bounds(axis) for axis in lazy.chunks]
    listed = list(layer.mapping.items())
    slots = [key[1:] for key, _ in listed]
    if not flags_in_place and not any(inputs for _, (_, inputs) in listed):
        slots = _run_order(slots)
    graph = {}
    for slot, (key, (task, inputs)) in zip(slots, listed):
        region = tuple(slice(b[i], b[i + 1]) for b, i in zip(bounds, key[1:]))
        graph[(name,) + slot] = (functools.partial(_stored, task, sink, region), inputs)
    layers = {k: v for k, v in lazy.dask.layers.items() if k != lazy.name}
    layers[name] = highlevelgraph.MaterializedLayer(graph)
    dependencies = {k: set(v) for k, v in lazy.dask.dependencies.items() if k != lazy.name}
    dependencies[name] = set(lazy.dask.dependencies[lazy.name])
    return da.Array(highlevelgraph.HighLevelGraph(layers, dependencies), name, chunks=flags, dtype=bool, meta=meta)


def _run_order(slots: List[BlockIndex]) -> List[BlockIndex]:
    """``slots`` (block indices of tasks that wait for nothing) in the order dask's ordering runs
    them, found by asking it: the first one it runs first."""
    order = importlib.import_module("dask.order").order
    ranks = order({("slot",) + slot: (int,) for slot in slots})
    return sorted(slots, key=lambda slot: ranks[("slot",) + slot])


def _stored(
    task: Callable[..., NDArray[Any]], sink: Sink, region: Tuple[slice, ...], inputs: List[Any]
) -> NDArray[Any]:
    """Compute a block and hand it to ``sink``; a flag stands for it in the result."""
    block = task(inputs)
    sink(block, region)
    return flag(block.ndim)


def _store_block(block: NDArray[Any], sink: Sink, block_info: Any = None) -> NDArray[Any]:
    sink(block, tuple(slice(start, stop) for start, stop in block_info[0]["array-location"]))
    return flag(block.ndim)


def _filled(shape: Tuple[int, ...], fill: bytes, result_type: np.dtype[Any], inputs: List[Any]) -> NDArray[Any]:
    return filled_block(shape, fill, result_type)


# Where a part goes in the task's window (a slice per axis of (volumes, z, y, x)), and its values.
Part = Tuple[Tuple[slice, ...], "NDArray[Any]"]
Parts = Callable[["BlockPlan", List[Any]], Iterator[Part]]


@dataclass(frozen=True)
class ChunkParts:
    """A window's parts cut out of the input chunks dask hands the task, in the plan's order."""

    rank: int

    def __call__(self, plan: BlockPlan, chunks: List[Any]) -> Iterator[Part]:
        for piece, chunk in zip(plan.pieces, chunks):
            values = np.asarray(chunk)
            yield piece.into, (values if self.rank == 4 else values[np.newaxis])[piece.out_of]


@dataclass(frozen=True)
class StoreParts:
    """A window read by the task from the store, ``box`` (a slice per axis of the array), through
    the Windows' reader. Read in one request, the whole box, though a rotated block needs little of
    its corners; read through the process's cache of decoded chunks (``by_chunk``), only the chunks
    the plan's pieces name, each its own part: the corners' chunks are then never decoded, and fewer
    chunks a window leave more of the cache to its neighbours'. What dask hands the task (flags of
    the writes it waited for) is not read."""

    read: Callable[..., NDArray[Any]]  # a Windows' reader
    box: Tuple[slice, ...]
    by_chunk: bool = False
    reads: Tuple[int, ...] = ()  # by chunk, how many tasks of the graph read each piece's chunk

    def __call__(self, plan: BlockPlan, written: List[Any]) -> Iterator[Part]:
        if not self.by_chunk:
            values = self.read(self.box)
            yield (slice(None),) * 4, values if len(self.box) == 4 else values[np.newaxis]
            return
        starts = [part.start for part in self.box]
        for piece, reads in itertools.zip_longest(plan.pieces, self.reads):
            into = piece.into if len(self.box) == 4 else piece.into[1:]
            values = self.read(tuple(slice(s + i.start, s + i.stop) for s, i in zip(starts, into)), reads)
            yield piece.into, values if len(self.box) == 4 else values[np.newaxis]


def parts_of(image: Any, plan: BlockPlan, readers: Optional[Dict[BlockIndex, int]] = None) -> Tuple[Parts, List[Any]]:
    """How a task gets its window's parts, and the keys of the tasks it waits for: the input's
    chunks, or, from a store, nothing (or the writes of the chunks it reads). ``readers``, for a
    store read by chunk, are how many of the graph's tasks read each chunk."""
    if not isinstance(image, Windows):
        return ChunkParts(image.ndim), [(image.name,) + piece.chunk for piece in plan.pieces]
    box = tuple(slice(o, o + n) for o, n in zip(plan.window_origin, plan.window_shape[1:]))
    if image.ndim == 4:
        box = (slice(*plan.volumes),) + box
    waits: List[Any] = []
    if image.after is not None:  # every chunk in the box is read: each waits for its writer
        spans = [spanned(_bounds(axis), part.start, part.stop) for axis, part in zip(image.chunks, box)]
        # The writers' keys from the one nested list dask keeps for the array, not new tuples:
        # a large pyramid's tasks wait for hundreds of thousands of them.
        writers = image.after.__dask_keys__()
        waits = [functools.reduce(operator.getitem, chunk, writers) for chunk in itertools.product(*spans)]
    reads = tuple(readers[piece.chunk] for piece in plan.pieces) if readers is not None else ()
    return StoreParts(image.read, box, by_chunk=image.read.cached, reads=reads), waits


def checked_lazy(image: Any, voxel_size: ArrayLike, matrix: ArrayLike, **options: Any) -> Tuple[Any, Request]:
    """A dask array, ``zarr.Array`` or Windows as the dask array (or Windows) the tasks read, and
    resample's arguments checked against it; ``options`` as :func:`voxwarpkit.resample` takes
    them, but ``threads`` defaults to 1 (each task's: the scheduler runs tasks in parallel)."""
    image = windows_of(image) or image
    check_image_type(image.ndim, image.dtype)
    if any(math.isnan(n) for axis in image.chunks for n in axis):
        raise ValueError("image has chunks of unknown size: call its compute_chunk_sizes() first")
    check_image_axes(image.shape)
    threads = options.pop("threads", None)
    options.setdefault("fill", 0.0)
    request = checked_request(
        image.shape, image.dtype, voxel_size, matrix, threads=1 if threads is None else threads, **options
    )
    return image, request


def prepared(image: Any, request: Request, scratch: Any = None) -> Tuple[Any, Optional[Counts]]:
    """What the tasks read of a checked ``image`` (a dask array or Windows) and, when each task
    smooths its window, how far the smoothing reaches (z, y, x). ``scratch``, a folder, takes
    cubic's coefficients of a stored image, staged."""
    # A prefilter's passes read whole lines, so smoothing before it cannot be made window by window either.
    prefiltered = method_named(request.interpolation).prefilter is not None
    smoothed_in_tasks = request.sigmas is not None and not prefiltered
    if isinstance(image, Windows) and image.prefiltered:
        return image, None
    if prefiltered and isinstance(image, Windows):
        # The coefficients' passes read whole lines: staged through ``scratch``, else of the image's chunks.
        groups = pass_groups(image.shape[0] if image.ndim == 4 else 1, request.interpolation, request.sigmas)
        if scratch is not None and groups is not None and len(groups) == 1 and 0 not in image.shape:
            return staged(image, groups[0][2], Path(scratch)), None
        image = as_dask(image)
    if not smoothed_in_tasks:  # cubic's coefficients need whole lines: made as an array of their own
        image = lazy_source_of(image, request.interpolation, request.sigmas)  # what the kernel reads
    return image, reach_of(request) if smoothed_in_tasks else None


def filled_block(shape: Tuple[int, ...], fill: bytes, result_type: np.dtype[Any]) -> NDArray[Any]:
    """A block of ``fill``, copied as bits (a NaN keeps its payload)."""
    one = np.frombuffer(fill, dtype=result_type)
    return np.broadcast_to(one, (math.prod(shape),)).reshape(shape).copy()


def resample_block(
    plan: BlockPlan, parts: Parts, source_type: np.dtype[Any], threads: int, inputs: List[Any]
) -> NDArray[Any]:
    """One output block from the parts of the input its positions read (:func:`parts_of`)."""
    rank = 4 if plan.stack else 3
    window: Optional[NDArray[Any]] = None
    for into, part in parts(plan, inputs):
        if window is None and part.shape == plan.window_shape:
            window = part  # one part holds the whole window: read it in place
            break
        if window is None:
            # Voxels that no chunk fills are never read by any position: zero is as good as any value.
            window = np.zeros(plan.window_shape, dtype=source_type)
        window[into] = part
    assert window is not None  # a plan with no pieces is a filled block
    if plan.smoothed:  # its margins smooth wrongly, but the block reads none of them
        window = source_of(window, plan.request.interpolation, plan.request.sigmas, threads)
    result: NDArray[Any] = engine_for(window).resample_window(
        window, plan.window_origin, plan.grid, plan.request, plan.block_origin, plan.block_shape, threads
    )
    return result if rank == 4 else result[0]


def _normalized(
    chunks: Any, shape: Tuple[int, ...], result_type: np.dtype[Any], previous: Optional[Chunks], **limit: int
) -> Chunks:
    """``chunks`` as dask normalizes them for an output of ``shape``;
    WindowTooLarge for blocks of 2**31 elements."""
    normalize_chunks = importlib.import_module("dask.array.core").normalize_chunks
    try:
        normalized: Chunks = normalize_chunks(chunks, shape=shape, dtype=result_type, previous_chunks=previous, **limit)
    except TypeError:
        raise
    except (ArithmeticError, ValueError, IndexError, KeyError) as error:  # what dask raises for chunks it cannot use
        raise ValueError(f"chunks {chunks!r} cannot chunk an output of shape {shape}: {error}") from None
    largest = math.prod(max(axis, default=0) for axis in normalized)
    if largest > LIMIT:
        raise WindowTooLarge(
            f"output blocks of {largest} elements are too large: use smaller output chunks "
            f"(each block must stay below 2**31 elements)"
        )
    return normalized


def reach_of(request: Request) -> Counts:
    """How far anti-aliasing's Gaussian reaches along z, y and x, in voxels: its largest radius."""
    assert request.sigmas is not None
    x, y, z = (max(gaussian_radius(triple[a]) for triple in request.sigmas) for a in range(3))
    return (z, y, x)


def _default_blocks(
    image: Any, request: Request, shape: Tuple[int, ...], reach: Optional[Counts]
) -> Tuple[Chunks, Dict[BlockIndex, BlockPlan]]:
    """Blocks of about 64 MiB shaped like the input's chunks, smaller while some window is too large
    or, from a store read through the cache of decoded chunks, while a block reads more than half of
    what the cache holds on average: the windows of the tasks running together and of those that
    follow must fit in it, or each chunk is decoded again and again."""
    limit = _BLOCK_BYTES
    # An empty input axis has chunks of size 0, which dask cannot take a shape from.
    previous = None if 0 in image.shape else image.chunks
    while True:
        chunks = _normalized("auto", shape, request.result_type, previous, limit=limit)
        smallest = all(n <= 1 for axis in chunks for n in axis[:1])
        try:
            plans = _plans(image, request, chunks, reach)
        except WindowTooLarge:
            if smallest:
                raise
        else:
            if smallest or _windows_fit_the_cache(image, plans):
                return chunks, plans
        limit //= 8


def _windows_fit_the_cache(image: Any, plans: Dict[BlockIndex, BlockPlan]) -> bool:
    """Whether the chunks a block reads take at most half of the cache, on average over the blocks
    that read any; True for an input not read through the cache."""
    if not (isinstance(image, Windows) and image.read.cached):
        return True
    pieces = [len(plan.pieces) for plan in plans.values() if plan.pieces]
    chunk_bytes: int = image.read.chunk_bytes
    return sum(pieces) * chunk_bytes <= len(pieces) * image.read.cache.capacity // 2


def _bounds(sizes: Sequence[int]) -> List[int]:
    """Where the chunks of one axis start, and where the last one ends."""
    return [0] + list(itertools.accumulate(int(n) for n in sizes))


def _plans(image: Any, request: Request, output_chunks: Chunks, reach: Optional[Counts]) -> Dict[BlockIndex, BlockPlan]:
    """The plan of every output block, by the block's index."""
    stack = image.ndim == 4
    volume_bounds = _bounds(output_chunks[0]) if stack else [0, 1]
    output_bounds = [_bounds(axis) for axis in output_chunks[-3:]]
    plans: Dict[BlockIndex, BlockPlan] = {}
    for index in itertools.product(*(range(len(axis)) for axis in output_chunks)):
        v = index[0] if stack else 0
        origin = counts([b[i] for b, i in zip(output_bounds, index[-3:])])
        extent = counts([b[i + 1] - b[i] for b, i in zip(output_bounds, index[-3:])])
        plans[index] = block_plan(image, request, reach, (volume_bounds[v], volume_bounds[v + 1]), origin, extent)
    return plans


def block_plan(
    image: Any, request: Request, reach: Optional[Counts], volumes: Tuple[int, int], origin: Counts, extent: Counts
) -> BlockPlan:
    """The plan of the output block of volumes ``first:end`` (``volumes``) at ``origin`` of ``extent``
    (z, y, x). With a ``reach``, the task smooths its window, which holds that many more voxels
    (z, y, x) on either side of what the block reads, where the grid has them."""
    grid = counts(image.shape[-3:])
    stack = image.ndim == 4
    input_bounds = [_bounds(axis) for axis in image.chunks]
    first, end = volumes
    block_request = volume_range(request, first, end)
    box = cpu_engine().source_box(grid, block_request, origin, extent) if end > first else None
    if box is None:
        empty = (end - first, 0, 0, 0)
        return BlockPlan(grid, (0, 0, 0), empty, False, (), block_request, origin, extent, volumes, stack)
    box = _widened(box, reach or (0, 0, 0), grid)
    window_shape = (end - first, box[0][1] - box[0][0], box[1][1] - box[1][0], box[2][1] - box[2][0])
    if math.prod(window_shape) > LIMIT:
        raise WindowTooLarge(
            f"the output block at {origin} of shape {extent} reads an input window of shape "
            f"{window_shape}, 2**31 elements or more: use smaller output chunks"
        )
    window_origin: Counts = (box[0][0], box[1][0], box[2][0])
    if isinstance(image, Windows) and not image.read.cached:
        # The task reads its whole window in one request (StoreParts): one piece stands for it.
        whole = (slice(None),) * 4
        return BlockPlan(
            grid,
            window_origin,
            window_shape,
            reach is not None,
            (Piece((), whole, whole),),
            block_request,
            origin,
            extent,
            volumes,
            stack,
        )
    spans = [((first, end), input_bounds[0])] if stack else []
    spans += [(b, bounds) for b, bounds in zip(box, input_bounds[-3:])]
    volume_chunks: List[Tuple[int, ...]] = [(c,) for c in spanned(input_bounds[0], first, end)] if stack else [()]
    spatial_chunks = sorted(
        _chunks_read(grid, block_request, origin, extent, box, input_bounds[-3:], reach or (0, 0, 0))
    )
    pieces = tuple(_piece(c + s, spans, stack) for c in volume_chunks for s in spatial_chunks)
    return BlockPlan(
        grid, window_origin, window_shape, reach is not None, pieces, block_request, origin, extent, volumes, stack
    )


def _widened(box: Box, reach: Counts, grid: Counts) -> Box:
    """``box`` with ``reach`` more voxels on either side along each axis, within the grid."""
    z, y, x = ((max(0, start - r), min(n, stop + r)) for (start, stop), r, n in zip(box, reach, grid))
    return (z, y, x)


def _piece(chunk: BlockIndex, spans: List[Tuple[Tuple[int, int], List[int]]], stack: bool) -> Piece:
    """The part of input chunk ``chunk`` inside the window: ``spans`` are the
    window's (start, stop) and the input's chunk bounds along each axis."""
    into, out_of = [], []
    for i, ((start, stop), bounds) in zip(chunk, spans):
        low, high = max(bounds[i], start), min(bounds[i + 1], stop)
        into.append(slice(low - start, high - start))
        out_of.append(slice(low - bounds[i], high - bounds[i]))
    if not stack:  # a 3-D chunk is read as one volume
        into.insert(0, slice(0, 1))
        out_of.insert(0, slice(0, 1))
    return Piece(chunk, tuple(into), tuple(out_of))


def _chunks_read(
    grid: Counts,
    request: Request,
    origin: Counts,
    extent: Counts,
    box: Tuple[Tuple[int, int], ...],
    bounds: List[List[int]],
    reach: Counts,
) -> Set[BlockIndex]:
    """The (z, y, x) indices of the input chunks that the block's positions read.

    Every chunk in the block's source box, less those that no part of the
    block reads when it is cut into up to _PARTS**3 parts: each part's
    source box is exact, so a chunk outside all of them holds no voxel the
    block reads, and a rotated block skips the chunks at its box's corners.
    Each part's box is widened by ``reach``, as the block's ``box`` is.
    """
    candidates = [spanned(b, start, stop) for b, (start, stop) in zip(bounds, box)]
    if math.prod(len(c) for c in candidates) <= 1:
        return set(itertools.product(*candidates))
    cuts = [sorted({o + n * p // _PARTS for p in range(_PARTS + 1)}) for o, n in zip(origin, extent)]
    read: Set[BlockIndex] = set()
    for part in itertools.product(*(zip(c[:-1], c[1:]) for c in cuts)):
        part_box = cpu_engine().source_box(
            grid, request, counts([a for a, _ in part]), counts([b - a for a, b in part])
        )
        if part_box is not None:
            part_box = _widened(part_box, reach, grid)
            read.update(itertools.product(*(spanned(b, s, e) for b, (s, e) in zip(bounds, part_box))))
    return read
