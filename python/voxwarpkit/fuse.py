"""``fuse``: many tiles or views, each with its own matrix, blended into one volume.

Each output voxel's value is the weighted mean of the tiles that hold it. A
tile's value at the voxel is its resample there (its interpolation's rules,
the blend kept as a double); its weight comes from the voxel's position in
the tile, in double: 1 deep inside, falling to near 0 over ``blend_width``
at the tile's border, 0 outside the box of its voxel centres. Sums and
weights are accumulated in double in the tiles' order and divided once; the
quotient is rounded once to the result's type. A voxel no tile holds gets
``fill``. The output is made block by block: each block reads a window only
from the tiles whose voxels it meets, so memory does not grow with the number
or the size of the tiles, and every block is computed from global indices, so
the bits do not depend on the chunking or the threads.
"""

from __future__ import annotations

import concurrent.futures
import importlib
import itertools
import operator
import uuid
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._backends.chain_positions import ChainFrame, chain_positions, matrix_step
from ._backends.engines import cpu_engine
from ._backends.line_passes import source_of
from ._core.affine import affine4, not_singular
from ._core.request import (
    BLEND_RESULT_CODES,
    Counts,
    Request,
    check_image_axes,
    check_image_type,
    checked_request,
    counts,
    fill_bytes,
    interpolation_of,
    result_type_of,
)
from ._core.threads import thread_count
from ._engine import blend_tile, blend_tile_at, finish_blend, tile_cover
from ._lazy.chunk_cache import ChunkCache
from ._lazy.windows import Windows, kept_in, windows_of
from .field import Field

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# The blending rules by name, with the engine's code for each (its enum ``tile_blending``).
BLENDINGS = {"cosine": 0, "linear": 1, "average": 2, "max": 3}
# multiview-stitcher's default blend widths along x, y and z, in physical units.
DEFAULT_BLEND_WIDTH = (10.0, 10.0, 3.0)
# Output blocks of at most this many voxels per axis (z, y, x), 4 Mi voxels: a task's result.
DEFAULT_BLOCK = (64, 256, 256)
# A block is fused a slab of whole planes of about this many voxels at a time: the slab's double
# sums, weights and one tile's values then stay in the processor's cache from one step to the
# next, and a task's memory is a slab's, however large its block.
SLAB_VOXELS = 2**18
# A lazy result's task fuses a run of its chunks along z, up to this many bytes of result.
TASK_BYTES = 64 * 2**20
# A fusion keeps the stored tiles' decoded chunks in a cache of its own, of this many bytes. Its
# tasks are columns along z, run along x then y: a task meets few chunks of a tile, and shares
# only a column of them with the next task, so the chunks worth keeping are those of the tasks
# running and of the ones before them. More holds chunks no task reads again.
CACHE_BYTES = 128 * 2**20


class Tile(NamedTuple):
    """One tile checked: what its blocks read, how the engine samples it and where its voxels lie."""

    source: Any  # a numpy array or Windows (nvol, z, y, x) or (z, y, x), or a dask array
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


