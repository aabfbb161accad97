"""Running a graph of writes: on this process's threads or a dask.distributed cluster, with a
progress bar over its blocks, and a new store made whole or not at all.

A run is described by the ``Running`` record the options make (scheduler, threads, progress,
replacing an output, where messages go), which every command passes down unchanged.
"""

from __future__ import annotations

import concurrent.futures
import functools
import importlib
import itertools
import sys
import time
from pathlib import Path
from typing import Any, Callable, List, Sequence, Set

from .._core.threads import thread_count
from ..io.errors import FileError, first_line
from ..io.staging import Staging, staged
from .allocator import release_free_memory
from .batches import run_in_batches
from .errors import CommandError
from .options import Running


def compute_into_store(target: Path, writes_into: Callable[[Staging], Sequence[Any]], running: Running) -> None:
    """Make a new Zarr store ``target`` (a path or a URL's place) whole or not at all:
    ``writes_into(staging)`` creates the store's arrays in ``staging.folder`` and returns the
    lazy arrays whose blocks write them (at ``staging.destination(array)``), which are computed
    with a progress bar; the store is completed once every block is written, and removed on any
    failure or interruption (:mod:`voxwarpkit.io.staging`).

    Errors name ``target`` as the caller gave it, never the temporary folder."""
    with staged(target, force=running.force) as staging:
        partial = staging.folder
        try:
            run_writes(writes_into(staging), running)
        except (CommandError, FileError) as error:
            raise type(error)(_in_words_of(error, partial, target)) from None
        except OSError as error:  # a folder that may not be written, a full disk, a name too long
            reason = error.strerror or _in_words_of(error, partial, target)
            raise CommandError(f"output {target}: cannot write it ({reason})") from None
        except Exception as error:  # a block that failed: corrupt input, a lost worker
            reason = f"{type(error).__name__}: {_in_words_of(error, partial, target)}"
            raise CommandError(f"output {target}: not written: {reason}") from None


def _in_words_of(error: Exception, partial: Path, target: Path) -> str:
    """The error's first line, naming ``target`` where it names the temporary folder ``partial``."""
    return (first_line(error) or type(error).__name__).replace(str(partial), str(target))


def run_blocks(lazy: Any, running: Running) -> Any:
    """Compute the dask array ``lazy`` as ``running`` says, with a bar over its blocks; return it computed."""
    return run_arrays([lazy], running)[0]


def run_arrays(arrays: Sequence[Any], running: Running) -> List[Any]:
    """Compute the dask ``arrays`` together, with one bar over all their blocks; return them
    computed. Left apart, not joined into one array: joining would add tasks per block, and a
    scheduler holds memory for each task of the graph."""
    computed: List[Any] = _with_bar(arrays, running, lambda bar: _run_locally(arrays, bar, running.threads))
    return computed


def run_writes(writes: Sequence[Any], running: Running) -> None:
    """Compute the dask arrays ``writes`` (a graph of writes: their flags), with one bar over all
    their blocks; on this process's threads a bounded batch at a time (:mod:`.batches`), so that
    the scheduler's memory does not grow with the volume."""
    _with_bar(writes, running, lambda bar: _write_locally(writes, bar, running.threads))


def _with_bar(arrays: Sequence[Any], running: Running, locally: Callable[[Any], Any]) -> Any:
    """``locally(bar)``, or the arrays computed on ``running``'s cluster, with a bar over their blocks."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm if running.progress else None
    except ImportError:  # the bar is a nicety: run without it
        tqdm = None
    bar = None
    if tqdm is not None:
        total = sum(array.npartitions for array in arrays)
        bar = tqdm(total=total, desc="resampling", unit="block", file=running.err, disable=None)
    try:
        if running.scheduler is None:
            return locally(bar)
        return _run_on_cluster(arrays, running.scheduler, bar)
    finally:
        if bar is not None:
            bar.close()


def _run_locally(arrays: Sequence[Any], bar: Any, workers: Any) -> List[Any]:
    dask = importlib.import_module("dask")

    def compute(pool: Any) -> List[Any]:
        return list(dask.compute(*arrays, scheduler="threads", pool=pool))

    computed: List[Any] = _on_threads(arrays, bar, workers, compute)
    return computed


def _write_locally(writes: Sequence[Any], bar: Any, workers: Any) -> None:
    threaded = importlib.import_module("dask.threaded")
    merged = importlib.import_module("dask.highlevelgraph").HighLevelGraph.merge(*(w.__dask_graph__() for w in writes))
    flatten = importlib.import_module("dask.core").flatten
    keys = [list(flatten(write.__dask_keys__())) for write in writes]

    def run(pool: Any) -> None:
        def batch_run(graph: Any, batch: List[Any]) -> Any:
            values = threaded.get(graph, batch, pool=pool)
            release_free_memory()  # what the batch's buffers left in the allocator's heaps
            return values

        run_in_batches(dict(merged), keys, batch_run)

    _on_threads(writes, bar, workers, run)


def _on_threads(arrays: Sequence[Any], bar: Any, workers: Any, compute: Callable[[Any], Any]) -> Any:
    """``compute(pool)`` on a pool of ``workers`` threads, the bar counting the arrays' blocks."""
    callback = importlib.import_module("dask.callbacks").Callback
    names = {array.name for array in arrays}

    def written(key: Any, *_: Any) -> None:
        if bar is not None and isinstance(key, tuple) and key[0] in names:
            bar.update(1)

    pool = concurrent.futures.ThreadPoolExecutor(thread_count(workers))
    try:
        with callback(posttask=written):
            return compute(pool)
    except BaseException:
        # Let the tasks under way end before the store is removed.
        if sys.version_info >= (3, 9):
            pool.shutdown(wait=True, cancel_futures=True)
        raise
    finally:
        pool.shutdown(wait=True)


