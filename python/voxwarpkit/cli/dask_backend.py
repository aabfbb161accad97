"""``voxwarpkit apply`` with dask: Zarr stores (and a NIfTI file on the other side) resampled block by block.

Blocks run as :mod:`voxwarpkit.cli.runner` runs them. A NIfTI input is read
lazily; a NIfTI output is written from memory. Without a matrix or another
grid, an image is copied from one format to the other, values and grid
unchanged. Every function takes the options' records as they come.
"""

from __future__ import annotations

import functools
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from .. import resample
from .._core.grid import Grid
from .._core.words import counted
from .._lazy.resample import stored
from ..io.atomic import scratch_beside
from ..io.errors import first_line
from ..io.formats import read_image, takes_voxel_size, written_whole
from ..io.lazy import LazyImage, positive_three, read_by_tasks
from ..io.nifti import save_nifti
from ..io.remote import as_place
from ..io.staging import Staging
from ..io.zarr import PathLike, create_output, output_affine, regular_block, write_region
from .errors import CommandError
from .grids import lazy_grid, nifti_on_grid
from .options import Running, Sampling, Storage
from .output import Output, Summary, check_output, shown
from .runner import compute_into_store, run_blocks
from .zarr_blocks import DEFAULT_CHUNKS, check_shards

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


def resample_with_dask(
    source: Path,
    output: Output,
    image: LazyImage,
    grid: Grid,
    matrix: Union[NDArray[np.float32], List[Any]],
    sampling: Sampling,
    storage: Storage,
    running: Running,
    *,
    summary: Summary,
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
    target = output.place
    if output.blocks:
        if shards is not None:
            check_shards(shards, block, None)
            block = block or DEFAULT_CHUNKS
        apply_zarr(
            source,
            target,
            matrix,
            grid=grid,
            sampling=sampling,
            storage=storage._replace(chunks=block),
            running=running,
            out=summary.out,
            input_voxel_size=image.voxel_size if takes_voxel_size(source) else None,
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
        data = run_blocks(lazy, running._replace(progress=True))
    save_nifti(nifti_on_grid(np.asarray(data).T, grid, image.header), target, overwrite=running.force)
    print(
        f"resampled {source}{summary.how} into {target} {shown(data.shape[::-1])} "
        f"({data.dtype}, {sampling.interpolation}) in {time.perf_counter() - summary.started:.3f} s",
        file=summary.out,
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
    output: Output,
    chunks: Optional[Sequence[int]],
    running: Running,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Copy an image between NIfTI and Zarr, or from TIFF to either, values and grid unchanged (axes reversed)."""
    target = output.place
    if output.blocks:
        image = read_image(source, input_voxel_size)
        block = _block_of(None if chunks is None else tuple(chunks), image.data.ndim, target)
        nifti_to_zarr(source, target, chunks=block, running=running, input_voxel_size=input_voxel_size)
    else:
        zarr_to_nifti(source, target, force=running.force, input_voxel_size=input_voxel_size)


def apply_zarr(
    source: PathLike,
    target: PathLike,
    matrices: ArrayLike,
    *,
    grid: Optional[Grid] = None,
    sampling: Optional[Sampling] = None,
    storage: Optional[Storage] = None,
    running: Optional[Running] = None,
    out: TextIO = sys.stdout,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Resample the image in ``source`` (Zarr, OME-Zarr, NIfTI or TIFF) into the Zarr array ``target``.

    ``matrices`` maps output physical positions to input ones, as
    :func:`voxwarpkit.resample` takes it (one matrix, or one per volume).
    The output grid is the input's, or ``grid`` where given, whose affine the
    output records (else the input's, with the output's spacing). ``sampling``
    is resample's keywords (None: the defaults, as for the other records);
    ``storage.chunks`` the output's chunking (regular; default blocks of
    about 64 MiB) and ``storage.shards``, whole multiples of
    them, groups the chunks into shards of Zarr format 3, each made and
    written by one task (two writers of one shard would lose data);
    ``running`` says where the blocks run (a cluster's workers must reach
    ``source`` and ``target`` at the same paths).

    The result is written to a temporary store beside ``target`` that is
    renamed to ``target`` once every block is written: a failed or
    interrupted run leaves no ``target`` (an existing one is replaced only
    with ``running.force``). The output holds the ``voxel_size`` attribute and,
    for an OME-Zarr input, is an OME-Zarr image of one level. Errors are
    :class:`~voxwarpkit.cli.errors.CommandError`, and
    :class:`~voxwarpkit.io.errors.FileError` for the files read and written.
    """
    sampling, storage, running = sampling or Sampling(), storage or Storage(), running or Running()
    chunks, shards = storage.chunks, storage.shards
    shape = None if grid is None else grid.shape[::-1]
    output_voxel_size = None if grid is None else grid.zooms
    target_path = as_place(target)
    check_output(target_path, force=running.force)
    image = read_image(source, input_voxel_size)
    if isinstance(chunks, (tuple, list)):  # else dask's forms of chunks, taken as they are
        chunks = _block_of(tuple(chunks), image.data.ndim, target_path)
    if shards is not None:
        shards = _block_of(tuple(shards), image.data.ndim, target_path)
    with scratch_beside(target_path) as scratch:
        try:
            result = resample(
                read_by_tasks(image),
                image.voxel_size,
                matrices,
                shape=shape,
                output_voxel_size=output_voxel_size,
                chunks=chunks if shards is None else shards,
                scratch=scratch,
                **sampling.keywords(image.data.dtype),
            )
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot resample {source}: {first_line(error) or type(error).__name__}") from None
        block_shape = regular_block(result.chunks, target_path)
        sharded = None
        if shards is not None:
            assert chunks is not None  # shards come with the chunks they hold
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
            running=running,
            affine=None if grid is None else grid.affine,
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
    running: Running,
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
        # Nothing waits for one of these blocks: they may run in the order of the chunks they read.
        sink = functools.partial(write_region, staging.destination(array_path))
        return [stored(data, sink, flags_in_place=False)]

    compute_into_store(target, writes_into, running)


def nifti_to_zarr(
    source: PathLike,
    target: PathLike,
    *,
    chunks: Any = None,
    running: Optional[Running] = None,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Write the NIfTI image (or TIFF stack) ``source`` as the Zarr array ``target``, axes reversed.

    The array holds the data's own element type, the ``voxel_size``
    attribute (sx, sy, sz), the NIfTI ``affine`` (voxel-to-world, 4x4) and
    ``nifti``, the header's time step (TR), units and sform and qform codes,
    which :func:`zarr_to_nifti` gives back.
    """
    running = running or Running()
    target_path = as_place(target)
    check_output(target_path, force=running.force)
    image = read_image(source, input_voxel_size)
    data = image.data.rechunk("auto" if chunks is None else chunks)
    write_zarr(data, target_path, regular_block(data.chunks, target_path), image.voxel_size, image, running=running)


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
