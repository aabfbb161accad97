"""The compiled engines behind resampling and fusion, one protocol for all: what the package asks of
an engine, given a checked request, and which engine serves an array.

The CPU engine (:mod:`voxwarpkit._backends.cpu` over the compiled ``_engine``) serves numpy arrays,
and so the numpy blocks each dask task reads. An engine for another array library (CuPy's GPU
arrays, say) is one module with the functions of :class:`Engine`, under ``_backends/``, and one
entry of ``ENGINES`` under its arrays' top-level module (:func:`register` makes one at run time).
Source boxes are geometry, the same for every engine: the dask planner asks the CPU engine's,
whatever its tasks' arrays will be.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, Optional, Protocol, Tuple, cast

if TYPE_CHECKING:
    from .chain_positions import ChainFrame
    from .request import Counts, Request

Box = Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]


class Engine(Protocol):
    """The calls an engine answers, each for one block or one array, with the request's bits."""

    def resample_window(
        self,
        window: Any,
        window_origin: Counts,
        grid: Counts,
        request: Request,
        block_origin: Counts,
        block_shape: Counts,
        threads: int,
        out: Optional[Any] = None,
    ) -> Any:
        """The output block ``block_shape`` at ``block_origin`` from ``window`` ``(nvol, nz, ny, nx)``,
        the part of the input grid ``grid`` from ``window_origin``."""

    def source_box(self, grid: Counts, request: Request, block_origin: Counts, block_shape: Counts) -> Optional[Box]:
        """The half-open ranges of input voxels an output block reads, or None when it reads none."""

    def prefilter(self, coefficients: Any, axis: int, threads: int) -> None:
        """Turns float32 ``coefficients`` (volumes, z, y, x) into cubic B-spline coefficients along ``axis``."""

    def smooth(self, values: Any, axis: int, sigma: float, threads: int) -> None:
        """Smooths float32 ``values`` (volumes, z, y, x) in place along ``axis`` by the Gaussian FIR of ``sigma``."""

    def tile_cover(self, origin: Counts, shape: Counts, index_matrix: Tuple[float, ...], grid: Counts) -> Optional[Box]:
        """The smallest box of the output block ``shape`` at ``origin`` that holds every voxel a tile
        of extent ``grid`` weighs, its output index -> tile index matrix ``index_matrix`` (12
        doubles); None when the tile holds none."""

    def blend_tile(
        self,
        sums: Any,
        weights: Any,
        values: Any,
        origin: Counts,
        values_at: Counts,
        index_matrix: Tuple[float, ...],
        grid: Counts,
        scale: Tuple[float, float, float],
        blending: str,
    ) -> None:
        """Adds a tile's weighted ``values`` (double, over the box at ``values_at`` of the block at
        ``origin``) into the block's double ``sums`` and ``weights``, by ``blending``."""

    def blend_tile_at(
        self,
        sums: Any,
        weights: Any,
        values: Any,
        values_at: Counts,
        positions: Any,
        grid: Counts,
        scale: Tuple[float, float, float],
        blending: str,
    ) -> None:
        """As blend_tile, the tile index of each voxel of the values' box given in ``positions``."""

    def chain_positions(self, frame: ChainFrame, origin: Counts, shape: Counts) -> Any:
        """The tile index (x, y, z) in double, (3, z, y, x), of the output box ``shape`` at global
        index ``origin`` through a chain tile's ``frame``."""

    def finish_blend(self, sums: Any, weights: Any, result: Any, fill: bytes, blending: str) -> None:
        """Each voxel's mean (its maximum for "max") written into ``result`` in its type, ``fill``
        (one element's bytes) where no tile weighs."""


# The module of the engine for each array library, by the top-level module of its array type.
ENGINES: Dict[str, str] = {"numpy": "voxwarpkit._backends.cpu"}


def register(library: str, module: str) -> Optional[str]:
    """Makes the engine module ``module`` serve the arrays of ``library``; returns the module that
    served them before (None for none), so that a caller can put it back."""
    before = ENGINES.get(library)
    ENGINES[library] = module
    return before


def engine_for(array: Any) -> Engine:
    """The engine that computes on ``array``'s kind of array; TypeError for a kind none serves."""
    library = type(array).__module__.split(".")[0]
    module = ENGINES.get(library)
    if module is None:
        raise TypeError(f"no engine computes on arrays of {library} ({type(array).__name__})")
    return cast("Engine", importlib.import_module(module))


def cpu_engine() -> Engine:
    """The CPU engine: the one that plans, and the one for numpy arrays."""
    return cast("Engine", importlib.import_module(ENGINES["numpy"]))
