"""Grid maths on plain numpy data: voxel grids, output grids, world-to-index maps, fitted grids, and
world-space steps folded into the kernel's chain.

A grid is a shape ``(ni, nj, nk)``, a voxel-to-world affine and a voxel size
along ``(i, j, k)``. The kernel sees the data with its axes reversed,
``data.T``, so that ``x = i``, ``y = j`` and ``z = k``, and positions in
physical units: index times that grid's voxel size. A world step is a stack
``(n, 4, 4)`` of world matrices (n = 1 for every volume, or one per volume)
or a :class:`Field` or :class:`BSpline` laid out in its own frame.
"""

from __future__ import annotations

import itertools
import math
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ..bspline import WARPS, BSpline
from ..field import Field
from .affine import affine4, affines, inverse4, is_single, twelve
from .words import counted

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

WorldStep = Union["NDArray[np.float64]", Field, BSpline]

# voxel_size alone: an output axis that overshoots the input's extent by less
# than this many voxels is rounding in the voxel sizes, not a voxel to add.
_COVER_TOLERANCE = 1e-3
# An index map this close to the identity (in voxels) is the identity: what
# inverting an affine and multiplying it back leaves is rounding, not a shift.
_IDENTITY_TOLERANCE = 1e-9
# An extent that overshoots a whole number of voxels by less than this (in
# output voxels) is rounding in the matrix, not a voxel to add.
_FIT_TOLERANCE = 1e-6


class Grid(NamedTuple):
    """A voxel grid: ``shape`` ``(ni, nj, nk)``, ``affine`` voxel ``(i, j, k)``
    -> world as a 4x4 float64, ``zooms`` the voxel size along ``(i, j, k)``."""

    shape: Tuple[int, int, int]
    affine: NDArray[np.float64]
    zooms: Tuple[float, float, float]


def checked_grid(shape: Sequence[int], affine: ArrayLike, zooms: Sequence[float], name: str) -> Grid:
    """A Grid, or ValueError naming ``name`` for an empty axis, an affine that is
    not one or a voxel size that is not positive."""
    counts = tuple(int(n) for n in shape[:3])
    if len(counts) != 3 or min(counts) < 1:
        raise ValueError(f"{name} has a grid of shape {_shown(counts)}: every axis needs a voxel")
    sizes = tuple(float(z) for z in zooms[:3])
    if len(sizes) != 3 or not all(math.isfinite(z) and z > 0 for z in sizes):
        raise ValueError(f"{name} has voxel size {list(sizes)}; it must be 3 positive numbers")
    to_world = affine4(affine, f"{name}'s affine")
    return Grid((counts[0], counts[1], counts[2]), to_world, (sizes[0], sizes[1], sizes[2]))


def output_grid(
    source: Grid,
    voxel_size: Optional[ArrayLike] = None,
    shape: Optional[Sequence[int]] = None,
) -> Grid:
    """The source's grid with another voxel size and/or shape.

    The voxel axes keep their directions and voxel (0, 0, 0) its world
    position; they are scaled by ``voxel_size / source.zooms``. Without
    ``shape`` and with ``voxel_size``, each axis gets the fewest voxels that
    cover the source's extent: ``ceil(n * zoom / voxel_size)``.
    """
    zooms = source.zooms
    affine = source.affine.copy()
    if voxel_size is not None:
        sizes = np.asarray(voxel_size, dtype=np.float64).ravel()
        if sizes.shape != (3,) or not np.all(np.isfinite(sizes) & (sizes > 0)):
            raise ValueError(f"voxel_size must be 3 positive numbers (i, j, k), got {sizes.tolist()}")
        zooms = (float(sizes[0]), float(sizes[1]), float(sizes[2]))
        affine[:3, :3] *= sizes / np.array(source.zooms)
    if shape is None:
        shape = source.shape if voxel_size is None else _covering(source, zooms)
    elif len(tuple(shape)) != 3 or not all(isinstance(n, (int, np.integer)) for n in shape):
        raise ValueError(f"shape must be 3 counts (ni, nj, nk), got {shape!r}")
    return checked_grid(shape, affine, zooms, "the output")


