"""Large buffers given back to the system when they are freed, in the command line's own process.

glibc's malloc serves a request of 128 KiB or more by a mapping of its own, and
raises that threshold to the size of each mapped block freed, up to 32 MiB. A
few blocks into a run, the buffers of chunks, windows and output blocks are
served from its heaps instead, and once freed they stay there, between the
small objects still alive. Resident memory then follows how long a run is,
not what it holds at once: `pyramid --levels 3` of a 2 GiB volume peaked at
284 to 328 MB from one run to the next, and at 444 MB at 64 GiB, where its
buffers need 171 MB. A fixed threshold keeps every buffer of a MiB or more in a
mapping of its own, returned to the system when it is freed; this costs a
fresh mapping per buffer, which the same runs did not show in their times.

The setting is the process's, so only the command line run as a program sets
it, never a caller of the library.
"""

from __future__ import annotations

import ctypes
import sys

M_MMAP_THRESHOLD = -3  # mallopt's parameter, from glibc's malloc.h
MAPPED_BYTES = 2**20


def map_large_buffers() -> bool:
    """Have glibc map every allocation of MAPPED_BYTES or more on its own; False where the C
    library is not glibc or refuses (musl's mallopt does nothing and says so)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None)
        libc.gnu_get_libc_version  # noqa: B018  (glibc alone has it)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt.restype = ctypes.c_int
    return bool(mallopt(M_MMAP_THRESHOLD, MAPPED_BYTES))