def _run_on_cluster(arrays: Sequence[Any], address: str, bar: Any) -> List[Any]:
    distributed = importlib.import_module("distributed")
    try:
        client = distributed.Client(address, timeout="20s")
    except (OSError, TimeoutError, ValueError) as error:
        raise CommandError(
            f"scheduler {address}: cannot connect ({first_line(error) or type(error).__name__})"
        ) from None
    futures: List[Any] = []
    plugin = importlib.import_module("voxwarpkit.cli.worker_setup").ImportZarr()
    try:
        # distributed before 2023.9 (the newest Python 3.8 gets) names it register_worker_plugin.
        (getattr(client, "register_plugin", None) or client.register_worker_plugin)(plugin)
        persisted = client.persist(list(arrays))
        futures = distributed.futures_of(persisted)
        # The loop is this client's: by default as_completed takes the current
        # client's, which in a process that has another client (a notebook's,
        # a test's) runs another event loop than these futures.
        for future in distributed.as_completed(futures, loop=client.loop):
            future.result()  # raises the block's error, a KilledWorker for a worker that died
            if bar is not None:
                bar.update(1)
        return list(client.compute(persisted, sync=True))
    except BaseException:
        client.cancel(futures)
        _wait_for_tasks_to_end(client, {array.name for array in arrays})
        raise
    finally:
        try:
            client.unregister_worker_plugin(plugin.name)
        except Exception:  # the cluster is gone or never took the plugin: nothing to take back
            pass
        client.close()


def _tasks_held(layers: Set[str], dask_worker: Any) -> int:
    """How many tasks of the graph ``layers`` a worker runs or is about to run (called on the worker)."""
    state = getattr(dask_worker, "state", None)
    kinds = ("executing", "long_running", "ready", "constrained")
    held = itertools.chain(*(getattr(state, kind, ()) for kind in kinds))
    return sum(1 for task in held if isinstance(task.key, tuple) and task.key[0] in layers)


def _wait_for_tasks_to_end(client: Any, layers: Set[str], timeout: float = 120.0) -> None:
    """Wait until no worker still runs a write of the graph ``layers``.

    Cancelling stops what has not started, but a task already running on a
    worker goes on: it would write its block after the temporary store is
    removed, and so make it again. Workers that died no longer answer.
    """
    deadline = time.monotonic() + timeout
    held = functools.partial(_tasks_held, layers)
    planned = functools.partial(_tasks_planned, layers)
    while time.monotonic() < deadline:
        try:
            # A worker that cannot answer yet (one just restarted, say) may be running a
            # task already: its error counts as a task held, until it answers.
            counts = client.run(held, on_error="return")
            # A task the scheduler still plans (one a lost worker had finished, rescheduled)
            # would start after this wait: it must be gone from the scheduler too.
            pending = client.run_on_scheduler(planned)
        except Exception:
            # While a worker dies or a new one joins, a question can fail with the
            # scheduler still there and tasks still running: ask again, unless the
            # connection is gone and nothing more can be asked.
            if client.status not in ("running", "connecting"):
                return
            time.sleep(0.05)
            continue
        if not any(isinstance(count, BaseException) or count for count in counts.values()) and not pending:
            return
        time.sleep(0.05)


def _tasks_planned(layers: Set[str], dask_scheduler: Any) -> int:
    """How many tasks of the graph ``layers`` the scheduler still means to run (called on it)."""
    kinds = ("processing", "queued", "no-worker", "waiting")
    tasks = getattr(dask_scheduler, "tasks", {})
    return sum(1 for key, task in tasks.items() if isinstance(key, tuple) and key[0] in layers and task.state in kinds)
