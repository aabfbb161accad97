"""``resample``: any output grid, one matrix per volume or a chain, every interpolation method, a fill value.

A numpy image is resampled here in one engine call, or, when the image or
the output holds 2**31 elements or more (more than one engine job can
count), in blocks of the output, each read from a window of the input; a
dask array goes to :mod:`voxwarpkit._lazy.resample`, one task per output block.
Every position is computed from its global output index, so the blocks give
the bits of one call.
"""

from __future__ import annotations

import itertools
import math
import sys
from typing import TYPE_CHECKING, Any, Iterator, List, NamedTuple, Optional, Sequence, overload

import numpy as np

from ._backends.engines import engine_for
from ._backends.line_passes import source_of
from ._backends.request import LIMIT, Counts, Request, checked_image, checked_request, counts, volume_range
from ._lazy.resample import checked_lazy, resample_dask
from ._lazy.windows import windows_of

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# The most elements one engine job may hold in its output block and in the
# input window it reads (the kernel's counts are 32-bit). A numpy call with
# a larger image or output runs in blocks.
JOB_LIMIT = LIMIT
# In the block path, output blocks hold at most this many elements (256 MiB
# as float32), and a window the engine copies (one not C-contiguous, aligned
# and native) at most four times that: beside the whole result, a block adds
# little memory.
BLOCK_ELEMENTS = 2**26


@overload
def resample(
    image: NDArray[Any],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: Optional[int] = None,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: None = None,
    edges: str = "clamp",
    interpolation: Optional[str] = None,
    out: Optional[NDArray[Any]] = None,
    antialias: bool = False,
    dtype: Any = None,
) -> NDArray[Any]: ...


@overload
def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: Optional[int] = None,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
    edges: str = "clamp",
    interpolation: Optional[str] = None,
    out: None = None,
    antialias: bool = False,
    scratch: Any = None,
    dtype: Any = None,
) -> Any: ...


