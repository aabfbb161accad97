"""``voxwarpkit apply`` for Zarr images: resampled block by block with dask.

A Zarr input or output (a name ending in .zarr, or a folder Zarr wrote)
takes this way; a NIfTI file on the other side is read lazily or written
from memory. Without a matrix or another grid, the image is copied from one
format to the other, values and grid unchanged. Grids and matrices follow the NIfTI command exactly: a Zarr
array (z, y, x) is a NIfTI image (i, j, k) with its axes reversed, and its
world frame is its ``affine`` attribute where it has one (written when it
came from NIfTI), else its voxel size along the axes.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Optional, Sequence, TextIO

import numpy as np

from . import zarrfiles
from .apply import kernel_for, on_grid
from .errors import CommandError
from .files import check_output
from .images import Grid, checked_grid, image_on_grid, output_grid
from .nifti import nifti_suffix, save_nifti
from .resampler import resample

if TYPE_CHECKING:
    from numpy.typing import NDArray

_ORDERS = {"linear": 1, "nearest": 0}
_ZARR_METADATA = (".zarray", ".zgroup", "zarr.json")


def is_zarr(path: Path) -> bool:
    """Whether ``path`` names a Zarr store: by its name, or by what Zarr wrote in it."""
    return path.name.lower().endswith(".zarr") or (
        path.is_dir() and any((path / name).exists() for name in _ZARR_METADATA)
    )


def run_apply_chunked(
    source: Path,
    target: Path,
    matrix_path: Optional[Path] = None,
    *,
    like: Optional[Path] = None,
    voxel_size: Optional[Sequence[float]] = None,
    interpolation: str = "linear",
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Optional[Sequence[int]] = None,
    scheduler: Optional[str] = None,
    convention: Optional[str] = None,
    inverse: bool = False,
    force: bool = False,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
) -> None:
    """Resample ``source`` (Zarr, OME-Zarr or NIfTI) into ``target`` (Zarr, or NIfTI
    from a Zarr source) with dask, as ``run_apply`` does for NIfTI files.

    ``chunks`` is the output's block shape (z, y, x); ``scheduler`` a
    dask.distributed scheduler's address, else ``threads`` local threads.
    """
    started = time.perf_counter()
    if not is_zarr(target) and nifti_suffix(target) is None:
        raise CommandError(f"output {target}: the name must end in .zarr, .nii or .nii.gz")
    check_output(target, force=force)
    if matrix_path is None and like is None and voxel_size is None:
        _convert(source, target, chunks, scheduler, force, err)
        print(f"copied {source} into {target} in {time.perf_counter() - started:.3f} s", file=out)
        return
    image = zarrfiles.read_image(source)
    input_grid = _grid_of(image, source, "input")
    grid = (
        output_grid(input_grid, voxel_size) if like is None else _grid_of(zarrfiles.read_image(like), like, "reference")
    )
    volumes = image.data.shape[0] if image.data.ndim == 4 else 1
    kernel, how = kernel_for(
        matrix_path,
        source=source,
        volumes=volumes,
        input_grid=input_grid,
        grid=grid,
        reference=on_grid(grid),
        moving=on_grid(input_grid),
        convention=convention,
        inverse=inverse,
    )
    matrix = kernel if len(kernel) > 1 else kernel[0]
    order = _ORDERS[interpolation]
    block = None if chunks is None else tuple(chunks)
    if is_zarr(target):
        zarrfiles.apply_zarr(
            source,
            target,
            matrix,
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            chunks=block if block is None or image.data.ndim == 3 else (1,) + block,
            order=order,
            fill=fill,
            scheduler=scheduler,
            workers=threads,
            affine=grid.affine,
            force=force,
            out=out,
            err=err,
        )
        return
    try:
        lazy = resample(
            image.data,
            image.voxel_size,
            matrix,
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            order=order,
            fill=fill,
            chunks=block,
        )
    except (TypeError, ValueError) as error:
        raise CommandError(f"cannot resample {source}: {error}") from None
    data = zarrfiles.run_blocks(lazy, scheduler, True, err, threads)
    save_nifti(image_on_grid(on_grid(grid), np.asarray(data).T, grid, on_grid(grid)), target, overwrite=force)
    print(
        f"resampled {source}{how} into {target} {'x'.join(map(str, data.shape[::-1]))} "
        f"({data.dtype}, {interpolation}) in {time.perf_counter() - started:.3f} s",
        file=out,
    )


def _convert(
    source: Path, target: Path, chunks: Optional[Sequence[int]], scheduler: Optional[str], force: bool, err: TextIO
) -> None:
    """Copy an image between NIfTI and Zarr, values and grid unchanged (axes reversed)."""
    if is_zarr(target):
        image = zarrfiles.read_image(source)
        block = None if chunks is None else (tuple(chunks) if image.data.ndim == 3 else (1, *chunks))
        zarrfiles.nifti_to_zarr(source, target, chunks=block, scheduler=scheduler, force=force, err=err)
    else:
        zarrfiles.zarr_to_nifti(source, target, force=force)


def _grid_of(image: zarrfiles.ZarrImage, path: Path, role: str) -> Grid:
    """The grid (i, j, k) = (x, y, z) of a Zarr or NIfTI image read for dask."""
    spatial = tuple(int(n) for n in image.data.shape[-3:][::-1])
    affine: NDArray[np.float64] = (
        np.diag([*image.voxel_size, 1.0]) if image.affine is None else np.asarray(image.affine, np.float64)
    )
    try:
        return checked_grid(spatial, affine, image.voxel_size, f"{role} {path}")
    except ValueError as error:
        raise CommandError(str(error)) from None
