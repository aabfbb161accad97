"""What a dask.distributed worker does before it takes the command's tasks."""

from __future__ import annotations

import importlib
from typing import Any

from distributed import WorkerPlugin


class ImportZarr(WorkerPlugin):
    """Imports zarr as a worker starts, replacements of workers that died included.

    Otherwise a fresh worker imports zarr on two threads at once: its
    communication thread unpickling the input's zarr arrays and a task
    writing a block. zarr's modules import each other, and the second
    thread then finds one half initialised ("cannot import name ... from
    partially initialized module") and the block fails.
    """

    name = "voxwarpkit-import-zarr"

    def setup(self, worker: Any) -> None:
        importlib.import_module("zarr")
