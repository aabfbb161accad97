"""One sample's random spatial transform drawn from a numpy Generator, and the chain it resamples through.

Each draw takes the same numbers from the generator, in this order, whatever the settings' probabilities:
one uniform for whether the affine applies, the three scales, the three angles, the six shears, the
three translations, one uniform for whether the elastic deformation applies, and then, with an
:class:`~voxwarpkit.augment.Elastic`, its control points' displacements (a ``(nz, ny, nx, 3)`` array of
``U(-1, 1)``), or, with a :class:`~voxwarpkit.augment.Smoothed`, one 64-bit integer that seeds the
generator of the field's offsets, the magnitude and the sigma (MONAI's order). So a sample's draws
depend on its place in the stream alone, and a dense field is drawn only where it applies.

The transform works in the output's voxel indices, where the output grid is the input's: output index
``(x, y, z)`` moves by the deformation first (a B-spline whose grid lies over the sample as ITK's
BSplineTransformInitializer lays it out, as TorchIO uses it, or the smoothed field), then maps through
the affine's inverse (the pull of the forward map ``translate . rotate . shear . scale`` about the
sample's centre, in physical units) to the input's index. The matrix is made in double by Python's own
operations in a fixed order, its cosines and sines by a fixed polynomial, so that no library of the
machine (its libm, its BLAS) changes a bit of it.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .._backends.line_passes import filter_in_place
from ..bspline import BSpline
from ..field import Field
from .settings import Elastic, Settings, Smoothed

if TYPE_CHECKING:
    from numpy.typing import NDArray

# ITK's initializer widens the image's extent by an eighth of a voxel at each end.
_MARGIN = 0.125

Matrix3 = List[List[float]]


class Parameters(NamedTuple):
    """What one draw took: whether each part applies, and its numbers (physical units, degrees); for an
    Elastic, the control points' ``displacements`` ``(nz, ny, nx, 3)``, physical; for a Smoothed, the
    field's ``sigma`` and ``magnitude`` (voxels)."""

    affine: bool
    scales: Tuple[float, float, float]
    degrees: Tuple[float, float, float]
    shears: Tuple[float, ...]
    translation: Tuple[float, float, float]
    elastic: bool
    displacements: Optional[NDArray[np.float64]]
    sigma: Optional[float] = None
    magnitude: Optional[float] = None


class Drawn(NamedTuple):
    """A sample's transform: ``matrix`` (4x4, output index -> input index) after ``deformation`` (a
    :class:`voxwarpkit.BSpline` or :class:`voxwarpkit.Field`, None for none), both in the output's voxel
    indices, and the ``parameters`` they were made from."""

    matrix: NDArray[np.float64]
    deformation: Optional[Union[BSpline, Field]]
    parameters: Parameters

    @property
    def chain(self) -> Any:
        """What :func:`voxwarpkit.resample` takes as ``matrix`` with ``voxel_size=(1, 1, 1)`` to replay the sample."""
        return self.matrix if self.deformation is None else [self.deformation, self.matrix]


