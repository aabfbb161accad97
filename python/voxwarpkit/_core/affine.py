"""The one reading of matrices for every entry point, and the arithmetic they share: checks, inverses,
float32 rounding.

A matrix is 12 numbers (row by row), a 3x4 or a 4x4 whose last row is 0 0 0 1 to within
LAST_ROW_TOLERANCE (anything else is projective, and refused); a stack of them holds one per volume
or per tile. Where an inverse is needed (fitted grids, tiles, motion, registration files) a matrix
whose linear part is worse conditioned than CONDITION_LIMIT is singular, and refused: it maps the
output onto a plane or a line.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# A 4x4 whose last row is off by more than this is projective, not affine.
LAST_ROW_TOLERANCE = 1e-9
# Linear parts worse conditioned than this cannot be inverted meaningfully.
CONDITION_LIMIT = 1e12
# Reverses the three spatial axes of a homogeneous matrix: (z, y, x) <-> (x, y, z).
REVERSE_AXES = np.array([[0, 0, 1, 0], [0, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, 1]], dtype=np.float64)


def finite_numbers(value: ArrayLike, name: str) -> NDArray[np.float64]:
    """``value`` as a float64 array of finite numbers, or ValueError."""
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must hold numbers: {error}") from None
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} must hold finite numbers, got {array.tolist()}")
    return array


# The shapes of one matrix, and the shape of a stack of them is one of these after its count.
SINGLE_SHAPES = ((12,), (3, 4), (4, 4))


def is_single(shape: Tuple[int, ...]) -> bool:
    """Whether ``shape`` is that of one matrix, not of a stack."""
    return tuple(shape) in SINGLE_SHAPES


def is_stack(shape: Tuple[int, ...]) -> bool:
    """Whether ``shape`` is that of a stack of matrices, (n, 12), (n, 3, 4) or (n, 4, 4)."""
    return len(shape) in (2, 3) and tuple(shape[1:]) in SINGLE_SHAPES


def affine_stack(numbers: NDArray[np.float64], name: str = "matrix") -> NDArray[np.float64]:
    """The (n, 4, 4) float64 affines of a stack of float64 ``numbers`` that is_stack accepts;
    ValueError for a 4x4 whose last row is not 0 0 0 1 (NaN included). Numbers are taken as
    they are, infinities and NaN too: callers that need finite ones check first."""
    stack = numbers.reshape(len(numbers), -1, 4) if numbers.shape[1:] == (12,) else numbers
    if stack.shape[1] == 4:
        last_rows = stack[:, 3]
        off = ~(np.abs(last_rows - [0.0, 0.0, 0.0, 1.0]) <= LAST_ROW_TOLERANCE)
        if np.any(off):
            row = last_rows[np.argmax(np.any(off, axis=1))]
            raise ValueError(f"the last row of a 4x4 {name} must be 0 0 0 1, got {row.tolist()}")
    affines = np.zeros((len(stack), 4, 4))
    affines[:, :3] = stack[:, :3]
    affines[:, 3, 3] = 1.0
    return affines


def affine4(matrix: ArrayLike, name: str = "matrix") -> NDArray[np.float64]:
    """A 4x4 float64 affine from 12 finite numbers, a 3x4 or a 4x4 matrix."""
    array = finite_numbers(matrix, name)
    if not is_single(array.shape):
        raise ValueError(f"{name} must be a 4x4, 3x4 or 12 numbers, got shape {array.shape}")
    single: NDArray[np.float64] = affine_stack(array[np.newaxis], name)[0]
    return single


def affines(matrix: ArrayLike, name: str = "matrix") -> NDArray[np.float64]:
    """(n, 4, 4) float64 affines from one finite matrix (n = 1) or a stack of them."""
    array = finite_numbers(matrix, name)
    if is_single(array.shape):
        array = array[np.newaxis]
    if not is_stack(array.shape) or len(array) == 0:
        raise ValueError(
            f"{name} must be 12 numbers, a 3x4 or a 4x4, or a stack of them (n, 12), (n, 3, 4) or (n, 4, 4); "
            f"got shape {array.shape}"
        )
    return affine_stack(array, name)


def is_singular(affine: NDArray[np.float64]) -> bool:
    """Whether a 4x4 affine's linear part is too badly conditioned to invert meaningfully."""
    return not np.linalg.cond(affine[:3, :3]) < CONDITION_LIMIT


def not_singular(affine: NDArray[np.float64], name: str = "matrix") -> NDArray[np.float64]:
    """``affine``, or ValueError when it is singular: it would map the whole output onto a
    plane or a line of the input, which is a broken file rather than a resampling."""
    if is_singular(affine):
        raise ValueError(f"{name} is singular: it maps the output onto a plane or a line: {affine[:3].tolist()}")
    return affine


def inverse4(affine: NDArray[np.float64], name: str = "matrix") -> NDArray[np.float64]:
    """The inverse of a 4x4 affine, or ValueError when it has none."""
    if is_singular(affine):
        raise ValueError(f"{name} is singular and cannot be inverted: {affine[:3].tolist()}")
    inverse = np.asarray(np.linalg.inv(affine), dtype=np.float64)
    inverse[3] = [0.0, 0.0, 0.0, 1.0]
    return inverse


def twelve(affine: NDArray[np.float64]) -> NDArray[np.float32]:
    """The first three rows of a 4x4, row by row, as 12 float32 numbers."""
    # Checked before the cast, which would overflow to infinities.
    if np.max(np.abs(affine[:3])) > np.finfo(np.float32).max:
        raise ValueError(f"the matrix does not fit in float32: {affine[:3].tolist()}")
    return affine[:3].astype(np.float32).ravel()


def physical_from_index(index_affine: NDArray[np.float64], spacing: NDArray[np.float64]) -> NDArray[np.float64]:
    """Conjugate an (x, y, z) index-space affine into physical space."""
    scale = np.diag([spacing[0], spacing[1], spacing[2], 1.0])
    unscale = np.diag([1.0 / spacing[0], 1.0 / spacing[1], 1.0 / spacing[2], 1.0])
    result: NDArray[np.float64] = scale @ index_affine @ unscale
    return result