def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: Optional[int] = None,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
    edges: str = "clamp",
    interpolation: Optional[str] = None,
    out: Optional[NDArray[Any]] = None,
    antialias: bool = False,
    scratch: Any = None,
    dtype: Any = None,
) -> Any:
    """Resample an image onto any grid through one matrix, or one per volume.

    Parameters
    ----------
    image
        A volume ``(nz, ny, nx)`` or a stack ``(nvol, nz, ny, nx)``: a numpy
        array of booleans, integers of any width (signed or not) or floats
        (float16, float32, float64), in any layout and byte order; or a dask
        array or a ``zarr.Array`` (an OME-Zarr level as zarr opens it), for
        which the result is a lazy dask array (see below).
    voxel_size
        The input's spacing ``(sx, sy, sz)``: along x (the last axis), y and
        z. Any array-like of three positive, finite numbers.
    matrix
        Maps an output voxel's physical position to the input's, as in
        :func:`voxwarpkit.transform`: 12 numbers (a row-major 3x4), a 3x4 or a
        4x4 (last row ``0 0 0 1``) for every volume; or one per volume, of
        shape ``(nvol, 12)``, ``(nvol, 3, 4)`` or ``(nvol, 4, 4)``.
    shape
        The output's ``(nz, ny, nx)``; default the input's.
    output_voxel_size
        The output's spacing ``(osx, osy, osz)``; default ``voxel_size``.
    order, interpolation
        How positions take their values, by scipy's number or by name (both
        given must agree): 1 or "linear" (the default), trilinear, with a
        float32 result; 0 or "nearest", nearest neighbour, with a result of
        the image's own element type (native byte order) whose values are the
        input's, bit for bit, so a label map keeps its labels; "label", the
        label with the largest sum of trilinear weights among the eight
        neighbours, also of the image's own type, which keeps thin
        structures of a label map that nearest sampling erodes; 3 or
        "cubic", cubic B-spline, float32; "lanczos", Lanczos
        windowed sinc of radius 3, float32.
    fill
        The value of every output position that is not sampled. It must fit
        the result's type: a whole number within range for an integer result.
    threads
        As for :func:`voxwarpkit.transform`: ``None`` uses every CPU this
        process may run on; for a dask array, the threads of each task
        (default 1). The bits do not depend on it.
    chunks
        Dask arrays only: the output's chunking (default blocks of about
        64 MiB shaped like the input's chunks, smaller where the stored
        chunks one block reads would fill half the cache of decoded chunks).
    edges
        Linear sampling's rule at the input's edges. "clamp" (the
        default): values within the data, ``fill`` wherever nearest sampling
        finds no voxel. "transform": :func:`voxwarpkit.transform`'s own rules.
    out
        Numpy images only: a C-contiguous, writeable array of the result's
        shape and type (not sharing memory with the image) that the result
        is written into, every element of it, and returned; a loop over a
        series can reuse one buffer instead of fresh memory per call.
    antialias
        Smooth the image first where the output samples it more coarsely
        than its own grid, so that detail finer than the output's spacing
        does not alias into false patterns. The smoothed image is
        float32, so every interpolation then has a float32 result; label
        sampling refuses it, as do chains with displacement fields.
    scratch
        For a ``zarr.Array`` with cubic interpolation: a folder (created if
        need be) where the B-spline coefficients are staged pass by pass in
        temporary Zarr arrays, each task reading and writing one block of
        whole lines, so that memory stays flat; remove it once the result is
        computed. None (the default): dask holds the coefficients.
    dtype
        The result's element type for linear, cubic and Lanczos sampling: any
        integer type (int8 to uint64) or float16, float32 or float64 (native
        byte order), each element made once from the blend's float64 sum.
        None (the default): float32. Nearest and label keep the
        image's type, which ``dtype`` may name but not change.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        The output, ``(nz, ny, nx)`` or ``(nvol, nz, ny, nx)`` by the image's
        rank.

    Raises
    ------
    TypeError
        When the image is not an array, or an argument is not of a usable
        kind (a non-number fill, a non-integer thread count).
    ValueError
        Naming the argument and the reason: rank, element type, shapes,
        matrix counts, a non-finite or non-positive spacing, an output axis
        below 1, an order other than 0, 1 or 3, an unknown interpolation or
        one that disagrees with ``order``, an unknown edge rule, a fill the
        result's type cannot hold, a ``dtype`` that is not an integer or
        float type or that nearest or label sampling cannot write, an image
        with one of its last three axes of 2**31 elements or more.

    Notes
    -----
    A C-contiguous, aligned image in native byte order is read where it
    lies, whatever its element type: the kernel converts each value it
    blends to float32 as it reads it, so no float copy of the image is
    made. Other layouts are copied first.

    A numpy image or output of 2**31 elements or more, past what one engine
    job counts, is resampled in blocks of the output into one result array,
    with the bits of one call.

    .. rubric:: Positions and rules

    Every position, weight, sum and rounding of each method, edge rule,
    result type and anti-aliasing is defined step by step on the numerical
    definitions page (:doc:`/definitions`), with runnable examples; this
    function follows it bit for bit on every machine, thread count and
    chunking. In brief: output index ``(z, y, x)`` sits at ``(x * osx, y *
    osy, z * osz)`` and maps through the matrix to a source index, every step
    in float32; nearest takes the nearest voxel (ties up); linear, cubic and
    Lanczos sum their terms in float64 in a fixed order and round once;
    label takes the label of the largest summed trilinear weight.

    .. rubric:: Zarr arrays

    A ``zarr.Array`` is read by the tasks themselves: each output block's
    task reads the chunks (or shards) its positions need straight from the
    store, so the graph holds one task per output block, and memory holds a
    window per running task however large the array; a cluster's workers
    open the store themselves. Cubic's coefficients need whole lines: for
    cubic, the array is read as a dask array of its chunks. Store the lazy
    result with ``result.to_zarr(url)`` (or ``dask.array.to_zarr``) into an
    array whose chunks are the result's own blocks, so that each chunk (or
    shard) has exactly one writer: two tasks writing one chunk of a sharded
    array lose data.
    """
    dask_array = sys.modules.get("dask.array")  # never imported here: a dask array means it is loaded
    if (dask_array is not None and isinstance(image, dask_array.Array)) or windows_of(image) is not None:
        if out is not None:
            raise TypeError("out applies to numpy arrays only: a dask result is stored with da.store")
        lazy, request = checked_lazy(
            image,
            voxel_size,
            matrix,
            shape=shape,
            output_voxel_size=output_voxel_size,
            order=order,
            fill=fill,
            threads=threads,
            edges=edges,
            interpolation=interpolation,
            antialias=antialias,
            dtype=dtype,
        )
        return resample_dask(lazy, request, chunks=chunks, scratch=scratch)
    if chunks is not None or scratch is not None:
        raise TypeError("chunks and scratch apply to dask and Zarr arrays only")
    array = checked_image(image)
    request = checked_request(
        array.shape,
        array.dtype,
        voxel_size,
        matrix,
        shape=shape,
        output_voxel_size=output_voxel_size,
        order=order,
        fill=fill,
        threads=threads,
        edges=edges,
        interpolation=interpolation,
        antialias=antialias,
        dtype=dtype,
    )
    stack = array if array.ndim == 4 else array[np.newaxis]
    into = None if out is None else _checked_out(out, array, request)
    stack = source_of(stack, request.interpolation, request.sigmas, request.threads)
    if stack.size > JOB_LIMIT or stack.shape[0] * math.prod(request.shape) > JOB_LIMIT:
        result = _resample_in_blocks(stack, request, into)
    else:
        grid = counts(stack.shape[1:])
        result = engine_for(stack).resample_window(
            stack, (0, 0, 0), grid, request, (0, 0, 0), request.shape, request.threads, into
        )
    if out is not None:
        return out
    return result if array.ndim == 4 else result[0]