def draw(
    settings: Settings,
    rng: np.random.Generator,
    shape: Sequence[int],
    voxel_size: Sequence[float],
    *,
    threads: int = 1,
) -> Drawn:
    """The transform of one sample of spatial ``shape`` ``(nz, ny, nx)`` and ``voxel_size`` ``(sx, sy, sz)``;
    ``threads`` smooth a Smoothed's field, which has the same bits on any number."""
    sx, sy, sz = (float(v) for v in voxel_size)
    nz, ny, nx = (int(n) for n in shape)
    affine = bool(rng.random() < settings.affine_probability)
    scales = _uniform(rng, settings.scales)
    if settings.isotropic:
        scales = (scales[0],) * 3
    degrees, shears, translation = (_uniform(rng, r) for r in (settings.degrees, settings.shears, settings.translation))
    elastic = bool(rng.random() < settings.elastic_probability)
    deformation: Optional[Union[BSpline, Field]] = None
    displacements = sigma = magnitude = None
    if isinstance(settings.elastic, Elastic):
        displacements = _control_displacements(rng, settings.elastic)
        if elastic:
            deformation = elastic_bspline(displacements, (nx, ny, nz), (sx, sy, sz))
    elif isinstance(settings.elastic, Smoothed):
        field_seed = int(rng.integers(0, 2**63, dtype=np.int64))
        magnitude = float(rng.uniform(*settings.elastic.magnitude))
        sigma = float(rng.uniform(*settings.elastic.sigma))
        if elastic:
            deformation = smoothed_field(np.random.default_rng(field_seed), (nz, ny, nx), sigma, magnitude, threads)
    parameters = Parameters(
        affine,
        (scales[0], scales[1], scales[2]),
        (degrees[0], degrees[1], degrees[2]),
        shears,
        (translation[0], translation[1], translation[2]),
        elastic and settings.elastic is not None,
        displacements,
        sigma,
        magnitude,
    )
    matrix = index_pull(parameters, (nx, ny, nz), (sx, sy, sz)) if affine else np.eye(4)
    return Drawn(matrix, deformation, parameters)


def _uniform(rng: np.random.Generator, ranges: Sequence[Tuple[float, float]]) -> Tuple[float, ...]:
    """One ``U(low, high)`` per range, in one call, as floats."""
    low, high = np.array(ranges, dtype=np.float64).T
    return tuple(float(v) for v in rng.uniform(low, high))


def _control_displacements(rng: np.random.Generator, elastic: Elastic) -> NDArray[np.float64]:
    """The control points' physical displacements, ``U(-D, D)`` per axis, the locked borders at 0."""
    nx, ny, nz = elastic.control_points
    values: NDArray[np.float64] = rng.uniform(-1.0, 1.0, (nz, ny, nx, 3)) * np.array(elastic.max_displacement)
    for border in range(elastic.locked_borders):
        for axis in range(3):
            np.moveaxis(values, axis, 0)[[border, -1 - border]] = 0.0  # the view writes into values
    return values


def smoothed_field(
    rng: np.random.Generator, shape: Tuple[int, int, int], sigma: float, magnitude: float, threads: int
) -> Field:
    """MONAI's elastic field on the voxels of ``shape``: each component's float32 ``U(-1, 1)`` offsets
    (``2 u - 1`` of float32 uniforms, in (3, z, y, x) order), smoothed by the engine's Gaussian of
    ``sigma`` voxels along x, then y, then z (axes of one voxel left alone), times float32 ``magnitude``."""
    offsets = rng.random((3, *shape), dtype=np.float32)
    offsets *= np.float32(2.0)
    offsets -= np.float32(1.0)
    along = [sigma if n > 1 else 0.0 for n in shape[::-1]]
    filter_in_place(offsets, [(axis, s) for axis, s in zip((3, 2, 1), along) if s > 0], threads)
    offsets *= np.float32(magnitude)
    return Field(np.moveaxis(offsets, 0, 3), (1.0, 1.0, 1.0))


def elastic_bspline(
    displacements: NDArray[np.float64], counts: Tuple[int, int, int], spacing: Tuple[float, float, float]
) -> BSpline:
    """The B-spline of the control points' physical ``displacements`` in output index units: its grid over
    the voxels' extent (``counts`` along x, y, z) widened by an eighth of a voxel at each end, one
    control point before it and two past its end, as ITK's BSplineTransformInitializer makes it."""
    meshes = np.array(displacements.shape[2::-1], dtype=np.float64) - 3.0  # along x, y, z
    step = (np.array(counts, dtype=np.float64) + 2.0 * _MARGIN) / meshes
    origin = -0.5 - _MARGIN - step
    return BSpline(displacements / np.array(spacing), step, origin=origin)


