"""resample's arguments checked into the forms the engine takes: the one place for its limits and result types."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .._core.affine import affine_stack, is_single, is_stack
from .._core.antialias import Sigmas, antialias_sigmas
from .._core.methods import (
    DEFAULT_METHOD,
    EDGE_RULE_NAMES,
    METHOD_NAMES,
    method_named,
    method_of_order,
    orders_listed,
)
from .._core.threads import thread_count
from .._core.words import counted
from ..bspline import WARPS
from .codes import BLEND_RESULT_TYPES

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# Counts and element totals are 32-bit signed in the kernel.
LIMIT = 2**31 - 1

Counts = Tuple[int, int, int]

# The largest Gaussian sigma the engine's filter takes (its radius, 4 sigma, stays below 2**24).
LARGEST_SIGMA = 2**22


class Request(NamedTuple):
    """A resampling checked and put into the engine's forms.

    ``matrices`` is float32 of shape (1, 12) for one matrix or (nvol, 12) for
    one per volume; spacings are float32 (sx, sy, sz); ``shape`` is the
    output's (nz, ny, nx); ``interpolation`` is the name of one of METHODS;
    ``result_type`` is the result's element type (native byte order);
    ``fill`` holds the bytes of one result element; ``edges`` is linear
    sampling's edge rule, "clamp" or "transform".
    """

    voxel_size: NDArray[np.float32]
    output_voxel_size: NDArray[np.float32]
    matrices: NDArray[np.float32]
    shape: Counts
    interpolation: str
    result_type: np.dtype[Any]
    fill: bytes
    threads: int
    edges: str
    # The steps after ``matrices``, in order: matrices as (1, 12) or
    # (nvol, 12) float32, fields in the engine's form.
    chain: Tuple[Any, ...] = ()
    # Anti-aliasing's Gaussian sigmas along x, y, z in input voxels, one triple
    # for every volume or one per volume; None without it.
    sigmas: Optional[Sigmas] = None

    @property
    def copies_elements(self) -> bool:
        """Whether the result holds source elements as they are (nearest, label), not float32 blends."""
        return not method_named(self.interpolation).blends


def volume_range(request: Request, first: int, end: int) -> Request:
    """The request for volumes ``first`` to ``end`` of the stack: every per-volume matrix stack,
    the first matrix's and the chain's, and the per-volume sigmas, cut to those volumes."""

    def cut(step: Any) -> Any:
        return step[first:end] if isinstance(step, np.ndarray) and step.shape[0] > 1 else step

    sigmas = request.sigmas
    if sigmas is not None and len(sigmas) > 1:
        sigmas = sigmas[first:end]
    return request._replace(
        matrices=cut(request.matrices), chain=tuple(cut(step) for step in request.chain), sigmas=sigmas
    )


def checked_image(image: Any) -> NDArray[Any]:
    """``image`` if it is a numpy array resample can read, else TypeError or ValueError."""
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy.ndarray, a dask array or a zarr.Array, not {type(image).__name__}")
    check_image_type(image.ndim, image.dtype)
    check_image_axes(image.shape)
    return image


def check_image_axes(shape: Tuple[int, ...]) -> None:
    """ValueError when one of the last three axes reaches 2**31: a single x row or (z, y) index
    past the kernel's 32-bit counts. Larger totals are resampled in blocks."""
    if any(n > LIMIT for n in shape[-3:]):
        raise ValueError(f"image is too large: its last three axes must each stay below 2**31, got {shape}")


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


def result_type_of(interpolation: str, image_type: np.dtype[Any], dtype: Any = None) -> np.dtype[Any]:
    """The element type of the result, in native byte order: ``dtype`` for the blends, float32
    when it is None; nearest and label copy elements as bits, so they keep the image's type,
    which ``dtype`` may name but not change. ValueError for any other ``dtype``."""
    kept = None if method_named(interpolation).blends else image_type.newbyteorder("=")
    if dtype is None:
        return np.dtype(np.float32) if kept is None else kept
    try:
        asked: np.dtype[Any] = np.dtype(dtype)
    except TypeError:
        raise ValueError(f"dtype must name an integer or float type, got {dtype!r}") from None
    asked = asked.newbyteorder("=")
    if kept is not None:
        if asked != kept:
            raise ValueError(
                f"{interpolation} sampling keeps the image's type {kept}: dtype must be None or {kept}, got {asked}"
            )
        return kept
    if asked.fields is not None or asked not in BLEND_RESULT_TYPES:
        raise ValueError(f"dtype must be an integer type (int8 to uint64) or float16, float32 or float64, got {asked}")
    return asked


