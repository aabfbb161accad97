"""scipy.ndimage's interpolation functions on voxwarpkit's engine: ``from voxwarpkit import ndimage``
in place of ``from scipy import ndimage``.

The same signatures and defaults as scipy's, the same answers (within 1e-12 of the data's range for
float64 data, to float32's precision for float32 data), on every core (``threads=``, every one by
default), and on dask arrays, lazily, one task per output chunk. Positions are made in double from
the output's whole indices as scipy makes them, so the same voxels are read; values, weights and
sums are double; the arithmetic is defined bit for bit (docs/definitions.md, "The scipy.ndimage
path"), the same on every machine, thread count and chunking.
"""

from __future__ import annotations

import operator
import sys
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np

from .._core.threads import thread_count
from .._lazy.windows import windows_of
from ._arguments import (
    affine_parts,
    check_order,
    degrees_cos_sin,
    normalized,
    stack_of_affine,
    stack_of_axes,
)
from ._engine_call import Positions, coefficients_of, filter_in_place, transform
from ._modes import mode_named
from ._outputs import output_array

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "affine_transform",
    "geometric_transform",
    "map_coordinates",
    "rotate",
    "shift",
    "spline_filter",
    "spline_filter1d",
    "zoom",
]


def _is_lazy(value: Any) -> bool:
    """Whether ``value`` is a dask array or a zarr array, which affine_transform takes lazily."""
    dask_array = sys.modules.get("dask.array")  # never imported here: a dask array means it is loaded
    return (dask_array is not None and isinstance(value, dask_array.Array)) or windows_of(value) is not None


def _run(
    input: NDArray[Any],
    output: NDArray[Any],
    stack: int,
    positions: Positions,
    order: int,
    mode: str,
    cval: Any,
    prefilter: bool,
    threads: int,
) -> NDArray[Any]:
    """The transform of a real ``input`` into ``output``; a complex one part by part, as scipy."""
    if np.iscomplexobj(input):
        for part, value in ((np.real, np.real(cval)), (np.imag, np.imag(cval))):
            _run(part(input), part(output), stack, positions, order, mode, value, prefilter, threads)
        return output
    mode_named(mode)
    coefficients, padding = coefficients_of(input, stack, order, mode, cval, prefilter, threads)
    transform(coefficients, padding, output, stack, positions, order, mode, float(cval), threads)
    return output


def affine_transform(
    input: Any,
    matrix: Any,
    offset: Any = 0.0,
    output_shape: Optional[Sequence[int]] = None,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    *,
    threads: Optional[int] = None,
    output_chunks: Any = None,
) -> Any:
    """scipy.ndimage.affine_transform: the value at output index ``o`` is the input's spline at
    ``matrix @ o + offset``.

    ``matrix`` as scipy takes it: (ndim, ndim), homogeneous (ndim + 1, ndim + 1) or (ndim,
    ndim + 1), or a vector, the diagonal. Inputs of more than three axes are stacks: the leading
    axes must be left alone. ``threads``: threads of the engine (every CPU by default). A dask
    ``input`` gives a lazy dask array of ``output_chunks`` (dask-image's keyword; by default the
    input's chunking), with the bits of the numpy call.
    """
    order = check_order(order)
    if _is_lazy(input):
        from ._lazy import lazy_affine_transform

        return lazy_affine_transform(
            input, matrix, offset, output_shape, output, order, mode, cval, prefilter, threads, output_chunks
        )
    if output_chunks is not None:
        raise TypeError("output_chunks applies to dask arrays only")
    input = np.asarray(input)
    if output_shape is None:
        output_shape = output.shape if isinstance(output, np.ndarray) else input.shape
    output_shape = tuple(int(n) for n in output_shape)
    if input.ndim < 1 or len(output_shape) < 1:
        raise RuntimeError("input and output rank must be > 0")
    result = output_array(output, input, output_shape, np.iscomplexobj(input))
    parsed, shift = affine_parts(matrix, offset, input.shape, result.ndim)
    stack = stack_of_affine(parsed, shift, input.shape, output_shape)
    if parsed.ndim == 1:
        diagonal = np.ascontiguousarray(parsed[stack:])
        positions = Positions(zoom=diagonal, shift=np.ascontiguousarray(shift[stack:] / diagonal))
    else:
        positions = Positions(matrix=np.ascontiguousarray(parsed[stack:, stack:]), shift=shift[stack:].copy())
    return _run(input, result, stack, positions, order, mode, cval, prefilter, thread_count(threads))