def cos_sin(degrees: float) -> Tuple[float, float]:
    """The cosine and sine of ``degrees``: reduced exactly to a quarter turn and at most 45 degrees, whose
    radians go through Taylor series to the 18th power (below half an ulp there), in Horner's order."""
    turn = math.fmod(degrees, 360.0)
    quarter = math.floor(turn / 90.0 + 0.5)
    rest = turn - 90.0 * quarter  # exact: the two lie within a factor of two of each other, or quarter is 0
    x = rest * (math.pi / 180.0)
    xx = x * x
    c = 1.0
    s = 1.0
    for k in range(9, 0, -1):
        c = 1.0 - xx / ((2 * k - 1) * (2 * k)) * c
        s = 1.0 - xx / ((2 * k) * (2 * k + 1)) * s
    s = x * s
    return [(c, s), (-s, c), (-c, -s), (s, -c)][quarter % 4]


def _product(a: Matrix3, b: Matrix3) -> Matrix3:
    return [[a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] for j in range(3)] for i in range(3)]


def inverse3(m: Matrix3) -> Matrix3:
    """The inverse by cofactors over the determinant, or ValueError for a singular matrix."""
    cof = [
        [
            m[(i + 1) % 3][(j + 1) % 3] * m[(i + 2) % 3][(j + 2) % 3]
            - m[(i + 1) % 3][(j + 2) % 3] * m[(i + 2) % 3][(j + 1) % 3]
            for j in range(3)
        ]
        for i in range(3)
    ]
    det = m[0][0] * cof[0][0] + m[0][1] * cof[0][1] + m[0][2] * cof[0][2]
    if det == 0.0 or not math.isfinite(det):
        raise ValueError("the drawn shears make a singular matrix; draw them from narrower ranges")
    return [[cof[j][i] / det for j in range(3)] for i in range(3)]


def rotation(degrees: Sequence[float]) -> Matrix3:
    """The rotation about x, then y, then z, by ``degrees``: ``Rz Ry Rx``."""
    (ca, sa), (cb, sb), (cc, sc) = (cos_sin(float(d)) for d in degrees)
    rx = [[1.0, 0.0, 0.0], [0.0, ca, -sa], [0.0, sa, ca]]
    ry = [[cb, 0.0, sb], [0.0, 1.0, 0.0], [-sb, 0.0, cb]]
    rz = [[cc, -sc, 0.0], [sc, cc, 0.0], [0.0, 0.0, 1.0]]
    return _product(rz, _product(ry, rx))


def index_pull(
    parameters: Parameters, counts: Tuple[int, int, int], spacing: Tuple[float, float, float]
) -> NDArray[np.float64]:
    """The affine's output index -> input index matrix: the inverse of ``T R H S`` about the centre, in
    physical units, between the index grids (H the shears, MONAI's layout: ``[[1, h0, h1], [h2, 1, h3],
    [h4, h5, 1]]``); the pull ``p -> L^-1 (p - c - t) + c`` with ``L = R H S``, each index scaled to and
    from physical units."""
    h = parameters.shears
    shear = [[1.0, h[0], h[1]], [h[2], 1.0, h[3]], [h[4], h[5], 1.0]]
    scale = [[parameters.scales[i] if i == j else 0.0 for j in range(3)] for i in range(3)]
    back = inverse3(_product(rotation(parameters.degrees), _product(shear, scale)))
    centre = [(counts[i] - 1.0) / 2.0 * spacing[i] for i in range(3)]
    moved = [-(centre[i] + parameters.translation[i]) for i in range(3)]
    pull = np.eye(4)
    for i in range(3):
        for j in range(3):
            pull[i, j] = back[i][j] * spacing[j] / spacing[i]
        shift = back[i][0] * moved[0] + back[i][1] * moved[1] + back[i][2] * moved[2]
        pull[i, 3] = (shift + centre[i]) / spacing[i]
    return pull
