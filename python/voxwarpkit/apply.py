"""``voxwarpkit apply``: resample a NIfTI image through a matrix read from a file."""

from __future__ import annotations

import importlib
import math
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, TextIO

import numpy as np

from .errors import CommandError
from .matrices import _REVERSE_AXES, _affine4, _inverse4, from_homogeneous, from_index
from .matrixfile import read_matrix_file
from .nifti import (
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
    convention: str = "physical",
    inverse: bool = False,
    force: bool = False,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
) -> None:
    """Resample the NIfTI image ``source`` into ``target`` through ``matrix_path``."""
    if nifti_suffix(target) is None:
        raise CommandError(f"output {target}: the name must end in .nii or .nii.gz")
    if target.exists() and not force:
        raise CommandError(f"output {target}: exists already (use --force to replace it)")
    if not target.parent.is_dir():
        raise CommandError(f"output {target}: folder {target.parent} does not exist")
    matrix = read_matrix_file(matrix_path)
    image = load_nifti(source)

    shape = tuple(int(n) for n in image.shape)
    if len(shape) not in (3, 4):
        raise CommandError(
            f"input {source}: a {len(shape)}-D image of shape {shape}; "
            "3-D (i, j, k) and 4-D (i, j, k, volume) images are supported"
        )
    header: Any = image.header  # nibabel leaves its header methods unannotated
    zooms = [float(z) for z in header.get_zooms()[:3]]
    if not all(math.isfinite(z) and z > 0 for z in zooms):
        raise CommandError(f"input {source}: voxel size {zooms} in its header is not positive")
    voxel_size = np.array(zooms, dtype=np.float64)
    dtype = stored_type(image)
    widen = needs_widening(dtype, source)
    try:
        twelve = matrix_for_transform(matrix, voxel_size, convention=convention, inverse=inverse)
    except ValueError as error:
        raise CommandError(f"matrix file {matrix_path}: {error}") from None
    if widen:
        print(
            f"voxwarpkit: note: converting {dtype.newbyteorder('=').name} data "
            "to float32 first (exact for this type)",
            file=err,
        )

    volumes = shape[3] if len(shape) == 4 else 1
    # Fortran order makes each volume, result[..., t], one contiguous block.
    result = np.zeros(shape, dtype=np.float32, order="F")
    started = time.perf_counter()
    for t in _progress(volumes, len(shape) == 4, err):
        block = read_block(image, (..., t) if len(shape) == 4 else ..., source)
        if widen:
            block = block.astype(np.float32)
        # transform wants (z, y, x) = (k, j, i): the NIfTI axes reversed.
        resampled = transform(block.T, voxel_size, twelve)
        if len(shape) == 4:
            result[..., t] = resampled.T
        else:
            result[...] = resampled.T
    elapsed = time.perf_counter() - started

    save_nifti(_like(image, result), target, overwrite=force)
    print(
        f"resampled {source} {'x'.join(map(str, shape))} "
        f"(voxel size {' x '.join(f'{z:g}' for z in zooms)}) "
        f"with the {convention} matrix {'inverted ' if inverse else ''}from {matrix_path} "
        f"in {elapsed:.3f} s; wrote float32 to {target}",
        file=out,
    )


def _like(image: Any, data: NDArray[np.float32]) -> Any:
    """A float32 image of ``data`` with the geometry and header of ``image``."""
    made = type(image)(data, image.affine, header=image.header)
    made.set_data_dtype(np.float32)
    return made
