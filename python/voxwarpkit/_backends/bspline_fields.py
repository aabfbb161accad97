"""A chain's leading B-spline step made a displacement field over each slab of an output block, where that
gives the step's bits: then the vector kernels sample the chain instead of the scalar one.

The engine applies a B-spline step position by position in its scalar kernel. When the chain starts with
it after the identity, the step acts on the output positions themselves, ``(x * osx, y * osy, z * osz)``;
with spacings that are powers of two those positions, and their offsets from a slab's first voxel over
the spacing, are exact. A field on the slab's own grid, holding at each voxel the displacement the
B-spline gives there (:func:`bspline_displacements`, the same bits), is then read by the field step at
whole indices, where its clamped linear sum is the voxel's value: the same positions, every bit.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Iterator, Tuple

import numpy as np

from .._engine import bspline_displacements

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .request import Counts, Request

# Positions of a slab: its field holds 12 bytes for each.
SLAB_POSITIONS = 2**20
# Output indices whose positions are exact: float32 holds every whole number below this.
_EXACT = 2**24


def is_bspline_form(step: Any) -> bool:
    """Whether a chain step in the engine's form is a B-spline (coefficients, origin, spacing, order)."""
    return isinstance(step, tuple) and len(step) == 4


def field_ready(request: Request, block_origin: Counts, block_shape: Counts) -> bool:
    """Whether the request's chain starts with a B-spline step that a field on the block's grid
    reproduces bit for bit: after the identity, with output spacings that are powers of two."""
    if not request.chain or not is_bspline_form(request.chain[0]) or len(request.matrices) != 1:
        return False
    if not np.array_equal(request.matrices[0], np.eye(3, 4, dtype=np.float32).ravel()):
        return False
    powers = all(math.frexp(float(s))[0] == 0.5 for s in request.output_voxel_size)
    return powers and all(o + n <= _EXACT for o, n in zip(block_origin, block_shape))


def slabs(block_origin: Counts, block_shape: Counts) -> Iterator[Tuple[int, int]]:
    """The block's slabs, ``(first, end)`` slices along z of at most SLAB_POSITIONS positions (one at least)."""
    _, ny, nx = block_shape
    step = max(1, SLAB_POSITIONS // max(ny * nx, 1))
    for first in range(0, block_shape[0], step):
        yield first, min(first + step, block_shape[0])


def slab_request(request: Request, origin: Counts, shape: Counts) -> Request:
    """The request with its leading B-spline step replaced by its field over the slab ``shape`` at ``origin``."""
    osx, osy, osz = (np.float32(s) for s in request.output_voxel_size)
    axes = [np.arange(o, o + n, dtype=np.float32) * s for o, n, s in zip(origin[::-1], shape[::-1], (osx, osy, osz))]
    displacements: NDArray[np.float32] = bspline_displacements(request.chain[0], *axes)
    field = (displacements, tuple(float(a[0]) for a in axes), (float(osx), float(osy), float(osz)))
    return request._replace(chain=(field, *request.chain[1:]))
