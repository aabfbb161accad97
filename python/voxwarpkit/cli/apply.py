"""``voxwarpkit apply``: one pipeline from the input, the grid, the matrices and the interpolation to an output.

The output is checked, the input and a reference read, the output grid and
the kernel's matrices found once; then NIfTI files are resampled in memory,
volume by volume (:mod:`voxwarpkit.cli.memory_backend`), and Zarr stores
block by block with dask (:mod:`voxwarpkit.cli.dask_backend`).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Sequence, TextIO

import numpy as np

from .._core.affine import affine4, inverse4, not_singular, twelve
from .._core.grid import Grid, fitted_grid, index_to_physical, output_grid, world_to_index
from .._core.words import counted
from ..io.formats import read_image
from ..io.nifti import load_nifti
from ..io.transforms.matrixtext import MatrixSource, read_matrix_source
from ..io.transforms.registration import TRANSFORM_FORMATS
from . import dask_backend, memory_backend
from .chains import MatrixOrChain, chain_matrices
from .deskew import deskewed_grid
from .errors import CommandError
from .grids import lazy_grid, nifti_grid, on_grid
from .ome_grid import forward_grid
from .options import Options
from .output import Summary, check_output, output_of, shown
from .pyramid import PyramidLayout, check_pyramid_target, image_pyramid, resample_into_pyramid
from .zarr_blocks import check_shards

if TYPE_CHECKING:
    from numpy.typing import NDArray


class Opened(NamedTuple):
    """An image the command reads: the input or the reference (--like)."""

    image: Any  # a nibabel image, read in memory; or a LazyImage, for dask
    grid: Grid
    volumes: int
    space: Any  # the nibabel image registration readers take for it; None: an empty image of its grid


def run_apply(
    source: Path,
    target: Path,
    options: Options,
    *,
    input_voxel_size: Optional[Sequence[float]] = None,
    out: TextIO = sys.stdout,
) -> None:
    """Resample the image ``source`` into ``target`` as the ``options`` records say.

    The output grid is that of the image ``grid.like``, or the input's with
    ``grid.voxel_size`` (covering the input's extent), or the input's. Without
    a matrix or transform files each output voxel takes the input at its own world
    position. ``mapping.convention`` ("physical" when None) applies to plain matrix
    files; giving it for a registration tool's transform, whose file says
    what it maps, is an error. A Zarr input or output (a name ending in
    .zarr, or a folder Zarr wrote) is resampled with dask: ``storage.chunks`` is the
    output's block shape (z, y, x), ``running.scheduler`` a dask.distributed
    scheduler's address; without a matrix or another grid the image is
    copied between NIfTI and Zarr. ``mapping.transforms`` are transform files applied
    in order, the first to the output's position, with ``mapping.matrix``, if
    given, the input's motion applied last (see :mod:`voxwarpkit.cli.chains`).
    ``sampling.antialias`` smooths the input first, as :func:`voxwarpkit.resample` does.
    ``grid.deskew`` (an angle in degrees) puts a stage-scanned light-sheet stack
    into the sheet's frame, or the coverslip's with ``grid.deskew_rotate``, on a
    grid that holds all of it (see :mod:`voxwarpkit.cli.deskew`). A TIFF input
    is read lazily with dask; ``input_voxel_size`` replaces its voxel size.
    ``storage.levels`` makes ``target`` an OME-Zarr multiscale image (NGFF ``storage.ngff``) of
    that many levels, the resampled image first, each next one made as
    ``voxwarpkit pyramid`` makes it, all from one graph; a name ending in
    .ome.zarr is such an image, of one level unless ``storage.levels`` says more.
    ``storage.label`` writes it as that label image of the existing OME-Zarr image
    ``target`` instead. ``storage.shards`` (z, y, x) groups a Zarr output's chunks
    into shards of Zarr format 3, each written by one task. An OME-Zarr output's axes that would run backwards
    are flipped, every voxel keeping its world position.
    """
    started = time.perf_counter()
    grid, mapping, sampling, storage, running = (
        options.grid,
        options.mapping,
        options.sampling,
        options.storage,
        options.running,
    )
    output = output_of(source, target, storage.levels)
    chunked, levels, force = output.chunked, output.levels, running.force
    chunks, shards = storage.chunks, storage.shards
    like, voxel_size, matrix_path, transforms = grid.like, grid.voxel_size, mapping.matrix, mapping.transforms
    reads = (source, like, matrix_path, *(file.path for file in transforms))
    if levels is not None:
        ngff = check_shards(shards, chunks, storage.ngff)
        place = check_pyramid_target(target, storage.label, ngff, force=force, reads=reads)
        layout = PyramidLayout(levels, chunks, shards, place.ngff, sampling.interpolation, storage.label)
    else:
        check_output(target, force=force, reads=reads)
    copies = not mapping.moves and like is None and voxel_size is None and grid.deskew is None
    copied = chunked and copies and levels is None or copies and levels is not None and not grid.fit
    if copied and sampling.output_type is not None:
        raise CommandError("--output-type needs resampling: a copy keeps the input's type")
    if chunked and copies and levels is None:
        dask_backend.convert(source, output, chunks, running, input_voxel_size)
        print(f"copied {source} into {target} in {time.perf_counter() - started:.3f} s", file=out)
        return

    read = _read_lazily if chunked else _read_nifti
    image = _read_lazily(source, "input", input_voxel_size) if chunked else _read_nifti(source, "input")
    if copies and levels is not None and not grid.fit:
        # The input itself is level 0, as the pyramid command writes it: no resampling to round.
        grids = image_pyramid(image.image, source, target, layout, running)
        print(
            f"copied {source} into {place.shown}, an OME-Zarr {place.ngff} image of "
            f"{counted(len(grids), 'level')} from {shown(image.grid.shape)}, in {time.perf_counter() - started:.1f} s",
            file=out,
        )
        return
    reference = None if like is None else read(like, "reference")
    onto = output_grid(image.grid, voxel_size) if reference is None else reference.grid
    matrix: MatrixOrChain
    if grid.deskew is not None:
        onto, matrix, how = deskewed_grid(image.grid, grid.deskew, grid.deskew_rotate, voxel_size)
    elif transforms:
        matrix, how = chain_matrices(
            transforms,
            matrix_path,
            source=source,
            input_grid=image.grid,
            input_space=on_grid(image.grid) if image.space is None else image.space,
            grid=onto,
            output_space=on_grid(onto) if reference is None or reference.space is None else reference.space,
            volumes=image.volumes,
            convention=mapping.convention,
            inverse=mapping.inverse,
        )
    elif matrix_path is None:
        matrix, how = _same_world_position(source, image.grid, onto), ""
    else:
        # FSL FLIRT's and AFNI's matrices are defined on the output grid
        # (their reference) and the input (their moving image); MCFLIRT's on
        # the input alone, which the reader knows.
        if reference is not None:
            space = reference.space
        else:
            space = image.space if voxel_size is None else None
        matrices = read_matrix_source(
            matrix_path,
            reference=on_grid(onto) if space is None else space,
            moving=on_grid(image.grid) if image.space is None else image.space,
        )
        convention, inverse = mapping.convention, mapping.inverse
        matrix = _file_matrices(matrices, matrix_path, source, image.volumes, image.grid, onto, convention, inverse)
        how = " with " + _matrices_named(matrices, matrix_path, convention or "physical", inverse)
    if grid.fit:
        if isinstance(matrix, list):
            raise CommandError("--fit takes matrices only: a displacement field has no inverse to fit the grid with")
        onto, matrix = fitted_grid(image.grid, onto, matrix)
    ome = chunked and image.image.zarr is not None and image.image.zarr.multiscales is not None
    if levels is not None or (output.blocks and ome):
        onto, matrix = forward_grid(onto, matrix)  # OME-Zarr's scales are positive
    if levels is not None:
        resample_into_pyramid(source, target, image.image, onto, matrix, layout, running, sampling)
        print(
            f"resampled {source}{how} into {place.shown}, an OME-Zarr {place.ngff} image of "
            f"{counted(levels, 'level')} from {shown(onto.shape)}, in {time.perf_counter() - started:.1f} s",
            file=out,
        )
        return
    if chunked:
        dask_backend.resample_with_dask(
            source,
            output,
            image.image,
            onto,
            matrix,
            sampling,
            storage,
            running,
            summary=Summary(how, started, out),
        )
        return
    memory_backend.resample_in_memory(
        source,
        target,
        image.image,
        image.grid,
        onto,
        matrix,
        sampling,
        running,
        space=image.image if reference is None else reference.image,
        summary=Summary(how + ("" if like is None else f" onto the grid of {like}"), started, out),
    )


def _read_nifti(path: Path, role: str) -> Opened:
    """A NIfTI file, its data left on disk until read; an input must be 3-D or 4-D."""
    image = load_nifti(path, role=role)
    shape = tuple(int(n) for n in image.shape)
    if role == "input" and len(shape) not in (3, 4):
        raise CommandError(
            f"input {path}: a {len(shape)}-D image of shape {shown(shape)}; "
            "3-D (i, j, k) and 4-D (i, j, k, volume) images are supported"
        )
    return Opened(image, nifti_grid(image, path, role), shape[3] if len(shape) == 4 else 1, image)


def _read_lazily(path: Path, role: str, input_voxel_size: Optional[Sequence[float]] = None) -> Opened:
    """A Zarr store, a NIfTI file or a TIFF stack as a dask array."""
    image = read_image(path, input_voxel_size)
    volumes = image.data.shape[0] if image.data.ndim == 4 else 1
    return Opened(image, lazy_grid(image, path, role), volumes, None)


def _same_world_position(source: Path, input_grid: Grid, grid: Grid) -> NDArray[np.float32]:
    """The kernel's matrix that gives each output voxel the input at its own world position."""
    try:
        identity = world_to_index(np.eye(4)[np.newaxis], input_grid, grid)
        return index_to_physical(identity, input_grid, grid)
    except ValueError as error:
        raise CommandError(f"input {source}: {error}") from None


def physical_matrices(
    source: MatrixSource,
    *,
    input_grid: Grid,
    output_grid: Grid,
    convention: str,
    inverse: bool,
) -> NDArray[np.float32]:
    """The kernel's ``(n, 12)`` matrices for the matrices of ``source``.

    Plain matrices follow ``convention``: ``physical``, output -> input in
    voxel indices ``(i, j, k)`` times each grid's voxel size, the kernel's
    own convention; ``index``, output -> input in voxel indices. World
    matrices map output to input RAS+ world positions, through each grid's
    affine. ``inverse``: each matrix maps input to output instead.

    Raises ValueError for a matrix that is singular or does not fit float32,
    naming which one when there are several.
    """
    twelves = []
    for index, matrix in enumerate(source.matrices):
        try:
            # The Python API takes a singular matrix; in a file it is a broken file.
            forward = inverse4(affine4(matrix)) if inverse else not_singular(affine4(matrix))
            if source.space == "world":
                forward = world_to_index(forward, input_grid, output_grid)
            if source.space == "world" or convention == "index":
                twelves.append(index_to_physical(forward[np.newaxis], input_grid, output_grid)[0])
            else:
                twelves.append(twelve(forward))
        except ValueError as error:
            which = f"matrix {index + 1}: " if len(source.matrices) > 1 else ""
            raise ValueError(f"{which}{error}") from None
    return np.stack(twelves)


def _file_matrices(
    matrices: MatrixSource,
    path: Path,
    source: Path,
    volumes: int,
    input_grid: Grid,
    grid: Grid,
    convention: Optional[str],
    inverse: bool,
) -> NDArray[np.float32]:
    """The kernel's matrices from a matrix file's, checked against the input's volumes."""
    if matrices.fmt is not None and convention is not None:
        raise CommandError(
            f"matrix file {path} ({TRANSFORM_FORMATS[matrices.fmt].one}): --convention applies to plain "
            "matrix files; this one is in world coordinates"
        )
    count = len(matrices.matrices)
    if count not in (1, volumes):
        raise CommandError(
            f"matrix file {path} holds {counted(count, 'matrix', 'matrices')} but input {source} has "
            f"{counted(volumes, 'volume')}; give one matrix, or one per volume"
        )
    try:
        return physical_matrices(
            matrices,
            input_grid=input_grid,
            output_grid=grid,
            convention=convention or "physical",
            inverse=inverse,
        )
    except ValueError as error:
        raise CommandError(f"matrix file {path}: {error}") from None


def _matrices_named(source: MatrixSource, path: Path, convention: str, inverse: bool) -> str:
    """What the matrices are, for the summary line: "the physical matrix from m.txt",
    "4 FSL MCFLIRT matrices from mats, one per volume"."""
    inverted = "inverted " if inverse else ""
    if source.fmt is None:
        one, many = f"{convention} matrix", f"{convention} matrices"
    else:
        one, many = TRANSFORM_FORMATS[source.fmt].one, TRANSFORM_FORMATS[source.fmt].many
    count = len(source.matrices)
    if count == 1:
        return f"the {inverted}{one} from {path}"
    return f"{count} {inverted}{many} from {path}, one per volume"
