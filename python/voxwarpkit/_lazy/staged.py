"""Line passes over an image larger than memory, staged through temporary Zarr arrays.

Cubic's B-spline coefficients need whole lines: each is filtered alone in
float64 by a recursive filter whose every output depends on the whole line.
Made as a dask array, a pass rechunks the image into whole lines and dask
holds what later passes and the resampling read. Here each pass is a layer
of tasks: a task reads one block of whole lines along the pass's axis (one
chunk across the other two axes, one volume) from the previous stage's
array, filters it and writes it into the next stage's, chunk-aligned, so
that each chunk has one writer; it starts once the tasks that wrote its
block's chunks are done. Stages alternate between two arrays (a block waits
for every task of the stage before that touched it, so the array it
overwrites has been read where it writes). Every line is filtered exactly as
in memory, so the coefficients have the bits of the in-memory passes.
"""

from __future__ import annotations

import functools
import importlib
import itertools
import math
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .._backends.line_passes import Pass, filtered_lines
from .graphs import array_of, flag, flag_chunks, token_of
from .windows import Windows, regular_chunks

if TYPE_CHECKING:
    from numpy.typing import NDArray

# The chunks of the stages' arrays along z, y and x; a block is one of them across
# the two axes a pass does not run along.
_CHUNK = 64


def staged(windows: Windows, passes: Sequence[Pass], folder: Path) -> Windows:
    """``windows`` through ``passes`` in order, as float32 Windows of the last stage's array
    in ``folder`` (created; the caller removes it once the result is computed)."""
    zarr = importlib.import_module("zarr")
    rank = windows.ndim
    shape = windows.shape
    chunks = (1,) * (rank - 3) + tuple(max(1, min(_CHUNK, n)) for n in shape[-3:])
    folder.mkdir(parents=True, exist_ok=True)
    paths = [str((folder / f"stage-{k}.zarr").absolute()) for k in range(2)]
    for path in paths:
        zarr.open_array(path, mode="w", shape=shape, chunks=chunks, dtype=np.float32, fill_value=0.0)
    source: Any = windows.array
    before: Optional[Tuple[Any, Tuple[int, ...]]] = None  # the last stage's flags and blocks
    if windows.after is not None:
        before = (windows.after, tuple(max(axis, default=1) for axis in windows.chunks))
    for number, (axis, sigma) in enumerate(passes):
        block = list(chunks)
        block[axis - 4 + rank] = shape[axis - 4 + rank]  # whole lines along the pass's axis
        target = paths[number % 2]
        flags = _stage(source, target, axis, sigma, tuple(block), shape, before, f"{windows.name}-{number}")
        before = (flags, tuple(block))
        source = zarr.open_array(target, mode="r")
    assert before is not None and passes
    name = f"{windows.name}-staged-{len(passes)}"
    return Windows(source, regular_chunks(shape, before[1]), name, after=before[0], prefiltered=True)


def _stage(
    source: Any,
    target: str,
    axis: int,
    sigma: Optional[float],
    block: Tuple[int, ...],
    shape: Tuple[int, ...],
    before: Optional[Tuple[Any, Tuple[int, ...]]],
    token: str,
) -> Any:
    """The layer of tasks of one pass: a flag per block, each written into ``target``."""
    name = "voxwarpkit-line-pass-" + token_of(token, target, axis, sigma, block)
    grid = [range(math.ceil(n / b)) if n else range(1) for n, b in zip(shape, block)]
    graph: Dict[Any, Any] = {}
    for index in itertools.product(*grid):
        region = tuple(slice(i * b, min(n, (i + 1) * b)) for i, b, n in zip(index, block, shape))
        waits: List[Any] = []
        if before is not None:
            flags, written = before
            spans = [range(r.start // w, max(r.start // w + 1, math.ceil(r.stop / w))) for r, w in zip(region, written)]
            waits = [(flags.name,) + touched for touched in itertools.product(*spans)]
        task = functools.partial(_filtered_block, source, region, axis, sigma, target)
        graph[(name,) + index] = (task, waits)
    dependencies = [] if before is None else [before[0]]
    return array_of(name, graph, flag_chunks([len(axis_grid) for axis_grid in grid]), bool, dependencies)


def _filtered_block(
    source: Any, region: Tuple[slice, ...], axis: int, sigma: Optional[float], target: str, written: List[Any]
) -> NDArray[np.bool_]:
    """Read ``region`` of ``source``, filter its lines along ``axis`` and write it into ``target``."""
    values = filtered_lines(np.asarray(source[region]), axis, sigma)
    # mode r+ fails once the folder is gone, so a late task cannot bring it back.
    importlib.import_module("zarr").open_array(target, mode="r+")[region] = values
    return flag(values.ndim)
