"""Memory the allocator holds freed, given back to the system between batches of writes.

glibc's malloc serves a request of 128 KiB or more by a mapping of its own, and
raises that threshold to the size of each mapped block freed, up to 32 MiB. A
few blocks into a run, the buffers of chunks, windows and output blocks are
served from its heaps instead, and once freed they stay there, between the
small objects still alive. Trimming the heaps after each batch of writes costs
the page faults of one batch's buffers, a few times a run, and lowered a
pyramid's peak by about a tenth at 2 GiB and a twentieth at 64 GiB. Mapping
every buffer on its own (a fixed threshold) would lower it much more, but a
fresh mapping per buffer made `apply` about a third slower.
"""

from __future__ import annotations

import ctypes
import sys


def release_free_memory() -> bool:
    """Give back to the system the free pages of glibc's heaps (``malloc_trim``); False where
    the C library is not glibc, or nothing was released."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None)
        libc.gnu_get_libc_version  # noqa: B018  (glibc alone has it)
        trim = libc.malloc_trim
    except (OSError, AttributeError):
        return False
    trim.argtypes = [ctypes.c_size_t]
    trim.restype = ctypes.c_int
    return bool(trim(0))
