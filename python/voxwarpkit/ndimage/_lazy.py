"""affine_transform of a dask array (or a ``zarr.Array``): a lazy dask array, one task per output
chunk, each reading its own window of the input, with the bits of the numpy call.

A task's positions come from its voxels' whole output indices, and the engine samples the window
with the whole input's extent, so neither the chunking nor the scheduler changes a bit. The
window is the box of input voxels the chunk's positions can read: the positions at the chunk's
corners (an affine map's extremes lie there), widened by the spline's taps and a voxel of margin
each side, clipped to the input; a mode that wraps or mirrors a position past the edge reads the
whole axis. A zarr array is read by the tasks themselves, window by window, so that no input chunk
waits in memory for its readers. The B-spline coefficients of orders 2 to 5 need whole lines: they
are made in a pass per moving axis over chunks that hold whole lines along it.
"""

from __future__ import annotations

import functools
import importlib
import itertools
import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .. import _engine
from .._core.threads import thread_count
from .._lazy.chunk_cache import spanned
from .._lazy.graphs import array_of, token_of
from .._lazy.resample import _bounds, _piece
from .._lazy.windows import Windows, windows_of
from ._arguments import affine_parts, stack_of_affine
from ._engine_call import Positions, filter_in_place, readable
from ._modes import PREPAD, mode_named

if TYPE_CHECKING:
    from numpy.typing import NDArray

_NAME = "voxwarpkit-ndimage-affine-"
# Modes that bring a position past the edge back from the other side or a mirror: any voxel may be read.
_FOLDING = ("wrap", "grid-wrap", "reflect", "grid-mirror", "mirror")

Box = Tuple[Tuple[int, int], ...]


def lazy_affine_transform(
    image: Any,
    matrix: Any,
    offset: Any,
    output_shape: Optional[Sequence[int]],
    output: Any,
    order: int,
    mode: str,
    cval: Any,
    prefilter: bool,
    threads: Optional[int],
    output_chunks: Any,
) -> Any:
    """:func:`voxwarpkit.ndimage.affine_transform` of a dask or zarr ``image``, lazily (see the module)."""
    da = importlib.import_module("dask.array")
    mode_named(mode)
    source: Any = windows_of(image) or image
    shape = tuple(int(n) for n in source.shape)
    if isinstance(output, np.ndarray):
        raise TypeError("output must be a dtype for a dask input: store the lazy result with da.store")
    if np.dtype(source.dtype).kind == "c":
        raise TypeError("voxwarpkit.ndimage takes real dask arrays: transform their real and imaginary parts")
    dtype = np.dtype(source.dtype if output is None else output)
    if dtype.kind not in "biuf":
        raise RuntimeError("output must have numeric dtype")
    output_shape = shape if output_shape is None else tuple(int(n) for n in output_shape)
    if len(shape) < 1 or len(output_shape) < 1:
        raise RuntimeError("input and output rank must be > 0")
    parsed, shift = affine_parts(matrix, offset, shape, len(output_shape))
    stack = stack_of_affine(parsed, shift, shape, output_shape)
    if parsed.ndim == 1:
        diagonal = np.ascontiguousarray(parsed[stack:])
        positions = Positions(zoom=diagonal, shift=np.ascontiguousarray(shift[stack:] / diagonal))
    else:
        positions = Positions(matrix=np.ascontiguousarray(parsed[stack:, stack:]), shift=shift[stack:].copy())
    padding = 0
    if prefilter and order > 1:
        source, padding = _lazy_coefficients(source, stack, order, mode, cval)
    if output_chunks is None:
        output_chunks = source.chunks if output_shape == shape and padding == 0 else "auto"
    chunks = da.core.normalize_chunks(output_chunks, output_shape, dtype=dtype)
    each = 1 if threads is None else thread_count(threads)  # the scheduler runs tasks side by side
    return _graph(source, stack, positions, chunks, dtype, order, mode, float(cval), padding, each)


def _lazy_coefficients(image: Any, stack: int, order: int, mode: str, cval: Any) -> Tuple[Any, int]:
    """The float64 coefficients of ``image`` as a dask array, padded as scipy pads them: a pass
    along each moving axis over chunks holding whole lines along it."""
    da = importlib.import_module("dask.array")
    values = image if not isinstance(image, Windows) else da.from_array(image.array, chunks=image.chunks)
    record = mode_named(mode)
    padding = 0
    if record.prepad is not None:
        padding = PREPAD
        widths = [(0, 0)] * stack + [(PREPAD, PREPAD)] * (values.ndim - stack)
        if record.prepad == "edge":
            values = da.pad(values, widths, mode="edge")
        else:
            values = da.pad(values, widths, mode="constant", constant_values=cval)
    values = values.astype(np.float64)
    for axis in range(stack, values.ndim):
        whole = {axis: -1}
        values = values.rechunk(whole).map_blocks(_filtered, axis, order, mode, dtype=np.float64)
    return values, padding


def _filtered(block: NDArray[Any], axis: int, order: int, mode: str) -> NDArray[np.float64]:
    values = np.array(block, dtype=np.float64, order="C")
    filter_in_place(values, axis, order, mode, 1)
    return values


