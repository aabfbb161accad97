"""Cubic B-spline coefficients, the source that cubic interpolation reads, in memory and on dask.

The engine filters lines of float32 values in place, one axis at a time (x,
then y, then z), each line alone and in float64; so the coefficients depend
on nothing but the image, whether made in one call or chunk by chunk.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

import numpy as np

from ._engine import prefilter

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Engine axes of a (volumes, z, y, x) stack, in the order they are filtered.
_AXES = (3, 2, 1)
# Chunks of the lazy passes hold whole lines of one axis and about this many bytes.
_PASS_BYTES = 64 * 2**20


def coefficients(stack: NDArray[Any], threads: int) -> NDArray[np.float32]:
    """The coefficients of the stack ``(volumes, z, y, x)``: its values as float32
    (each rounded once, as every blend converts them), filtered in place."""
    values = np.array(stack, dtype=np.float32, order="C")  # always a copy: it is overwritten
    for axis in _AXES:
        prefilter(values, axis, threads)
    return values


def lazy_coefficients(image: Any) -> Any:
    """The coefficients of the dask array ``image`` (3-D or 4-D) as a lazy float32 array:
    a pass per axis, each over chunks that hold whole lines of that axis."""
    da = importlib.import_module("dask.array")
    values = image.astype(np.float32)
    rank = image.ndim
    for axis in _AXES:
        along = axis - 4 + rank  # the image's own axis
        values = values.rechunk({a: (-1 if a == along else "auto") for a in range(rank)}, block_size_limit=_PASS_BYTES)
        meta = np.empty((0,) * rank, np.float32)
        values = da.map_blocks(_filtered_block, values, axis=axis, dtype=np.float32, meta=meta)
    return values


def _filtered_block(block: NDArray[Any], axis: int) -> NDArray[np.float32]:
    """One chunk that holds whole lines along ``axis``, filtered along it into a new array."""
    values = np.array(block, dtype=np.float32, order="C")
    prefilter(values.reshape((-1,) + values.shape[-3:]), axis, 1)
    return values