def fuse(
    tiles: Sequence[Any],
    voxel_sizes: ArrayLike,
    matrices: Sequence[ArrayLike],
    *,
    shape: Sequence[int],
    output_voxel_size: ArrayLike,
    origin: ArrayLike = (0.0, 0.0, 0.0),
    blending: str = "cosine",
    blend_width: ArrayLike = DEFAULT_BLEND_WIDTH,
    interpolation: str = "linear",
    fill: float = 0.0,
    dtype: Any = None,
    threads: Optional[int] = None,
    chunks: Any = None,
) -> Any:
    """Blend tiles, each with its own matrix, into one volume.

    Parameters
    ----------
    tiles
        The tiles: numpy arrays, dask arrays or ``zarr.Array`` s, each
        ``(nz, ny, nx)``, or all ``(nvol, nz, ny, nx)`` with one ``nvol``
        (channels or time points, blended with the same weights).
    voxel_sizes
        Each tile's spacing ``(sx, sy, sz)``, or one spacing for all.
    matrices
        One per tile: maps an output voxel's physical position to the tile's
        (12 numbers, a 3x4 or a 4x4), as ``matrix`` in :func:`voxwarpkit.resample`;
        or a chain, a list of matrices and :class:`voxwarpkit.Field` s with at
        least one field, also as ``resample`` takes it.
    shape
        The output's ``(nz, ny, nx)``.
    output_voxel_size
        The output's spacing ``(osx, osy, osz)``.
    origin
        The physical position ``(x, y, z)`` of the output's voxel ``(0, 0, 0)``;
        voxel ``(k, j, i)`` lies at ``origin + (i osx, j osy, k osz)``.
    blending
        How overlapping tiles mix: ``"cosine"`` (the default: a tile's weight
        rises from near 0 at its border to 1 over ``blend_width``, as half a
        cosine wave, as BigStitcher and multiview-stitcher blend), ``"linear"``
        (a straight ramp), ``"average"`` (equal weights wherever tiles hold the
        voxel) or ``"max"`` (the largest value, a NaN first).
    blend_width
        The ramp's width along x, y and z in physical units, or one width for
        all; 0 along an axis means no ramp there.
    interpolation
        How each tile is sampled: ``"linear"``, ``"nearest"``, ``"lanczos"`` or
        ``"cubic"`` (numpy tiles only); label sampling does not fuse.
    fill
        The value of voxels no tile holds; it must fit the result's type.
    dtype
        The result's type: float32 when None, else any integer type or
        float16, float32, float64; the mean is rounded once to it (integers to
        nearest, ties to even, saturated; NaN becomes ``fill``).
    threads
        Threads for numpy tiles (default every CPU this process may use);
        with dask, each task's (default 1). The bits do not depend on it.
    chunks
        The output's blocks (dask's forms). With it, or with any tile not a
        numpy array, the result is a lazy dask array; else a numpy array.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        ``(nz, ny, nx)``, or ``(nvol, nz, ny, nx)`` for 4-D tiles.
    """
    lazy = chunks is not None or not all(isinstance(tile, np.ndarray) for tile in tiles)
    plan = fusion_plan(
        tiles,
        voxel_sizes,
        matrices,
        shape=shape,
        output_voxel_size=output_voxel_size,
        origin=origin,
        blending=blending,
        blend_width=blend_width,
        interpolation=interpolation,
        fill=fill,
        dtype=dtype,
        threads=thread_count(threads),
        lazy=lazy,
    )
    block_chunks = _chunks(chunks, plan)
    if lazy:
        return _lazy(plan, block_chunks, 1 if threads is None else thread_count(threads))
    return _in_memory(plan, block_chunks, thread_count(threads))


def covering_grid(
    voxel_sizes: ArrayLike,
    matrices: Sequence[ArrayLike],
    tile_shapes: Sequence[Sequence[int]],
    output_voxel_size: ArrayLike,
) -> Tuple[Counts, Tuple[float, float, float]]:
    """The output grid that holds every tile's voxel centres: its ``(nz, ny, nx)`` and the physical
    ``origin`` ``(x, y, z)`` of its first voxel, for :func:`fuse` at ``output_voxel_size``."""
    spacings = _per_tile(voxel_sizes, len(tile_shapes), "voxel_sizes")
    step = np.asarray(output_voxel_size, dtype=np.float64).reshape(3)
    corners = []
    for spacing, matrix, tile_shape in zip(spacings, matrices, tile_shapes):
        nz, ny, nx = tile_shape[-3:]
        ends = np.array(list(itertools.product(*((0, n - 1) for n in (nx, ny, nz)))), dtype=np.float64) * spacing
        output_to_tile = _placed(matrix)
        tile_to_output = np.linalg.inv(output_to_tile)
        corners.append(ends @ tile_to_output[:3, :3].T + tile_to_output[:3, 3])
    points = np.concatenate(corners)
    low, high = points.min(axis=0), points.max(axis=0)
    extent = np.ceil((high - low) / step - 1e-9).astype(np.int64) + 1
    return counts(extent[::-1].tolist()), (float(low[0]), float(low[1]), float(low[2]))


