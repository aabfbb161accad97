"""Passes of a line filter over one axis at a time, in memory and on dask: the
cubic B-spline coefficients that cubic interpolation reads, and the Gaussian
smoothing of anti-aliasing.

The engine filters lines of float32 values in place, each line alone and in
float64, rounded once to float32; so a pass depends on nothing but its
input, whether made in one call or chunk by chunk over chunks that hold whole
lines. The Gaussian reaches no further than its radius, so its lazy passes
need no whole lines: each chunk is filtered with the radius of its
neighbours on either side of it (overlap) and keeps its own part, which has
the bits of the whole line's.
"""

from __future__ import annotations

import importlib
import math
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

import numpy as np

from .._core.antialias import Sigmas
from .._core.methods import Prefilter, method_named
from .engines import engine_for

if TYPE_CHECKING:
    from numpy.typing import NDArray

# One pass: the engine axis of a (volumes, z, y, x) stack it runs along (3 x,
# 2 y, 1 z) and the Gaussian's sigma in voxels, or None for the B-spline prefilter.
Pass = Tuple[int, Optional[float]]

# Chunks of the lazy passes hold whole lines of one axis and about this many bytes.
_PASS_BYTES = 64 * 2**20


def source_of(stack: NDArray[Any], interpolation: str, sigmas: Optional[Sigmas], threads: int) -> NDArray[Any]:
    """What the kernel reads of the stack ``(volumes, z, y, x)``: the stack itself, or
    its float32 copy smoothed by anti-aliasing (``sigmas``: one triple, or one per
    volume) and for cubic made into B-spline coefficients."""
    groups = pass_groups(stack.shape[0], interpolation, sigmas)
    if groups is None:
        return stack
    if len(groups) == 1:
        return filtered(stack, groups[0][2], threads)
    return np.concatenate([filtered(stack[first:end], passes, threads) for first, end, passes in groups])


def lazy_source_of(image: Any, interpolation: str, sigmas: Optional[Sigmas]) -> Any:
    """:func:`source_of` for the dask array ``image`` (3-D or 4-D), lazily."""
    groups = pass_groups(image.shape[0] if image.ndim == 4 else 1, interpolation, sigmas)
    if groups is None:
        return image
    if len(groups) == 1:
        return lazy_filtered(image, groups[0][2])
    da = importlib.import_module("dask.array")
    return da.concatenate([lazy_filtered(image[first:end], passes) for first, end, passes in groups])


def pass_groups(
    volumes: int, interpolation: str, sigmas: Optional[Sigmas]
) -> Optional[List[Tuple[int, int, List[Pass]]]]:
    """Runs of volumes ``first:end`` that take the same passes, or None when no volume takes any."""
    last = prefilter_passes(method_named(interpolation).prefilter)
    if sigmas is None:
        return [(0, volumes, last)] if last else None
    if len(sigmas) == 1 or len(set(sigmas)) == 1:
        return [(0, volumes, smoothing_passes(sigmas[0]) + last)]
    groups: List[Tuple[int, int, List[Pass]]] = []
    for volume, triple in enumerate(sigmas):
        if groups and sigmas[groups[-1][0]] == triple:
            groups[-1] = (groups[-1][0], volume + 1, groups[-1][2])
        else:
            groups.append((volume, volume + 1, smoothing_passes(triple) + last))
    return groups


def prefilter_passes(prefilter: Optional[Prefilter]) -> List[Pass]:
    """The passes of a method's prefilter, made after any smoothing: none without one."""
    return bspline_passes() if prefilter == "bspline" else []


def bspline_passes() -> List[Pass]:
    """The passes that turn values into cubic B-spline coefficients: x, then y, then z."""
    return [(3, None), (2, None), (1, None)]


def smoothing_passes(sigmas: Sequence[float]) -> List[Pass]:
    """Gaussian passes of ``sigmas`` (along x, y, z, in voxels): x, then y, then z,
    leaving out the axes of sigma 0."""
    return [(axis, float(sigma)) for axis, sigma in zip((3, 2, 1), sigmas) if sigma > 0]


