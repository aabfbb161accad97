"""A resampled image and the next level of its pyramid, made by the same tasks.

A level-1 block reads the level-0 blocks under it and, for its smoothing and
sampling, a few voxels around them. Made as two arrays, each level-0 block
would wait in memory until every level-1 block that reads it had run, and a
large image would be held nearly whole. Here one task per level-1 block
resamples the input onto one window of level 0 (the level-0 blocks under the
level-1 block, grown by what it reads beyond them), hands those blocks on to
be written, and makes the level-1 block from the window: level 0 is held one
window per running task. Positions come from global indices, so a window has
the values of level 0 made in any blocks, and both levels have the bits of the
two calls one after the other; only the margins are resampled twice, by
neighbouring tasks.
"""

from __future__ import annotations

import functools
import itertools
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Sequence, Tuple

import numpy as np

from .._backends.engines import Box, cpu_engine, engine_for
from .._backends.line_passes import filter_in_place, smoothing_passes
from .._backends.request import Counts, Request, checked_request, counts, volume_range
from .._core.levels import Level, level_matrix
from .._core.methods import blends
from .graphs import array_of, token_of
from .resample import (
    BlockPlan,
    block_plan,
    checked_lazy,
    filled_block,
    parts_of,
    prepared,
    reach_of,
    resample_block,
    source_collections,
)

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


