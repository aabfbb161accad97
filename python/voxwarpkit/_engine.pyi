"""Types of the compiled engine: the kernel on several threads, the general resampler and its source boxes."""

from typing import Any, Dict, Optional, Tuple, overload

import numpy as np
from numpy.typing import NDArray

_Counts = Tuple[int, int, int]
_Spacing = Tuple[float, float, float]
_Box = Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]

def transform(
    image: NDArray[Any], voxel_size: NDArray[Any], matrix: NDArray[Any], threads: int, /
) -> NDArray[np.float32]:
    """_voxwarpkit.transform on ``threads`` threads (1 to 4096), the interpreter lock released."""

@overload
def resample(
    source: NDArray[Any],
    source_origin: _Counts,
    source_grid: _Counts,
    source_spacing: _Spacing,
    matrices: NDArray[np.float32],
    target_shape: _Counts,
    target_origin: _Counts,
    target_spacing: _Spacing,
    interpolation: int,
    edges: int,
    fill: bytes,
    threads: int,
    /,
) -> NDArray[Any]:
    """The output block ``(volumes, z, y, x)`` at ``target_origin`` from the window ``source``
    of the grid ``source_grid`` at ``source_origin``, sampled by the method and edge rule of the
    engine codes ``interpolation`` and ``edges`` (voxwarpkit._core.methods); ValueError when the window
    misses voxels it reads, or for an unknown code."""

@overload
def resample(
    source: NDArray[Any],
    source_origin: _Counts,
    source_grid: _Counts,
    source_spacing: _Spacing,
    matrices: NDArray[np.float32],
    target_shape: _Counts,
    target_origin: _Counts,
    target_spacing: _Spacing,
    interpolation: int,
    edges: int,
    fill: bytes,
    out: Optional[NDArray[Any]],
    threads: int,
    /,
) -> NDArray[Any]:
    """As above, written into ``out`` (C-contiguous, of the block's shape and the result's type) and returned."""

@overload
def resample(
    source: NDArray[Any],
    source_origin: _Counts,
    source_grid: _Counts,
    source_spacing: _Spacing,
    matrices: NDArray[np.float32],
    target_shape: _Counts,
    target_origin: _Counts,
    target_spacing: _Spacing,
    interpolation: int,
    edges: int,
    fill: bytes,
    out: Optional[NDArray[Any]],
    chain: Optional[Tuple[Any, ...]],
    threads: int,
    /,
) -> NDArray[Any]:
    """As above, with the chain's steps (matrices (n, 12) or fields (data, origin, spacing)) after ``matrices``."""

@overload
def resample(
    source: NDArray[Any],
    source_origin: _Counts,
    source_grid: _Counts,
    source_spacing: _Spacing,
    matrices: NDArray[np.float32],
    target_shape: _Counts,
    target_origin: _Counts,
    target_spacing: _Spacing,
    interpolation: int,
    edges: int,
    fill: bytes,
    out: Optional[NDArray[Any]],
    chain: Optional[Tuple[Any, ...]],
    result_type: Optional[int],
    threads: int,
    /,
) -> NDArray[Any]:
    """As above, a linear, Lanczos or cubic result in the type of the engine code ``result_type``
    (the C++ enum ``element_type``; None for float32), made once from the float64 sum."""

def source_box(
    source_grid: _Counts,
    source_spacing: _Spacing,
    matrices: NDArray[np.float32],
    target_shape: _Counts,
    target_origin: _Counts,
    target_spacing: _Spacing,
    interpolation: int,
    edges: int,
    chain: Optional[Tuple[Any, ...]] = None,
    /,
) -> Optional[_Box]:
    """The half-open ``((z0, z1), (y0, y1), (x0, x1))`` source voxels an output block reads, or None."""

