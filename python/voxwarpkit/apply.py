"""``voxwarpkit apply``: resample a NIfTI image through matrices read from a file or folder."""

from __future__ import annotations

import importlib
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, TextIO

import numpy as np

from .errors import CommandError
from .matrices import (
    _REVERSE_AXES,
    _affine4,
    _inverse4,
    from_homogeneous,
    from_index,
    from_world,
)
from .matrixfile import MatrixSource, read_matrix_source
from .nifti import (
    header_voxel_size,
    load_nifti,
    needs_widening,
    nifti_suffix,
    read_block,
    save_nifti,
    stored_type,
)
from .resampling import transform

if TYPE_CHECKING:
    from numpy.typing import NDArray


def matrix_for_transform(
    matrix: NDArray[np.float64],
    voxel_size: NDArray[np.float64],
    *,
    convention: str,
    inverse: bool,
) -> NDArray[np.float32]:
    """transform's 12 numbers from a matrix file's 3x4 or 4x4 matrix.

    ``physical``: output -> input in physical ``(x, y, z)`` = NIfTI axes
    ``(i, j, k)`` times the voxel size, transform's own convention.
    ``index``: output -> input in voxel indices ``(i, j, k)``, the convention
    of scipy.ndimage.affine_transform on the array nibabel returns.
    ``inverse``: the file's matrix maps input to output instead.

    Raises ValueError for a matrix that is not affine, or singular when inverted.
    """
    affine = _affine4(matrix)
    if inverse:
        affine = _inverse4(affine)
    if convention == "index":
        # transform sees the array with its axes reversed, (k, j, i).
        return from_index(_REVERSE_AXES @ affine @ _REVERSE_AXES, voxel_size=voxel_size)
    return from_homogeneous(affine)


def transform_matrices(
    source: MatrixSource,
    *,
    affine: NDArray[np.float64],
    voxel_size: NDArray[np.float64],
    convention: str,
    inverse: bool,
) -> List[NDArray[np.float32]]:
    """transform's 12 numbers for each matrix of ``source``, on the grid of ``affine``.

    Plain matrices follow ``convention`` (see :func:`matrix_for_transform`);
    world matrices map output to input RAS+ world positions, and input and
    output share the grid that ``affine`` (voxel to world) describes.
    ``inverse``: each matrix maps input to output instead.

    Raises ValueError for a matrix that is not affine, or singular when
    inverted, naming which one when there are several.
    """
    twelves = []
    for index, matrix in enumerate(source.matrices):
        try:
            if source.space == "world":
                world = _inverse4(matrix) if inverse else matrix
                twelves.append(from_world(world, affine, voxel_size=voxel_size))
            else:
                twelves.append(
                    matrix_for_transform(
                        matrix, voxel_size, convention=convention, inverse=inverse
                    )
                )
        except ValueError as error:
            which = f"matrix {index + 1}: " if len(source.matrices) > 1 else ""
            raise ValueError(f"{which}{error}") from None
    return twelves


def _progress(volumes: int, show: bool, err: TextIO) -> Iterable[int]:
    """Volume numbers, with a progress bar on ``err`` for a 4-D image when it is a terminal."""
    if not show:
        return range(volumes)
    tqdm = importlib.import_module("tqdm").tqdm
    bar: Iterable[int] = tqdm(
        range(volumes), desc="resampling", unit="volume", leave=False, file=err, disable=None
    )
    return bar


