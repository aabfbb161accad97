"""``resample``: any output grid, one matrix per volume, nearest or linear, a fill value."""

from __future__ import annotations

import importlib
import math
import sys
from typing import TYPE_CHECKING, Any, Callable, NamedTuple, Optional, Sequence, Tuple, overload

import numpy as np

from .matrices import _LAST_ROW_TOLERANCE
from .threads import thread_count

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

_engine: Any = importlib.import_module("voxwarpkit._engine")
_native_resample: Callable[..., Any] = _engine.resample

# Counts and element totals are 32-bit signed in the kernel.
_LIMIT = 2**31 - 1

Counts = Tuple[int, int, int]


class Request(NamedTuple):
    """A resampling checked and put into the engine's forms.

    ``matrices`` is float32 of shape (1, 12) for one matrix or (nvol, 12) for
    one per volume; spacings are float32 (sx, sy, sz); ``shape`` is the
    output's (nz, ny, nx); ``fill`` holds the bytes of one result element.
    """

    voxel_size: NDArray[np.float32]
    output_voxel_size: NDArray[np.float32]
    matrices: NDArray[np.float32]
    shape: Counts
    order: int
    result_type: np.dtype[Any]
    fill: bytes
    threads: int


@overload
def resample(
    image: NDArray[Any],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: None = None,
) -> NDArray[Any]: ...


@overload
def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
) -> Any: ...


def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
) -> Any:
    """Resample an image onto any grid through one matrix, or one per volume.

    Parameters
    ----------
    image
        A volume ``(nz, ny, nx)`` or a stack ``(nvol, nz, ny, nx)``: a numpy
        array of booleans, integers of any width (signed or not) or floats
        (float16, float32, float64), in any layout and byte order; or a dask
        array, for which the result is a lazy dask array (see below).
    voxel_size
        The input's spacing ``(sx, sy, sz)``: along x (the last axis), y and
        z. Any array-like of three positive, finite numbers.
    matrix
        Maps an output voxel's physical position to the input's, as in
        :func:`voxwarpkit.transform`: 12 numbers (a row-major 3x4), a 3x4 or a
        4x4 (last row ``0 0 0 1``) for every volume; or one per volume, of
        shape ``(nvol, 12)``, ``(nvol, 3, 4)`` or ``(nvol, 4, 4)``.
    shape
        The output's ``(nz, ny, nx)``; default the input's.
    output_voxel_size
        The output's spacing ``(osx, osy, osz)``; default ``voxel_size``.
    order
        1 (default): trilinear, as :func:`voxwarpkit.transform`, with a
        float32 result. 0: nearest neighbour, with a result of the image's own
        element type (native byte order) whose values are the input's, bit for
        bit, so a label map keeps its labels.
    fill
        The value of every output position that is not sampled. It must fit
        the result's type: a whole number within range for an integer result.
    threads
        As for :func:`voxwarpkit.transform`: ``None`` uses every CPU this
        process may run on; for a dask array, the threads of each task
        (default 1). The bits do not depend on it.
    chunks
        Dask arrays only: the output's chunking (default blocks of about
        64 MiB shaped like the input's chunks).

    Returns
    -------
    numpy.ndarray or dask.array.Array
        The output, ``(nz, ny, nx)`` or ``(nvol, nz, ny, nx)`` by the image's
        rank.

    Positions and rules
    -------------------
    Output index ``(z, y, x)`` sits at ``X = x * osx``, ``Y = y * osy``,
    ``Z = z * osz``; its source index along x is
    ``I = (((m0*X + m1*Y) + m2*Z) + m3) / sx`` (likewise J with m4..m7 and
    sy, K with m8..m11 and sz), every step rounded to float32. Linear
    sampling then follows :func:`voxwarpkit.transform`'s rules exactly (the
    one-voxel bands and extrapolation included), on the input's grid.
    Nearest sampling takes voxel ``floor(I)``, or the next one when
    ``I - floor(I) >= 0.5`` (ties go up), along each axis; a position is
    sampled when all three lie in the input, i.e. ``-0.5 <= I < nx - 0.5``;
    NaN and infinity never are. With the defaults and 12 numbers,
    ``resample(image, voxel_size, matrix)`` equals
    ``_voxwarpkit.transform(image, voxel_size, matrix)`` bit for bit.

    Raises
    ------
    TypeError
        When the image is not an array, or an argument is not of a usable
        kind (a non-number fill, a non-integer thread count).
    ValueError
        Naming the argument and the reason: rank, element type, shapes,
        matrix counts, a non-finite or non-positive spacing, an output axis
        below 1, an order other than 0 or 1, a fill the result's type cannot
        hold, an image or output of 2**31 elements or more.
    """
    dask_array = sys.modules.get("dask.array")  # never imported here: a dask array means it is loaded
    if dask_array is not None and isinstance(image, dask_array.Array):
        from .chunked import resample_dask

        return resample_dask(
            image,
            voxel_size,
            matrix,
            shape=shape,
            output_voxel_size=output_voxel_size,
            order=order,
            fill=fill,
            threads=threads,
            chunks=chunks,
        )
    if chunks is not None:
        raise TypeError("chunks applies to dask arrays only")
    array = checked_image(image)
    request = checked_request(
        array.shape,
        array.dtype,
        voxel_size,
        matrix,
        shape=shape,
        output_voxel_size=output_voxel_size,
        order=order,
        fill=fill,
        threads=threads,
    )
    stack = array if array.ndim == 4 else array[np.newaxis]
    grid = _counts(stack.shape[1:])
    result = resample_window(stack, (0, 0, 0), grid, request, (0, 0, 0), request.shape, request.threads)
    return result if array.ndim == 4 else result[0]