def blend_tile(
    sums: NDArray[np.float64],
    weights: NDArray[np.float64],
    values: NDArray[np.float64],
    block_origin: Tuple[int, int, int],
    values_at: Tuple[int, int, int],
    matrix: Tuple[float, ...],
    tile_extent: Tuple[int, int, int],
    scale: Tuple[float, float, float],
    blending: int,
    /,
) -> None: ...
def tile_cover(
    block_origin: Tuple[int, int, int],
    block_shape: Tuple[int, int, int],
    matrix: Tuple[float, ...],
    tile_extent: Tuple[int, int, int],
    /,
) -> Optional[Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]]:
    """The smallest box of the block, half-open ranges within it, that holds every voxel the tile holds."""

def blend_tile_at(
    sums: NDArray[np.float64],
    weights: NDArray[np.float64],
    values: NDArray[np.float64],
    values_at: Tuple[int, int, int],
    positions: NDArray[np.float64],
    tile_extent: Tuple[int, int, int],
    scale: Tuple[float, float, float],
    blending: int,
    /,
) -> None: ...
def chain_positions(
    positions: NDArray[np.float64],
    steps: Tuple[Any, ...],
    origin: Tuple[int, int, int],
    output_spacing: Tuple[float, float, float],
    spacing: Tuple[float, float, float],
    /,
) -> None: ...
def finish_blend(
    sums: NDArray[np.float64],
    weights: NDArray[np.float64],
    result: NDArray[Any],
    fill: bytes,
    result_type: int,
    maximum: bool,
    /,
) -> None: ...
def bspline_displacements(
    bspline: Tuple[NDArray[np.float64], _Spacing, _Spacing, int],
    xs: NDArray[np.float32],
    ys: NDArray[np.float32],
    zs: NDArray[np.float32],
    /,
) -> NDArray[np.float32]:
    """The B-spline step's displacements ``(3, nz, ny, nx)`` at every position ``(xs[i], ys[j], zs[k])``,
    0 outside its support: the bits its step adds there."""

def kernel_variant() -> str:
    """The name of the kernel variant in use."""

def prefilter(coefficients: NDArray[np.float32], axis: int, threads: int, /) -> None:
    """Filters the C-contiguous float32 array (volumes, z, y, x) in place along axis 1 (z), 2 (y) or 3 (x)
    into cubic B-spline coefficients."""

def smooth(values: NDArray[np.float32], axis: int, sigma: float, threads: int, /) -> None:
    """Filters the C-contiguous float32 array (volumes, z, y, x) in place along axis 1 (z), 2 (y) or 3 (x)
    by the Gaussian FIR of ``sigma`` voxels (radius ceil(4 sigma), mirrored at the ends)."""

# The codes of the engine's enums, under the package's names (src/bindings/engine_codes.cpp).
METHOD_CODES: Dict[str, int]
EDGE_RULE_CODES: Dict[str, int]
RESULT_TYPE_CODES: Dict[str, int]
BLENDING_CODES: Dict[str, int]

def spline_transform(
    source: NDArray[Any],
    target: NDArray[Any],
    input_rank: int,
    output_rank: int,
    order: int,
    mode: int,
    cval: float,
    prepad: float,
    matrix: Optional[NDArray[np.float64]],
    shift: Optional[NDArray[np.float64]],
    zoom: Optional[NDArray[np.float64]],
    grid_mode: bool,
    coordinates: Optional[NDArray[np.float64]],
    input_origin: _Counts,
    input_grid: _Counts,
    output_origin: _Counts,
    vectors: bool,
    threads: int,
    /,
) -> None:
    """voxwarpkit.ndimage's index-space B-spline transform of the window ``source`` (volumes, three
    axes, the moving ones last) of the grid ``input_grid`` at ``input_origin``, into the block
    ``target`` at ``output_origin``; the mode's code from spline_modes(); ``vectors`` False runs the
    scalar loop alone (the vector form gives its bits)."""

def spline_filter(values: NDArray[np.float64], axis: int, order: int, mode: int, threads: int, /) -> None:
    """The C-contiguous float64 ``values`` filtered in place along ``axis`` into B-spline coefficients."""

def spline_modes() -> Tuple[str, ...]:
    """The names of the index-space path's modes, in the order of their codes."""
