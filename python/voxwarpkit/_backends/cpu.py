"""The CPU engine: the compiled kernel's calls on numpy arrays, as :class:`voxwarpkit._backends.engines.Engine`
states them: an output block from a window of the input, the filter passes, and fusion's weights and means."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np

from .._engine import blend_tile as engine_blend_tile
from .._engine import blend_tile_at as engine_blend_tile_at
from .._engine import chain_positions as engine_chain_positions
from .._engine import finish_blend as engine_finish_blend
from .._engine import prefilter as prefilter
from .._engine import resample as engine_resample
from .._engine import smooth as smooth
from .._engine import source_box as engine_source_box
from .._engine import tile_cover as tile_cover
from .bspline_fields import field_ready, slab_request, slabs
from .chain_positions import ChainFrame
from .codes import BLENDING_CODES, EDGE_RULE_CODES, METHOD_CODES, result_type_code
from .engines import Box
from .request import Counts, Request

if TYPE_CHECKING:
    from numpy.typing import NDArray


def resample_window(
    window: NDArray[Any],
    window_origin: Counts,
    grid: Counts,
    request: Request,
    block_origin: Counts,
    block_shape: Counts,
    threads: int,
    out: Optional[NDArray[Any]] = None,
) -> NDArray[Any]:
    """The output block ``block_shape`` at global index ``block_origin`` of ``request``.

    ``window`` is ``(nvol, nz, ny, nx)``: the part of the input grid of
    extent ``grid`` from ``window_origin`` (all counts ``(z, y, x)``). It must
    hold every voxel the block reads (:func:`source_box` tells which), or the
    engine refuses it with ValueError. ``out``, when given, is the
    C-contiguous ``(nvol, *block_shape)`` array of the result's type that the
    block is written into, and returned.
    """
    source = window
    if request.copies_elements:
        # Elements are copied as bits, so the engine reads them as they lie:
        # contiguous, aligned and in the machine's byte order.
        native = source.dtype.newbyteorder("=")
        if source.dtype != native or not (source.flags.c_contiguous and source.flags.aligned):
            source = np.ascontiguousarray(source, dtype=native)
            if not source.flags.aligned:
                source = source.copy()
    if field_ready(request, block_origin, block_shape):
        return _through_fields(source, window_origin, grid, request, block_origin, block_shape, threads, out)
    source_spacing, target_spacing = spacings(request)
    arguments = (
        source,
        window_origin,
        grid,
        source_spacing,
        request.matrices,
        block_shape,
        block_origin,
        target_spacing,
        METHOD_CODES[request.interpolation],
        EDGE_RULE_CODES[request.edges],
        request.fill,
    )
    return engine_resample(*arguments, out, request.chain or None, result_code(request), threads)


def _through_fields(
    source: NDArray[Any],
    window_origin: Counts,
    grid: Counts,
    request: Request,
    block_origin: Counts,
    block_shape: Counts,
    threads: int,
    out: Optional[NDArray[Any]],
) -> NDArray[Any]:
    """The block made slab by slab, each slab's leading B-spline step as a field on its own grid."""
    result = np.empty((source.shape[0], *block_shape), dtype=request.result_type) if out is None else out
    z0, y0, x0 = block_origin
    for first, end in slabs(block_origin, block_shape):
        origin, shape = (z0 + first, y0, x0), (end - first, block_shape[1], block_shape[2])
        slab = slab_request(request, origin, shape)
        result[:, first:end] = resample_window(source, window_origin, grid, slab, origin, shape, threads)
    return result


def source_box(grid: Counts, request: Request, block_origin: Counts, block_shape: Counts) -> Optional[Box]:
    """The input voxels an output block reads, as half-open ``(start, stop)``
    ranges along z, y and x, or None when it reads none. Found with the exact
    float32 arithmetic of the kernel, so it is never too small."""
    source_spacing, target_spacing = spacings(request)
    return engine_source_box(
        grid,
        source_spacing,
        request.matrices,
        block_shape,
        block_origin,
        target_spacing,
        METHOD_CODES[request.interpolation],
        EDGE_RULE_CODES[request.edges],
        request.chain or None,
    )


def result_code(request: Request) -> Optional[int]:
    """The engine's code of a blend's result type, or None for float32 and for nearest and label,
    which write the image's own type."""
    if request.copies_elements or request.result_type == np.float32:
        return None
    return result_type_code(request.result_type)


def spacings(request: Request) -> Tuple[Tuple[float, float, float], Tuple[float, float, float]]:
    """The input's and the output's spacing as the engine takes them: Python floats holding the float32 values."""
    sx, sy, sz = (float(s) for s in request.voxel_size)
    ox, oy, oz = (float(s) for s in request.output_voxel_size)
    return (sx, sy, sz), (ox, oy, oz)


def blend_tile(
    sums: NDArray[np.float64],
    weights: NDArray[np.float64],
    values: NDArray[np.float64],
    origin: Counts,
    values_at: Counts,
    index_matrix: Tuple[float, ...],
    grid: Counts,
    scale: Tuple[float, float, float],
    blending: str,
) -> None:
    """A tile's weighted values added into a block's sums and weights (see the Engine protocol)."""
    code = BLENDING_CODES[blending]
    engine_blend_tile(sums, weights, values, origin, values_at, index_matrix, grid, scale, code)


def blend_tile_at(
    sums: NDArray[np.float64],
    weights: NDArray[np.float64],
    values: NDArray[np.float64],
    values_at: Counts,
    positions: NDArray[np.float64],
    grid: Counts,
    scale: Tuple[float, float, float],
    blending: str,
) -> None:
    """As blend_tile, through the tile index of each voxel of the values' box."""
    engine_blend_tile_at(sums, weights, values, values_at, positions, grid, scale, BLENDING_CODES[blending])


def chain_positions(frame: ChainFrame, origin: Counts, shape: Counts) -> NDArray[np.float64]:
    """The tile index (x, y, z) as (3, z, y, x) of the output box ``shape`` at global index ``origin`` (z, y, x)."""
    positions = np.empty((3, *shape), dtype=np.float64)
    engine_chain_positions(positions, frame.steps, origin, frame.output_spacing, frame.spacing)
    return positions


def finish_blend(
    sums: NDArray[np.float64], weights: NDArray[np.float64], result: NDArray[Any], fill: bytes, blending: str
) -> None:
    """Each voxel's mean, or maximum, written into ``result`` in its type."""
    engine_finish_blend(sums, weights, result, fill, result_type_code(result.dtype), blending == "max")
