"""The CPU engine: the compiled kernel's calls on numpy arrays, one output block from a window of the input,
as :class:`voxwarpkit._backends.engines.Engine` states them."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np

from .._core.request import Counts, Request
from .._engine import prefilter as prefilter
from .._engine import resample as engine_resample
from .._engine import smooth as smooth
from .._engine import source_box as engine_source_box
from .engines import Box

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
        request.engine_interpolation,
        request.engine_edges,
        request.fill,
    )
    return engine_resample(*arguments, out, request.chain or None, request.engine_result_type, threads)


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
        request.engine_interpolation,
        request.engine_edges,
        request.chain or None,
    )


def spacings(request: Request) -> Tuple[Tuple[float, float, float], Tuple[float, float, float]]:
    """The input's and the output's spacing as the engine takes them: Python floats holding the float32 values."""
    sx, sy, sz = (float(s) for s in request.voxel_size)
    ox, oy, oz = (float(s) for s in request.output_voxel_size)
    return (sx, sy, sz), (ox, oy, oz)