def filtered(stack: NDArray[Any], passes: Sequence[Pass], threads: int) -> NDArray[np.float32]:
    """The stack ``(volumes, z, y, x)`` as float32 (each value rounded once, as every
    blend converts them), a copy, through ``passes`` in order."""
    with np.errstate(over="ignore", invalid="ignore"):  # rounded as every blend rounds, silently
        values = np.array(stack, dtype=np.float32, order="C")  # always a copy: it is overwritten
    filter_in_place(values, passes, threads)
    return values


def filter_in_place(values: NDArray[np.float32], passes: Sequence[Pass], threads: int) -> None:
    """Run ``passes`` in order over the C-contiguous float32 stack ``values`` (volumes, z, y, x)."""
    for axis, sigma in passes:
        _run(values, axis, sigma, threads)


def lazy_filtered(image: Any, passes: Sequence[Pass]) -> Any:
    """The dask array ``image`` (3-D or 4-D) as float32 through ``passes``, as a lazy
    array: the prefilter's passes over chunks that hold whole lines of their
    axis, the Gaussian's over the image's own chunks with an overlap of its radius."""
    da = importlib.import_module("dask.array")
    rank = image.ndim
    if 0 in image.shape or not passes:
        return image.astype(np.float32)  # no lines to filter
    values = image  # made float32 by the first pass, chunk by chunk
    meta = np.empty((0,) * rank, np.float32)
    for axis, sigma in passes:
        along = axis - 4 + rank  # the image's own axis
        if sigma is not None and gaussian_radius(sigma) < values.shape[along] - 1 and len(values.chunks[along]) > 1:
            values = _overlapped_pass(values, along, axis, sigma, gaussian_radius(sigma))
            continue
        values = values.rechunk({a: (-1 if a == along else "auto") for a in range(rank)}, block_size_limit=_PASS_BYTES)
        values = da.map_blocks(filtered_lines, values, axis=axis, sigma=sigma, dtype=np.float32, meta=meta)
    return values


def _overlapped_pass(values: Any, along: int, axis: int, sigma: float, radius: int) -> Any:
    """One Gaussian pass along the image's axis ``along`` whose chunks each read ``radius``
    values of their neighbours: away from the image's ends a kept value reaches no
    further than that, and at an end the window's mirror is the line's own."""
    da = importlib.import_module("dask.array")
    overlap = importlib.import_module("dask.array.overlap")
    if min(values.chunks[along]) < radius:  # a neighbour must hold the whole reach
        chunks = list(values.chunks)
        chunks[along] = overlap.ensure_minimum_chunksize(radius, values.chunks[along])
        values = values.rechunk(tuple(chunks))
    kept = values.chunks[along]
    windows = overlap.overlap(values, depth={along: radius}, boundary={along: "none"})
    meta = np.empty((0,) * values.ndim, np.float32)

    def filtered_window(window: NDArray[Any], block_id: Tuple[int, ...]) -> NDArray[np.float32]:
        index = block_id[along]
        start = 0 if index == 0 else radius  # the first chunk has no neighbour before it
        part = filtered_lines(window, axis, sigma)
        cut = [slice(None)] * part.ndim
        cut[along] = slice(start, start + kept[index])
        return np.ascontiguousarray(part[tuple(cut)])

    return da.map_blocks(filtered_window, windows, chunks=values.chunks, dtype=np.float32, meta=meta)


def gaussian_radius(sigma: float) -> int:
    """How many voxels the Gaussian of ``sigma`` reaches on either side: ceil(4 sigma), 0 for none."""
    return math.ceil(4.0 * sigma) if sigma > 0 else 0


def _run(values: NDArray[np.float32], axis: int, sigma: Optional[float], threads: int) -> None:
    if sigma is None:
        engine_for(values).prefilter(values, axis, threads)
    else:
        engine_for(values).smooth(values, axis, sigma, threads)


def filtered_lines(block: NDArray[Any], axis: int, sigma: Optional[float]) -> NDArray[np.float32]:
    """A block that holds whole lines along ``axis`` (engine axis of a (volumes, z, y, x) stack),
    as float32 filtered along it, in a new array."""
    with np.errstate(over="ignore", invalid="ignore"):
        values = np.array(block, dtype=np.float32, order="C")
    _run(values.reshape((-1,) + values.shape[-3:]), axis, sigma, 1)
    return values