def _checked_out(out: Any, image: NDArray[Any], request: Request) -> NDArray[Any]:
    """``out`` as the (volumes, z, y, x) array the engine writes into, or TypeError or
    ValueError when it is not an array that can take this result."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    shape = image.shape[:-3] + request.shape
    usable = out.flags.c_contiguous and out.flags.aligned and out.flags.writeable
    if out.shape != shape or out.dtype != request.result_type or not usable:
        raise ValueError(
            f"out must be a C-contiguous, aligned, writeable array of shape {shape} and type {request.result_type}, "
            f"got shape {out.shape} and type {out.dtype}"
        )
    if np.may_share_memory(out, image):
        raise ValueError("out shares memory with the image: the result would overwrite what it reads")
    return out if out.ndim == 4 else out[np.newaxis]


class _Block(NamedTuple):
    """Volumes ``first:end`` of the output, from ``origin`` over ``extent`` (z, y, x)."""

    first: int
    end: int
    origin: Counts
    extent: Counts


def _resample_in_blocks(stack: NDArray[Any], request: Request, into: Optional[NDArray[Any]]) -> NDArray[Any]:
    """The output of ``request`` for the stack ``(nvol, nz, ny, nx)``, made block by block.

    The result is allocated once and each block's result is copied into it.
    A block reads the window of the input that its source box spans: a view,
    widened to whole rows and slices when the engine can read the input in
    place, so that it is contiguous and never copied; otherwise only the box,
    which the engine copies. A block whose window would be too large is cut
    in two, until it fits (the source box of a block is what its positions read, by the method's reach).
    """
    engine = engine_for(stack)
    volumes = stack.shape[0]
    grid = counts(stack.shape[1:])
    result = np.empty((volumes,) + request.shape, dtype=request.result_type) if into is None else into
    fill = np.frombuffer(request.fill, dtype=request.result_type)
    budget = max(min(BLOCK_ELEMENTS, JOB_LIMIT), 1)
    copy_limit = max(min(4 * BLOCK_ELEMENTS, JOB_LIMIT), 8)
    native = stack.dtype == stack.dtype.newbyteorder("=")
    # The engine reads such an input where it lies, of any element type it reads, whatever the interpolation.
    in_place = stack.flags.c_contiguous and stack.flags.aligned and native
    pending: List[_Block] = []
    for tile in _tiles(volumes, request.shape, budget):
        pending.append(tile)
        while pending:
            block = pending.pop()
            (z, y, x), (ez, ey, ex) = block.origin, block.extent
            target = result[block.first : block.end, z : z + ez, y : y + ey, x : x + ex]
            block_request = volume_range(request, block.first, block.end)
            box = engine.source_box(grid, block_request, block.origin, block.extent)
            if box is None:  # no position is sampled: all fill
                target[...] = fill
                continue
            count = block.end - block.first
            (z0, z1), (y0, y1), (x0, x1) = box
            # Whole slices from z0 to z1 (all of them for several volumes) are contiguous.
            slices = (0, grid[0]) if count > 1 else (z0, z1)
            widened = count * (slices[1] - slices[0]) * grid[1] * grid[2]
            boxed = count * (z1 - z0) * (y1 - y0) * (x1 - x0)
            one_row = count == 1 and ez == 1 and ey == 1
            # One position reads at most 6 x 6 x 6 voxels (Lanczos): it cannot be cut, and its box is always small.
            one_voxel = one_row and ex == 1
            if in_place and widened <= JOB_LIMIT:
                window = stack[block.first : block.end, slices[0] : slices[1]]
                window_origin: Counts = (slices[0], 0, 0)
            elif boxed <= copy_limit and (one_row or not in_place) or one_voxel:
                # Only the box, which the engine copies: for inputs it copies anyway, and for a
                # single row whose whole slices are too large. Other blocks of an input read in
                # place are cut until their windows are views.
                window = stack[block.first : block.end, z0:z1, y0:y1, x0:x1]
                window_origin = (z0, y0, x0)
            else:
                pending.extend(_halves(block))
                continue
            target[...] = engine.resample_window(
                window, window_origin, grid, block_request, block.origin, block.extent, request.threads
            )
    return result


def _tiles(volumes: int, shape: Counts, budget: int) -> Iterator[_Block]:
    """The output cut into blocks of at most ``budget`` elements: as many whole
    volumes as fit, else runs along the outermost axis of whole inner slices,
    rows or runs of a row."""
    size = math.prod(shape)
    if size <= budget:
        step = budget // size
        for first in range(0, volumes, step):
            yield _Block(first, min(first + step, volumes), (0, 0, 0), shape)
        return
    steps = [1, 1, 1]
    inner = 1
    for axis in (2, 1, 0):
        if inner * shape[axis] > budget:
            steps[axis] = budget // inner
            break
        steps[axis] = shape[axis]
        inner *= shape[axis]
    for volume in range(volumes):
        for origin in itertools.product(*(range(0, n, step) for n, step in zip(shape, steps))):
            extent = counts([min(step, n - o) for n, step, o in zip(shape, steps, origin)])
            yield _Block(volume, volume + 1, counts(origin), extent)


def _halves(block: _Block) -> List[_Block]:
    """``block`` cut in two: between its volumes, else across its longest axis."""
    if block.end - block.first > 1:
        middle = (block.first + block.end) // 2
        return [block._replace(end=middle), block._replace(first=middle)]
    axis = max(range(3), key=lambda a: block.extent[a])
    half = block.extent[axis] // 2
    low, high = list(block.extent), list(block.origin)
    low[axis] = half
    high[axis] += half
    rest = list(block.extent)
    rest[axis] -= half
    return [block._replace(extent=counts(low)), block._replace(origin=counts(high), extent=counts(rest))]