def map_coordinates(
    input: Any,
    coordinates: Any,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    *,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.map_coordinates: the input's spline at each position ``coordinates[:, ...]``
    (the input's rank first, up to three axes), read as float64."""
    order = check_order(order)
    input = np.asarray(input)
    coordinates = np.asarray(coordinates)
    if np.iscomplexobj(coordinates):
        raise TypeError("Complex type not supported")
    output_shape = coordinates.shape[1:]
    if input.ndim < 1 or len(output_shape) < 1:
        raise RuntimeError("input and output rank must be > 0")
    if coordinates.shape[0] != input.ndim:
        raise RuntimeError("invalid shape for coordinate array")
    if input.ndim > 3:
        raise ValueError("voxwarpkit.ndimage.map_coordinates takes inputs of at most 3 axes")
    result = output_array(output, input, output_shape, np.iscomplexobj(input))
    positions = Positions(coordinates=np.ascontiguousarray(coordinates.reshape(input.ndim, -1), dtype=np.float64))
    flat = result.reshape(-1)
    if not np.shares_memory(flat, result) and result.size:
        flat = np.empty(result.size, result.dtype)
    _run(input, flat, 0, positions, order, mode, cval, prefilter, thread_count(threads))
    if flat.size and not np.shares_memory(flat, result):
        result[...] = flat.reshape(result.shape)
    return result


def geometric_transform(
    input: Any,
    mapping: Callable[..., Sequence[float]],
    output_shape: Optional[Sequence[int]] = None,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    extra_arguments: Tuple[Any, ...] = (),
    extra_keywords: Optional[Dict[str, Any]] = None,
    *,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.geometric_transform: ``mapping`` (called in Python for every output index, as
    scipy calls it) gives each position, which map_coordinates' rules then sample."""
    order = check_order(order)
    input = np.asarray(input)
    if output_shape is None:
        output_shape = input.shape
    output_shape = tuple(int(n) for n in output_shape)
    if input.ndim < 1 or len(output_shape) < 1:
        raise RuntimeError("input and output rank must be > 0")
    result = output_array(output, input, output_shape, np.iscomplexobj(input))
    keywords = extra_keywords or {}
    coordinates = np.empty((input.ndim,) + output_shape)
    for index in np.ndindex(*output_shape):
        coordinates[(slice(None),) + index] = mapping(index, *extra_arguments, **keywords)
    return map_coordinates(
        input, coordinates, output=result, order=order, mode=mode, cval=cval, prefilter=prefilter, threads=threads
    )


def shift(
    input: Any,
    shift: Any,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    *,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.shift: the value at output index ``o`` is the input's spline at ``o - shift``."""
    order = check_order(order)
    input = np.asarray(input)
    if input.ndim < 1:
        raise RuntimeError("input and output rank must be > 0")
    result = output_array(output, input, input.shape, np.iscomplexobj(input))
    shifts = normalized(shift, input.ndim)
    stack = stack_of_axes(shifts, 0.0, input.ndim, "shift")
    negated = np.asarray([-s for s in shifts], dtype=np.float64)[stack:]
    return _run(input, result, stack, Positions(shift=negated), order, mode, cval, prefilter, thread_count(threads))


def zoom(
    input: Any,
    zoom: Any,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    *,
    grid_mode: bool = False,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.zoom: the output's shape is the input's times ``zoom``, rounded; its first and
    last voxel centres fall on the input's (on the edges of the grid with ``grid_mode``)."""
    order = check_order(order)
    input = np.asarray(input)
    if input.ndim < 1:
        raise RuntimeError("input and output rank must be > 0")
    zooms = normalized(zoom, input.ndim)
    output_shape = tuple(int(round(n * z)) for n, z in zip(input.shape, zooms))
    result = output_array(output, input, output_shape, np.iscomplexobj(input))
    if all(z == 1 for z in zooms) and prefilter:  # zoom 1 is the input itself, as in scipy
        result[...] = input
        return result
    if grid_mode and mode in ("constant", "wrap"):
        suggested = {"constant": "grid-constant", "wrap": "grid-wrap"}[mode]
        warnings.warn(
            f"It is recommended to use mode = {suggested} instead of {mode} when grid_mode is True.", stacklevel=2
        )
    divisor = np.array(output_shape)
    numerator = np.array(input.shape)
    if not grid_mode:
        divisor -= 1
        numerator -= 1
    # an output of one voxel along an axis takes zoom 1 there, as in scipy
    factors = np.divide(numerator, divisor, out=np.ones_like(input.shape, dtype=np.float64), where=divisor != 0)
    stack = stack_of_axes(list(factors), 1.0, input.ndim, "zoom")
    positions = Positions(zoom=np.ascontiguousarray(factors[stack:]), grid_mode=bool(grid_mode))
    return _run(input, result, stack, positions, order, mode, cval, prefilter, thread_count(threads))


def rotate(
    input: Any,
    angle: float,
    axes: Sequence[int] = (1, 0),
    reshape: bool = True,
    output: Any = None,
    order: int = 3,
    mode: str = "constant",
    cval: Any = 0.0,
    prefilter: bool = True,
    *,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.rotate: the plane of ``axes`` turned by ``angle`` degrees about its centre,
    every plane parallel to it alike; with ``reshape``, an output that holds the whole input."""
    array = np.asarray(input)
    ndim = array.ndim
    if ndim < 2:
        raise ValueError("input array should be at least 2D")
    plane = list(axes)
    if len(plane) != 2:
        raise ValueError("axes should contain exactly two values")
    if not all(float(ax).is_integer() for ax in plane):
        raise ValueError("axes should contain only integer values")
    plane = [int(ax) + ndim if ax < 0 else int(ax) for ax in plane]
    if plane[0] < 0 or plane[1] < 0 or plane[0] >= ndim or plane[1] >= ndim:
        raise ValueError("invalid rotation plane specified")
    plane.sort()
    order = check_order(order)
    c, s = degrees_cos_sin(angle)
    rotation = np.array([[c, s], [-s, c]])
    shape = np.asarray(array.shape)
    in_plane = shape[plane]
    if reshape:
        iy, ix = in_plane
        bounds = rotation @ [[0, 0, iy, iy], [0, ix, 0, ix]]
        out_plane = (np.ptp(bounds, axis=1) + 0.5).astype(int)
    else:
        out_plane = shape[plane]
    offset = (in_plane - 1) / 2 - rotation @ ((out_plane - 1) / 2)
    output_shape = shape.copy()
    output_shape[plane] = out_plane
    result = output_array(output, array, tuple(int(n) for n in output_shape), np.iscomplexobj(array))
    # the other axes are a stack, whose planes share every position
    others = [a for a in range(ndim) if a not in plane]
    moved_input = np.moveaxis(array, plane, [-2, -1]) if others else array
    moved_output = np.moveaxis(result, plane, [-2, -1]) if others else result
    positions = Positions(matrix=np.ascontiguousarray(rotation), shift=np.ascontiguousarray(offset, dtype=np.float64))
    _run(moved_input, moved_output, len(others), positions, order, mode, cval, prefilter, thread_count(threads))
    return result


def spline_filter1d(
    input: Any,
    order: int = 3,
    axis: int = -1,
    output: Any = np.float64,
    mode: str = "mirror",
    *,
    threads: Optional[int] = None,
) -> NDArray[Any]:
    """scipy.ndimage.spline_filter1d: the B-spline coefficients of ``order`` along ``axis``,
    computed in double and stored in ``output``'s type (orders 0 and 1 copy the input)."""
    if order < 0 or order > 5:
        raise RuntimeError("spline order not supported")
    input = np.asarray(input)
    result = output_array(output, input, input.shape, np.iscomplexobj(input))
    if np.iscomplexobj(input):
        spline_filter1d(input.real, order, axis, result.real, mode, threads=threads)
        spline_filter1d(input.imag, order, axis, result.imag, mode, threads=threads)
        return result
    if order in (0, 1):
        result[...] = np.array(input)
        return result
    mode_named(mode)
    if input.ndim == 0:
        result[...] = input
        return result
    if not -input.ndim <= axis < input.ndim:
        raise ValueError(f"axis {axis} is out of bounds for an array of {input.ndim} dimensions")
    values = np.array(input, dtype=np.float64, order="C")
    filter_in_place(values, axis % input.ndim, operator.index(order), mode, thread_count(threads))
    result[...] = values
    return result


def spline_filter(
    input: Any, order: int = 3, output: Any = np.float64, mode: str = "mirror", *, threads: Optional[int] = None
) -> NDArray[Any]:
    """scipy.ndimage.spline_filter: spline_filter1d along every axis in turn, each pass stored in
    ``output``'s type before the next reads it, as scipy stores them."""
    if order < 2 or order > 5:
        raise RuntimeError("spline order not supported")
    input = np.asarray(input)
    result = output_array(output, input, input.shape, np.iscomplexobj(input))
    if np.iscomplexobj(input):
        spline_filter(input.real, order, result.real, mode, threads=threads)
        spline_filter(input.imag, order, result.imag, mode, threads=threads)
        return result
    if input.ndim == 0:
        result[...] = input
        return result
    values = input
    for axis in range(input.ndim):
        spline_filter1d(values, order, axis, output=result, mode=mode, threads=threads)
        values = result
    return result
