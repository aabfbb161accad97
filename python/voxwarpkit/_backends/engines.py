"""The compiled engines behind resample, one protocol for all: what the package asks of an engine,
given a checked request, and which engine serves an array.

The CPU engine (:mod:`voxwarpkit._backends.cpu` over the compiled ``_engine``) serves numpy arrays, and
so the numpy blocks each dask task reads. An engine for another array library (CuPy's GPU arrays,
say) is one module with these four functions, named in ``_ENGINES`` under its arrays' top-level
module. Source boxes are geometry, the same for every engine: the dask planner asks the CPU
engine's, whatever its tasks' arrays will be.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, Optional, Protocol, Tuple, cast

if TYPE_CHECKING:
    from .._core.request import Counts, Request

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


# The module of the engine for each array library, by the top-level module of its array type.
_ENGINES: Dict[str, str] = {"numpy": "voxwarpkit._backends.cpu"}


def engine_for(array: Any) -> Engine:
    """The engine that computes on ``array``'s kind of array; TypeError for a kind none serves."""
    library = type(array).__module__.split(".")[0]
    module = _ENGINES.get(library)
    if module is None:
        raise TypeError(f"no engine computes on arrays of {library} ({type(array).__name__})")
    return cast("Engine", importlib.import_module(module))


def cpu_engine() -> Engine:
    """The CPU engine: the one that plans, and the one for numpy arrays."""
    return cast("Engine", importlib.import_module(_ENGINES["numpy"]))
