"""What a random spatial transform is drawn from: ranges of rotation, scaling, shear and translation, an
elastic deformation's control points and largest displacement, and how often each applies."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

Ranges = Tuple[Tuple[float, float], ...]  # (low, high) for each parameter
Given = Union[float, Sequence[float]]


class Elastic(NamedTuple):
    """An elastic deformation as TorchIO's RandomElasticDeformation states it: a cubic B-spline on a grid
    of ``control_points`` ``(nx, ny, nz)`` over the sample's extent, each control point displaced by
    ``U(-D, D)`` along each axis (``max_displacement`` ``(Dx, Dy, Dz)``, physical units), the outermost
    ``locked_borders`` control points (0, 1 or 2) of each axis not displaced."""

    control_points: Tuple[int, int, int] = (7, 7, 7)
    max_displacement: Tuple[float, float, float] = (7.5, 7.5, 7.5)
    locked_borders: int = 2


class Smoothed(NamedTuple):
    """An elastic deformation as MONAI's Rand3DElastic states it: a displacement field on the sample's
    voxels, each of its three components ``U(-1, 1)`` at every voxel, smoothed by a Gaussian whose sigma
    (voxels) is drawn from ``sigma`` and scaled by a magnitude (voxels) drawn from ``magnitude``, both
    ``(low, high)`` ranges."""

    sigma: Tuple[float, float]
    magnitude: Tuple[float, float]


class Settings(NamedTuple):
    """The distributions of a random spatial transform, each parameter uniform over its range.

    ``scales``, ``degrees`` (about x, y, z), ``shears`` (six: xy, xz, yx, yz, zx, zy) and
    ``translation`` (physical units along x, y, z) are ``(low, high)`` pairs; ``isotropic`` uses the
    first scale on every axis. The affine applies with probability ``affine_probability``, the elastic
    deformation (an :class:`Elastic`, a :class:`Smoothed` or None for none) with
    ``elastic_probability``. Make one with :func:`spatial`.
    """

    scales: Ranges
    degrees: Ranges
    shears: Ranges
    translation: Ranges
    isotropic: bool
    elastic: Optional[Union[Elastic, Smoothed]]
    affine_probability: float
    elastic_probability: float


def spatial(
    *,
    scales: Given = 0.1,
    degrees: Given = 10.0,
    shears: Given = 0.0,
    translation: Given = 0.0,
    isotropic: bool = False,
    elastic: Optional[Union[Elastic, Smoothed]] = None,
    affine_probability: float = 1.0,
    elastic_probability: float = 1.0,
) -> Settings:
    """Settings from ranges given as TorchIO gives them: one number ``x`` is ``(-x, x)`` (``(1 - x, 1 + x)``
    for scales), a pair ``(a, b)`` is that range on every axis, one number per axis ``x_i`` is ``(-x_i,
    x_i)`` (``(1 - x_i, 1 + x_i)``), and two per axis are each axis's range. ValueError for ranges
    whose low end passes the high, scales that are not positive, or probabilities outside [0, 1]."""
    scale_ranges = _ranges(scales, 3, "scales", centre=1.0)
    if min(low for low, _ in scale_ranges) <= 0:
        raise ValueError(f"scales must be positive, got the ranges {list(scale_ranges)}")
    for name, value in (("affine_probability", affine_probability), ("elastic_probability", elastic_probability)):
        if not (isinstance(value, (int, float)) and 0.0 <= value <= 1.0):
            raise ValueError(f"{name} must be a number from 0 to 1, got {value!r}")
    return Settings(
        scale_ranges,
        _ranges(degrees, 3, "degrees", centre=0.0),
        _ranges(shears, 6, "shears", centre=0.0),
        _ranges(translation, 3, "translation", centre=0.0),
        bool(isotropic),
        _checked_deformation(elastic),
        float(affine_probability),
        float(elastic_probability),
    )


def elastic(
    control_points: Union[int, Sequence[int]] = 7, max_displacement: Given = 7.5, locked_borders: int = 2
) -> Elastic:
    """An Elastic from TorchIO's arguments: one count or one per axis, one displacement or one per axis."""
    points = _per_axis(control_points, "control_points")
    if not all(float(n).is_integer() for n in points):
        raise ValueError(f"control_points must be whole numbers, got {control_points!r}")
    x, y, z = _per_axis(max_displacement, "max_displacement")
    return checked_elastic(Elastic((int(points[0]), int(points[1]), int(points[2])), (x, y, z), locked_borders))


