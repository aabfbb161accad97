"""What a chain tile's index at each output voxel is made from, in double, for fusion's weights.

A tile whose transform is a matrix has an index matrix, from which the engine
forms its positions row by row. A chain with a displacement field has none,
so the engine makes its positions first (each matrix step and each field step
in double, the field's clamped linear sum never rounded to float32) for the
slab being fused, and then weighs them as it weighs any tile.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, NamedTuple, Tuple, Union

import numpy as np

from ..field import EngineField

if TYPE_CHECKING:
    from numpy.typing import NDArray


# A step as the engine takes it: a 3x4 matrix as 12 doubles, row by row, or a field in its form.
PositionStep = Union[Tuple[float, ...], EngineField]


class ChainFrame(NamedTuple):
    """What a chain tile's positions are made from."""

    steps: Tuple[PositionStep, ...]  # the first a matrix, already moved to the output's origin
    output_spacing: Tuple[float, float, float]  # (x, y, z), as the caller gave it, in double
    spacing: Tuple[float, float, float]  # the tile's (x, y, z), in double


def matrix_step(matrix: NDArray[np.float64]) -> Tuple[float, ...]:
    """A 3x4 (or the top of a 4x4) as the engine's 12 doubles."""
    return tuple(float(v) for v in np.asarray(matrix, dtype=np.float64)[:3].ravel())