def interpolation_of(order: Optional[int], interpolation: Optional[str]) -> str:
    """The interpolation that ``order`` (scipy's numbers) and ``interpolation`` (a name) ask
    for, linear when neither is given; ValueError for an unknown one or two that disagree."""
    ordered = None
    if order is not None:
        ordered = None if isinstance(order, bool) or np.ndim(order) != 0 else method_of_order(order)
        if ordered is None:
            raise ValueError(f"order must be {orders_listed()}, got {order!r}")
    if interpolation is None:
        return DEFAULT_METHOD if ordered is None else ordered.name
    if not isinstance(interpolation, str) or interpolation not in METHOD_NAMES:
        raise ValueError(f"interpolation must be one of {', '.join(map(repr, METHOD_NAMES))}, got {interpolation!r}")
    if ordered is not None and ordered.name != interpolation:
        raise ValueError(f"order {order} ({ordered.name}) and interpolation {interpolation!r} disagree")
    return interpolation


def checked_request(
    image_shape: Tuple[int, ...],
    image_type: np.dtype[Any],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]],
    output_voxel_size: Optional[ArrayLike],
    order: Optional[int] = None,
    fill: float,
    threads: Optional[int],
    edges: str = "clamp",
    interpolation: Optional[str] = None,
    antialias: bool = False,
    dtype: Any = None,
) -> Request:
    """resample's arguments checked against an image of this shape and type.

    The output may reach 2**31 elements in all (its callers make such an
    output block by block); each of its axes stays below that. With
    ``antialias`` the image is smoothed into float32 first, which is then
    what every interpolation reads.
    """
    volumes = image_shape[0] if len(image_shape) == 4 else 1
    spacing = _spacing(voxel_size, "voxel_size")
    output_spacing = spacing if output_voxel_size is None else _spacing(output_voxel_size, "output_voxel_size")
    matrices, chain = _steps(matrix, volumes, len(image_shape) == 4)
    output_shape = counts(image_shape[-3:]) if shape is None else _output_shape(shape)
    method = interpolation_of(order, interpolation)
    if not isinstance(edges, str) or edges not in EDGE_RULE_NAMES:
        raise ValueError(f"edges must be one of {', '.join(map(repr, EDGE_RULE_NAMES))}, got {edges!r}")
    if not isinstance(antialias, (bool, np.bool_)):
        raise TypeError(f"antialias must be True or False, not {type(antialias).__name__}")
    sigmas = None
    if antialias:
        sigmas = _antialias_sigmas(matrices, chain, spacing, output_spacing, method)
        image_type = np.dtype(np.float32)
    kind = result_type_of(method, image_type, dtype)
    return Request(
        spacing,
        output_spacing,
        matrices,
        output_shape,
        method,
        kind,
        fill_bytes(fill, kind),
        thread_count(threads),
        edges,
        chain,
        sigmas,
    )


def _antialias_sigmas(
    matrices: NDArray[np.float32],
    chain: Tuple[Any, ...],
    spacing: NDArray[np.float32],
    output_spacing: NDArray[np.float32],
    method: str,
) -> Sigmas:
    """Anti-aliasing's sigmas, or ValueError where it has no meaning."""
    if not method_named(method).antialias:
        raise ValueError("antialias does not apply to label sampling: smoothing a label map mixes its labels")
    if chain:
        raise ValueError("antialias takes matrices only: a displacement field has no one spacing ratio")
    if not np.all(np.isfinite(matrices)):
        raise ValueError("antialias needs finite matrices")
    sigmas = antialias_sigmas(matrices, spacing, output_spacing)
    largest = max(max(triple) for triple in sigmas)
    if largest > LARGEST_SIGMA:
        raise ValueError(
            f"antialias would smooth with a sigma of {largest:g} voxels, past {LARGEST_SIGMA}: "
            "the output's spacing is too coarse for the input"
        )
    return sigmas


def counts(values: Sequence[int]) -> Counts:
    """Three counts (z, y, x) as Python ints."""
    z, y, x = (int(v) for v in values)
    return (z, y, x)


def _numbers(value: ArrayLike, name: str) -> NDArray[np.float64]:
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as error:  # OverflowError: an integer past any float
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


