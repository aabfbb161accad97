"""Cubic B-spline deformations, ITK's BSplineTransform, as steps of a chain; and the one list of the kinds of
step that no matrix expresses."""

from __future__ import annotations

from typing import TYPE_CHECKING, Tuple

import numpy as np

from .field import Field, three_numbers

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# What the engine takes for a B-spline: its coefficients (nz, ny, nx, 3) as float64, the origin and
# spacing as Python floats (x, y, z), and the order, 3.
EngineBSpline = Tuple["NDArray[np.float64]", Tuple[float, float, float], Tuple[float, float, float], int]

# The largest coefficient: beyond it a sum of 64 weighted coefficients could pass float32's range.
_LARGEST = 2.0**120


class BSpline:
    """A cubic B-spline deformation: ``p <- p + d(p)`` as a step of a chain.

    Parameters
    ----------
    coefficients
        ``(nz, ny, nx, 3)``: the ``(dx, dy, dz)`` of each control point in
        physical units, at least 4 points along each axis; any real numbers,
        kept as float64.
    voxel_size
        The control grid's spacing ``(sx, sy, sz)``.
    origin
        The position ``(x, y, z)`` of control point ``(0, 0, 0)`` in the
        frame where the step is applied: the grid is axis-aligned in that
        frame (an oblique grid comes with matrices around it in the chain).

    At a position ``p`` (float32), the grid index along x is ``u = (px - ox)
    / sx`` in float64 (likewise y and z). Where ``1 <= u <= n - 2`` along all
    three axes (ITK's support region), each component of ``d`` is the cubic
    B-spline sum of the 4 x 4 x 4 coefficients around ``u``, in float64 in
    a fixed order, rounded once to float32, and ``p + d`` is formed in
    float32; elsewhere there is no displacement, as in ITK. The exact rule
    is on the definitions page (:doc:`/definitions`).
    """

    def __init__(self, coefficients: ArrayLike, voxel_size: ArrayLike, *, origin: ArrayLike = (0.0, 0.0, 0.0)) -> None:
        try:
            values = np.array(coefficients, dtype=np.float64)
        except (TypeError, ValueError, OverflowError) as error:
            raise ValueError(f"coefficients must hold real numbers: {error}") from None
        shape = values.shape
        if len(shape) != 4 or shape[3] != 3 or min(shape[:3]) < 4:
            raise ValueError(
                f"coefficients must have shape (nz, ny, nx, 3) with at least 4 control points along each axis, "
                f"got {shape}"
            )
        if shape[0] * shape[1] * shape[2] > 2**31 - 1:
            raise ValueError(f"coefficients of shape {shape} hold 2**31 control points or more")
        if not np.all(np.abs(values) <= _LARGEST):
            raise ValueError("coefficients must be finite numbers of magnitude at most 2**120")
        self.coefficients: NDArray[np.float64] = np.ascontiguousarray(values)
        self.coefficients.setflags(write=False)
        self.voxel_size = _spacing64(voxel_size, "voxel_size", positive=True)
        self.origin = _spacing64(origin, "origin", positive=False)

    @property
    def shape(self) -> Tuple[int, int, int]:
        """The control grid's ``(nz, ny, nx)``."""
        nz, ny, nx = (int(n) for n in self.coefficients.shape[:3])
        return (nz, ny, nx)

    def __repr__(self) -> str:
        return f"BSpline(shape={self.shape}, voxel_size={self.voxel_size.tolist()}, origin={self.origin.tolist()})"

    def engine_form(self) -> EngineBSpline:
        """The coefficients with the origin, spacing and order, as the engine takes them."""
        ox, oy, oz = (float(v) for v in self.origin)
        sx, sy, sz = (float(v) for v in self.voxel_size)
        return self.coefficients, (ox, oy, oz), (sx, sy, sz), 3


def _spacing64(value: ArrayLike, name: str, *, positive: bool) -> NDArray[np.float64]:
    """Three finite numbers as float64 (positive ones when asked), or ValueError."""
    numbers = three_numbers(value, name)
    if not np.all(np.isfinite(numbers)) or (positive and not np.all(numbers > 0)):
        kind = "positive and finite" if positive else "finite"
        raise ValueError(f"{name} must be {kind}, got {numbers.tolist()}")
    return numbers


# The steps of a chain that no matrix expresses, for isinstance: fields and B-splines.
WARPS = (Field, BSpline)
