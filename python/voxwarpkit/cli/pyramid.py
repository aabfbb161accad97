"""``voxwarpkit pyramid``: an OME-Zarr multiscale image, each level made from the one before.

Level k is the level before it resampled onto level k's grid
(:mod:`voxwarpkit.pyramid`): linear levels anti-aliased, float32, with level
0 the input itself as float32; nearest and label levels (label maps)
unsmoothed, in the input's type, level 0 the input itself. Each level reads
the one before rather than the input, so its smoothing is short and its
windows small; its bits are those of the same in-memory calls one after the
other. All levels are written from one dask graph into a temporary store,
renamed once complete. An image whose axes run backwards is flipped so that
OME-Zarr's positive scales hold it (:mod:`voxwarpkit.cli.ome_grid`). A label
map may be written as a label image inside an existing OME-Zarr image.
"""

from __future__ import annotations

import functools
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from .. import resample
from .._core.grid import Grid
from .._core.words import counted
from .._lazy.next_level import resample_and_next_level
from .._lazy.resample import stored
from .._lazy.windows import Windows, regular_chunks
from ..io.atomic import scratch_beside
from ..io.errors import FileError
from ..io.formats import read_image
from ..io.lazy import HeaderFields, LazyImage, read_by_tasks
from ..io.ome_pyramid import create_pyramid, multiscale_entry, name_label, ngff_version, ome_axes
from ..io.staging import Staging, open_destination
from ..io.zarr import write_region
from ..pyramid import Level, first_level, level_method, next_level, pyramid_levels
from .dask_backend import resample_matrix
from .errors import CommandError
from .ome_grid import forward_image
from .options import Running, Sampling
from .output import check_output, shown
from .runner import compute_into_store
from .zarr_blocks import DEFAULT_CHUNKS, check_shards, copy_block, level_block, task_block

if TYPE_CHECKING:
    from numpy.typing import NDArray


class PyramidLayout(NamedTuple):
    """What a pyramid holds and how it is stored, as the pyramid options of the command line say."""

    levels: Optional[int] = None  # the most levels, level 0 included; None: until one fits a chunk
    chunks: Optional[Sequence[int]] = None  # every level's chunks (z, y, x); None: DEFAULT_CHUNKS
    shards: Optional[Sequence[int]] = None  # (z, y, x), grouping the chunks (NGFF 0.5)
    ngff: Optional[str] = None  # "0.4" or "0.5"; None: a label's image's, 0.5 with shards, else 0.4
    interpolation: str = "linear"  # how the input is sampled; the levels' method follows from it
    label: Optional[str] = None  # the label image of the existing image the pyramid becomes


def run_pyramid(
    source: Path,
    target: Path,
    layout: PyramidLayout,
    running: Running,
    *,
    out: TextIO = sys.stdout,
    input_voxel_size: Optional[Sequence[float]] = None,
) -> None:
    """Write the image ``source`` (NIfTI, Zarr, OME-Zarr or TIFF) as the OME-Zarr multiscale image
    ``target`` laid out as ``layout`` says (its ``ngff``, where no label or shards decide it); with
    ``layout.label``, the input is a label map written as that label image of the existing
    OME-Zarr image ``target``, in its NGFF version. ``input_voxel_size`` gives or replaces a TIFF's
    voxel size."""
    started = time.perf_counter()
    place = check_pyramid_target(
        target,
        layout.label,
        check_shards(layout.shards, layout.chunks, layout.ngff),
        force=running.force,
        reads=(source,),
    )
    image = read_image(source, input_voxel_size)
    grids = image_pyramid(image, source, target, layout._replace(ngff=place.ngff), running)
    print(
        f"wrote {counted(len(grids), 'level')} of {source} into {place.shown} (OME-Zarr {place.ngff}, "
        f"{layout.interpolation}): "
        + ", ".join(shown(level.shape[::-1]) for level in grids)
        + f" in {time.perf_counter() - started:.1f} s",
        file=out,
    )


class PyramidTarget(NamedTuple):
    """Where a pyramid goes: its NGFF version, and how messages name it."""

    ngff: str
    shown: str


