"""The one way this package builds its dask arrays: tasks per block, named by their content.

Each lazy result is a layer of tasks, one per block of a regular grid (or a run of blocks), named
by dask's ``tokenize`` of what they are made from, so the same resampling always gives the same
names; a task that writes its block somewhere returns a flag in its place, so that nothing waits
in memory for a writer.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray


def token_of(*parts: Any) -> str:
    """dask's deterministic token of ``parts``."""
    tokenize = importlib.import_module("dask.base").tokenize
    token: str = tokenize(*parts)
    return token


def array_of(
    name: str,
    layer: Dict[Any, Any],
    chunks: Sequence[Sequence[int]],
    dtype: Any,
    dependencies: Sequence[Any] = (),
) -> Any:
    """The dask array ``name`` of the task ``layer`` (keys ``(name, *block index)`` and whatever
    other keys its tasks need), with ``chunks``, the element type ``dtype``, and the dask
    collections it reads."""
    da = importlib.import_module("dask.array")
    graphs = importlib.import_module("dask.highlevelgraph").HighLevelGraph
    graph = graphs.from_collections(name, layer, dependencies=list(dependencies))
    meta = np.empty((0,) * len(chunks), dtype=dtype)
    return da.Array(graph, name, chunks=tuple(tuple(axis) for axis in chunks), dtype=dtype, meta=meta)


def flag(ndim: int) -> NDArray[np.bool_]:
    """What a task that wrote its block returns in the block's place: one True of the block's rank."""
    return np.ones((1,) * ndim, dtype=bool)


def flag_chunks(grid: Sequence[int]) -> Tuple[Tuple[int, ...], ...]:
    """The chunks of an array of one flag per block of a block grid of ``grid`` blocks per axis."""
    return tuple((1,) * count for count in grid)