def _graph(
    source: Any,
    stack: int,
    positions: Positions,
    chunks: Tuple[Tuple[int, ...], ...],
    dtype: np.dtype[Any],
    order: int,
    mode: str,
    cval: float,
    padding: int,
    threads: int,
) -> Any:
    grid = tuple(int(n) for n in source.shape)
    name = _NAME + token_of(
        source.name, positions.matrix, positions.shift, positions.zoom, chunks, dtype.str, order, mode, cval, padding
    )
    input_bounds = [_bounds(axis) for axis in source.chunks]
    output_bounds = [_bounds(axis) for axis in chunks]
    graph: Dict[Any, Any] = {}
    for index in itertools.product(*(range(len(axis)) for axis in chunks)):
        origin = tuple(b[i] for b, i in zip(output_bounds, index))
        extent = tuple(b[i + 1] - b[i] for b, i in zip(output_bounds, index))
        box = tuple((o, o + n) for o, n in zip(origin[:stack], extent[:stack]))
        box += _window(positions, grid[stack:], origin[stack:], extent[stack:], order, mode, padding)
        plan = (grid, box, origin, extent, stack, positions, dtype, order, mode, cval, padding, threads)
        if isinstance(source, Windows):
            read = source.read
            task = functools.partial(_stored_block, plan, read)
            graph[(name,) + index] = (task, [])
        else:
            spans = [(b, bounds) for b, bounds in zip(box, input_bounds)]
            read_chunks = itertools.product(*(spanned(b, s, e) for b, (s, e) in zip(input_bounds, box)))
            pieces = [_piece(c, spans, True) for c in read_chunks]
            task = functools.partial(_chunked_block, plan, pieces)
            graph[(name,) + index] = (task, [(source.name,) + p.chunk for p in pieces])
    return array_of(name, graph, chunks, dtype, [] if isinstance(source, Windows) else [source])


def _window(
    positions: Positions,
    grid: Tuple[int, ...],
    origin: Tuple[int, ...],
    extent: Tuple[int, ...],
    order: int,
    mode: str,
    padding: int,
) -> Box:
    """The box of the (moving) input axes that the block's positions can read."""
    if 0 in extent:
        return tuple((0, 1) for _ in grid)
    corners = np.array(list(itertools.product(*((o, o + n - 1) for o, n in zip(origin, extent)))), dtype=np.float64)
    if positions.matrix is not None:
        assert positions.shift is not None
        reached = corners @ positions.matrix.T + positions.shift
    else:
        assert positions.zoom is not None and positions.shift is not None
        reached = (corners + positions.shift) * positions.zoom
    reached = reached + padding
    low = np.floor(np.nanmin(reached, axis=0)) - (order // 2 + 2)
    high = np.floor(np.nanmax(reached, axis=0)) + (order // 2 + 3)
    box = []
    for n, a, b in zip(grid, low, high):
        if mode in _FOLDING and (not a >= 0 or not b <= n):
            box.append((0, n))
            continue
        start = int(min(max(a, 0), n - 1)) if math.isfinite(a) else 0
        stop = int(min(max(b, start + 1), n)) if math.isfinite(b) else n
        box.append((start, stop))
    return tuple(box)


def _run_block(plan: Tuple[Any, ...], window: NDArray[Any]) -> NDArray[Any]:
    grid, box, origin, extent, stack, positions, dtype, order, mode, cval, padding, threads = plan
    block = np.empty(extent, dtype=dtype)
    moving_in, moving_out = len(grid) - stack, len(extent) - stack
    window = readable(window)
    volumes = int(np.prod(extent[:stack])) if stack else 1
    source = window.reshape((volumes,) + (1,) * (3 - moving_in) + window.shape[stack:])
    target = block.reshape((volumes,) + (1,) * (3 - moving_out) + block.shape[stack:])
    if block.size:
        _engine.spline_transform(
            source,
            target,
            moving_in,
            moving_out,
            order,
            mode_named(mode).engine_code,
            cval,
            float(padding),
            positions.matrix,
            positions.shift,
            positions.zoom,
            False,
            None,
            _padded3(tuple(b[0] for b in box[stack:]), 0),
            _padded3(grid[stack:], 1),
            _padded3(origin[stack:], 0),
            True,
            threads,
        )
    return block


def _padded3(values: Tuple[int, ...], fill: int) -> Tuple[int, int, int]:
    padded = (fill,) * (3 - len(values)) + tuple(int(v) for v in values)
    return (padded[0], padded[1], padded[2])


def _chunked_block(plan: Tuple[Any, ...], pieces: List[Any], chunks: List[Any]) -> NDArray[Any]:
    """One output block from the input chunks dask hands the task, copied into its window."""
    box = plan[1]
    window: Optional[NDArray[Any]] = None
    for piece, chunk in zip(pieces, chunks):
        values = np.asarray(chunk)
        if window is None:
            window = np.empty(tuple(b - a for a, b in box), dtype=values.dtype)
        window[piece.into] = values[piece.out_of]
    assert window is not None
    return _run_block(plan, window)


def _stored_block(plan: Tuple[Any, ...], read: Any, waited: List[Any]) -> NDArray[Any]:
    """One output block from its window, read from the store by the task itself."""
    box = plan[1]
    return _run_block(plan, np.asarray(read(tuple(slice(a, b) for a, b in box))))
