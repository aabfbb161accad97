"""The index-space spline path's calls into the engine: the coefficients a prefilter makes and
the transform of a stack of inputs, with numpy arrays laid out as the engine takes them.

The arithmetic is the engine's (docs/definitions.md, "The scipy.ndimage path").
"""

from __future__ import annotations

import itertools
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Tuple

import numpy as np

from .. import _engine
from ._modes import PREPAD, mode_named

if TYPE_CHECKING:
    from numpy.typing import NDArray

# What the engine reads in place; any other real type is read from a float64 copy, which holds
# every value of those types exactly but integers past 2**53, rounded as C's cast rounds them.
_SOURCE_TYPES = (np.float32, np.float64, np.uint8, np.uint16, np.int16)


class Positions(NamedTuple):
    """How output indices become input positions: ``matrix`` (input rank x output rank) with
    ``shift``; else ``zoom`` and ``shift`` along each axis alone; else ``coordinates``
    (input rank, output voxels), every array float64."""

    matrix: Optional[NDArray[np.float64]] = None
    shift: Optional[NDArray[np.float64]] = None
    zoom: Optional[NDArray[np.float64]] = None
    grid_mode: bool = False
    coordinates: Optional[NDArray[np.float64]] = None


def coefficients_of(
    input: NDArray[Any], stack: int, order: int, mode: str, cval: float, prefilter: bool, threads: int
) -> Tuple[NDArray[Any], int]:
    """What the spline reads of ``input`` (its leading ``stack`` axes volumes) and how many
    voxels it is padded by on each side of every moving axis: for ``order`` 2 to 5 with
    ``prefilter``, the float64 B-spline coefficients, padded first by 12 voxels under nearest
    (its edge voxels) and grid-constant (cval in the input's type), as scipy pads them; else
    the input's own values."""
    if not (prefilter and order > 1):
        return readable(input), 0
    record = mode_named(mode)
    padding = 0
    values = input
    if record.prepad is not None:
        padding = PREPAD
        widths = [(0, 0)] * stack + [(PREPAD, PREPAD)] * (input.ndim - stack)
        if record.prepad == "edge":
            values = np.pad(input, widths, mode="edge")
        else:
            values = np.pad(input, widths, mode="constant", constant_values=cval)
    coefficients = np.array(values, dtype=np.float64, order="C")
    if coefficients.size:
        for axis in range(stack, input.ndim):
            _engine.spline_filter(coefficients, axis, order, record.engine_code, threads)
    return coefficients, padding


def filter_in_place(values: NDArray[np.float64], axis: int, order: int, mode: str, threads: int) -> None:
    """The C-contiguous float64 ``values`` filtered along ``axis`` into coefficients of ``order``."""
    if values.size:
        _engine.spline_filter(values, axis, order, mode_named(mode).engine_code, threads)


def readable(values: NDArray[Any]) -> NDArray[Any]:
    """``values`` where the engine can read them in place, else a copy it can."""
    if values.dtype.type in _SOURCE_TYPES and values.dtype.isnative and values.flags.aligned:
        return values
    if values.dtype.type in _SOURCE_TYPES:
        native: NDArray[Any] = values.astype(values.dtype.newbyteorder("="))
        return native
    return values.astype(np.float64)


def _writable(target: NDArray[Any]) -> bool:
    return bool(target.dtype.isnative and target.flags.aligned and target.flags.writeable)


def _rank4(values: NDArray[Any], volumes: bool, rank: int) -> NDArray[Any]:
    """``values`` (volumes first when ``volumes``, then ``rank`` axes) as a view of rank 4."""
    lead: Tuple[Any, ...] = (slice(None),) if volumes else (np.newaxis,)
    view: NDArray[Any] = values[lead + (np.newaxis,) * (3 - rank)]
    return view


def transform(
    coefficients: NDArray[Any],
    padding: int,
    output: NDArray[Any],
    stack: int,
    positions: Positions,
    order: int,
    mode: str,
    cval: float,
    threads: int,
) -> None:
    """Writes into ``output`` the transform of ``coefficients``: both hold ``stack`` leading axes
    of volumes, which share every position, then their moving axes (1 to 3 each)."""
    code = mode_named(mode).engine_code
    input_rank, output_rank = coefficients.ndim - stack, output.ndim - stack
    if output.size == 0:
        return
    target = output if _writable(output) else np.empty(output.shape, output.dtype.newbyteorder("="))
    padded = (1,) * (3 - input_rank) + tuple(int(n) for n in coefficients.shape[stack:])
    grid = (padded[0], padded[1], padded[2])
    if 0 in grid:  # nothing to read: every position takes cval, as scipy's cast makes it
        _engine_fill(target, cval)
    else:
        coordinates = positions.coordinates
        volumes = stack > 0
        for index in itertools.product(*(range(n) for n in coefficients.shape[: max(stack - 1, 0)])):
            _engine.spline_transform(
                _rank4(coefficients[index], volumes, input_rank),
                _rank4(target[index], volumes, output_rank),
                input_rank,
                output_rank,
                order,
                code,
                float(cval),
                float(padding),
                positions.matrix,
                positions.shift,
                positions.zoom,
                positions.grid_mode,
                coordinates,
                (0, 0, 0),
                grid,
                (0, 0, 0),
                True,
                threads,
            )
    if target is not output:
        np.copyto(output, target, casting="unsafe")


def _engine_fill(target: NDArray[Any], cval: float) -> None:
    """Every element of ``target`` made from cval by the engine's casts: one position outside a
    one-voxel input under constant, which samples nothing, gives it."""
    one = np.zeros((1, 1, 1, 1), dtype=target.dtype)
    nowhere = np.array([-2.0])
    constant = mode_named("constant").engine_code
    grid = (1, 1, 1)
    _engine.spline_transform(
        np.zeros(grid)[np.newaxis], one, 1, 1, 0, constant, cval, 0.0, None, nowhere, None, False, None,
        (0, 0, 0), grid, (0, 0, 0), False, 1,
    )  # fmt: skip
    target[...] = one[0, 0, 0, 0]
