"""``voxwarpkit apply`` with dask: Zarr stores (and a NIfTI file on the other side) resampled block by block.

Scheduling lives here: blocks run on this process's threads or on a
dask.distributed cluster, with a progress bar over them. A NIfTI input is
read lazily; a NIfTI output is written from memory. Without a matrix or
another grid, an image is copied from one format to the other, values and
grid unchanged.
"""

from __future__ import annotations

import concurrent.futures
import functools
import importlib
import itertools
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Set, TextIO, Tuple, Union

import numpy as np

from .. import resample
from .._core.grid import Grid
from .._core.threads import thread_count
from .._core.words import counted
from .._lazy.resample import stored
from ..io.atomic import scratch_beside
from ..io.errors import FileError, first_line
from ..io.formats import read_image, takes_voxel_size, written_in_blocks, written_whole
from ..io.lazy import LazyImage, positive_three, read_by_tasks
from ..io.nifti import save_nifti
from ..io.remote import as_place
from ..io.staging import Staging, staged
from ..io.zarr import PathLike, create_output, output_affine, regular_block, write_region
from .errors import CommandError
from .grids import lazy_grid, nifti_on_grid
from .options import Running, Sampling, Storage
from .output import check_output, shown
from .zarr_blocks import DEFAULT_CHUNKS, check_shards

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


def resample_with_dask(
    source: Path,
    target: Path,
    image: LazyImage,
    grid: Grid,
    matrix: Union[NDArray[np.float32], List[Any]],
    sampling: Sampling,
    storage: Storage,
    running: Running,
    *,
    how: str,
    started: float,
    out: TextIO,
) -> None:
    """Resample ``image``, read lazily from ``source``, onto ``grid`` into ``target``
    (Zarr, or NIfTI from a Zarr source) through the kernel's ``(n, 12)`` matrices,
    or a chain with displacement fields.

    ``storage.chunks`` is the output's block shape (z, y, x); ``running.scheduler`` a
    dask.distributed scheduler's address, else ``running.threads`` local threads.
    ``storage.shards`` (z, y, x) groups a Zarr output's chunks (then 64 along each
    axis unless the chunks say) into shards, each made and written by one task.
    """
    matrix = resample_matrix(matrix)
    block = None if storage.chunks is None else tuple(storage.chunks)
    shards = storage.shards
    if written_in_blocks(target):
        if shards is not None:
            check_shards(shards, block, None)
            block = block or DEFAULT_CHUNKS
        apply_zarr(
            source,
            target,
            matrix,
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            chunks=_block_of(block, image.data.ndim, target),
            shards=None if shards is None else _block_of(tuple(shards), image.data.ndim, target),
            scheduler=running.scheduler,
            workers=running.threads,
            affine=grid.affine,
            force=running.force,
            out=out,
            err=running.err,
            input_voxel_size=image.voxel_size if takes_voxel_size(source) else None,
            **sampling.keywords(image.data.dtype),
        )
        return
    with scratch_beside(target) as scratch:
        try:
            lazy = resample(
                read_by_tasks(image),
                image.voxel_size,
                matrix,
                shape=grid.shape[::-1],
                output_voxel_size=grid.zooms,
                chunks=_block_of(block, image.data.ndim, target),
                scratch=scratch,
                **sampling.keywords(image.data.dtype),
            )
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot resample {source}: {error}") from None
        data = run_blocks(lazy, running.scheduler, True, running.err, running.threads)
    save_nifti(nifti_on_grid(np.asarray(data).T, grid, image.header), target, overwrite=running.force)
    print(
        f"resampled {source}{how} into {target} {shown(data.shape[::-1])} "
        f"({data.dtype}, {sampling.interpolation}) in {time.perf_counter() - started:.3f} s",
        file=out,
    )


def resample_matrix(matrix: Union[NDArray[np.float32], List[Any]]) -> Any:
    """The kernel's ``(n, 12)`` matrices, or chain, as resample's ``matrix``: one matrix for all volumes alone."""
    return matrix if isinstance(matrix, list) or len(matrix) > 1 else matrix[0]


def _block_of(chunks: Optional[Tuple[int, ...]], rank: int, target: Path) -> Optional[Tuple[int, ...]]:
    """The output's block for an image of ``rank``: Z Y X as given, or one volume of them for a 4-D image."""
    if chunks is None or len(chunks) == rank:
        return chunks
    if len(chunks) == 3 and rank == 4:
        return (1, *chunks)
    raise CommandError(f"output {target}: --chunks gives {len(chunks)} numbers for a {rank}-D image")


