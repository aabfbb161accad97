"""Arrays that resampling tasks read straight from their store, one window at a time.

A dask array made from a store (``da.from_zarr``) turns each input chunk into
a task of its own, and dask keeps a chunk in memory until every output block
that reads it has run. A rotated block's readers are scattered over the
whole output, so nearly the whole input ends up held. A task that reads its
own window from the store instead holds that window alone, and memory stays
flat however large the input: the graph has one task per output block.

:class:`Windows` is such a source: any array that slicing with a tuple of
slices reads into numpy (a ``zarr.Array``, a TIFF's or a NIfTI file's
reader), that pickles so a cluster's workers open it themselves, with the
chunks it is stored in, which reads follow. ``after``, when given, is a dask
array of one flag per chunk (in the same chunk grid) whose task writes that
chunk: a pyramid's level read back from the store as the level before it is
written.
"""

from __future__ import annotations

import importlib
import sys
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

Chunks = Tuple[Tuple[int, ...], ...]


class Windows:
    """An array read a window at a time from where it is stored (see the module's docstring)."""

    def __init__(self, array: Any, chunks: Sequence[Sequence[int]], name: str, after: Any = None) -> None:
        self.array = array
        self.shape: Tuple[int, ...] = tuple(int(n) for n in array.shape)
        self.dtype: np.dtype[Any] = np.dtype(array.dtype)
        self.ndim = len(self.shape)
        self.chunks: Chunks = tuple(tuple(int(n) for n in axis) for axis in chunks)
        self.name = name
        self.after = after
        if tuple(sum(axis) for axis in self.chunks) != self.shape:
            raise ValueError(f"chunks {self.chunks} do not cover an array of shape {self.shape}")

    def read(self, region: Tuple[slice, ...]) -> NDArray[Any]:
        """The values in ``region`` (one slice per axis), as a numpy array."""
        return np.asarray(self.array[region])


def regular_chunks(shape: Sequence[int], block: Sequence[int]) -> Chunks:
    """Dask's form of the chunks of a store that cuts ``shape`` into blocks ``block``, the last ones short."""
    return tuple(tuple(min(b, n - start) for start in range(0, n, b)) if n else (0,) for n, b in zip(shape, block))


def zarr_windows(array: Any) -> Windows:
    """A ``zarr.Array`` as Windows, read by its shards where it has them (one request a shard), else its chunks."""
    block = getattr(array, "shards", None) or array.chunks
    tokenize = importlib.import_module("dask.base").tokenize
    try:
        token = tokenize(array)
    except Exception:  # an array dask cannot name by content: name it by where it is
        token = tokenize(str(array.store), array.path, array.shape, array.dtype.str)
    return Windows(array, regular_chunks(array.shape, block), "zarr-windows-" + token)


def windows_of(image: Any) -> Optional[Windows]:
    """``image`` as Windows when it is one, or a ``zarr.Array``; None for anything else."""
    if isinstance(image, Windows):
        return image
    zarr = sys.modules.get("zarr")  # never imported here: a zarr array means it is loaded
    if zarr is not None and isinstance(image, zarr.Array):
        return zarr_windows(image)
    return None


def as_dask(windows: Windows, chunks: Any = None) -> Any:
    """The same array as a dask array, each block read by a task of its own: in the chunks it is
    stored in (each waiting for its writer, when it has one), or in ``chunks``."""
    da = importlib.import_module("dask.array")
    meta = np.empty((0,) * windows.ndim, windows.dtype)
    if chunks is not None:
        assert windows.after is None, "a stored level is read in the chunks it is written in"
        return da.from_array(windows.array, chunks=chunks, meta=meta, asarray=True, fancy=False)
    data = da.from_array(windows.array, chunks=windows.chunks, name=windows.name, meta=meta, asarray=True, fancy=False)
    if windows.after is None:
        return data
    # Each chunk waits for the task that writes it.
    return da.map_blocks(_after_written, data, windows.after, dtype=windows.dtype, meta=meta, align_arrays=False)


def _after_written(values: NDArray[Any], written: NDArray[Any]) -> NDArray[Any]:
    return values
