"""The blocks a Zarr output is written in: its chunks, and the shards that group them.

A shard is one object in the store, rewritten whole by every write into it:
two tasks writing one shard lose data. So where there are shards, a task
makes and writes exactly one shard, and the shards are whole multiples of
the chunks, as Zarr format 3 (OME-Zarr 0.5) requires.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple

from .errors import CommandError

DEFAULT_CHUNKS = (64, 64, 64)


def shards_of(shards: Sequence[int], shape: Tuple[int, ...], chunks: Tuple[int, ...]) -> Tuple[int, ...]:
    """A level's shards: ``shards`` (z, y, x) where the level is larger, else the chunks that cover it."""
    lead = chunks[:-3]
    spatial = (min(s, -(-n // c) * c) for s, n, c in zip(shards, shape[-3:], chunks[-3:]))
    return lead + tuple(spatial)


def check_shards(
    shards: Optional[Sequence[int]], chunks: Optional[Sequence[int]], ngff: Optional[str]
) -> Optional[str]:
    """The NGFF version asked for (``ngff``), which ``shards`` make 0.5, the one that has them;
    CommandError for shards that are not whole multiples of the chunks, or with 0.4."""
    if shards is None:
        return ngff
    if ngff == "0.4":
        raise CommandError("--shards needs OME-Zarr 0.5 (Zarr format 3): give --ngff 0.5, or leave it out")
    block = tuple(chunks)[-3:] if chunks is not None else DEFAULT_CHUNKS
    if len(shards) != 3 or any(s % c for s, c in zip(shards, block)):
        given, chunked = " ".join(map(str, shards)), " ".join(map(str, block))
        raise CommandError(f"--shards {given} must be whole multiples of the chunks, {chunked} (Z Y X)")
    return "0.5"