def smoothed(sigma: Tuple[float, float], magnitude: Tuple[float, float]) -> Smoothed:
    """A Smoothed from MONAI's ``sigma_range`` and ``magnitude_range``: ValueError unless both are finite
    ``(low, high)`` pairs with low <= high and the sigmas positive."""
    sigmas = _pair(sigma, "sigma")
    if sigmas[0] <= 0:
        raise ValueError(f"sigma must be positive, got the range {sigmas}")
    return Smoothed(sigmas, _pair(magnitude, "magnitude"))


def _checked_deformation(value: Any) -> Optional[Union[Elastic, Smoothed]]:
    if value is None:
        return None
    if isinstance(value, Elastic):
        return checked_elastic(value)
    if isinstance(value, Smoothed):
        return smoothed(value.sigma, value.magnitude)
    raise TypeError(f"elastic must be an Elastic, a Smoothed or None, not {type(value).__name__}")


def _pair(value: Any, name: str) -> Tuple[float, float]:
    numbers = _numbers(value, name)
    if numbers.shape != (2,) or not np.all(np.isfinite(numbers)) or numbers[0] > numbers[1]:
        raise ValueError(f"{name} must be a finite range (low, high) with low <= high, got {value!r}")
    return float(numbers[0]), float(numbers[1])


def _numbers(value: Any, name: str) -> NDArray[np.float64]:
    try:
        numbers: NDArray[np.float64] = np.atleast_1d(np.asarray(value, dtype=np.float64))
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be numbers, got {value!r}") from None
    return numbers


def checked_elastic(value: Elastic) -> Elastic:
    """``value`` if its counts, displacements and locked borders make a deformation, else ValueError."""
    points, displacement, locked = value
    if len(points) != 3 or not all(isinstance(n, (int, np.integer)) and n >= 4 for n in points):
        raise ValueError(f"control_points must be 3 counts of at least 4 (a cubic B-spline's), got {points}")
    if len(displacement) != 3 or not all(math.isfinite(d) and d >= 0 for d in displacement):
        raise ValueError(f"max_displacement must be 3 finite numbers of at least 0, got {displacement}")
    if locked not in (0, 1, 2):
        raise ValueError(f"locked_borders must be 0, 1 or 2, got {locked!r}")
    if locked == 2 and 4 in points:
        raise ValueError("locked_borders 2 with 4 control points along an axis displaces nothing")
    dx, dy, dz = (float(d) for d in displacement)
    return Elastic((int(points[0]), int(points[1]), int(points[2])), (dx, dy, dz), locked)


def _per_axis(value: Any, name: str) -> Tuple[float, float, float]:
    numbers = _numbers(value, name)
    if numbers.shape not in ((1,), (3,)):
        raise ValueError(f"{name} must be one number or one per axis (x, y, z), got {value!r}")
    x, y, z = (float(v) for v in np.broadcast_to(numbers, (3,)))
    return x, y, z


def _ranges(value: Given, count: int, name: str, *, centre: float) -> Ranges:
    """``count`` ranges from one number, a pair, one number each or a pair each (TorchIO's forms)."""
    numbers = _numbers(value, name).ravel()
    if numbers.size == 1:
        pairs = np.tile([centre - abs(numbers[0]), centre + abs(numbers[0])], (count, 1))
    elif numbers.size == 2:
        pairs = np.tile(numbers, (count, 1))
    elif numbers.size == count:
        pairs = np.stack([centre - np.abs(numbers), centre + np.abs(numbers)], axis=1)
    elif numbers.size == 2 * count:
        pairs = numbers.reshape(count, 2)
    else:
        raise ValueError(f"{name} must hold 1, 2, {count} or {2 * count} numbers, got {numbers.size}")
    if not np.all(np.isfinite(pairs)) or np.any(pairs[:, 0] > pairs[:, 1]):
        raise ValueError(f"{name} must be finite ranges (low, high) with low <= high, got {pairs.tolist()}")
    return tuple((float(low), float(high)) for low, high in pairs)