def check_pyramid_target(
    target: Path, label: Optional[str], ngff: Optional[str], *, force: bool, reads: Sequence[Optional[Path]]
) -> PyramidTarget:
    """CommandError unless a pyramid may be written to ``target``, or with ``label`` as a label
    image of the existing OME-Zarr image ``target``, whose version it takes (``ngff``, where given,
    must agree)."""
    check_pyramid_name(target)
    if label is None:
        check_output(target, force=force, reads=reads)
        return PyramidTarget(ngff or "0.4", str(target))
    if not label or label in (".", "..") or "/" in label or "\\" in label or label.startswith("."):
        raise CommandError(f"--label {label!r}: a label's name is one folder name, not starting with '.'")
    if not target.is_dir():
        raise CommandError(f"output {target}: no OME-Zarr image there to add the label {label} to")
    try:
        version = ngff_version(target, f"output {target}")
    except FileError as error:
        raise CommandError(str(error)) from None
    if ngff is not None and ngff != version:
        raise CommandError(f"output {target}: an OME-Zarr {version} image; its labels are {version} too, not {ngff}")
    if (target / "labels").is_dir():  # else the label is new, and its folder is made with it
        check_output(target / "labels" / label, force=force, reads=reads)
    return PyramidTarget(version, str(target / "labels" / label))


def image_pyramid(image: LazyImage, source: Path, target: Path, layout: PyramidLayout, running: Running) -> List[Level]:
    """Write ``image``, read from ``source``, as a pyramid whose level 0 is the image itself
    (float32 for linear levels); return its levels."""
    data, affine = read_by_tasks(image), None if image.affine is None else np.asarray(image.affine, dtype=np.float64)
    if affine is not None:
        data, affine = forward_image(data, affine)
    method = level_method(layout.interpolation)

    def first_levels(grids: List[Level], blocks: List[Tuple[int, ...]]) -> List[Any]:
        block = blocks[0]
        if layout.shards is None:  # else a task is a shard, whatever the input's chunks
            block = copy_block(block, tuple(axis[0] for axis in data.chunks))
        return [_level(data, grids[0], grids[0], block, method)]

    what = f"input {source}"
    return write_pyramid(
        tuple(data.shape),
        first_levels,
        image.voxel_size,
        affine,
        target,
        layout,
        running,
        image.header,
        source.name,
        what,
    )


def check_pyramid_name(target: Path) -> None:
    """CommandError unless ``target`` names a Zarr store."""
    if not target.name.lower().endswith(".zarr"):
        raise CommandError(f"output {target}: the name must end in .zarr")


# Makes a pyramid's first levels (one or more) as lazy arrays, given its levels and their blocks.
FirstLevels = Callable[[List[Level], List[Tuple[int, ...]]], List[Any]]


def write_pyramid(
    shape: Tuple[int, ...],
    first_levels: FirstLevels,
    voxel_size: Sequence[float],
    affine: Optional[NDArray[np.float64]],
    target: Path,
    layout: PyramidLayout,
    running: Running,
    header: Optional[HeaderFields],
    name: str,
    what: str,
) -> List[Level]:
    """Write an image of ``shape`` ((t,) z, y, x; voxel size (sx, sy, sz), voxel-to-world
    ``affine`` or None) as the OME-Zarr multiscale image ``target``, from one graph; return
    its levels. ``first_levels`` makes the first levels, each next one is the level before it
    resampled by the layout's method (linear levels anti-aliased). With a label the pyramid is
    the label image ``target/labels/LABEL``, listed in ``target``'s labels once complete. Shards,
    multiples of the chunks, group each level's chunks; each is made and written by one task.
    ``header`` gives the units and time step, ``name`` the multiscale's name, ``what`` names the
    image in errors."""
    check_pyramid_name(target)
    if affine is not None:
        # Callers flip axes that run backwards (ome_grid); what is left has no positive scale.
        linear = affine[:3, :3]
        diagonal = np.diag(np.diag(linear))
        if not np.allclose(linear, diagonal, rtol=0, atol=1e-9 * max(voxel_size)) or np.any(np.diag(linear) <= 0):
            raise CommandError(
                f"{what}: its grid is rotated or sheared, and OME-Zarr places a grid by a scale and a translation only"
            )
        origin = tuple(float(v) for v in affine[:3, 3])
    else:
        origin = (0.0, 0.0, 0.0)
    block = tuple(layout.chunks) if layout.chunks is not None else DEFAULT_CHUNKS
    method, label, ngff, shards = level_method(layout.interpolation), layout.label, layout.ngff or "0.4", layout.shards
    try:
        grids = pyramid_levels(shape[-3:], voxel_size, origin, levels=layout.levels, chunks=block)
    except ValueError as error:
        raise CommandError(str(error)) from None
    lead = shape[:-3]
    shapes = [lead + level.shape for level in grids]
    chunked = [(1,) * len(lead) + tuple(min(c, n) for c, n in zip(block, level.shape)) for level in grids]
    # The blocks the tasks make: whole chunks, or the shards, so that each has one writer.
    whole = (1,) * len(lead) + (tuple(shards) if shards is not None else task_block(block))
    blocks = [level_block(whole, level, chunk) for level, chunk in zip(shapes, chunked)]
    axes = ome_axes(len(shape), header and header.space_unit, header and header.time_unit)
    time_step = header.time_step if header is not None and header.time_step else 1.0
    entry = multiscale_entry(grids, axes, time_step, ngff, label or name, method)
    first = first_levels(grids, blocks)
    blocks[: len(first)] = [tuple(axis[0] for axis in level.chunks) for level in first]  # as they were made
    dtype = np.dtype(first[0].dtype)
    if label is not None and dtype.kind not in "biu":
        raise CommandError(f"{what}: a label image holds integers, and this map is {dtype.name}")

    def writes_into(staging: Staging) -> Any:
        paths = create_pyramid(
            staging.folder,
            entry,
            shapes,
            chunked,
            dtype,
            ngff,
            label=label is not None,
            shards=None if shards is None else blocks,
        )
        arrays = [staging.destination(path) for path in paths]
        writes = [stored(level, functools.partial(write_region, array)) for level, array in zip(first, arrays)]
        for k in range(len(first), len(grids)):
            # Each next level reads its windows from the level before it in the store, each
            # chunk once its task has written it: no level waits in memory for its readers.
            finer = Windows(
                open_destination(arrays[k - 1], mode="r"),
                regular_chunks(shapes[k - 1], blocks[k - 1]),
                f"{writes[k - 1].name}-read",
                after=writes[k - 1],
            )
            level = _level(finer, grids[k - 1], grids[k], blocks[k], method)
            writes.append(stored(level, functools.partial(write_region, arrays[k])))
        return writes

    store = target if label is None else target / "labels" / label
    made = not store.parent.exists()
    try:
        store.parent.mkdir(exist_ok=True)  # a first label needs the labels folder to be written in
        compute_into_store(store, writes_into, running)
    except BaseException:
        if made and store.parent != target and not any(store.parent.iterdir()):
            store.parent.rmdir()
        raise
    if label is not None:
        name_label(target, label, ngff)
    return grids


