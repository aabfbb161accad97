"""``voxwarpkit apply`` in memory: a NIfTI image resampled volume by volume, with a progress bar over volumes."""

from __future__ import annotations

import importlib
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, List, TextIO, Tuple, Union

import numpy as np

from .. import resample
from .._backends.request import check_image_type, checked_request
from .._core.grid import Grid
from .._core.methods import blends
from ..images import image_on_grid
from ..io.nifti import NiftiImage, read_block, save_nifti, stored_type
from ..io.nifti_scaling import copied_scaling, raw_fill, unscaled
from .errors import CommandError
from .options import Running, Sampling
from .output import Summary, shown

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Types transform refuses whose every value float32 holds exactly.
_WIDENED = "?bHe"


def resample_in_memory(
    source: Path,
    target: Path,
    image: NiftiImage,
    input_grid: Grid,
    grid: Grid,
    matrix: Union[NDArray[np.float32], List[Any]],
    sampling: Sampling,
    running: Running,
    *,
    space: Any,
    summary: Summary,
) -> None:
    """Resample the NIfTI image ``image`` (of ``source``) volume by volume onto ``grid``
    through the kernel's ``(n, 12)`` matrices, or a chain with displacement fields,
    and write the NIfTI file ``target``.

    ``space`` is the image the output grid comes from, whose header fields
    and sform and qform codes the output takes; ``summary.how`` ends the summary
    line's description of the input. Anti-aliasing smooths each volume first,
    by its own matrix, as :func:`voxwarpkit.resample` smooths a stack.
    Nearest and label copy scaled data as stored, with the fill in the units
    of the values read, as :func:`voxwarpkit.resample_image` does.
    """
    shape = tuple(int(n) for n in image.shape)
    volumes = shape[3] if len(shape) == 4 else 1
    interpolation, err = sampling.interpolation, running.err
    scaling = copied_scaling(image, interpolation, sampling.antialias, sampling.fill)
    dtype = stored_type(image) if scaling is None else scaling.raw_type
    widen = _check_type(dtype, interpolation, source)
    data = image.dataobj
    if scaling is not None:
        try:
            sampling = sampling._replace(fill=raw_fill(sampling.fill, scaling))
        except ValueError as error:
            raise CommandError(f"input {source}: {error}") from None
        data = unscaled(image)
    try:
        request = checked_request(
            (volumes, *input_grid.shape[::-1]),
            dtype,
            input_grid.zooms,
            matrix if isinstance(matrix, list) or len(matrix) > 1 else matrix[0],
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            threads=running.threads,
            **sampling.keywords(dtype),
        )
    except (TypeError, ValueError) as error:  # a fill the output's type cannot hold, a size
        raise CommandError(str(error)) from None
    if widen:
        print(
            f"voxwarpkit: note: converting {dtype.newbyteorder('=').name} data to float32 (exact for this type)",
            file=err,
        )

    # Fortran order makes each volume, result[..., t], one contiguous block.
    result = np.empty(grid.shape + shape[3:], dtype=request.result_type, order="F")
    reading = resampling = 0.0
    for t in _progress(volumes, len(shape) == 4, err):
        tick = time.perf_counter()
        block = read_block(data, (..., t) if len(shape) == 4 else ..., source)
        tock = time.perf_counter()
        # The kernel wants (z, y, x) = (k, j, i): the NIfTI axes reversed.
        resampled = resample(
            block.T,
            input_grid.zooms,
            _for_volume(matrix, t),
            shape=grid.shape[::-1],
            output_voxel_size=grid.zooms,
            threads=running.threads,
            **sampling.keywords(dtype),
        )
        result[(..., t) if len(shape) == 4 else ...] = resampled.T
        reading += tock - tick
        resampling += time.perf_counter() - tock

    tick = time.perf_counter()
    save_nifti(image_on_grid(image, result, grid, space, scaling), target, overwrite=running.force)
    writing = time.perf_counter() - tick
    print(
        f"resampled {source} {shown(shape)} (voxel size {_sizes(input_grid.zooms)}){summary.how} "
        f"into {target} {shown(result.shape)} (voxel size {_sizes(grid.zooms)}, "
        f"{request.result_type.name}, {interpolation}) in {time.perf_counter() - summary.started:.3f} s: "
        f"reading {reading:.3f} s, resampling {resampling:.3f} s, writing {writing:.3f} s",
        file=summary.out,
    )


def _for_volume(matrix: Union[NDArray[np.float32], List[Any]], t: int) -> Any:
    """Volume ``t``'s matrix, or its chain: each stack of matrices down to its own."""
    if not isinstance(matrix, list):
        return matrix[t if len(matrix) > 1 else 0]
    return [step[t] if isinstance(step, np.ndarray) and step.ndim == 2 else step for step in matrix]


def _progress(volumes: int, show: bool, err: TextIO) -> Iterable[int]:
    """Volume numbers, with a progress bar on ``err`` for a 4-D image when it is a terminal."""
    if not show:
        return range(volumes)
    tqdm = importlib.import_module("tqdm").tqdm
    bar: Iterable[int] = tqdm(range(volumes), desc="resampling", unit="volume", leave=False, file=err, disable=None)
    return bar


def _check_type(dtype: np.dtype[Any], interpolation: str, path: Path) -> bool:
    """Whether linear sampling converts data that transform would refuse to float32
    exactly (a note); CommandError for a type no sampling reads (not a real number)."""
    if blends(interpolation):
        return needs_widening(dtype, path)
    try:
        check_image_type(3, dtype)
    except ValueError:
        raise CommandError(
            f"input {path}: element type {_type_name(dtype)} is not supported "
            f"({interpolation} reads booleans, integers and floats)"
        ) from None
    return False


def needs_widening(dtype: np.dtype[Any], path: Path) -> bool:
    """Whether linear sampling reads data of ``dtype`` as float32 where transform would refuse it.

    True for the types float32 holds exactly that transform refuses (a note
    says so); False for every other real type, which the engine rounds once to
    the nearest float32 as transform rounds its own; CommandError for types
    that are not real numbers.
    """
    if dtype.fields is None and dtype.char in _WIDENED:
        return True
    try:
        check_image_type(3, dtype)
    except ValueError:
        raise CommandError(
            f"input {path}: element type {_type_name(dtype)} is not supported "
            "(linear reads booleans, integers and floats)"
        ) from None
    return False


def _type_name(dtype: np.dtype[Any]) -> str:
    """A short name for a possibly structured or byte-swapped element type."""
    if dtype.fields is not None:
        return "structured (" + ", ".join(dtype.names or ()) + ")"
    return dtype.newbyteorder("=").name


def _sizes(zooms: Tuple[float, ...]) -> str:
    return " x ".join(f"{z:g}" for z in zooms)