def _covering(source: Grid, zooms: Tuple[float, float, float]) -> Tuple[int, int, int]:
    ni, nj, nk = (max(1, math.ceil(n * z / v - _COVER_TOLERANCE)) for n, z, v in zip(source.shape, source.zooms, zooms))
    return ni, nj, nk


def world_to_index(world: NDArray[np.float64], source: Grid, target: Grid) -> NDArray[np.float64]:
    """Output-world -> input-world matrices ``(n, 4, 4)`` as output-index -> input-index maps."""
    to_input = inverse4(source.affine, "the input's affine")
    maps: NDArray[np.float64] = to_input @ world @ target.affine
    return maps


def index_to_physical(maps: NDArray[np.float64], source: Grid, target: Grid) -> NDArray[np.float32]:
    """Output-index -> input-index maps ``(n, 4, 4)`` as the kernel's ``(n, 12)``
    float32 matrices, which map output physical to input physical positions."""
    scale = np.diag([*source.zooms, 1.0])
    unscale = np.diag([*(1.0 / np.array(target.zooms)), 1.0])
    return np.stack([twelve(scale @ m @ unscale) for m in maps])


def fitted_grid(source: Grid, target: Grid, matrices: NDArray[np.float32]) -> Tuple[Grid, NDArray[np.float32]]:
    """``target``'s axes and voxel size, with the shape and origin that hold all of
    ``source`` seen through the kernel's ``(n, 12)`` matrices, and those
    matrices for the fitted grid."""
    physical = [affine4(k) for k in matrices]
    zooms_out = np.array(target.zooms)
    (nx, ny, nz), start = fitted_box(source.shape[::-1], np.array(source.zooms), physical, zooms_out)
    shift = np.eye(4)  # the fitted grid's physical positions -> the target's
    shift[:3, 3] = start
    index_shift = np.eye(4)
    index_shift[:3, 3] = start / zooms_out
    fitted = checked_grid((nx, ny, nz), target.affine @ index_shift, target.zooms, "the fitted output")
    return fitted, np.stack([twelve(m @ shift) for m in physical])


def is_identity(maps: NDArray[np.float64]) -> bool:
    """Whether every index map is the identity, up to what inverting and multiplying affines leaves."""
    return bool(np.all(np.abs(maps - np.eye(4)) <= _IDENTITY_TOLERANCE))


def world_matrices(matrix: Optional[ArrayLike], volumes: int) -> NDArray[np.float64]:
    """``matrix`` as (n, 4, 4): one for every volume (n = 1), or one per volume."""
    if matrix is None:
        return np.eye(4)[np.newaxis]
    stack = affines(matrix)
    if not is_single(np.shape(matrix)) and len(stack) != volumes:
        raise ValueError(
            f"matrix holds {counted(len(stack), 'matrix', 'matrices')} for an image of {counted(volumes, 'volume')}"
        )
    return stack


def has_field(steps: List[WorldStep]) -> bool:
    """Whether any step is a displacement field or a B-spline deformation."""
    return any(isinstance(step, WARPS) for step in steps)


def fold(steps: List[WorldStep], volumes: int) -> List[WorldStep]:
    """``steps`` with every run of adjacent matrices multiplied into one, in float64.

    ValueError when a stack holds neither one matrix nor one per volume."""
    folded: List[WorldStep] = []
    for step in steps:
        if isinstance(step, WARPS):
            folded.append(step)
            continue
        if len(step) not in (1, volumes):
            raise ValueError(
                f"transform holds {counted(len(step), 'matrix', 'matrices')} "
                f"for an image of {counted(volumes, 'volume')}"
            )
        previous = folded[-1] if folded else None
        if previous is None or isinstance(previous, WARPS):
            folded.append(step)
        else:
            folded[-1] = step @ previous  # applied after it
    return folded