def fusion_plan(
    tiles: Sequence[Any],
    voxel_sizes: ArrayLike,
    matrices: Sequence[ArrayLike],
    *,
    shape: Sequence[int],
    output_voxel_size: ArrayLike,
    origin: ArrayLike,
    blending: str,
    blend_width: ArrayLike,
    interpolation: str,
    fill: float,
    dtype: Any,
    threads: int,
    lazy: bool,
) -> Plan:
    """``fuse``'s arguments checked, each tile's resample among them."""
    if not isinstance(tiles, (list, tuple)) or not tiles:
        raise ValueError("tiles must be a non-empty list of arrays")
    if not isinstance(matrices, (list, tuple)) or len(matrices) != len(tiles):
        raise ValueError(f"matrices must hold one matrix per tile ({len(tiles)}), got {_count(matrices)}")
    if not isinstance(blending, str) or blending not in BLENDINGS:
        raise ValueError(f"blending must be one of {', '.join(map(repr, BLENDINGS))}, got {blending!r}")
    method = interpolation_of(None, interpolation)
    if method == "label":
        raise ValueError("label sampling does not fuse: blending would mix labels; use nearest")
    width = _triple(blend_width, "blend_width", positive=False)
    start = _triple(origin, "origin", positive=None)
    result_type = result_type_of("linear", np.dtype(np.float32), dtype)  # the blends' types
    spacings = _per_tile(voxel_sizes, len(tiles), "voxel_sizes")
    chunks = ChunkCache(CACHE_BYTES)  # the decoded chunks of every stored tile of this fusion
    checked = []
    for tile, spacing, matrix in zip(tiles, spacings, matrices):
        checked.append(
            _tile(tile, spacing, matrix, shape, output_voxel_size, start, method, width, threads, lazy, chunks)
        )
    ranks = {tile.stack for tile in checked}
    volumes = {_volumes(tile.source) for tile in checked}
    if len(ranks) > 1 or len(volumes) > 1:
        raise ValueError("tiles must all be 3-D, or all 4-D with one number of volumes")
    return Plan(
        tuple(checked),
        volumes.pop(),
        ranks.pop(),
        checked[0].request.shape,
        blending,
        result_type,
        fill_bytes(fill, result_type),
    )


def _tile(
    image: Any,
    spacing: NDArray[np.float64],
    matrix: ArrayLike,
    shape: Sequence[int],
    output_voxel_size: ArrayLike,
    origin: Tuple[float, float, float],
    method: str,
    width: Tuple[float, float, float],
    threads: int,
    lazy: bool,
    chunks: ChunkCache,
) -> Tile:
    """One tile checked: its source, its resample onto the output and what gives its positions."""
    windows = None if isinstance(image, np.ndarray) else windows_of(image)
    source = image if windows is None else kept_in(windows, chunks)
    if not hasattr(source, "shape") or not hasattr(source, "dtype"):
        raise TypeError(f"tiles must be numpy arrays, dask arrays or zarr arrays, not {type(image).__name__}")
    check_image_type(len(source.shape), np.dtype(source.dtype))
    check_image_axes(tuple(source.shape))
    # A chain's first matrix (the identity before a leading field) is the one moved to the origin.
    steps = _chain_steps(matrix)
    first = matrix
    if steps is not None:
        first = np.eye(4) if isinstance(steps[0], Field) else steps.pop(0)
    moved = _moved_by(_placed(first), origin)
    request = checked_request(
        tuple(source.shape),
        np.dtype(source.dtype),
        spacing,
        moved if steps is None else [moved, *steps],
        shape=shape,
        output_voxel_size=output_voxel_size,
        interpolation=method,
        fill=0,
        threads=1,
        dtype=None if method == "nearest" else np.float64,
    )
    if method == "cubic":
        if lazy or not isinstance(source, np.ndarray):
            raise ValueError("cubic fusion takes numpy tiles and no chunks: its coefficients need whole tiles")
        stack = source if source.ndim == 4 else source[np.newaxis]
        source = source_of(stack, method, None, threads)
    output_spacing = [float(s) for s in np.asarray(output_voxel_size, dtype=np.float64).reshape(3)]
    tile_spacing = [float(s) for s in spacing]
    if steps is None:
        index_matrix, chain = _index_matrix(moved, output_spacing, tile_spacing), None
    else:
        # The fields as the request holds them (read once); the matrices as given, in double.
        later = tuple(
            engine if isinstance(step, Field) else matrix_step(affine4(step))
            for step, engine in zip(steps, request.chain)
        )
        first_step = matrix_step(moved)
        index_matrix, chain = (), ChainFrame((first_step, *later), _xyz(output_spacing), _xyz(tile_spacing))
    return Tile(
        source,
        len(image.shape) == 4,
        counts(source.shape[-3:]),
        request,
        index_matrix,
        _scale(spacing, width),
        chain,
    )