def resample_window(
    window: NDArray[Any],
    window_origin: Counts,
    grid: Counts,
    request: Request,
    block_origin: Counts,
    block_shape: Counts,
    threads: int,
) -> NDArray[Any]:
    """The output block ``block_shape`` at global index ``block_origin`` of ``request``.

    ``window`` is ``(nvol, nz, ny, nx)``: the part of the input grid of
    extent ``grid`` from ``window_origin`` (all counts ``(z, y, x)``). It must
    hold every voxel the block reads (:func:`source_box` tells which), or the
    engine refuses it with ValueError.
    """
    source = window
    if request.order == 0:
        # Elements are copied as bits, so the engine reads them as they lie:
        # contiguous, aligned and in the machine's byte order.
        native = source.dtype.newbyteorder("=")
        if source.dtype != native or not (source.flags.c_contiguous and source.flags.aligned):
            source = np.ascontiguousarray(source, dtype=native)
            if not source.flags.aligned:
                source = source.copy()
    source_spacing, target_spacing = _spacings(request)
    result: NDArray[Any] = _native_resample(
        source,
        window_origin,
        grid,
        source_spacing,
        request.matrices,
        block_shape,
        block_origin,
        target_spacing,
        request.order,
        request.fill,
        threads,
    )
    return result


def source_box(
    grid: Counts, request: Request, block_origin: Counts, block_shape: Counts
) -> Optional[Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]]:
    """The input voxels an output block reads, as half-open ``(start, stop)``
    ranges along z, y and x, or None when it reads none. Found with the exact
    float32 arithmetic of the kernel, so it is never too small."""
    source_spacing, target_spacing = _spacings(request)
    box: Optional[Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]] = _engine.source_box(
        grid,
        source_spacing,
        request.matrices,
        block_shape,
        block_origin,
        target_spacing,
        request.order,
    )
    return box


def _spacings(request: Request) -> Tuple[Tuple[float, float, float], Tuple[float, float, float]]:
    """The input's and the output's spacing as the engine takes them: Python floats holding the float32 values."""
    sx, sy, sz = (float(s) for s in request.voxel_size)
    ox, oy, oz = (float(s) for s in request.output_voxel_size)
    return (sx, sy, sz), (ox, oy, oz)


def checked_image(image: Any) -> NDArray[Any]:
    """``image`` if it is a numpy array resample can read, else TypeError or ValueError."""
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray or a dask array, not {type(image).__name__}")
    check_image_type(image.ndim, image.dtype)
    if image.size > _LIMIT:
        raise ValueError(f"image is too large: it has {image.size} elements, more than the limit of {_LIMIT}")
    return image


def check_image_type(rank: int, dtype: np.dtype[Any]) -> None:
    """ValueError unless an image of this rank and element type can be resampled."""
    if rank not in (3, 4):
        raise ValueError(f"image must have 3 dimensions (nz, ny, nx) or 4 (nvol, nz, ny, nx), got {rank}")
    readable = dtype.fields is None and (
        dtype.kind in "biu" and dtype.itemsize <= 8 or dtype.kind == "f" and dtype.itemsize in (2, 4, 8)
    )
    if not readable:
        raise ValueError(
            f"image has element type {dtype}; resample reads booleans, integers of up to 64 bits "
            "and float16, float32 and float64"
        )


def checked_request(
    image_shape: Tuple[int, ...],
    image_type: np.dtype[Any],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]],
    output_voxel_size: Optional[ArrayLike],
    order: int,
    fill: float,
    threads: Optional[int],
    limit_output: bool = True,
) -> Request:
    """resample's arguments checked against an image of this shape and type.

    ``limit_output=False`` lets the output reach 2**31 elements, for callers
    that make it block by block and keep each block below that.
    """
    volumes = image_shape[0] if len(image_shape) == 4 else 1
    spacing = _spacing(voxel_size, "voxel_size")
    output_spacing = spacing if output_voxel_size is None else _spacing(output_voxel_size, "output_voxel_size")
    matrices = _matrices(matrix, volumes, len(image_shape) == 4)
    output_shape = _counts(image_shape[-3:]) if shape is None else _output_shape(shape)
    if limit_output and volumes * math.prod(output_shape) > _LIMIT:
        raise ValueError(f"the output is too large: {volumes} x {output_shape} has more than {_LIMIT} elements")
    if isinstance(order, bool) or order not in (0, 1):
        raise ValueError(f"order must be 0 (nearest) or 1 (linear), got {order!r}")
    result_type = np.dtype(np.float32) if order == 1 else image_type.newbyteorder("=")
    return Request(
        spacing,
        output_spacing,
        matrices,
        output_shape,
        order,
        result_type,
        fill_bytes(fill, result_type),
        thread_count(threads),
    )


