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

import itertools
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._backends.chain_positions import ChainFrame, matrix_step
from ._backends.codes import BLENDING_NAMES
from ._backends.line_passes import source_of
from ._backends.request import (
    Counts,
    check_image_axes,
    check_image_type,
    checked_request,
    counts,
    fill_bytes,
    interpolation_of,
    result_type_of,
)
from ._core.affine import affine4, not_singular
from ._core.methods import method_named
from ._core.threads import thread_count
from ._lazy.chunk_cache import ChunkCache
from ._lazy.fusion import Plan, Tile, fused_in_memory, fused_lazily, output_chunks
from ._lazy.windows import kept_in, windows_of
from .bspline import WARPS, BSpline
from .field import Field

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# The blending rules, by the names the engine gives them.
BLENDINGS = BLENDING_NAMES
# multiview-stitcher's default blend widths along x, y and z, in physical units.
DEFAULT_BLEND_WIDTH = (10.0, 10.0, 3.0)
# A fusion keeps the stored tiles' decoded chunks in a cache of its own, of this many bytes. Its
# tasks are columns along z, run along x then y: a task meets few chunks of a tile, and shares
# only a column of them with the next task, so the chunks worth keeping are those of the tasks
# running and of the ones before them. More holds chunks no task reads again.
CACHE_BYTES = 128 * 2**20


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
    wanted = Fusion(shape, output_voxel_size, origin, blending, blend_width, interpolation, fill, dtype)
    plan = fusion_plan(tiles, voxel_sizes, matrices, wanted, thread_count(threads), lazy)
    block_chunks = output_chunks(chunks, plan)
    if lazy:
        return fused_lazily(plan, block_chunks, 1 if threads is None else thread_count(threads))
    return fused_in_memory(plan, block_chunks, thread_count(threads))


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


class Fusion(NamedTuple):
    """:func:`fuse`'s keywords of the same names, as given, as one record."""

    shape: Sequence[int]
    output_voxel_size: ArrayLike
    origin: ArrayLike
    blending: str
    blend_width: ArrayLike
    interpolation: str
    fill: float
    dtype: Any


class _Placement(NamedTuple):
    """Where every tile is resampled to, checked: the output's grid and how tiles are sampled and weighed."""

    shape: Sequence[int]
    output_voxel_size: ArrayLike
    origin: Tuple[float, float, float]
    method: str
    width: Tuple[float, float, float]


def fusion_plan(
    tiles: Sequence[Any],
    voxel_sizes: ArrayLike,
    matrices: Sequence[ArrayLike],
    wanted: Fusion,
    threads: int,
    lazy: bool,
) -> Plan:
    """``fuse``'s arguments checked, each tile's resample among them."""
    blending = wanted.blending
    if not isinstance(tiles, (list, tuple)) or not tiles:
        raise ValueError("tiles must be a non-empty list of arrays")
    if not isinstance(matrices, (list, tuple)) or len(matrices) != len(tiles):
        raise ValueError(f"matrices must hold one matrix per tile ({len(tiles)}), got {_count(matrices)}")
    if not isinstance(blending, str) or blending not in BLENDINGS:
        raise ValueError(f"blending must be one of {', '.join(map(repr, BLENDINGS))}, got {blending!r}")
    method = interpolation_of(None, wanted.interpolation)
    if not method_named(method).fuses:
        raise ValueError("label sampling does not fuse: blending would mix labels; use nearest")
    width = _triple(wanted.blend_width, "blend_width", positive=False)
    start = _triple(wanted.origin, "origin", positive=None)
    placement = _Placement(wanted.shape, wanted.output_voxel_size, start, method, width)
    result_type = result_type_of("linear", np.dtype(np.float32), wanted.dtype)  # the blends' types
    spacings = _per_tile(voxel_sizes, len(tiles), "voxel_sizes")
    chunks = ChunkCache(CACHE_BYTES)  # the decoded chunks of every stored tile of this fusion
    checked = []
    for tile, spacing, matrix in zip(tiles, spacings, matrices):
        checked.append(_tile(tile, spacing, matrix, placement, threads, lazy, chunks))
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
        fill_bytes(wanted.fill, result_type),
    )


def _tile(
    image: Any,
    spacing: NDArray[np.float64],
    matrix: ArrayLike,
    placement: _Placement,
    threads: int,
    lazy: bool,
    chunks: ChunkCache,
) -> Tile:
    """One tile checked: its source, its resample onto the output and what gives its positions."""
    shape, output_voxel_size, origin, method, width = placement
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
        dtype=np.float64 if method_named(method).blends else None,
    )
    if method_named(method).prefilter is not None:
        if lazy or not isinstance(source, np.ndarray):
            raise ValueError(f"{method} fusion takes numpy tiles and no chunks: its coefficients need whole tiles")
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
    if not (isinstance(entry, (list, tuple)) and any(isinstance(step, WARPS) for step in entry)):
        return None
    if any(isinstance(step, BSpline) for step in entry):
        raise ValueError(
            "fuse takes chains of matrices and fields: a B-spline's tile weights have no double positions; "
            "give the B-spline as a field (voxwarpkit.Field) sampled on the tile's grid"
        )
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


__all__ = ["BLENDINGS", "covering_grid", "fuse"]
