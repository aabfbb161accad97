"""scipy.ndimage's arguments read as scipy reads them: orders, sequences, affine matrices of every
shape it takes, rotations; and which leading axes of an N-D input a transform leaves alone."""

from __future__ import annotations

import math
import operator
from typing import TYPE_CHECKING, Any, List, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

# The engine moves up to three axes; more leading axes form a stack.
MOVING_AXES = 3


def check_order(order: Any) -> int:
    """``order`` as an int from 0 to 5; scipy's RuntimeError for any other."""
    if order < 0 or order > 5:
        raise RuntimeError("spline order not supported")
    return operator.index(order)


def normalized(value: Any, rank: int) -> List[Any]:
    """A scalar repeated ``rank`` times, or a sequence of that length, as scipy takes either."""
    if not isinstance(value, str) and np.iterable(value):
        listed = list(value)
        if len(listed) != rank:
            raise RuntimeError("sequence argument must have length equal to input rank")
        return listed
    return [value] * rank


def affine_parts(
    matrix: Any, offset: Any, input_shape: Tuple[int, ...], output_rank: int
) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """scipy's reading of an affine matrix: a vector is a diagonal, (ndim + 1) x (ndim + 1)
    homogeneous (bottom row checked) and ndim x (ndim + 1) carry the offset in their last column;
    returns the matrix (1-D for a diagonal) and the offset."""
    input_rank = len(input_shape)
    parsed = np.asarray(matrix, dtype=np.float64)
    if parsed.ndim not in (1, 2) or parsed.shape[0] < 1:
        raise RuntimeError("no proper affine matrix provided")
    if parsed.ndim == 2 and parsed.shape[1] == input_rank + 1 and parsed.shape[0] in (input_rank, input_rank + 1):
        if parsed.shape[0] == input_rank + 1:
            expected = [0] * input_rank + [1]
            if not np.all(parsed[input_rank] == expected):
                raise ValueError(
                    f"Expected homogeneous transformation matrix with shape {parsed.shape} for image shape "
                    f"{input_shape}, but bottom row was not equal to {expected}"
                )
        offset = parsed[:input_rank, input_rank]
        parsed = parsed[:input_rank, :input_rank]
    if parsed.shape[0] != input_rank:
        raise RuntimeError("affine matrix has wrong number of rows")
    if parsed.ndim == 2 and parsed.shape[1] != output_rank:
        raise RuntimeError("affine matrix has wrong number of columns")
    shift = np.asarray(normalized(offset, input_rank), dtype=np.float64)
    if shift.ndim != 1 or shift.shape[0] < 1:
        raise RuntimeError("no proper offset provided")
    return np.ascontiguousarray(parsed), np.ascontiguousarray(shift)


def stack_of_affine(
    matrix: NDArray[np.float64], shift: NDArray[np.float64], input_shape: Sequence[int], output_shape: Sequence[int]
) -> int:
    """How many leading axes form a stack: none up to three axes; beyond, the leading axes, which
    the transform must leave alone (identity rows and columns, no offset, the same extents)."""
    rank = len(input_shape)
    if rank <= MOVING_AXES and len(output_shape) <= MOVING_AXES:
        return 0
    stack = rank - MOVING_AXES
    left_alone = len(output_shape) == rank and tuple(output_shape[:stack]) == tuple(input_shape[:stack])
    left_alone = left_alone and bool(np.all(shift[:stack] == 0))
    if matrix.ndim == 1:
        left_alone = left_alone and bool(np.all(matrix[:stack] == 1))
    else:
        identity = np.eye(rank)
        left_alone = left_alone and bool(
            np.all(matrix[:stack] == identity[:stack]) and np.all(matrix[:, :stack] == identity[:, :stack])
        )
    if not left_alone:
        raise ValueError(
            f"voxwarpkit.ndimage moves at most 3 axes: the leading {stack} axes of a {rank}-D input must be left "
            "alone (identity rows and columns, no offset, the same extents)"
        )
    return stack


def stack_of_axes(values: Sequence[Any], neutral: float, rank: int, what: str) -> int:
    """The stack of an N-D shift or zoom: its leading axes must take ``neutral`` (0 or 1)."""
    if rank <= MOVING_AXES:
        return 0
    stack = rank - MOVING_AXES
    if any(float(v) != neutral for v in values[:stack]):
        raise ValueError(
            f"voxwarpkit.ndimage moves at most 3 axes: the leading {stack} axes of a {rank}-D input need a "
            f"{what} of {neutral:g}"
        )
    return stack


def degrees_cos_sin(angle: float) -> Tuple[float, float]:
    """cos and sin of ``angle`` degrees: exact at whole multiples of 90 degrees (0 and +-1, as
    scipy.special's cosdg and sindg give them), else those of the angle reduced to [0, 360) and
    turned into radians in double."""
    turned = math.fmod(float(angle), 360.0)
    if turned < 0:
        turned += 360.0
    quarter = turned / 90.0
    if quarter == math.floor(quarter):
        return [(1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0)][int(quarter) % 4]
    radians = math.radians(turned)
    return math.cos(radians), math.sin(radians)