def _counts(values: Sequence[int]) -> Counts:
    z, y, x = (int(v) for v in values)
    return (z, y, x)


def _numbers(value: ArrayLike, name: str) -> NDArray[np.float64]:
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must hold numbers: {error}") from None


def _spacing(value: ArrayLike, name: str) -> NDArray[np.float32]:
    """Three positive, finite spacings, as the float32 numbers the kernel uses."""
    numbers = _numbers(value, name).ravel()
    if numbers.shape != (3,):
        raise ValueError(f"{name} must hold 3 numbers (sx, sy, sz), got {numbers.size}")
    with np.errstate(over="ignore", under="ignore"):
        spacing = numbers.astype(np.float32)
    if not (np.all(np.isfinite(spacing)) and np.all(spacing > 0)):
        raise ValueError(f"{name} must be positive and finite in float32, got {numbers.tolist()}")
    return spacing


def _matrices(matrix: ArrayLike, volumes: int, stack: bool) -> NDArray[np.float32]:
    """One matrix for every volume, as (1, 12), or one per volume, as (volumes, 12)."""
    numbers = _numbers(matrix, "matrix")
    single = numbers.shape in ((12,), (3, 4), (4, 4))
    if single:
        numbers = numbers[np.newaxis]
    elif numbers.ndim in (2, 3) and numbers.shape[1:] in ((12,), (3, 4), (4, 4)):
        if numbers.shape[0] != volumes:
            raise ValueError(
                f"matrix holds {numbers.shape[0]} matrices for an image of {volumes} "
                f"volume{'s' if volumes != 1 else ''}" + ("" if stack else " (a 3-D image takes one matrix)")
            )
    else:
        raise ValueError(
            "matrix must be 12 numbers, a 3x4 or a 4x4, or one per volume of shape "
            f"(nvol, 12), (nvol, 3, 4) or (nvol, 4, 4); got shape {numbers.shape}"
        )
    if numbers.shape[1:] == (4, 4):
        last_rows = numbers[:, 3]
        if np.any(~(np.abs(last_rows - [0.0, 0.0, 0.0, 1.0]) <= _LAST_ROW_TOLERANCE)):
            raise ValueError("the last row of a 4x4 matrix must be 0 0 0 1")
        numbers = numbers[:, :3]
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(numbers.reshape(numbers.shape[0], 12), dtype=np.float32)


def _output_shape(shape: Sequence[int]) -> Counts:
    counts = tuple(shape)
    whole = all(isinstance(n, (int, np.integer)) and not isinstance(n, bool) for n in counts)
    if len(counts) != 3 or not whole or not all(0 < n <= _LIMIT for n in counts):
        raise ValueError(f"shape must be 3 counts (nz, ny, nx) of at least 1, got {shape!r}")
    return _counts(counts)


def fill_bytes(fill: Any, result_type: np.dtype[Any]) -> bytes:
    """The bytes of ``fill`` as one element of ``result_type``, or ValueError
    when that type cannot hold it (TypeError when it is not a number)."""
    if isinstance(fill, (bool, np.bool_)):
        value: Any = int(fill)
    elif isinstance(fill, (int, np.integer)):
        value = int(fill)
    else:
        try:
            value = float(fill)
        except (TypeError, ValueError):
            raise TypeError(f"fill must be a number, not {type(fill).__name__}") from None
    if result_type.kind == "f":
        limit = float(np.finfo(result_type).max)
        if math.isfinite(float(value)) and abs(float(value)) > limit:
            raise ValueError(f"fill {fill!r} does not fit the result's type {result_type}")
        with np.errstate(over="ignore"):
            return np.array(value, dtype=result_type).tobytes()
    if isinstance(value, float):
        if not (math.isfinite(value) and value.is_integer()):
            raise ValueError(f"fill {fill!r} is not a whole number, as the result's type {result_type} needs")
        value = int(value)
    if result_type.kind == "b":
        if value not in (0, 1):
            raise ValueError(f"fill {fill!r} does not fit the result's type bool (0 or 1)")
    else:
        info = np.iinfo(result_type)
        if not info.min <= value <= info.max:
            raise ValueError(f"fill {fill!r} does not fit the result's type {result_type} ({info.min} to {info.max})")
    return np.array(value, dtype=result_type).tobytes()
