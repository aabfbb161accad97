"""How many threads a call runs on."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

# The engine's own bound; larger counts would only make idle threads.
_MOST_THREADS = 4096


def thread_count(threads: Optional[int]) -> int:
    """``threads``, checked, or for ``None`` every CPU this process may run on.

    The CPUs come from the process's affinity where the system has one (so a
    job confined by ``taskset`` or a batch scheduler uses its share, not the
    whole machine), else from ``os.cpu_count()``.
    """
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not on every system
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads must be an integer or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    if threads > _MOST_THREADS:
        raise ValueError(f"threads must be from 1 to {_MOST_THREADS}, got {threads}")
    return int(threads)
