"""``pyramid_of``: the levels of a multiscale pyramid, each made from the one before it.

The levels' grids and the methods they are made by are :mod:`voxwarpkit._core.levels`'s (whose
rules its opening states); here each level's values are made, in memory or lazily, in blocks.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

import numpy as np

from ._core.levels import (
    LEVEL_METHODS,
    Level,
    check_level_method,
    coarser,
    level_matrix,
    level_method,
    pyramid_levels,
)
from ._core.methods import blends
from ._lazy.windows import Windows, as_dask, in_whole_chunks

if TYPE_CHECKING:
    from numpy.typing import NDArray  # numpy 1.20 or later; the package runs on 1.19

__all__ = [
    "LEVEL_METHODS",
    "Level",
    "as_float32",
    "check_level_method",
    "coarser",
    "first_level",
    "level_matrix",
    "level_method",
    "next_level",
    "pyramid_levels",
    "pyramid_of",
]


def pyramid_of(
    image: Any,
    voxel_size: Sequence[float],
    *,
    origin: Sequence[float] = (0.0, 0.0, 0.0),
    levels: Optional[int] = None,
    chunks: Sequence[int] = (64, 64, 64),
    threads: Optional[int] = None,
    interpolation: str = "linear",
) -> List[Tuple[Level, Any]]:
    """The pyramid of ``image`` ((t,) z, y, x; voxel size (sx, sy, sz), voxel 0 at ``origin``):
    a (grid, values) pair per level, the grids of :func:`pyramid_levels`.

    With ``interpolation`` "linear", level 0 is the image as float32 and each
    next level is the one before it anti-aliased and resampled linearly onto
    its grid, as ``resample(..., antialias=True)`` does. With "nearest" or
    "label" (for label maps) every level keeps the image's element type, level
    0 is the image and each next level the one before it resampled by that
    interpolation, unsmoothed. A numpy image gives numpy levels, each made in
    memory from the one before on ``threads`` threads; a dask array gives lazy
    dask arrays in blocks ``chunks`` (z, y, x), with the same bits. Level 0 of
    a float32 numpy image is the image itself. Raises ValueError for an image
    resample cannot read, an unknown interpolation and bad sizes or chunks.
    """
    from ._backends.request import check_image_type  # here: the grids above need no engine

    check_image_type(image.ndim, np.dtype(image.dtype))
    method = check_level_method(interpolation)
    grids = pyramid_levels(image.shape[-3:], voxel_size, origin, levels=levels, chunks=chunks)
    lead = (1,) * (image.ndim - 3)
    blocks = [lead + tuple(min(c, n) for c, n in zip(chunks, level.shape)) for level in grids]
    lazy = not isinstance(image, np.ndarray)
    result = [(grids[0], first_level(image, method, blocks[0] if lazy else None))]
    for finer, level, block in zip(grids, grids[1:], blocks[1:]):
        result.append((level, next_level(result[-1][1], finer, level, block if lazy else None, threads, method)))
    return result


def first_level(values: Any, method: str, chunks: Any = None) -> Any:
    """Level 0 of a pyramid made by ``method``: the image as float32 for linear levels, else the
    image itself; a dask array lazily, in blocks ``chunks``."""
    if isinstance(values, Windows):
        whole = None if chunks is None else in_whole_chunks(values, chunks)
        if whole is not None:  # blocks of whole stored chunks: each block's task reads its own window
            values, chunks = whole, None
        # Else read in the chunks it is stored in, each once, then cut into the level's blocks: a
        # chunk is held only until the blocks cut from it, its neighbours in the graph, are made.
        values = as_dask(values)
    if blends(method):
        return as_float32(values, chunks)
    return values if chunks is None else values.rechunk(chunks)


def as_float32(values: Any, chunks: Any = None) -> Any:
    """``values`` as float32, each value rounded once as every blend rounds it, silently; a
    dask array lazily, in blocks ``chunks`` (None: its own)."""
    if not hasattr(values, "map_blocks"):
        return _float32_block(values)
    meta = np.empty((0,) * values.ndim, np.float32)
    values = values.map_blocks(_float32_block, dtype=np.float32, meta=meta)
    return values if chunks is None else values.rechunk(chunks)


def _float32_block(block: Any) -> NDArray[np.float32]:
    with np.errstate(over="ignore", invalid="ignore"):
        return np.asarray(block, dtype=np.float32)


def next_level(
    finer_values: Any,
    finer: Level,
    level: Level,
    chunks: Any = None,
    threads: Optional[int] = None,
    method: str = "linear",
) -> Any:
    """Level ``level`` made from the values of the level ``finer`` before it by ``method``: linear,
    anti-aliased, in the values' type (float32 in a pyramid of float32 levels, or the type a
    resampled level 0 was written in); nearest or label, unsmoothed, in the values' type;
    ``chunks`` for a dask array."""
    from ._resample import resample  # here: the grids above need no engine

    matrix = level_matrix(level, finer)
    return resample(
        finer_values,
        finer.spacing,
        matrix,
        shape=level.shape,
        output_voxel_size=level.spacing,
        interpolation=method,
        antialias=blends(method),
        threads=threads,
        dtype=finer_values.dtype if blends(method) else None,
        **({} if chunks is None else {"chunks": chunks}),
    )
