"""SimpleITK's transforms as world-space steps: RAS+ matrices, displacement fields and B-splines, output -> input.

An ITK transform maps a point of the fixed image (the output grid) to the
moving image (the input), in ITK's LPS+ world, as resampling needs. A
composite applies its last transform first. The steps here are those of
:mod:`voxwarpkit.warps`, in RAS+: a linear transform is one matrix, read off
the images of the origin and the unit vectors; a displacement field is a
:class:`Field` in its grid's frame; a ``BSplineTransform`` is a
:class:`BSpline` in the frame of its control grid, ``q = D^-1 (p - o)`` (D
the grid's direction, o its origin, LPS), where the grid is axis-aligned
with its first point at 0, between the two matrices that go into that frame
and back out of it; its LPS coefficients are turned into the frame by
``D^-1``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, List

import numpy as np

from ._core.affine import inverse4
from ._core.grid import WorldStep
from .bspline import BSpline
from .warps import field_steps

if TYPE_CHECKING:
    from numpy.typing import NDArray

# RAS+ from ITK's LPS+ (and back): x and y change sign.
LPS_TO_RAS = np.diag([-1.0, -1.0, 1.0, 1.0])


def is_simpleitk(value: Any) -> bool:
    """Whether ``value`` is one of SimpleITK's transforms (without importing SimpleITK when it is not loaded)."""
    return type(value).__module__.split(".")[0] == "SimpleITK" and hasattr(value, "TransformPoint")


def simpleitk_steps(transform: Any) -> List[WorldStep]:
    """The steps of a SimpleITK transform, output world -> input world (RAS+), in the order they apply.

    Composites are taken apart (nested ones too), their last transform first; ``BSplineTransform``
    must be cubic. ValueError for a transform that is not 3-D, a spline of another order, or a
    non-linear kind other than these.
    """
    if transform.GetDimension() != 3:
        raise ValueError(f"transform must be 3-D, got a {transform.GetDimension()}-D {transform.GetName()}")
    sitk = importlib.import_module("SimpleITK")
    name = transform.GetName()
    # Each kind's constructor takes the base type a composite hands out and gives its own.
    if name == "CompositeTransform":
        parts = sitk.CompositeTransform(transform)
        count = parts.GetNumberOfTransforms()
        return [step for i in reversed(range(count)) for step in simpleitk_steps(parts.GetNthTransform(i))]
    if name == "BSplineTransform":
        return _bspline_steps(sitk, sitk.BSplineTransform(transform))
    if name == "DisplacementFieldTransform":
        return _field_steps(sitk, sitk.DisplacementFieldTransform(transform))
    if not transform.IsLinear():
        raise ValueError(
            f"{name} is not read: transforms are linear ones, displacement fields, cubic B-splines and composites"
        )
    return [ras_matrix(transform)[np.newaxis]]


def ras_matrix(transform: Any) -> NDArray[np.float64]:
    """A linear SimpleITK transform's RAS+ 4x4, from the images of the origin and the unit vectors."""
    origin = np.array(transform.TransformPoint((0.0, 0.0, 0.0)))
    columns = [np.array(transform.TransformPoint(tuple(axis))) - origin for axis in np.eye(3)]
    lps = np.eye(4)
    lps[:3, :3] = np.column_stack(columns)
    lps[:3, 3] = origin
    matrix: NDArray[np.float64] = LPS_TO_RAS @ lps @ LPS_TO_RAS
    return matrix


def _grid(image: Any) -> NDArray[np.float64]:
    """An ITK image's index -> LPS world 4x4 without its spacing: the direction and the origin."""
    to_world = np.eye(4)
    to_world[:3, :3] = np.asarray(image.GetDirection(), dtype=np.float64).reshape(3, 3)
    to_world[:3, 3] = image.GetOrigin()
    return to_world


def _bspline_steps(sitk: Any, spline: Any) -> List[WorldStep]:
    """A BSplineTransform as RAS+ world -> its grid's frame, the B-spline there, and back."""
    if spline.GetOrder() != 3:
        raise ValueError(f"B-spline transforms are read when cubic, got order {spline.GetOrder()}")
    images = spline.GetCoefficientImages()
    lps = np.stack([sitk.GetArrayFromImage(image).astype(np.float64) for image in images], axis=-1)
    frame_to_lps = _grid(images[0])
    to_frame = inverse4(frame_to_lps, "the B-spline grid's direction")
    coefficients = lps @ to_frame[:3, :3].T  # (nz, ny, nx, 3), each LPS vector turned into the frame
    step = BSpline(coefficients, images[0].GetSpacing())
    return [(to_frame @ LPS_TO_RAS)[np.newaxis], step, (LPS_TO_RAS @ frame_to_lps)[np.newaxis]]


def _field_steps(sitk: Any, field: Any) -> List[WorldStep]:
    """A DisplacementFieldTransform as the steps of its field, RAS+ vectors on its grid's RAS+ affine."""
    image = field.GetDisplacementField()
    vectors = np.asarray(sitk.GetArrayFromImage(image), dtype=np.float64).transpose(2, 1, 0, 3)
    affine = _grid(image) @ np.diag([*image.GetSpacing(), 1.0])
    return field_steps(vectors * LPS_TO_RAS.diagonal()[:3], LPS_TO_RAS @ affine)