def _chain_steps(entry: Any) -> Optional[List[Any]]:
    """A chain's steps (a list or tuple holding a Field), each matrix checked, or None for a matrix."""
    if not (isinstance(entry, (list, tuple)) and any(isinstance(step, Field) for step in entry)):
        return None
    for number, step in enumerate(entry):
        if not isinstance(step, Field):
            try:
                affine4(step)
            except (TypeError, ValueError) as error:
                raise ValueError(f"step {number} of a chain must be a Field or a matrix: {error}") from None
    return list(entry)


def _xyz(values: List[float]) -> Tuple[float, float, float]:
    return (values[0], values[1], values[2])


def _moved_by(output_to_tile: NDArray[np.float64], origin: Tuple[float, float, float]) -> NDArray[np.float64]:
    """The matrix from the output's physical position measured from its first voxel: the
    translation gains ``A origin``, summed in double as ((a0 x + a1 y) + a2 z) + t."""
    moved = output_to_tile[:3].copy()
    for row in range(3):
        a = [float(v) for v in output_to_tile[row]]
        moved[row, 3] = ((a[0] * origin[0] + a[1] * origin[1]) + a[2] * origin[2]) + a[3]
    return moved


def _index_matrix(moved: NDArray[np.float64], output_spacing: List[float], spacing: List[float]) -> Tuple[float, ...]:
    """Output index -> tile index in double: column c of row r is (a_rc osc) / s_r, the translation t_r / s_r."""
    entries = []
    for row in range(3):
        a = [float(v) for v in moved[row]]
        entries += [(a[column] * output_spacing[column]) / spacing[row] for column in range(3)]
        entries.append(a[3] / spacing[row])
    return tuple(entries)


def _scale(spacing: NDArray[np.float64], width: Tuple[float, float, float]) -> Tuple[float, float, float]:
    """Along x, y, z the spacing over the blend width, in double; inf where the width is 0 (no ramp)."""
    with np.errstate(divide="ignore", over="ignore"):
        scale = np.asarray(spacing, dtype=np.float64) / np.asarray(width, dtype=np.float64)
    return (float(scale[0]), float(scale[1]), float(scale[2]))


def fused_block(plan: Plan, block_origin: Counts, block_shape: Counts, threads: int = 1) -> NDArray[Any]:
    """The output block ``block_shape`` at ``block_origin``, every volume, made a slab of planes at a time."""
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
    engine = cpu_engine()
    code = BLENDINGS[plan.blending]
    for tile in plan.tiles:
        if engine.source_box(tile.grid, tile.request, origin, shape) is None:
            continue
        # A chain's positions are not a matrix's: its tile is taken over the whole slab.
        cover = tile_cover(origin, shape, tile.index_matrix, tile.grid) if tile.chain is None else _whole(shape)
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
            blend_tile(sums, weights, values, origin, at, tile.index_matrix, tile.grid, tile.scale, code)
        else:
            positions = chain_positions(tile.chain, cover_origin, extent)
            blend_tile_at(sums, weights, values, at, positions, tile.grid, tile.scale, code)
    result_code = BLEND_RESULT_CODES[plan.result_type.kind, plan.result_type.itemsize]
    finish_blend(sums, weights, result, plan.fill, result_code, plan.blending == "max")


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
    elif isinstance(source, Windows):
        part = source.read(cut)
    else:  # a dask array: this task computes its own window
        part = source[cut].compute(scheduler="sync")
    part = np.asarray(part)
    return part if part.ndim == 4 else part[np.newaxis]


def _in_memory(plan: Plan, chunks: Tuple[Tuple[int, ...], ...], threads: int) -> NDArray[Any]:
    result = np.empty((plan.volumes, *plan.shape), dtype=plan.result_type)

    def run(block: Tuple[Tuple[int, ...], Counts, Counts]) -> None:
        _, (z, y, x), (nz, ny, nx) = block
        result[:, z : z + nz, y : y + ny, x : x + nx] = _as_stack(fused_block(plan, *block[1:]), plan.stack)

    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        for _ in pool.map(run, _blocks(chunks)):
            pass
    return result if plan.stack else result[0]


