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
written. Windows of a Zarr array on this machine read its large chunks
through a cache of decoded chunks (:mod:`voxwarpkit._lazy.chunk_cache`).
"""

from __future__ import annotations

import copy
import importlib
import itertools
import sys
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

import numpy as np

from .chunk_cache import ChunkCache, ChunkedReader

if TYPE_CHECKING:
    from numpy.typing import NDArray

Chunks = Tuple[Tuple[int, ...], ...]


class Windows:
    """An array read a window at a time from where it is stored (see the module's docstring)."""

    def __init__(
        self,
        array: Any,
        chunks: Sequence[Sequence[int]],
        name: str,
        after: Any = None,
        prefiltered: bool = False,
        cached: bool = False,
    ) -> None:
        self.array = array
        # Already what the kernel reads (cubic's coefficients, staged): no pass is made again.
        self.prefiltered = prefiltered
        self.shape: Tuple[int, ...] = tuple(int(n) for n in array.shape)
        self.dtype: np.dtype[Any] = np.dtype(array.dtype)
        self.ndim = len(self.shape)
        self.chunks: Chunks = tuple(tuple(int(n) for n in axis) for axis in chunks)
        self.name = name
        self.after = after
        if tuple(sum(axis) for axis in self.chunks) != self.shape:
            raise ValueError(f"chunks {self.chunks} do not cover an array of shape {self.shape}")
        # What tasks read windows with: one reader, so that they share its decoded chunks where
        # ``cached`` says that ``chunks`` are those the store decodes whole.
        self.read = ChunkedReader(array, [_starts(axis) for axis in self.chunks], cached)

    def __dask_tokenize__(self) -> Any:
        """What names graphs that read these windows: the name says which array and chunks they are."""
        return (self.name, self.prefiltered, None if self.after is None else self.after.name)


def regular_chunks(shape: Sequence[int], block: Sequence[int]) -> Chunks:
    """Dask's form of the chunks of a store that cuts ``shape`` into blocks ``block``, the last ones short."""
    return tuple(tuple(min(b, n - start) for start in range(0, n, b)) if n else (0,) for n, b in zip(shape, block))


def in_whole_chunks(windows: Windows, block: Sequence[int]) -> Optional[Windows]:
    """``windows`` read in blocks ``block`` (one per axis, the last ones short) where each block
    holds whole stored chunks, so that no chunk is read by two tasks; else None."""
    chunks = regular_chunks(windows.shape, block)
    if windows.after is not None or not all(set(_ends(a)) <= set(_ends(s)) for a, s in zip(chunks, windows.chunks)):
        return None
    name = f"{windows.name}-in-{'-'.join(map(str, block))}"
    return Windows(windows.array, chunks, name, prefiltered=windows.prefiltered)


def _ends(sizes: Sequence[int]) -> List[int]:
    return list(itertools.accumulate(sizes))


def _starts(sizes: Sequence[int]) -> List[int]:
    """Where the chunks of one axis start, and where the last one ends."""
    return [0] + _ends(sizes)


def zarr_windows(array: Any) -> Windows:
    """A ``zarr.Array`` as Windows, read by its shards where it has them (one request a shard), else its chunks."""
    block = getattr(array, "shards", None) or array.chunks
    tokenize = importlib.import_module("dask.base").tokenize
    try:
        token = tokenize(array)
    except Exception:  # an array dask cannot name by content: name it by where it is
        token = tokenize(str(array.store), array.path, array.shape, array.dtype.str)
    # Chunks of a store on this machine go through the cache one request each; a store at a URL
    # is read a window at a time, its chunks requested together, never one round trip after another.
    local = type(getattr(array, "store", None)).__name__ in ("LocalStore", "DirectoryStore", "NestedDirectoryStore")
    return Windows(array, regular_chunks(array.shape, block), "zarr-windows-" + token, cached=local)


def kept_in(windows: Windows, cache: ChunkCache) -> Windows:
    """The same windows, their decoded chunks kept in ``cache`` instead of the process's."""
    copied = copy.copy(windows)
    copied.read = windows.read.keeping_in(cache)
    return copied


def windows_of(image: Any) -> Optional[Windows]:
    """``image`` as Windows when it is one, a ``zarr.Array`` or a dask array that is one as
    ``da.from_zarr`` makes it; None for anything else."""
    if isinstance(image, Windows):
        return image
    zarr = sys.modules.get("zarr")  # never imported here: a zarr array means it is loaded
    if zarr is None:
        return None
    if isinstance(image, zarr.Array):
        return zarr_windows(image)
    stored = _stored_array(image, zarr)
    return None if stored is None else zarr_windows(stored)


def _stored_array(image: Any, zarr: Any) -> Any:
    """The ``zarr.Array`` a dask array reads as it is, when its graph is that of ``da.from_zarr``
    (the array and one task per chunk reading it) and nothing more; else None. Its tasks would
    decode every chunk again for each task that meets it; windows read the store directly."""
    dask_array = sys.modules.get("dask.array")
    if dask_array is None or not isinstance(image, dask_array.Array):
        return None
    layers = getattr(image.dask, "layers", {})
    original = "original-" + image.name
    if set(layers) != {image.name, original}:
        return None
    stored = [value for value in dict(layers[original]).values() if isinstance(value, zarr.Array)]
    if len(stored) != 1 or tuple(stored[0].shape) != tuple(image.shape) or stored[0].dtype != image.dtype:
        return None
    return stored[0]


def as_dask(windows: Windows) -> Any:
    """The same array as a dask array of the chunks it is stored in, each read by a task of its own
    (which waits for the task that writes it, where one does)."""
    da = importlib.import_module("dask.array")
    meta = np.empty((0,) * windows.ndim, windows.dtype)
    data = da.from_array(windows.array, chunks=windows.chunks, name=windows.name, meta=meta, asarray=True, fancy=False)
    if windows.after is None:
        return data
    return da.map_blocks(_after_written, data, windows.after, dtype=windows.dtype, meta=meta, align_arrays=False)


def _after_written(values: NDArray[Any], written: NDArray[Any]) -> NDArray[Any]:
    return values
