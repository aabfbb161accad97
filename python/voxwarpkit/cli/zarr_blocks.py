"""The blocks a Zarr output is written in: its chunks, and the shards that group them.

A shard is one object in the store, rewritten whole by every write into it:
two tasks writing one shard lose data. So where there are shards, a task
makes and writes exactly one shard, and the shards are whole multiples of
the chunks, as Zarr format 3 (OME-Zarr 0.5) requires.
"""

from __future__ import annotations

import math
from typing import Optional, Sequence, Tuple

from .errors import CommandError

DEFAULT_CHUNKS = (64, 64, 64)
# A task's block of a pyramid level holds about this many bytes of float32: whole chunks, so that each
# chunk keeps one writer, and few enough tasks that the graph stays small for any volume
# (a task per 64**3 chunk is 32,768 tasks a level for a 2048**3 stack). A level's task
# reads a window of about eight times its block from the level before it.
TASK_BYTES = 2 * 2**20
# A block that copies an input into level 0 may hold up to this many bytes of float32 when that
# makes each stored chunk of the input one task's read: a chunk cut among tasks would be read
# and decoded by each of them.
COPY_BYTES = 32 * 2**20


def task_block(chunks: Tuple[int, ...]) -> Tuple[int, ...]:
    """Whole ``chunks`` (z, y, x) joined along x, then y, then z while the block holds no more
    than TASK_BYTES of float32."""
    block = list(chunks)
    grown = True
    while grown:
        grown = False
        for axis in (-1, -2, -3):
            doubled = block.copy()
            doubled[axis] *= 2
            if 4 * math.prod(doubled) <= TASK_BYTES:
                block, grown = doubled, True
    return tuple(block)


def copy_block(block: Tuple[int, ...], stored: Tuple[int, ...]) -> Tuple[int, ...]:
    """A block of whole ``block``s ((t,) z, y, x) that also holds whole ``stored`` chunks of the
    input it copies in z, y and x, at most COPY_BYTES of float32; ``block`` where there is none
    so small."""
    joined = block[:-3] + tuple(b * s // math.gcd(b, s) for b, s in zip(block[-3:], stored[-3:]))  # math.lcm needs 3.9
    return joined if 4 * math.prod(joined) <= COPY_BYTES else block


def level_block(block: Tuple[int, ...], shape: Tuple[int, ...], chunks: Tuple[int, ...]) -> Tuple[int, ...]:
    """A task block of a level of ``shape``: ``block`` where the level is larger, else the whole
    chunks that cover it."""
    lead = chunks[:-3]
    spatial = (min(b, -(-n // c) * c) for b, n, c in zip(block[-3:], shape[-3:], chunks[-3:]))
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
