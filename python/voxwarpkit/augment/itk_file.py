"""A drawn transform written as an ITK transform file in the world of the sample's image, so that
``voxwarpkit apply --transform`` (or any ITK tool) replays the sample on the image's file.

The sample's array is the image's data as voxwarpkit holds it, ``(Z, Y, X)`` with x the image's first
index ``i``; ``affine`` is the image's RAS+ index -> world matrix (a NIfTI's). In ITK's LPS+ world
``L`` (the affine with x and y negated) the index chain ``i -> M (i + d(i))`` is ``p -> L M L^-1 (p +
L' d(L^-1 p))`` with ``L'`` the affine's linear part, written as a composite of an AffineTransform
after the deformation: a BSplineTransform whose control grid is the index grid's image under ``L`` (its
coefficients turned by ``L'``), or a DisplacementFieldTransform on the image's own grid. The file
replays the sample to float32 precision (positions go through the world rather than the indices); an
ITK ``.h5`` file holds every kind, a ``.tfm`` or ``.txt`` file no displacement field. SimpleITK (the
itk extra) writes the file.
"""

from __future__ import annotations

import importlib
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from .._core.affine import inverse4
from .._core.extras import not_installed
from ..bspline import BSpline
from ..field import Field
from .draw import Drawn

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

_RAS_TO_LPS = np.diag([-1.0, -1.0, 1.0, 1.0])


def write_itk(drawn: Drawn, path: Union[str, Path], affine: ArrayLike) -> None:
    """Write ``drawn`` as an ITK composite transform (output -> input, LPS) to ``path`` for the image of
    RAS+ ``affine``; ValueError for an affine that is singular or sheared, or a field in a text file."""
    try:
        sitk = importlib.import_module("SimpleITK")
    except ImportError:
        raise ImportError(not_installed("writing an ITK transform file", "SimpleITK")) from None
    to_world = _RAS_TO_LPS @ np.asarray(affine, dtype=np.float64).reshape(4, 4)
    to_index = inverse4(to_world, "affine")
    spacing = np.linalg.norm(to_world[:3, :3], axis=0)
    direction = to_world[:3, :3] / spacing
    if not np.allclose(direction.T @ direction, np.eye(3), atol=1e-6):
        raise ValueError("affine must have orthogonal axes (no shear) for an ITK transform file")
    matrix = to_world @ drawn.matrix @ to_index
    linear = sitk.AffineTransform(3)
    linear.SetMatrix(matrix[:3, :3].ravel().tolist())
    linear.SetTranslation(matrix[:3, 3].tolist())
    steps = [linear]
    if isinstance(drawn.deformation, BSpline):
        steps.append(_bspline(sitk, drawn.deformation, to_world, spacing, direction))
    elif isinstance(drawn.deformation, Field):
        if Path(path).suffix.lower() not in (".h5", ".hdf5"):
            raise ValueError(f"a smoothed field goes into an ITK .h5 file, not {Path(path).name}")
        steps.append(_field(sitk, drawn.deformation, to_world, spacing, direction))
    sitk.WriteTransform(sitk.CompositeTransform(steps), str(path))  # the last one applies first


def _bspline(
    sitk: Any, spline: BSpline, to_world: NDArray[np.float64], spacing: NDArray[np.float64], direction: Any
) -> Any:
    """The B-spline of the index frame as ITK's, its grid carried into the world by ``to_world``."""
    nz, ny, nx, _ = spline.coefficients.shape
    origin = to_world[:3, :3] @ spline.origin + to_world[:3, 3]
    fixed = [nx, ny, nz, *origin, *(spline.voxel_size * spacing), *direction.ravel()]
    transform = sitk.BSplineTransform(3, 3)
    transform.SetFixedParameters([float(v) for v in fixed])
    world = np.asarray(spline.coefficients, dtype=np.float64) @ to_world[:3, :3].T
    transform.SetParameters(np.concatenate([world[..., axis].ravel() for axis in range(3)]).tolist())
    return transform


def _field(sitk: Any, field: Field, to_world: NDArray[np.float64], spacing: NDArray[np.float64], direction: Any) -> Any:
    """The index frame's field, its grid and each displacement carried into the world by ``to_world``."""
    vectors = np.asarray(field.displacements, dtype=np.float64) @ to_world[:3, :3].T
    image = sitk.GetImageFromArray(vectors, isVector=True)
    image.SetOrigin((to_world[:3, :3] @ field.origin + to_world[:3, 3]).tolist())
    image.SetSpacing((field.voxel_size * spacing).tolist())
    image.SetDirection(direction.ravel().tolist())
    return sitk.DisplacementFieldTransform(image)
