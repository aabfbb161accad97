"""The grids of the images a command reads, and images of a grid that hold no data."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from .._core.grid import Grid, checked_grid
from ..images import image_on_grid
from ..io.lazy import HeaderFields, LazyImage
from ..io.nifti import NiftiImage, header_voxel_size
from .errors import CommandError

if TYPE_CHECKING:
    from numpy.typing import NDArray


def nifti_grid(image: NiftiImage, path: Path, role: str) -> Grid:
    """The grid of an image file's first three axes, with the voxel size its header stores."""
    if len(image.shape) < 3:
        raise CommandError(f"{role} {path}: a {len(image.shape)}-D image has no 3-D grid")
    zooms = header_voxel_size(image, path, role=role)
    try:
        return checked_grid(image.shape, image.affine, zooms, f"{role} {path}")
    except ValueError as error:
        raise CommandError(str(error)) from None


def lazy_grid(image: LazyImage, path: Path, role: str) -> Grid:
    """The grid (i, j, k) = (x, y, z) of a Zarr or NIfTI image read for dask."""
    spatial = tuple(int(n) for n in image.data.shape[-3:][::-1])
    affine: NDArray[np.float64] = (
        np.diag([*image.voxel_size, 1.0]) if image.affine is None else np.asarray(image.affine, np.float64)
    )
    try:
        return checked_grid(spatial, affine, image.voxel_size, f"{role} {path}")
    except ValueError as error:
        raise CommandError(str(error)) from None


def on_grid(grid: Grid) -> Any:
    """An image of ``grid`` that holds no data, for readers that need only its geometry."""
    import nibabel as nib

    nifti1: Any = nib.Nifti1Image  # its constructor is not annotated
    made: Any = nifti1(np.broadcast_to(np.float32(0), grid.shape), grid.affine)
    made.header.set_zooms(grid.zooms)
    return made


def nifti_on_grid(data: NDArray[Any], grid: Grid, header: Optional[HeaderFields]) -> Any:
    """A NIfTI image of ``data`` (i, j, k[, t]) on ``grid``, with the time step (TR), units and
    sform and qform codes ``header`` keeps from the NIfTI file the image came from, where known."""
    import nibabel as nib

    nifti1: Any = nib.Nifti1Image  # its constructor is not annotated
    template: Any = nifti1(np.broadcast_to(np.float32(0), data.shape), grid.affine)
    fields: Any = template.header
    step = 1.0 if header is None or header.time_step is None else header.time_step
    fields.set_zooms(grid.zooms + ((step,) if data.ndim == 4 else ()))
    # Codes 0 let image_on_grid choose its own; the source's codes where they are known.
    fields["sform_code"] = 0 if header is None else header.sform_code or 0
    fields["qform_code"] = 0 if header is None else header.qform_code or 0
    if header is not None:
        fields.set_xyzt_units(header.space_unit or "unknown", header.time_unit or "unknown")
    return image_on_grid(template, data, grid, template)