def resample_and_next_level(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    finer: Level,
    coarser: Level,
    block: Sequence[int],
    method: str = "linear",
    **options: Any,
) -> Tuple[Any, Any]:
    """Two lazy arrays: ``resample(image, voxel_size, matrix, shape=finer.shape,
    output_voxel_size=finer.spacing, **options)`` (level 0) and that resampled onto the
    pyramid level ``coarser`` as ``resample(level 0, finer.spacing, level_matrix(coarser,
    finer), shape=coarser.shape, output_voxel_size=coarser.spacing, interpolation=method,
    antialias=blends(method))`` does: float32 for linear levels, else level 0's own type;
    with ``dtype`` in ``options``, both levels in level 0's type (level 1 smoothed from its
    values as float32). Both come in blocks ``block`` (z, y, x), one volume each for a 4-D image."""
    scratch = options.pop("scratch", None)
    checked, request0 = checked_lazy(
        image, voxel_size, matrix, shape=finer.shape, output_voxel_size=finer.spacing, **options
    )
    source, reach0 = prepared(checked, request0, scratch)
    stack = image.ndim == 4
    lead = (image.shape[0],) if stack else ()
    smooths = blends(method)
    # Linear levels smooth level 0 as float32; the others copy its elements as they are.
    level_type = np.dtype(np.float32) if smooths else request0.result_type
    request1 = checked_request(
        lead + finer.shape,
        level_type,
        finer.spacing,
        level_matrix(coarser, finer),
        shape=coarser.shape,
        output_voxel_size=coarser.spacing,
        fill=0.0,
        threads=1,
        interpolation=method,
        antialias=smooths,
        dtype=request0.result_type if smooths and options.get("dtype") is not None else None,
    )
    reach1 = reach_of(request1) if smooths else (0, 0, 0)
    # Along a halved axis level-1 block j lies over level-0 blocks 2j and 2j + 1.
    factors = counts([2 if c != f else 1 for c, f in zip(coarser.spacing[::-1], finer.spacing[::-1])])
    block3 = counts([int(b) for b in block])
    chunks0, chunks1 = _regular(lead, finer.shape, block3), _regular(lead, coarser.shape, block3)

    token = token_of(source.name, request0, request1, block3)
    name_pairs, name0, name1 = (f"voxwarpkit-{what}-{token}" for what in ("level-pair", "level-0", "level-1"))
    pairs: Dict[Any, Any] = {}
    for index in itertools.product(*(range(len(axis)) for axis in chunks1)):
        volume = index[0] if stack else 0
        origin1 = counts([c * i for c, i in zip(block3, index[-3:])])
        extent1 = counts([min(c, n - o) for c, n, o in zip(block3, coarser.shape, origin1)])
        under = _under(origin1, extent1, factors, finer.shape)
        level1_request = volume_range(request1, volume, volume + 1)
        window = _union(
            under, cpu_engine().source_box(finer.shape, level1_request, origin1, extent1), reach1, finer.shape
        )
        plan = block_plan(
            source, request0, reach0, (volume, volume + 1), counts([a for a, _ in window]), _extent(window)
        )
        parts, inputs = parts_of(source, plan) if plan.pieces else (None, [])
        pair = _Pair(
            plan,
            parts,
            request0,
            source.ndim,
            source.dtype.newbyteorder("="),
            level_type,
            under,
            finer.shape,
            level1_request,
            origin1,
            extent1,
        )
        task = functools.partial(_pair, pair)
        pairs[(name_pairs,) + index] = (task, inputs)

    level0: Dict[Any, Any] = {}
    for index in itertools.product(*(range(len(axis)) for axis in chunks0)):
        parent = index[:-3] + tuple(i // f for i, f in zip(index[-3:], factors))
        # Where the block lies in its parent's level-0 blocks, which start at the parent's origin times the factor.
        part = tuple(
            slice(c * (i - p * f), c * (i - p * f) + axis[i])
            for c, i, p, f, axis in zip(block3, index[-3:], parent[-3:], factors, chunks0[-3:])
        )
        level0[(name0,) + index] = (_first_part, (name_pairs,) + parent, (slice(None),) * len(lead) + part)
    level1 = {(name1,) + key[1:]: (_second, key) for key in pairs}

    sources = source_collections(source)
    return (
        array_of(name0, {**pairs, **level0}, chunks0, request0.result_type, sources),
        array_of(name1, {**pairs, **level1}, chunks1, request1.result_type, sources),
    )


def _regular(lead: Tuple[int, ...], shape: Counts, block: Counts) -> Tuple[Tuple[int, ...], ...]:
    """The chunks of blocks ``block`` over ``shape`` (z, y, x), the last cut short; one volume per block."""
    spatial = tuple(tuple(min(b, n - start) for start in range(0, n, b)) for n, b in zip(shape, block))
    return tuple((1,) * n for n in lead) + spatial


def _under(origin: Counts, extent: Counts, factors: Counts, shape: Counts) -> Box:
    """The level-0 voxels under a level-1 block, as (start, stop) along z, y, x."""
    z, y, x = ((o * f, min((o + e) * f, n)) for o, e, f, n in zip(origin, extent, factors, shape))
    return (z, y, x)


def _union(under: Box, read: Any, reach: Counts, shape: Counts) -> Box:
    """The smallest box holding ``under`` and what the level-1 block reads (``read``, or None
    when it reads nothing), grown by the smoothing's ``reach`` within the grid."""
    if read is None:
        return under
    z, y, x = (
        (min(u0, max(0, r0 - g)), max(u1, min(n, r1 + g)))
        for (u0, u1), (r0, r1), g, n in zip(under, read, reach, shape)
    )
    return (z, y, x)


def _extent(box: Box) -> Counts:
    return counts([stop - start for start, stop in box])


class _Pair(NamedTuple):
    """What one task of the two levels makes its level-0 window and its level-1 block from."""

    plan: BlockPlan  # the level-0 window's, from the input
    parts: Any  # where the input's pieces of it come from
    request0: Request
    rank: int  # the input's
    source_type: np.dtype[Any]
    level_type: np.dtype[Any]  # what level 1 reads level 0 as
    under: Box  # the level-0 blocks under the level-1 block
    grid0: Counts
    request1: Request
    origin1: Counts
    extent1: Counts


def _pair(pair: _Pair, chunks: List[Any]) -> Tuple[NDArray[Any], NDArray[Any]]:
    """Level 0 (of grid ``grid0``) over the task's window, then (the level-0 blocks ``under``
    the level-1 block, the level-1 block), each in its request's result type; level 1 reads
    level 0 as ``level_type``."""
    plan, parts, request0, rank, source_type, level_type, under, grid0, request1, origin1, extent1 = pair
    if plan.pieces:
        window = resample_block(plan, parts, source_type, 1, chunks)
        window = window if rank == 4 else window[np.newaxis]
    else:  # the window reads nothing: it is all fill
        window = filled_block(plan.window_shape[:1] + plan.block_shape, request0.fill, request0.result_type)
    origin = plan.block_origin
    under_block = (slice(None),) + tuple(slice(a - o, b - o) for (a, b), o in zip(under, origin))
    blocks = np.array(window[under_block], dtype=request0.result_type)
    with np.errstate(over="ignore", invalid="ignore"):  # rounded as every blend rounds, silently
        values = np.ascontiguousarray(window, dtype=level_type)
    if request1.sigmas is not None:
        assert len(request1.sigmas) == 1  # one volume, one level matrix
        filter_in_place(values, smoothing_passes(request1.sigmas[0]), 1)  # the window is this task's own
    level1 = engine_for(values).resample_window(values, origin, grid0, request1, origin1, extent1, 1)
    return (blocks, level1) if rank == 4 else (blocks[0], level1[0])


def _first_part(pair: Tuple[NDArray[Any], NDArray[Any]], part: Tuple[slice, ...]) -> NDArray[Any]:
    return np.ascontiguousarray(pair[0][part])


def _second(pair: Tuple[NDArray[Any], NDArray[Any]]) -> NDArray[Any]:
    return pair[1]
