"""The order a resampling's blocks run in, so that each input chunk they read is decoded about once.

Blocks that read the same input chunks must run while those chunks are still
in the cache of decoded chunks (:mod:`voxwarpkit._lazy.chunk_cache`). Two
orders suit different inputs. The order of the first chunk each block reads
sweeps the input plane by plane: each chunk is decoded once while the cache
holds the chunks the sweep has open, a few planes' worth, which is so for
inputs of a few GiB. On a wider input those planes outgrow the cache, and
the Morton order of the blocks, which keeps neighbours along all three axes
close in time, decodes each chunk fewer times. The plan says which chunks
every block reads before any block runs, so both orders are replayed against
the cache and the one with fewer decodes is taken.
"""

from __future__ import annotations

import collections
from typing import Hashable, List, Mapping, Sequence, Tuple

BlockIndex = Tuple[int, ...]


def morton_key(index: BlockIndex) -> int:
    """The Morton (Z-order) number of a block index: its axes' bits interleaved, the first axis's highest."""
    key, rank = 0, len(index)
    for bit in range(max(index, default=0).bit_length()):
        for axis, value in enumerate(index):
            key |= ((value >> bit) & 1) << (bit * rank + rank - 1 - axis)
    return key


def replayed_decodes(order: Sequence[BlockIndex], reads: Mapping[BlockIndex, Sequence[Hashable]], held: int) -> int:
    """How many chunks a run of the blocks in ``order`` decodes through a cache that holds ``held``
    chunks, the least recently used dropped first and a chunk dropped after its last read, as
    the cache of decoded chunks does. ``reads`` are the chunks each block reads."""
    unread = collections.Counter(chunk for block in order for chunk in reads[block])
    cache: collections.OrderedDict[Hashable, None] = collections.OrderedDict()
    decodes = 0
    for block in order:
        for chunk in reads[block]:
            unread[chunk] -= 1
            if chunk in cache:
                cache.move_to_end(chunk)
                if not unread[chunk]:
                    del cache[chunk]
                continue
            decodes += 1
            if unread[chunk] and held > 0:
                cache[chunk] = None
                if len(cache) > held:
                    cache.popitem(last=False)
    return decodes


def read_order(reads: Mapping[BlockIndex, Sequence[Hashable]], held: int) -> List[BlockIndex]:
    """The blocks of ``reads`` (the chunks each block reads, in chunk order) in the order that
    decodes fewer chunks through a cache holding ``held`` of them: by the first chunk each reads,
    or by Morton order; the first on a tie."""
    by_first = sorted(reads, key=lambda block: tuple(reads[block][:1]))
    by_morton = sorted(reads, key=morton_key)
    return min((by_first, by_morton), key=lambda order: replayed_decodes(order, reads, held))