def _lazy(plan: Plan, chunks: Tuple[Tuple[int, ...], ...], threads: int) -> Any:
    """A dask array of ``chunks``; each task fuses a run of them along z, and its chunks are views
    of its result."""
    da = importlib.import_module("dask.array")
    graph_module = importlib.import_module("dask.highlevelgraph")
    token = uuid.uuid4().hex
    name, task_name = "voxwarpkit-fuse-" + token, "voxwarpkit-fuse-task-" + token
    runs = _runs(chunks, plan.volumes * plan.result_type.itemsize)
    task_chunks = tuple(
        tuple(sum(axis[i : i + run]) for i in range(0, len(axis), run)) for axis, run in zip(chunks, runs)
    )
    starts = [list(itertools.accumulate((0,) + axis[:-1])) for axis in chunks]
    layer: Dict[Tuple[Any, ...], Any] = {}
    for task_index, origin, extent in _blocks(task_chunks):
        task_key = (task_name, *task_index)
        layer[task_key] = (fused_block, plan, origin, extent, threads)
        members = [range(i * run, min((i + 1) * run, len(axis))) for i, run, axis in zip(task_index, runs, chunks)]
        for index in itertools.product(*members):
            cut = tuple(
                slice(starts[a][i] - origin[a], starts[a][i] - origin[a] + chunks[a][i]) for a, i in enumerate(index)
            )
            key = (name, 0, *index) if plan.stack else (name, *index)
            layer[key] = (operator.getitem, task_key, ((slice(None),) + cut) if plan.stack else cut)
    graph = graph_module.HighLevelGraph.from_collections(name, layer, dependencies=())
    out_chunks = ((plan.volumes,), *chunks) if plan.stack else chunks
    meta = np.empty((0,) * len(out_chunks), dtype=plan.result_type)
    return da.Array(graph, name, out_chunks, meta=meta)


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


def _chunks(chunks: Any, plan: Plan) -> Tuple[Tuple[int, ...], ...]:
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


def _volumes(source: Any) -> int:
    return int(source.shape[0]) if len(source.shape) == 4 else 1


def _placed(matrix: ArrayLike) -> NDArray[np.float64]:
    """A tile's matrix as a 4x4 in double, read as every entry point reads one; ValueError for a
    singular one, which places no tile: it maps the output onto a plane or a line of it."""
    return not_singular(affine4(matrix, "a tile's matrix"), "a tile's matrix")


def _per_tile(values: ArrayLike, tiles: int, name: str) -> List[NDArray[np.float64]]:
    numbers = np.asarray(values, dtype=np.float64)
    if numbers.shape == (3,):
        numbers = np.broadcast_to(numbers, (tiles, 3))
    if numbers.shape != (tiles, 3):
        raise ValueError(f"{name} must be one (sx, sy, sz) for all tiles or one per tile, got shape {numbers.shape}")
    if not np.all(np.isfinite(numbers) & (numbers > 0)):
        raise ValueError(f"{name} must be positive and finite")
    return list(numbers)


def _triple(values: ArrayLike, name: str, *, positive: Optional[bool]) -> Tuple[float, float, float]:
    """Three finite numbers (x, y, z), or one for all; at least 0 unless ``positive`` is None."""
    numbers = np.asarray(values, dtype=np.float64).ravel()
    if numbers.shape == (1,):
        numbers = np.repeat(numbers, 3)
    if numbers.shape != (3,) or not np.all(np.isfinite(numbers)) or (positive is not None and np.any(numbers < 0)):
        wanted = "three finite numbers (x, y, z)" if positive is None else "one or three finite numbers of at least 0"
        raise ValueError(f"{name} must be {wanted}, got {np.asarray(values).tolist()}")
    return (float(numbers[0]), float(numbers[1]), float(numbers[2]))


def _count(values: Any) -> str:
    return str(len(values)) if isinstance(values, (list, tuple)) else type(values).__name__


__all__ = ["BLENDINGS", "covering_grid", "fuse", "fused_block"]
