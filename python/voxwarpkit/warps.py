"""nitransforms' transforms as world-space steps: RAS+ matrices and displacement fields, output -> input.

nitransforms' transforms map a position of the reference (the output grid)
to the moving image (the input), in RAS+ world millimetres, and a
``TransformChain`` applies its transforms in list order: ``f1(f0(x))``. The
steps here keep both: a step is either a stack ``(n, 4, 4)`` of world
matrices (n = 1 for every volume, or one per volume) or a :class:`Field`
laid out in its own frame, between the two matrices that go into that
frame and back out of it.

A dense field lives on its reference grid, whose affine ``A`` may be
oblique. Its frame is that grid's voxel axes scaled by its voxel size
(``q = diag(zooms) @ inv(A) @ p``), where the grid is axis-aligned with
voxel (0, 0, 0) at 0, as :class:`Field` needs; its RAS+ displacements are
turned into that frame by the linear part of the same map.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, List

import numpy as np

from ._core.affine import affine4, inverse4
from ._core.grid import WorldStep
from .field import Field

if TYPE_CHECKING:
    from numpy.typing import NDArray


def is_nitransforms(value: Any) -> bool:
    """Whether ``value`` is one of nitransforms' transforms (without importing it when it is not loaded)."""
    return type(value).__module__.split(".")[0] == "nitransforms"


def world_steps(transform: Any) -> List[WorldStep]:
    """The steps of a nitransforms transform, output world -> input world, in the order they apply.

    Takes ``Affine``, ``LinearTransformsMapping`` (one matrix per volume),
    ``DenseFieldTransform`` (displacements or deformations) and
    ``TransformChain`` of them; TypeError for anything else, ValueError for
    a matrix or a field nitransforms would not map with.
    """
    if not is_nitransforms(transform):
        raise TypeError(f"transform must be one of nitransforms' transforms, not {type(transform).__name__}")
    Affine = importlib.import_module("nitransforms.linear").Affine
    TransformChain = importlib.import_module("nitransforms.manip").TransformChain
    DenseFieldTransform = importlib.import_module("nitransforms.nonlinear").DenseFieldTransform

    if isinstance(transform, TransformChain):
        if not transform.transforms:
            raise ValueError("transform is an empty TransformChain")
        return [step for part in transform.transforms for step in world_steps(part)]
    if isinstance(transform, Affine):  # LinearTransformsMapping too: a stack
        matrices = np.asarray(transform.matrix, dtype=np.float64)
        stack = matrices.reshape(-1, *matrices.shape[-2:])
        return [np.stack([affine4(m, f"transform's matrix {i + 1}") for i, m in enumerate(stack)])]
    if isinstance(transform, DenseFieldTransform):
        _check_field_support()
        return field_steps(_displacements(transform), np.asarray(transform.reference.affine, dtype=np.float64))
    raise TypeError(
        "transform must be a nitransforms Affine, LinearTransformsMapping, DenseFieldTransform or "
        f"TransformChain of them, not {type(transform).__name__}"
    )


def _check_field_support() -> None:
    """ValueError for nitransforms before 25, whose displacement fields pair each vector with
    another voxel than the one it belongs to (their grid's coordinates run in another order)."""
    version = importlib.import_module("importlib.metadata").version("nitransforms")
    major = int(version.split(".")[0]) if version.split(".")[0].isdigit() else 0
    if major < 25:
        raise ValueError(f"displacement fields need nitransforms 25 or newer, found {version}")


def _displacements(field: Any) -> NDArray[np.float64]:
    """A DenseFieldTransform's RAS+ displacements, ``(ni, nj, nk, 3)``."""
    # Every release keeps where each voxel goes (deltas were added to the voxel's position
    # when the transform was made); nitransforms has no public accessor for it.
    positions = np.asarray(field._field, dtype=np.float64)
    if positions.ndim != 4 or positions.shape[3] != 3:
        raise ValueError(f"a displacement field must be 3-D with 3 components, got shape {positions.shape}")
    affine = np.asarray(field.reference.affine, dtype=np.float64)
    indices = np.indices(positions.shape[:3], dtype=np.float64).reshape(3, -1)
    voxels = (affine[:3, :3] @ indices + affine[:3, 3:]).T.reshape(positions.shape)
    displacements: NDArray[np.float64] = positions - voxels
    return displacements


def field_steps(displacements: NDArray[np.float64], affine: NDArray[np.float64]) -> List[WorldStep]:
    """A field of RAS+ ``displacements`` ``(ni, nj, nk, 3)`` on a grid of voxel-to-world
    ``affine``, as world -> field frame, the field, field frame -> world."""
    if displacements.ndim != 4 or displacements.shape[3] != 3 or min(displacements.shape[:3]) < 1:
        raise ValueError(f"a displacement field must be 3-D with 3 components, got shape {displacements.shape}")
    if not np.all(np.isfinite(displacements)):
        raise ValueError("a displacement field holds values that are not finite")
    to_world = affine4(affine, "the field's affine")
    zooms = np.sqrt(np.sum(to_world[:3, :3] ** 2, axis=0))
    to_frame = np.diag([*zooms, 1.0]) @ inverse4(to_world, "the field's affine")
    from_frame = to_world @ np.diag([*(1.0 / zooms), 1.0])
    # (3, nk, nj, ni): each component one C-contiguous block, so the field's
    # engine form is this very array and no call copies it again.
    components = np.ascontiguousarray((displacements @ to_frame[:3, :3].T).T, dtype=np.float32)
    field = Field(np.moveaxis(components, 0, 3), zooms)
    return [to_frame[np.newaxis], field, from_frame[np.newaxis]]