def _steps(matrix: Any, volumes: int, stack: bool) -> Tuple[NDArray[np.float32], Tuple[Any, ...]]:
    """The first matrix (the identity when a chain starts with a field or a B-spline) and the chain's
    other steps.

    A chain is a list or tuple of steps among which is a :class:`Field` or a
    :class:`BSpline`; its matrices may each be one for all volumes or one per volume."""
    if not (isinstance(matrix, (list, tuple)) and any(isinstance(step, WARPS) for step in matrix)):
        return _matrices(matrix, volumes, stack), ()
    steps = list(matrix)
    first = np.eye(3, 4, dtype=np.float32).reshape(1, 12)
    if not isinstance(steps[0], WARPS):
        first = _matrices(steps.pop(0), volumes, stack)
    chain = tuple(step.engine_form() if isinstance(step, WARPS) else _matrices(step, volumes, stack) for step in steps)
    return first, chain


def _matrices(matrix: ArrayLike, volumes: int, stack: bool) -> NDArray[np.float32]:
    """One matrix for every volume, as (1, 12), or one per volume, as (volumes, 12)."""
    numbers = _numbers(matrix, "matrix")
    if is_single(numbers.shape):
        numbers = numbers[np.newaxis]
    elif is_stack(numbers.shape):
        if numbers.shape[0] != volumes:
            raise ValueError(
                f"matrix holds {counted(numbers.shape[0], 'matrix', 'matrices')} for an image of "
                f"{counted(volumes, 'volume')}" + ("" if stack else " (a 3-D image takes one matrix)")
            )
    else:
        raise ValueError(
            "matrix must be 12 numbers, a 3x4 or a 4x4, or one per volume of shape "
            f"(nvol, 12), (nvol, 3, 4) or (nvol, 4, 4); got shape {numbers.shape}"
        )
    # Any numbers, infinities and NaN too: they have a defined result (the fill, or what the
    # kernel's float32 arithmetic makes of them), and a singular matrix samples a plane or a line.
    rows = affine_stack(numbers)[:, :3]
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(rows.reshape(rows.shape[0], 12), dtype=np.float32)


def _output_shape(shape: Sequence[int]) -> Counts:
    given = tuple(shape)
    whole = all(isinstance(n, (int, np.integer)) and not isinstance(n, bool) for n in given)
    if len(given) != 3 or not whole or not all(0 < n <= LIMIT for n in given):
        raise ValueError(f"shape must be 3 counts (nz, ny, nx) of at least 1, got {shape!r}")
    return counts(given)


def _nearest_binary(value: int, digits: int) -> int:
    """The integer nearest to ``value`` that has at most ``digits`` significant bits, ties to even:
    an integer rounded once to a float of that precision, whatever its size."""
    magnitude = abs(value)
    shift = max(magnitude.bit_length() - digits, 0)
    if shift == 0:
        return value
    kept, rest, half = magnitude >> shift, magnitude & ((1 << shift) - 1), 1 << (shift - 1)
    if rest > half or (rest == half and kept & 1):
        kept += 1
    return (kept << shift) * (-1 if value < 0 else 1)


def fill_bytes(fill: Any, result_type: np.dtype[Any]) -> bytes:
    """The bytes of ``fill`` as one element of ``result_type``, or ValueError
    when that type cannot hold it (TypeError when it is not a number).

    A float scalar of the result's own type keeps its bits (a signalling NaN
    stays signalling); an integer is rounded once, to nearest, as the element
    conversions round."""
    if isinstance(fill, np.floating) and fill.dtype == result_type:
        return fill.tobytes()
    if isinstance(fill, (bool, np.bool_)):
        value: Any = int(fill)
    elif isinstance(fill, (int, np.integer)):
        value = int(fill)
    else:
        try:
            value = float(fill)
        except (TypeError, ValueError):
            raise TypeError(f"fill must be a number, not {type(fill).__name__}") from None
        except OverflowError:  # a number no float holds, such as a huge Fraction
            raise ValueError(f"fill {fill!r} does not fit the result's type {result_type}") from None
    if result_type.kind == "f":
        precision = np.finfo(result_type)
        if isinstance(value, int):
            value = _nearest_binary(value, precision.nmant + 1)  # exact as a Python float from here on
            too_large = abs(value) > int(precision.max)
        else:
            too_large = math.isfinite(value) and abs(value) > float(precision.max)
        if too_large:
            raise ValueError(f"fill {fill!r} does not fit the result's type {result_type}")
        with np.errstate(over="ignore"):
            return np.array(float(value), dtype=result_type).tobytes()
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
