"""Decoded chunks of stored inputs, kept a while for the next task that reads them.

A store decodes whole chunks, however little of one a read needs. The window
of a rotated output block spans many input chunks, and the windows of its
neighbours span most of the same ones: with chunks as large as microscopes
write them (8 MiB and more), each chunk was decoded ten times and more, and
decoding, not resampling, took most of a run. Tasks read their windows chunk
by chunk through one cache per process instead, bounded (CACHE_BYTES), the
least recently used chunks dropped first, so memory stays flat whatever the
input's size.

A chunk is kept under a key its reader makes once per graph (a random one),
so a later graph never sees chunks of an array that changed in between.
A graph that knows how many of its tasks read each chunk says so with each
read, or as each task ends (a fusion's task reads a chunk slab after slab):
the chunk is let go after its last read, so that the cache holds only chunks
some task still needs (a run leaves none behind), and the space goes to those.
Small chunks are not worth a request each: those windows are read in one
request, as before.
"""

from __future__ import annotations

import bisect
import collections
import copy
import functools
import itertools
import math
import threading
import uuid
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

CACHE_BYTES = 256 * 2**20
# Chunks smaller than this are read a window at a time, in one request, and so are chunks
# (shards, mostly) too large to keep a few of: the store reads just what a window needs of those.
CACHED_CHUNK_BYTES = (2**20, CACHE_BYTES // 8)

ChunkKey = Tuple[str, Tuple[int, ...]]


class ChunkCache:
    """A bounded map of decoded chunks, the least recently used dropped first; thread-safe."""

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        self.held = 0
        self.chunks: collections.OrderedDict[ChunkKey, NDArray[Any]] = collections.OrderedDict()
        # Reads still to come of the chunks whose readers were counted, held or not.
        self.unread: Dict[ChunkKey, int] = {}
        self.lock = threading.Lock()

    def fetched(self, key: ChunkKey, decode: Callable[[], NDArray[Any]], reads: Optional[int] = None) -> NDArray[Any]:
        """The chunk under ``key``, decoded by ``decode`` (outside the lock) when it is not held.
        ``reads``, when given, is how many reads its graph makes of the chunk in all: after the
        last of them the chunk is dropped, or never kept."""
        with self.lock:
            left = 1
            if reads is not None:
                left = self.unread.pop(key, reads) - 1
                if left > 0:
                    self.unread[key] = left
            values = self.chunks.get(key)
            if values is not None:
                if left > 0:
                    self.chunks.move_to_end(key)
                else:
                    del self.chunks[key]
                    self.held -= values.nbytes
                return values
        values = decode()
        if left > 0:
            self.put(key, values)
        return values

    def released(self, key: ChunkKey, readers: int) -> None:
        """One more of the ``readers`` tasks that read the chunk under ``key`` (its reads not
        counted one by one) is done with it: after the last, the chunk is dropped."""
        with self.lock:
            left = self.unread.pop(key, readers) - 1
            if left > 0:
                self.unread[key] = left
                return
            values = self.chunks.pop(key, None)
            if values is not None:
                self.held -= values.nbytes

    def put(self, key: ChunkKey, values: NDArray[Any]) -> None:
        if values.nbytes > self.capacity:
            return
        with self.lock:
            if key in self.chunks:
                return
            self.chunks[key] = values
            self.held += values.nbytes
            while self.held > self.capacity:
                _, dropped = self.chunks.popitem(last=False)
                self.held -= dropped.nbytes


CACHE = ChunkCache(CACHE_BYTES)


class ChunkedReader:
    """Reads boxes of ``array``, stored in chunks whose starts along each axis are ``bounds``
    (and the end), through the process's cache where ``cached`` and the chunks are large enough. Pickles as
    the array, the bounds and the key, which a cluster's workers share."""

    def __init__(self, array: Any, bounds: Sequence[Sequence[int]], cached: bool) -> None:
        self.cache = CACHE
        self.array = array
        self.bounds = tuple(tuple(axis) for axis in bounds)
        self.key = uuid.uuid4().hex
        largest = math.prod(max(b - a for a, b in zip(axis, axis[1:])) for axis in self.bounds)
        self.chunk_bytes = largest * np.dtype(array.dtype).itemsize  # of the largest chunk
        smallest, largest_cached = CACHED_CHUNK_BYTES
        self.cached = cached and smallest <= self.chunk_bytes <= largest_cached

    def __getstate__(self) -> Dict[str, Any]:
        state = dict(self.__dict__)
        del state["cache"]  # a cache holds a lock and this process's chunks: another process uses its own
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self.cache = CACHE

    def keeping_in(self, cache: ChunkCache) -> ChunkedReader:
        """This reader with its decoded chunks kept in ``cache`` instead of the process's."""
        reader = copy.copy(self)
        reader.cache = cache
        return reader

    def __call__(self, box: Tuple[slice, ...], reads: Optional[int] = None) -> NDArray[Any]:
        """The values in ``box`` (one slice per axis), a new numpy array. ``reads``, for a box
        inside one chunk, is how many reads the graph makes of that chunk (ChunkCache.fetched)."""
        if not self.cached:
            return np.asarray(self.array[box])
        box = tuple(slice(*part.indices(n)) for part, n in zip(box, self.array.shape))  # a stack's volumes: slice(None)
        window = np.empty(tuple(part.stop - part.start for part in box), dtype=self.array.dtype)
        spans = [spanned(axis, part.start, part.stop) for axis, part in zip(self.bounds, box)]
        for index in itertools.product(*spans):
            chunk = tuple(slice(axis[i], axis[i + 1]) for axis, i in zip(self.bounds, index))
            values = self.cache.fetched((self.key, index), functools.partial(_read, self.array, chunk), reads)
            inside = tuple(slice(max(p.start, c.start), min(p.stop, c.stop)) for p, c in zip(box, chunk))
            window[tuple(slice(i.start - p.start, i.stop - p.start) for i, p in zip(inside, box))] = values[
                tuple(slice(i.start - c.start, i.stop - c.start) for i, c in zip(inside, chunk))
            ]
        return window


def spanned(bounds: Sequence[int], start: int, stop: int) -> range:
    """The indices of the chunks between ``bounds`` (where each starts, and the end) that hold
    some of ``start:stop``."""
    return range(bisect.bisect_right(bounds, start) - 1, bisect.bisect_left(bounds, stop))


def _read(array: Any, box: Tuple[slice, ...]) -> NDArray[Any]:
    return np.asarray(array[box])