def run_apply(
    source: Path,
    target: Path,
    matrix_path: Path,
    *,
    convention: Optional[str] = None,
    inverse: bool = False,
    force: bool = False,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
) -> None:
    """Resample the NIfTI image ``source`` into ``target`` through the matrices in ``matrix_path``.

    ``convention`` ("physical" when None) applies to plain matrix files;
    giving it for a registration tool's transform, whose file says what it
    maps, is an error.
    """
    started = time.perf_counter()
    if nifti_suffix(target) is None:
        raise CommandError(f"output {target}: the name must end in .nii or .nii.gz")
    if target.exists() and not force:
        raise CommandError(f"output {target}: exists already (use --force to replace it)")
    if not target.parent.is_dir():
        raise CommandError(f"output {target}: folder {target.parent} does not exist")
    image = load_nifti(source)

    shape = tuple(int(n) for n in image.shape)
    if len(shape) not in (3, 4):
        raise CommandError(
            f"input {source}: a {len(shape)}-D image of shape {shape}; "
            "3-D (i, j, k) and 4-D (i, j, k, volume) images are supported"
        )
    zooms = header_voxel_size(image, source)
    spacing = np.array(zooms, dtype=np.float64)
    dtype = stored_type(image)
    widen = needs_widening(dtype, source)
    volumes = shape[3] if len(shape) == 4 else 1

    # Input and output share the input's grid, so it is both FSL's and AFNI's
    # reference and moving image.
    matrices = read_matrix_source(matrix_path, reference=image, moving=image)
    if matrices.space == "world" and convention is not None:
        raise CommandError(
            f"matrix file {matrix_path} ({matrices.origin}): --convention applies to plain "
            "matrix files; this one is in world coordinates"
        )
    count = len(matrices.matrices)
    if count not in (1, volumes):
        raise CommandError(
            f"matrix file {matrix_path} holds {count} matrices but input {source} has "
            f"{volumes} volume{'s' if volumes > 1 else ''}; give one matrix, or one per volume"
        )
    try:
        twelves = transform_matrices(
            matrices,
            affine=np.asarray(image.affine, dtype=np.float64),
            voxel_size=spacing,
            convention=convention or "physical",
            inverse=inverse,
        )
    except ValueError as error:
        raise CommandError(f"matrix file {matrix_path}: {error}") from None
    if widen:
        print(
            f"voxwarpkit: note: converting {dtype.newbyteorder('=').name} data "
            "to float32 first (exact for this type)",
            file=err,
        )

    # Fortran order makes each volume, result[..., t], one contiguous block.
    result = np.zeros(shape, dtype=np.float32, order="F")
    reading = resampling = 0.0
    for t in _progress(volumes, len(shape) == 4, err):
        tick = time.perf_counter()
        block = read_block(image, (..., t) if len(shape) == 4 else ..., source)
        if widen:
            block = block.astype(np.float32)
        tock = time.perf_counter()
        # transform wants (z, y, x) = (k, j, i): the NIfTI axes reversed.
        resampled = transform(block.T, spacing, twelves[t if count > 1 else 0])
        if len(shape) == 4:
            result[..., t] = resampled.T
        else:
            result[...] = resampled.T
        reading += tock - tick
        resampling += time.perf_counter() - tock

    tick = time.perf_counter()
    save_nifti(_like(image, result), target, overwrite=force)
    writing = time.perf_counter() - tick
    print(
        f"resampled {source} {'x'.join(map(str, shape))} "
        f"(voxel size {' x '.join(f'{z:g}' for z in zooms)}) "
        f"with {_matrices_named(matrices, matrix_path, convention or 'physical', inverse)} "
        f"into {target} (float32) in {time.perf_counter() - started:.3f} s: "
        f"reading {reading:.3f} s, resampling {resampling:.3f} s, writing {writing:.3f} s",
        file=out,
    )


def _matrices_named(source: MatrixSource, path: Path, convention: str, inverse: bool) -> str:
    """What the matrices are, for the summary line: "the physical matrix from m.txt"."""
    inverted = "inverted " if inverse else ""
    count = len(source.matrices)
    what = convention if source.space == "plain" else source.origin
    if count == 1:
        return f"the {what} matrix {inverted}from {path}"
    return f"{count} {what} matrices {inverted}from {path}, one per volume"


def _like(image: Any, data: NDArray[np.float32]) -> Any:
    """A float32 image of ``data`` with the geometry and header of ``image``.

    The display range (cal_min, cal_max) is the input's, which interpolated
    float data need not share: it is reset to unset (0, 0).
    """
    made = type(image)(data, image.affine, header=image.header)
    made.set_data_dtype(np.float32)
    made.header["cal_min"] = 0.0
    made.header["cal_max"] = 0.0
    return made
