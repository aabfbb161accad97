"""Displacement fields, the steps of a warp that matrices cannot express."""

from __future__ import annotations

import importlib
import sys
from typing import TYPE_CHECKING, Any, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# What the engine takes for a field: its components (3, nz, ny, nx) as
# float32, and the float32 origin and spacing as Python floats (x, y, z).
EngineField = Tuple["NDArray[np.float32]", Tuple[float, float, float], Tuple[float, float, float]]


class Field:
    """A displacement field: ``p <- p + d(p)`` as a step of a chain.

    Parameters
    ----------
    displacements
        ``(nz, ny, nx, 3)``: the ``(dx, dy, dz)`` of each voxel in physical
        units, of any real element type (booleans, integers, floats), as a
        numpy array or a dask array (computed when the chain is used).
    voxel_size
        The field grid's spacing ``(sx, sy, sz)``.
    origin
        The position ``(x, y, z)`` of voxel ``(0, 0, 0)`` in the frame where
        the field is applied: the field's grid is axis-aligned in that frame
        (an oblique field comes with matrices around it in the chain).

    At a position ``p``, the field's index along x is ``(px - ox) / sx``
    (likewise y and z), every step in float32; ``d(p)`` is the field's linear
    blend there by the clamped rule of :func:`voxwarpkit.resample` (each
    component's eight terms in float64, rounded once to float32), and each
    coordinate gets ``p + d`` in float32. Where the nearest field voxel lies
    outside the field's grid there is no displacement, as with ITK's
    displacement-field transform.
    """

    def __init__(self, displacements: Any, voxel_size: ArrayLike, *, origin: ArrayLike = (0.0, 0.0, 0.0)) -> None:
        shape = tuple(getattr(displacements, "shape", np.shape(displacements)))
        dtype = np.dtype(getattr(displacements, "dtype", np.asarray(displacements).dtype))
        if len(shape) != 4 or shape[3] != 3 or min(shape[:3], default=0) < 1:
            raise ValueError(f"displacements must have shape (nz, ny, nx, 3) with at least one voxel, got {shape}")
        if dtype.fields is not None or dtype.kind not in "biuf":
            raise ValueError(f"displacements must hold real numbers, not {dtype}")
        if shape[0] * shape[1] * shape[2] > 2**31 - 1:
            raise ValueError(f"displacements of shape {shape} hold 2**31 voxels or more")
        self.displacements = displacements
        self.voxel_size = _triple(voxel_size, "voxel_size", positive=True)
        self.origin = _triple(origin, "origin", positive=False)

    @property
    def shape(self) -> Tuple[int, int, int]:
        """The field grid's ``(nz, ny, nx)``."""
        nz, ny, nx = (int(n) for n in self.displacements.shape[:3])
        return (nz, ny, nx)

    def __repr__(self) -> str:
        return f"Field(shape={self.shape}, voxel_size={self.voxel_size.tolist()}, origin={self.origin.tolist()})"

    def engine_form(self) -> EngineField:
        """The components ``(3, nz, ny, nx)`` as float32, each value rounded once as image values are,
        with the origin and spacing."""
        values = self.displacements
        dask_array = sys.modules.get("dask.array")
        if dask_array is not None and isinstance(values, dask_array.Array):
            values = importlib.import_module("dask").compute(values)[0]
        components = np.ascontiguousarray(np.moveaxis(np.asarray(values), 3, 0), dtype=np.float32)
        ox, oy, oz = (float(v) for v in self.origin)
        sx, sy, sz = (float(v) for v in self.voxel_size)
        return components, (ox, oy, oz), (sx, sy, sz)


def three_numbers(value: ArrayLike, name: str) -> NDArray[np.float64]:
    """``value`` as three float64 numbers (x, y, z), or ValueError naming ``name``."""
    try:
        numbers = np.asarray(value, dtype=np.float64).ravel()
    except (TypeError, ValueError, OverflowError) as error:
        raise ValueError(f"{name} must hold 3 numbers: {error}") from None
    if numbers.shape != (3,):
        raise ValueError(f"{name} must hold 3 numbers (x, y, z), got {numbers.size}")
    return numbers


def _triple(value: ArrayLike, name: str, *, positive: bool) -> NDArray[np.float32]:
    """Three finite numbers as float32 (positive ones when asked), or ValueError."""
    numbers = three_numbers(value, name)
    with np.errstate(over="ignore", under="ignore"):
        single = numbers.astype(np.float32)
    if not np.all(np.isfinite(single)) or (positive and not np.all(single > 0)):
        kind = "positive and finite" if positive else "finite"
        raise ValueError(f"{name} must be {kind} in float32, got {numbers.tolist()}")
    return single
