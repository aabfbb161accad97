"""Zarr's empty-chunk check, skipped where a sample of the block already answers it.

zarr 3 stores a chunk only if some element differs from the fill value
(``write_empty_chunks`` off, its default). It decides that with
``numpy.array_equal(chunk, fill, equal_nan=True)``, which materialises the
fill as a whole chunk and runs ``isnan`` and a masked comparison over it: 40
to 110 ms for a chunk of 32 MiB, as long as encoding it. Almost every chunk a
resample or a fusion writes holds data, so a sparse sample of each chunk's
part of the block finds an element that differs within microseconds; when it
does for every chunk a write meets, zarr would store all of them anyway, and
the write skips its check. Any other write keeps zarr's own, so the store's
contents are the same either way.
"""

from __future__ import annotations

import itertools
from typing import Any, Tuple

import numpy as np

# Elements of a chunk's part of the block looked at along each axis, at most.
_SAMPLES_PER_AXIS = 16


def written_all_the_same(array: Any, block: np.ndarray[Any, Any], region: Tuple[slice, ...]) -> Any:
    """``array``, or the same array with zarr's empty-chunk check off where a sample shows that
    every chunk ``region`` meets holds an element other than the fill in ``block``."""
    with_config = getattr(array, "with_config", None)  # zarr 3; zarr 2 stores empty chunks by default
    checked = not getattr(getattr(array, "config", None), "write_empty_chunks", True)
    if with_config is None or not checked or block.dtype != array.dtype:
        return array
    differs = _differs_from_fill(np.asarray(array.fill_value), block.dtype)
    if differs is None or not all(differs(sample) for sample in _chunk_samples(array.chunks, block, region)):
        return array
    return with_config({"write_empty_chunks": True})


def _differs_from_fill(fill: np.ndarray[Any, Any], dtype: np.dtype[Any]) -> Any:
    """A test of whether a sample holds an element that zarr's check counts as other than
    ``fill``; None where the rule is not one of those below (no fill, strings, complex)."""
    if dtype.kind not in "biuf" or fill.dtype.kind not in "biuf":
        return None
    if dtype.kind == "f" and fill.dtype.kind == "f" and np.isnan(fill):
        return lambda sample: bool((~np.isnan(sample)).any())
    if fill.dtype.kind == "f" and fill == 0.0 and dtype.kind == "f":
        # zarr compares bit patterns against a zero fill: -0.0 is not the fill.
        unsigned = np.dtype(f"u{dtype.itemsize}")
        return lambda sample: bool(sample.view(unsigned).any())
    return lambda sample: bool((sample != fill).any())


def _chunk_samples(chunks: Tuple[int, ...], block: np.ndarray[Any, Any], region: Tuple[slice, ...]) -> Any:
    """For each chunk of the grid ``chunks`` that ``region`` meets, a strided sample of the part
    of ``block`` (the data of ``region``) that lies in it."""
    spans = []
    for chunk, part in zip(chunks, region):
        start = part.start or 0
        stop = part.stop
        edges = range(start - start % chunk + chunk, stop, chunk)
        cuts = [start, *edges, stop]
        spans.append([(a - start, b - start) for a, b in zip(cuts, cuts[1:])])
    for corner in itertools.product(*spans):
        sample = block[tuple(slice(a, b, max(1, (b - a) // _SAMPLES_PER_AXIS)) for a, b in corner)]
        yield np.ascontiguousarray(sample)
