"""The grids of a multiscale pyramid: each level coarser by 2 along the axes that are not coarser than the finest.

Level 0 is the image's own grid. Level k + 1 halves the sampling of level k
along every axis whose spacing is not coarser than level k's finest spacing
(within 1e-6 of it): an anisotropic stack, z at 4 um and x, y at 1 um,
halves x and y until they reach z's spacing, then all three. A halved axis
of n voxels has ceil(n / 2), so the level covers the whole image, with voxel
0's centre halfway between the centres of voxels 0 and 1 of the level
before: its translation moves by half the finer spacing. Positions are
physical, (x, y, z); shapes are (z, y, x).

A level is made from the one before it by one of ``LEVEL_METHODS``: "linear"
smooths it first (anti-aliasing) and stores float32, as images want; "nearest"
and "label" copy elements without smoothing, so a label map keeps its type and
no level holds a value that is not one of its labels ("label" takes, per voxel,
the label of largest trilinear weight).
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .methods import blends

if TYPE_CHECKING:
    from numpy.typing import NDArray  # numpy 1.20 or later; the package runs on 1.19

Three = Tuple[float, float, float]

# How a level is made from the one before it, and what OME-Zarr's multiscales call that method.
LEVEL_METHODS = {"linear": "gaussian", "nearest": "nearest", "label": "label"}


def level_method(interpolation: str) -> str:
    """The method a pyramid's levels are made with after an image resampled by ``interpolation``:
    a method that copies elements keeps copying them; every blend gives smoothed linear levels."""
    return "linear" if blends(interpolation) else interpolation


def check_level_method(method: Any) -> str:
    """``method`` if it is one of LEVEL_METHODS, else ValueError."""
    if not isinstance(method, str) or method not in LEVEL_METHODS:
        names = ", ".join(map(repr, LEVEL_METHODS))
        raise ValueError(f"a pyramid's interpolation must be one of {names}, got {method!r}")
    return method


class Level(NamedTuple):
    """One level's grid: voxel (i, j, k) of it sits at ``translation + (i, j, k) * spacing``."""

    shape: Tuple[int, int, int]  # (z, y, x)
    spacing: Three  # (sx, sy, sz)
    translation: Three  # (x, y, z): the centre of voxel 0


def pyramid_levels(
    shape: Sequence[int],
    spacing: Sequence[float],
    translation: Sequence[float] = (0.0, 0.0, 0.0),
    *,
    levels: Optional[int] = None,
    chunks: Sequence[int] = (64, 64, 64),
) -> List[Level]:
    """The levels of the pyramid of an image of ``shape`` (z, y, x) and ``spacing`` (x, y, z).

    ``levels`` levels in all (level 0 included), or fewer once every axis
    is down to one voxel. None: until the first level whose extent along some
    axis fits in one chunk of ``chunks`` (z, y, x), the block each level is
    stored in.
    """
    if levels is not None and (isinstance(levels, bool) or not isinstance(levels, int) or levels < 1):
        raise ValueError(f"levels must be a whole number of at least 1, got {levels!r}")
    z, y, x = (int(n) for n in shape)
    current = Level((z, y, x), _three(spacing), _three(translation))
    if not all(math.isfinite(s) and s > 0 for s in current.spacing):
        raise ValueError(f"voxel_size must be three positive, finite numbers, got {tuple(spacing)!r}")
    if not all(math.isfinite(t) for t in current.translation):
        raise ValueError(f"origin must be three finite numbers, got {tuple(translation)!r}")
    if len(chunks) != 3 or not all(isinstance(c, (int, np.integer)) and c >= 1 for c in chunks):
        raise ValueError(f"chunks must be three whole numbers of at least 1 (z, y, x), got {tuple(chunks)!r}")
    result = [current]
    while _wants_another(current, len(result), levels, chunks):
        current = coarser(current)
        result.append(current)
    return result


def coarser(level: Level) -> Level:
    """The next level: sampling halved along each axis not coarser than the finest."""
    finest = min(level.spacing)
    halved = [s <= finest * (1 + 1e-6) for s in level.spacing]  # (x, y, z)
    shape = [math.ceil(n / 2) if h else n for n, h in zip(level.shape[::-1], halved)]
    spacing = [2 * s if h else s for s, h in zip(level.spacing, halved)]
    translation = [t + s / 2 if h else t for t, s, h in zip(level.translation, level.spacing, halved)]
    return Level((shape[2], shape[1], shape[0]), _three(spacing), _three(translation))


def level_matrix(level: Level, finest: Level) -> NDArray[np.float64]:
    """The output -> input matrix (3x4, physical) that resamples the level ``finest`` onto ``level``:
    positions are measured from each grid's voxel 0, so it is a translation by the difference."""
    matrix: NDArray[np.float64] = np.eye(3, 4)
    matrix[:, 3] = np.subtract(level.translation, finest.translation)
    return matrix


def _wants_another(level: Level, count: int, levels: Optional[int], chunks: Sequence[int]) -> bool:
    """Whether a level follows ``level``, the ``count``-th: up to ``levels`` while some axis
    has voxels to halve; without a count, until some axis fits in one chunk."""
    if levels is not None:
        return count < levels and max(level.shape) > 1
    return not _fits_one_chunk(level.shape, chunks) and max(level.shape) > 1


def _fits_one_chunk(shape: Tuple[int, int, int], chunks: Sequence[int]) -> bool:
    return any(n <= c for n, c in zip(shape, chunks))


def _three(values: Sequence[float]) -> Three:
    a, b, c = (float(v) for v in values)
    return (a, b, c)
