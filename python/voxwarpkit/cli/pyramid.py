"""``voxwarpkit pyramid``: an OME-Zarr multiscale image, each level anti-aliased and resampled from the one before.

Level k is ``resample(level k - 1, ..., antialias=True)`` onto level k's grid
(:mod:`voxwarpkit.pyramid`), linear, float32; level 0 is the input itself as
float32. Each level reads the one before rather than the input, so its
smoothing is short and its windows small; its bits are those of the same
in-memory calls one after the other. All levels are written from one dask
graph into a temporary store, renamed once complete.
"""

from __future__ import annotations

import functools
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from .._next_level import resample_and_next_level
from .._resample import resample
from ..images import Grid
from ..io.lazy import HeaderFields, LazyImage
from ..io.ome_pyramid import create_pyramid, multiscale_entry, ome_axes
from ..io.zarr import write_block
from ..pyramid import Level, as_float32, next_level, pyramid_levels
from .dask_backend import compute_into_store, read_image, resample_matrix
from .errors import CommandError
from .output import check_output, shown

if TYPE_CHECKING:
    from numpy.typing import NDArray

DEFAULT_CHUNKS = (64, 64, 64)


def run_pyramid(
    source: Path,
    target: Path,
    *,
    levels: Optional[int] = None,
    chunks: Optional[Sequence[int]] = None,
    scheduler: Optional[str] = None,
    ngff: str = "0.4",
    threads: Optional[int] = None,
    force: bool = False,
    progress: bool = True,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Write the image ``source`` (NIfTI, Zarr, OME-Zarr or TIFF) as the OME-Zarr multiscale image ``target``.
    ``input_voxel_size`` gives or replaces a TIFF's voxel size.

    ``chunks`` (z, y, x) is every level's block (default 64 along each
    axis, cut to the level); ``levels`` the most levels, level 0 included
    (default: until a level fits in one block along some axis); ``ngff``
    "0.4" (Zarr format 2) or "0.5" (format 3).
    """
    started = time.perf_counter()
    check_pyramid_name(target)
    check_output(target, force=force, reads=(source,))
    image = read_image(source, input_voxel_size)
    affine = None if image.affine is None else np.asarray(image.affine, dtype=np.float64)

    def first_levels(grids: List[Level], blocks: List[Tuple[int, ...]]) -> List[Any]:
        return [_level(image.data, grids[0], grids[0], blocks[0])]

    grids = write_pyramid(
        tuple(image.data.shape),
        first_levels,
        image.voxel_size,
        affine,
        target,
        levels=levels,
        chunks=chunks,
        ngff=ngff,
        header=image.header,
        name=source.name,
        what=f"input {source}",
        scheduler=scheduler,
        threads=threads,
        force=force,
        progress=progress,
        err=err,
    )
    print(
        f"wrote {len(grids)} levels of {source} into {target} (OME-Zarr {ngff}): "
        + ", ".join(shown(level.shape[::-1]) for level in grids)
        + f" in {time.perf_counter() - started:.1f} s",
        file=out,
    )


def check_pyramid_name(target: Path) -> None:
    """CommandError unless ``target`` names a Zarr store."""
    if not target.name.lower().endswith(".zarr"):
        raise CommandError(f"output {target}: the name must end in .zarr")


# Makes a pyramid's first levels (one or more) as lazy float32 arrays, given its levels and their blocks.
FirstLevels = Callable[[List[Level], List[Tuple[int, ...]]], List[Any]]


def write_pyramid(
    shape: Tuple[int, ...],
    first_levels: FirstLevels,
    voxel_size: Sequence[float],
    affine: Optional[NDArray[np.float64]],
    target: Path,
    *,
    levels: Optional[int],
    chunks: Optional[Sequence[int]],
    ngff: str,
    header: Optional[HeaderFields],
    name: str,
    what: str,
    scheduler: Optional[str],
    threads: Optional[int],
    force: bool,
    progress: bool,
    err: TextIO,
) -> List[Level]:
    """Write an image of ``shape`` ((t,) z, y, x; voxel size (sx, sy, sz), voxel-to-world
    ``affine`` or None) as the OME-Zarr multiscale image ``target``, from one graph; return
    its levels. ``first_levels`` makes the first levels, each next one is the level before it
    anti-aliased and resampled. ``what`` names the image in errors."""
    check_pyramid_name(target)
    if affine is not None:
        if not np.allclose(affine[:3, :3], np.diag(np.diag(affine[:3, :3])), rtol=0, atol=1e-9 * max(voxel_size)):
            raise CommandError(
                f"{what}: its grid is rotated or sheared, and OME-Zarr places a grid by a scale and a translation only"
            )
        origin = tuple(float(v) for v in affine[:3, 3])
    else:
        origin = (0.0, 0.0, 0.0)
    block = tuple(chunks) if chunks is not None else DEFAULT_CHUNKS
    try:
        grids = pyramid_levels(shape[-3:], voxel_size, origin, levels=levels, chunks=block)
    except ValueError as error:
        raise CommandError(str(error)) from None
    lead = shape[:-3]
    shapes = [lead + level.shape for level in grids]
    blocks = [(1,) * len(lead) + tuple(min(c, n) for c, n in zip(block, level.shape)) for level in grids]
    axes = ome_axes(len(shape), header and header.space_unit, header and header.time_unit)
    time_step = header.time_step if header is not None and header.time_step else 1.0
    entry = multiscale_entry(grids, axes, time_step, ngff, name)
    lazy = first_levels(grids, blocks)
    for finer, level, level_chunks in zip(grids[len(lazy) - 1 :], grids[len(lazy) :], blocks[len(lazy) :]):
        lazy.append(_level(lazy[-1], finer, level, level_chunks))

    def writes_into(store: Path) -> Any:
        paths = create_pyramid(store, entry, shapes, blocks, np.dtype(np.float32), ngff)
        return _all_writes(lazy, paths)

    compute_into_store(
        target, writes_into, scheduler=scheduler, force=force, progress=progress, err=err, workers=threads
    )
    return grids


def resample_into_pyramid(
    source: Path,
    target: Path,
    image: LazyImage,
    grid: Grid,
    kernel: Union[NDArray[np.float32], List[Any]],
    *,
    interpolation: str,
    antialias: bool,
    edges: str,
    fill: float,
    threads: Optional[int],
    chunks: Optional[Sequence[int]],
    scheduler: Optional[str],
    force: bool,
    err: TextIO,
    levels: int,
    ngff: str,
) -> None:
    """``image`` resampled onto ``grid`` through the kernel's matrices or chain as level 0
    of the OME-Zarr image ``target``: one graph makes and writes every level, and level 0 is
    made with level 1 (:mod:`voxwarpkit._next_level`), so that it is never held whole."""

    def first_levels(grids: List[Level], blocks: List[Tuple[int, ...]]) -> List[Any]:
        arguments = (image.data, image.voxel_size, resample_matrix(kernel))
        options: Dict[str, Any] = dict(interpolation=interpolation, fill=fill, edges=edges, antialias=antialias)
        try:
            if len(grids) > 1:
                return list(resample_and_next_level(*arguments, grids[0], grids[1], blocks[0][-3:], **options))
            level = grids[0]
            only = resample(*arguments, shape=level.shape, output_voxel_size=level.spacing, chunks=blocks[0], **options)
            return [_level(only, level, level, blocks[0])]
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot resample {source}: {error}") from None

    write_pyramid(
        tuple(image.data.shape[:-3]) + tuple(grid.shape[::-1]),
        first_levels,
        grid.zooms,
        np.asarray(grid.affine, dtype=np.float64),
        target,
        levels=levels,
        chunks=chunks,
        ngff=ngff,
        header=image.header,
        name=source.name,
        what="the output grid",
        scheduler=scheduler,
        threads=threads,
        force=force,
        progress=True,
        err=err,
    )


def _level(finer_data: Any, finer: Level, level: Level, chunks: Tuple[int, ...]) -> Any:
    """Level ``level`` as a lazy float32 array in blocks ``chunks``: level 0 is the image itself,
    each later one the level before it anti-aliased and resampled onto its grid, so each level
    reads a coarser one than the input."""
    if level is finer:
        return as_float32(finer_data, chunks)
    try:
        return next_level(finer_data, finer, level, chunks)
    except (TypeError, ValueError) as error:
        raise CommandError(f"cannot resample the input: {error}") from None


def _all_writes(levels: List[Any], paths: List[str]) -> Any:
    """One lazy array whose blocks write every block of every level."""
    da = __import__("dask.array").array
    writes = [
        data.map_blocks(functools.partial(write_block, path), dtype=bool, chunks=(1,) * data.ndim).reshape(
            (-1,), merge_chunks=False
        )
        for data, path in zip(levels, paths)
    ]
    return da.concatenate(writes)
