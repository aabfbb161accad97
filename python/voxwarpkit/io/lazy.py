"""An image read lazily as a dask array, from a Zarr store or a NIfTI file, with the metadata a copy keeps."""

from __future__ import annotations

import math
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from .errors import FileError


class HeaderFields(NamedTuple):
    """What a NIfTI header says beside the grid, kept when an image goes through Zarr.

    Units are nibabel's names ("mm", "micron", "meter"; "sec", "msec",
    "usec"), or None where unknown; codes are the sform and qform codes.
    """

    time_step: Optional[float]  # the spacing of a 4-D image's volumes (TR), in time_unit
    space_unit: Optional[str]
    time_unit: Optional[str]
    sform_code: Optional[int]
    qform_code: Optional[int]


class ZarrMetadata(NamedTuple):
    """What a Zarr output copied from an image keeps of it: its OME-Zarr entry and version, its Zarr format.

    A TIFF stack has a one-level OME-Zarr 0.4 entry made for it, so that its copy is an OME-Zarr image.
    """

    multiscales: Optional[Dict[str, Any]] = None  # the OME-Zarr multiscales entry, for an OME-Zarr image
    ome_version: Optional[str] = None  # "0.4" (attributes "multiscales") or "0.5" (attributes "ome")
    zarr_format: Optional[int] = None  # 2 or 3, for an image read from Zarr


class LazyImage(NamedTuple):
    """An image read lazily, from a Zarr store, a NIfTI file or a TIFF stack: ``(z, y, x)`` or
    ``(t, z, y, x)`` as a dask array, and as windows that tasks read themselves."""

    data: Any  # dask.array.Array
    voxel_size: Tuple[float, float, float]  # (sx, sy, sz)
    zarr: Optional[ZarrMetadata]  # None for a NIfTI file
    affine: Optional[List[List[float]]]  # the voxel-to-world affine, where one is known
    header: Optional[HeaderFields] = None  # a NIfTI header's time step, units and codes, where known
    # The same array as tasks read it, a window at a time straight from the file or store
    # (voxwarpkit._lazy.windows.Windows), where the format allows it.
    windows: Any = None


def read_by_tasks(image: LazyImage) -> Any:
    """What resampling tasks read of ``image``: its windows, straight from the store, where it has
    them, else its dask array."""
    return image.data if image.windows is None else image.windows


def positive_three(values: Any, what: str) -> Tuple[float, float, float]:
    """Three positive, finite numbers, or FileError starting with ``what``."""
    try:
        numbers = [float(v) for v in np.asarray(values, dtype=np.float64).ravel()]
    except (TypeError, ValueError):
        raise FileError(f"{what} must be 3 numbers, got {values!r}") from None
    if len(numbers) != 3 or not all(math.isfinite(n) and n > 0 for n in numbers):
        raise FileError(f"{what} must be 3 positive numbers, got {values!r}")
    return (numbers[0], numbers[1], numbers[2])