def physical_chain(steps: List[WorldStep], source: Grid, target: Grid, volumes: int) -> List[Any]:
    """World ``steps`` as the chain :func:`voxwarpkit.resample` takes: from the output's
    physical positions (index times ``target``'s voxel size) to the input's.

    Adjacent matrices are multiplied in float64 and rounded to float32 once:
    12 numbers for every volume, or ``(volumes, 12)``."""
    out_to_world = target.affine @ np.diag([*(1.0 / np.array(target.zooms)), 1.0])
    world_to_in = np.diag([*source.zooms, 1.0]) @ inverse4(source.affine, "the input's affine")
    chain = fold([out_to_world[np.newaxis], *steps, world_to_in[np.newaxis]], volumes)
    return [step if isinstance(step, WARPS) else _engine_matrices(step) for step in chain]


def _engine_matrices(stack: NDArray[np.float64]) -> NDArray[np.float32]:
    twelves = np.stack([twelve(m) for m in stack])
    return twelves[0] if len(twelves) == 1 else twelves


Spacings = Tuple[Tuple[float, float, float], Tuple[float, float, float]]


def physical_steps(
    source: Grid,
    target: Grid,
    matrix: Optional[ArrayLike],
    steps: Optional[List[WorldStep]],
    volumes: int,
    *,
    fit: bool,
) -> Tuple[Grid, Spacings, Any]:
    """The output grid, the input's and output's spacings and the ``matrix`` argument of
    :func:`voxwarpkit.resample` that sample ``source`` onto ``target`` through world
    ``matrix`` (None: the identity) or world ``steps``, output -> input.

    ``fit`` gives ``target`` the shape and origin that hold the whole transformed
    input; a chain with a field refuses it (ValueError). Where every index map is
    the identity the spacings are 1 and the matrix the identity: index times
    voxel size and back again is not always the index in float32, while in index
    space the identity is exact.
    """
    spacings: Spacings = (source.zooms, target.zooms)
    folded = None if steps is None else fold(steps, volumes)
    if folded is not None and has_field(folded):
        if fit:
            raise ValueError("fit takes matrices only: a displacement field has no inverse to find the input's extent")
        return target, spacings, physical_chain(folded, source, target, volumes)
    world = world_matrices(matrix, volumes) if folded is None else np.asarray(folded[0])
    if fit:
        matrices = index_to_physical(world_to_index(world, source, target), source, target)
        target, _ = fitted_grid(source, target, matrices)
    maps = world_to_index(world, source, target)
    physical = index_to_physical(maps, source, target)
    if is_identity(maps):
        spacings = ((1.0, 1.0, 1.0), (1.0, 1.0, 1.0))
        physical = np.eye(3, 4, dtype=np.float32).reshape(1, 12)
    return target, spacings, physical[0] if len(physical) == 1 else physical


def _shown(counts: Tuple[int, ...]) -> str:
    return "x".join(map(str, counts))


def fitted_box(
    shape: Sequence[int],
    spacing: NDArray[np.float64],
    maps: Sequence[NDArray[np.float64]],
    output_spacing: NDArray[np.float64],
) -> Tuple[Tuple[int, int, int], NDArray[np.float64]]:
    """The output voxels ``(nx, ny, nz)`` whose centres span every input voxel centre
    mapped through the inverses of ``maps`` (4x4, output physical -> input
    physical), and the output physical position ``(x, y, z)`` of the first."""
    nz, ny, nx = (int(n) for n in shape)
    corners = np.array(list(itertools.product((0, nx - 1), (0, ny - 1), (0, nz - 1))), np.float64) * spacing
    # Where the input's corner voxels land in output physical space, over every matrix.
    landed = np.concatenate([corners @ inverse4(m)[:3, :3].T + inverse4(m)[:3, 3] for m in maps])
    low, high = landed.min(axis=0), landed.max(axis=0)
    extent = (high - low) / output_spacing  # in output voxels
    x, y, z = (math.ceil(e - _FIT_TOLERANCE) + 1 for e in extent)
    # The slack of the last partial voxel, half before the box and half after.
    start: NDArray[np.float64] = low - (np.array([x, y, z]) - 1 - extent) * output_spacing / 2
    return (x, y, z), start
