"""``voxwarpkit apply``: resample a NIfTI image through matrices read from a file or folder."""

from __future__ import annotations

import importlib
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Optional, Sequence, TextIO, Tuple

import numpy as np

from .errors import CommandError
from .files import check_output
from .images import Grid, checked_grid, image_on_grid, index_to_kernel, output_grid, world_to_index
from .matrices import _affine4, _inverse4, _twelve
from .matrixfile import MatrixSource, read_matrix_source
from .nifti import (
    NiftiImage,
    _type_name,
    header_voxel_size,
    load_nifti,
    needs_widening,
    nifti_suffix,
    read_block,
    save_nifti,
    stored_type,
)
from .resampler import check_image_type, checked_request, resample

if TYPE_CHECKING:
    from numpy.typing import NDArray

_ORDERS = {"linear": 1, "nearest": 0}


def kernel_matrices(
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

    Raises ValueError for a matrix that is singular when inverted or does not
    fit float32, naming which one when there are several.
    """
    twelves = []
    for index, matrix in enumerate(source.matrices):
        try:
            forward = _inverse4(_affine4(matrix)) if inverse else _affine4(matrix)
            if source.space == "world":
                forward = world_to_index(forward, input_grid, output_grid)
            if source.space == "world" or convention == "index":
                twelves.append(index_to_kernel(forward[np.newaxis], input_grid, output_grid)[0])
            else:
                twelves.append(_twelve(forward))
        except ValueError as error:
            which = f"matrix {index + 1}: " if len(source.matrices) > 1 else ""
            raise ValueError(f"{which}{error}") from None
    return np.stack(twelves)


def _progress(volumes: int, show: bool, err: TextIO) -> Iterable[int]:
    """Volume numbers, with a progress bar on ``err`` for a 4-D image when it is a terminal."""
    if not show:
        return range(volumes)
    tqdm = importlib.import_module("tqdm").tqdm
    bar: Iterable[int] = tqdm(range(volumes), desc="resampling", unit="volume", leave=False, file=err, disable=None)
    return bar


def run_apply(
    source: Path,
    target: Path,
    matrix_path: Optional[Path] = None,
    *,
    like: Optional[Path] = None,
    voxel_size: Optional[Sequence[float]] = None,
    interpolation: str = "linear",
    fill: float = 0.0,
    threads: Optional[int] = None,
    convention: Optional[str] = None,
    inverse: bool = False,
    force: bool = False,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
) -> None:
    """Resample the NIfTI image ``source`` into ``target``.

    The output grid is that of the image ``like``, or the input's with
    ``voxel_size`` (covering the input's extent), or the input's. Without
    ``matrix_path`` each output voxel takes the input at its own world
    position. ``convention`` ("physical" when None) applies to plain matrix
    files; giving it for a registration tool's transform, whose file says
    what it maps, is an error.
    """
    started = time.perf_counter()
    if nifti_suffix(target) is None:
        raise CommandError(f"output {target}: the name must end in .nii or .nii.gz")
    check_output(target, force=force)
    image = load_nifti(source)
    shape = tuple(int(n) for n in image.shape)
    if len(shape) not in (3, 4):
        raise CommandError(
            f"input {source}: a {len(shape)}-D image of shape {shape}; "
            "3-D (i, j, k) and 4-D (i, j, k, volume) images are supported"
        )
    input_grid = _file_grid(image, source, "input")
    reference = None
    if like is not None:
        reference = load_nifti(like, role="reference")
        grid = _file_grid(reference, like, "reference")
    else:
        grid = output_grid(input_grid, voxel_size)
    volumes = shape[3] if len(shape) == 4 else 1
    order = _ORDERS[interpolation]
    dtype = stored_type(image)
    widen = _check_type(dtype, order, source)

    # FSL's and AFNI's matrices are defined on the output grid (their
    # reference) and the input (their moving image).
    space = reference if reference is not None else on_grid(grid) if voxel_size else image
    kernel, how = kernel_for(
        matrix_path,
        source=source,
        volumes=volumes,
        input_grid=input_grid,
        grid=grid,
        reference=space,
        moving=image,
        convention=convention,
        inverse=inverse,
    )
    try:
        checked_request(
            (volumes, *input_grid.shape[::-1]),
            dtype,
            input_grid.zooms,
            kernel if len(kernel) > 1 else kernel[0],
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            order=order,
            fill=fill,
            threads=threads,
        )
    except (TypeError, ValueError) as error:  # a fill the output's type cannot hold, a size
        raise CommandError(str(error)) from None
    if widen:
        print(
            f"voxwarpkit: note: converting {dtype.newbyteorder('=').name} data to float32 first (exact for this type)",
            file=err,
        )

    # Fortran order makes each volume, result[..., t], one contiguous block.
    result_type = np.dtype(np.float32) if order == 1 else dtype.newbyteorder("=")
    result = np.empty(grid.shape + shape[3:], dtype=result_type, order="F")
    reading = resampling = 0.0
    for t in _progress(volumes, len(shape) == 4, err):
        tick = time.perf_counter()
        block = read_block(image, (..., t) if len(shape) == 4 else ..., source)
        tock = time.perf_counter()
        # The kernel wants (z, y, x) = (k, j, i): the NIfTI axes reversed.
        resampled = resample(
            block.T,
            input_grid.zooms,
            kernel[t if len(kernel) > 1 else 0],
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            order=order,
            fill=fill,
            threads=threads,
        )
        result[(..., t) if len(shape) == 4 else ...] = resampled.T
        reading += tock - tick
        resampling += time.perf_counter() - tock

    tick = time.perf_counter()
    made = image_on_grid(image, result, grid, reference if reference is not None else image)
    save_nifti(made, target, overwrite=force)
    writing = time.perf_counter() - tick
    onto = "" if like is None else f" onto the grid of {like}"
    print(
        f"resampled {source} {_shown(shape)} (voxel size {_sizes(input_grid.zooms)}){how}{onto} "
        f"into {target} {_shown(result.shape)} (voxel size {_sizes(grid.zooms)}, "
        f"{result_type.name}, {interpolation}) in {time.perf_counter() - started:.3f} s: "
        f"reading {reading:.3f} s, resampling {resampling:.3f} s, writing {writing:.3f} s",
        file=out,
    )


def kernel_for(
    matrix_path: Optional[Path],
    *,
    source: Path,
    volumes: int,
    input_grid: Grid,
    grid: Grid,
    reference: Any,
    moving: Any,
    convention: Optional[str],
    inverse: bool,
) -> Tuple[NDArray[np.float32], str]:
    """The kernel's ``(n, 12)`` matrices from ``grid`` to ``input_grid``, and
    words for the summary line ("" for none). Without ``matrix_path`` each
    output voxel takes the input at its own world position; ``reference``
    and ``moving`` are the images FSL's and AFNI's matrices are defined on."""
    if matrix_path is None:
        try:
            identity = world_to_index(np.eye(4)[np.newaxis], input_grid, grid)
            return index_to_kernel(identity, input_grid, grid), ""
        except ValueError as error:
            raise CommandError(f"input {source}: {error}") from None
    matrices = read_matrix_source(matrix_path, reference=reference, moving=moving)
    kernel = _file_matrices(matrices, matrix_path, source, volumes, input_grid, grid, convention, inverse)
    return kernel, " with " + _matrices_named(matrices, matrix_path, convention or "physical", inverse)


def _file_grid(image: NiftiImage, path: Path, role: str) -> Grid:
    """The grid of an image file's first three axes, with the voxel size its header stores."""
    if len(image.shape) < 3:
        raise CommandError(f"{role} {path}: a {len(image.shape)}-D image has no 3-D grid")
    zooms = header_voxel_size(image, path, role=role)
    try:
        return checked_grid(image.shape, image.affine, zooms, f"{role} {path}")
    except ValueError as error:
        raise CommandError(str(error)) from None


def _check_type(dtype: np.dtype[Any], order: int, path: Path) -> bool:
    """Whether linear sampling converts the data to float32 first (a note); CommandError
    for a type that sampling cannot keep: lossy in float32 for linear, not a number for
    nearest, which copies the values as they are."""
    if order == 1:
        return needs_widening(dtype, path)
    try:
        check_image_type(3, dtype)
    except ValueError:
        raise CommandError(
            f"input {path}: element type {_type_name(dtype)} is not supported "
            "(nearest reads booleans, integers and floats)"
        ) from None
    return False


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
    if matrices.space == "world" and convention is not None:
        raise CommandError(
            f"matrix file {path} ({matrices.origin}): --convention applies to plain "
            "matrix files; this one is in world coordinates"
        )
    count = len(matrices.matrices)
    if count not in (1, volumes):
        raise CommandError(
            f"matrix file {path} holds {count} matrices but input {source} has "
            f"{volumes} volume{'s' if volumes > 1 else ''}; give one matrix, or one per volume"
        )
    try:
        return kernel_matrices(
            matrices,
            input_grid=input_grid,
            output_grid=grid,
            convention=convention or "physical",
            inverse=inverse,
        )
    except ValueError as error:
        raise CommandError(f"matrix file {path}: {error}") from None


def on_grid(grid: Grid) -> Any:
    """An image of ``grid`` that holds no data, for readers that need only its geometry."""
    import nibabel as nib

    nifti1: Any = nib.Nifti1Image  # its constructor is not annotated
    made: Any = nifti1(np.broadcast_to(np.float32(0), grid.shape), grid.affine)
    made.header.set_zooms(grid.zooms)
    return made


def _shown(shape: Tuple[int, ...]) -> str:
    return "x".join(map(str, shape))


def _sizes(zooms: Tuple[float, ...]) -> str:
    return " x ".join(f"{z:g}" for z in zooms)


def _matrices_named(source: MatrixSource, path: Path, convention: str, inverse: bool) -> str:
    """What the matrices are, for the summary line: "the physical matrix from m.txt"."""
    inverted = "inverted " if inverse else ""
    count = len(source.matrices)
    what = convention if source.space == "plain" else source.origin
    if count == 1:
        return f"the {what} matrix {inverted}from {path}"
    return f"{count} {what} matrices {inverted}from {path}, one per volume"