def convert(
    source: Path,
    target: Path,
    chunks: Optional[Sequence[int]],
    scheduler: Optional[str],
    force: bool,
    err: TextIO,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Copy an image between NIfTI and Zarr, or from TIFF to either, values and grid unchanged (axes reversed)."""
    if written_in_blocks(target):
        image = read_image(source, input_voxel_size)
        block = _block_of(None if chunks is None else tuple(chunks), image.data.ndim, target)
        nifti_to_zarr(
            source, target, chunks=block, scheduler=scheduler, force=force, err=err, input_voxel_size=input_voxel_size
        )
    else:
        zarr_to_nifti(source, target, force=force, input_voxel_size=input_voxel_size)


def apply_zarr(
    source: PathLike,
    target: PathLike,
    matrices: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    chunks: Any = None,
    order: Optional[int] = None,
    interpolation: Optional[str] = None,
    antialias: bool = False,
    edges: str = "clamp",
    fill: float = 0.0,
    scheduler: Optional[str] = None,
    workers: Optional[int] = None,
    affine: Optional[ArrayLike] = None,
    force: bool = False,
    progress: bool = True,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
    input_voxel_size: Optional[Sequence[float]] = None,
    shards: Optional[Sequence[int]] = None,
    dtype: Any = None,
) -> None:
    """Resample the image in ``source`` (Zarr, OME-Zarr, NIfTI or TIFF) into the Zarr array ``target``.

    ``matrices`` maps output physical positions to input ones, as
    :func:`voxwarpkit.resample` takes it (one matrix, or one per volume).
    The output grid is the input's, or ``shape`` (z, y, x) and
    ``output_voxel_size`` (sx, sy, sz) where given. ``chunks`` is the output's
    chunking (regular; default blocks of about 64 MiB). ``scheduler`` is a
    dask.distributed scheduler's address, such as ``tcp://host:8786``, or
    None for ``workers`` threads of this process (default: every CPU it may
    use); a cluster's workers must reach ``source`` and ``target`` at the
    same paths. ``affine`` is the output's voxel-to-world affine to record
    (default: the input's, with the output's spacing, where it has one).
    ``shards``, whole multiples of ``chunks``, groups the chunks into shards
    of Zarr format 3, and each task makes and writes one shard: two writers
    of one shard would lose data. ``dtype`` is :func:`voxwarpkit.resample`'s.

    The result is written to a temporary store beside ``target`` that is
    renamed to ``target`` once every block is written: a failed or
    interrupted run leaves no ``target`` (an existing one is replaced only
    with ``force``). The output holds the ``voxel_size`` attribute and, for
    an OME-Zarr input, is an OME-Zarr image of one level. Errors are
    :class:`~voxwarpkit.cli.errors.CommandError`, and
    :class:`~voxwarpkit.io.errors.FileError` for the files read and written.
    """
    target_path = as_place(target)
    check_output(target_path, force=force)
    image = read_image(source, input_voxel_size)
    with scratch_beside(target_path) as scratch:
        try:
            result = resample(
                read_by_tasks(image),
                image.voxel_size,
                matrices,
                shape=shape,
                output_voxel_size=output_voxel_size,
                order=order,
                interpolation=interpolation,
                fill=fill,
                chunks=chunks if shards is None else shards,
                edges=edges,
                antialias=antialias,
                scratch=scratch,
                dtype=dtype,
            )
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot resample {source}: {first_line(error) or type(error).__name__}") from None
        block_shape = regular_block(result.chunks, target_path)
        sharded = None
        if shards is not None:
            block_shape, sharded = tuple(chunks), block_shape
        spacing = positive_three(
            image.voxel_size if output_voxel_size is None else output_voxel_size, "output voxel size"
        )

        started = time.perf_counter()
        write_zarr(
            result,
            target_path,
            block_shape,
            spacing,
            image,
            scheduler=scheduler,
            workers=workers,
            affine=affine,
            force=force,
            progress=progress,
            err=err,
            shards=sharded,
        )
    elapsed = time.perf_counter() - started
    print(
        f"resampled {source} {shown(image.data.shape[::-1])} into {target_path} "
        f"{shown(result.shape[::-1])} {result.dtype} in {counted(result.npartitions, 'block')}, {elapsed:.1f} s",
        file=out,
    )


def write_zarr(
    data: Any,
    target: Path,
    block: Tuple[int, ...],
    spacing: Tuple[float, float, float],
    image: LazyImage,
    *,
    scheduler: Optional[str],
    force: bool,
    progress: bool,
    err: TextIO,
    workers: Optional[int] = None,
    affine: Optional[ArrayLike] = None,
    shards: Optional[Tuple[int, ...]] = None,
) -> None:
    """Compute the dask array ``data`` into a new Zarr store ``target``, whole or not at all.

    ``block`` is the chunk shape of the Zarr array, and of ``data`` unless
    ``shards``, the shards of the array, are its blocks;
    ``image`` is the input, whose metadata the output follows, unless
    ``affine`` gives the output's voxel-to-world affine.
    """
    frame = output_affine(image, spacing, affine, target)

    def writes_into(staging: Staging) -> Any:
        array_path = create_output(staging.folder, data, block, spacing, image, frame, shards)
        return [stored(data, functools.partial(write_region, staging.destination(array_path)))]

    compute_into_store(
        target, writes_into, scheduler=scheduler, force=force, progress=progress, err=err, workers=workers
    )


def compute_into_store(
    target: Path,
    writes_into: Callable[[Staging], Sequence[Any]],
    *,
    scheduler: Optional[str],
    force: bool,
    progress: bool,
    err: TextIO,
    workers: Optional[int] = None,
) -> None:
    """Make a new Zarr store ``target`` (a path or a URL's place) whole or not at all:
    ``writes_into(staging)`` creates the store's arrays in ``staging.folder`` and returns the
    lazy arrays whose blocks write them (at ``staging.destination(array)``), which are computed
    with a progress bar; the store is completed once every block is written, and removed on any
    failure or interruption (:mod:`voxwarpkit.io.staging`).

    Errors name ``target`` as the caller gave it, never the temporary folder."""
    with staged(target, force=force) as staging:
        partial = staging.folder
        try:
            run_arrays(writes_into(staging), scheduler, progress, err, workers)
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


def nifti_to_zarr(
    source: PathLike,
    target: PathLike,
    *,
    chunks: Any = None,
    scheduler: Optional[str] = None,
    force: bool = False,
    progress: bool = True,
    err: TextIO = sys.stderr,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Write the NIfTI image (or TIFF stack) ``source`` as the Zarr array ``target``, axes reversed.

    The array holds the data's own element type, the ``voxel_size``
    attribute (sx, sy, sz), the NIfTI ``affine`` (voxel-to-world, 4x4) and
    ``nifti``, the header's time step (TR), units and sform and qform codes,
    which :func:`zarr_to_nifti` gives back.
    """
    target_path = as_place(target)
    check_output(target_path, force=force)
    image = read_image(source, input_voxel_size)
    data = image.data.rechunk("auto" if chunks is None else chunks)
    write_zarr(
        data,
        target_path,
        regular_block(data.chunks, target_path),
        image.voxel_size,
        image,
        scheduler=scheduler,
        force=force,
        progress=progress,
        err=err,
    )


def zarr_to_nifti(
    source: PathLike, target: PathLike, *, force: bool = False, input_voxel_size: Optional[Sequence[float]] = None
) -> None:
    """Write the Zarr or OME-Zarr image ``source`` as the NIfTI file ``target`` (in memory).

    The affine is the array's ``affine`` attribute, or an OME-Zarr image's
    scale and translation, else the voxel size along the diagonal. The time
    step, units and codes are those the array's ``nifti`` attribute keeps,
    or an OME-Zarr image's time scale and units.
    """
    target_path = as_place(target)
    if not written_whole(target_path):
        raise CommandError(f"output {target_path}: the name must end in .nii or .nii.gz")
    check_output(target_path, force=force)
    image = read_image(source, input_voxel_size)
    grid = lazy_grid(image, as_place(source), "input")
    data = np.asarray(image.data.compute(scheduler="threads")).transpose()
    save_nifti(nifti_on_grid(data, grid, image.header), target_path, overwrite=force)


def run_blocks(lazy: Any, scheduler: Optional[str], progress: bool, err: TextIO, workers: Optional[int] = None) -> Any:
    """Compute the dask array ``lazy`` on ``workers`` local threads or a cluster, with a bar over
    its blocks; return the computed array."""
    return run_arrays([lazy], scheduler, progress, err, workers)[0]


def run_arrays(
    arrays: Sequence[Any], scheduler: Optional[str], progress: bool, err: TextIO, workers: Optional[int] = None
) -> List[Any]:
    """Compute the dask ``arrays`` together (a graph of writes: their flags), with one bar over
    all their blocks; return them computed. Left apart, not joined into one array: joining
    would add tasks per block, and a scheduler holds memory for each task of the graph."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm if progress else None
    except ImportError:  # the bar is a nicety: run without it
        tqdm = None
    bar = None
    if tqdm is not None:
        total = sum(array.npartitions for array in arrays)
        bar = tqdm(total=total, desc="resampling", unit="block", file=err, disable=None)
    try:
        if scheduler is None:
            return _run_locally(arrays, bar, workers)
        return _run_on_cluster(arrays, scheduler, bar)
    finally:
        if bar is not None:
            bar.close()


def _run_locally(arrays: Sequence[Any], bar: Any, workers: Optional[int]) -> List[Any]:
    dask = importlib.import_module("dask")
    callback = importlib.import_module("dask.callbacks").Callback
    names = {array.name for array in arrays}

    def written(key: Any, *_: Any) -> None:
        if bar is not None and isinstance(key, tuple) and key[0] in names:
            bar.update(1)

    pool = concurrent.futures.ThreadPoolExecutor(thread_count(workers))
    try:
        with callback(posttask=written):
            return list(dask.compute(*arrays, scheduler="threads", pool=pool))
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