def resample_into_pyramid(
    source: Path,
    target: Path,
    image: LazyImage,
    grid: Grid,
    matrix: Union[NDArray[np.float32], List[Any]],
    layout: PyramidLayout,
    running: Running,
    sampling: Sampling,
) -> None:
    """``image`` resampled onto ``grid`` through the kernel's matrices or chain, by the layout's
    interpolation, as level 0 of the OME-Zarr image ``target`` (or of its label image): one
    graph makes and writes every level, and level 0 is made with level 1
    (:mod:`voxwarpkit._lazy.next_level`), so that it is never held whole. A blend gives linear
    levels; nearest and label sampling keep sampling so."""
    method = level_method(layout.interpolation)

    def first_levels(grids: List[Level], blocks: List[Tuple[int, ...]]) -> List[Any]:
        arguments = (read_by_tasks(image), image.voxel_size, resample_matrix(matrix))
        options: Dict[str, Any] = sampling.keywords(image.data.dtype)
        options["scratch"] = scratch  # where cubic's coefficients are staged
        try:
            if len(grids) > 1:
                pair = resample_and_next_level(*arguments, grids[0], grids[1], blocks[0][-3:], method, **options)
                return list(pair)
            level = grids[0]
            only = resample(*arguments, shape=level.shape, output_voxel_size=level.spacing, chunks=blocks[0], **options)
            if options["dtype"] is not None:
                return [only]  # already the level, in the type asked for
            return [_level(only, level, level, blocks[0], method)]
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot resample {source}: {error}") from None

    shape = tuple(image.data.shape[:-3]) + tuple(grid.shape[::-1])
    affine = np.asarray(grid.affine, dtype=np.float64)
    with scratch_beside(target) as scratch:
        write_pyramid(
            shape,
            first_levels,
            grid.zooms,
            affine,
            target,
            layout,
            running,
            image.header,
            source.name,
            "the output grid",
        )


def _level(finer_data: Any, finer: Level, level: Level, chunks: Tuple[int, ...], method: str) -> Any:
    """Level ``level`` as a lazy array in blocks ``chunks``: level 0 is the image itself (float32
    for linear levels), each later one the level before it resampled onto its grid by ``method``,
    so each level reads a coarser one than the input."""
    if level is finer:
        return first_level(finer_data, method, chunks)
    try:
        return next_level(finer_data, finer, level, chunks, None, method)
    except (TypeError, ValueError) as error:
        raise CommandError(f"cannot resample the input: {error}") from None
