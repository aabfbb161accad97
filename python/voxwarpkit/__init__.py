"""Resampling of 3-D image volumes through affine matrices, displacement fields and chains of them,
with nearest, linear, cubic B-spline, Lanczos and label-aware sampling, in memory or block by block on
Dask and Zarr; OME-Zarr pyramids and deskewing.

``transform(image, voxel_size, matrix)`` resamples a volume ``(nz, ny, nx)``
or a stack of volumes ``(nvol, nz, ny, nx)`` through a 3x4 affine matrix and
returns float32. The helpers in :mod:`voxwarpkit.matrices` build its
``matrix`` argument from the conventions matrices usually come in: 4x4
homogeneous matrices, scipy.ndimage index-space matrices, matrices that map
input to output, rigid motions and world-space transforms of NIfTI images.
``resample`` takes any output grid, one matrix per volume, linear sampling
that keeps values within the data, nearest, cubic B-spline, Lanczos and label
sampling, a fill value and an ``out`` array, and Dask arrays and Zarr arrays,
which it resamples block by block with the bits of one call in memory;
``fit_grid`` finds an output grid that holds the whole transformed input, and ``deskew`` the matrix and grid that put a
stage-scanned light-sheet stack into sample space; a ``matrix`` may also be a chain of matrices,
displacement fields (:class:`Field`) and cubic B-spline deformations (:class:`BSpline`), applied in one pass;
``resample_image`` resamples nibabel images through
world-space matrices onto another image's grid or another voxel size; ``pyramid_of`` makes the
anti-aliased levels of a multiscale pyramid, as the command line writes them to OME-Zarr; ``fuse`` blends
many tiles or views, each with its own matrix, into one volume.
"""

from ._backends.transform import transform
from ._resample import resample
from ._version import __version__
from .bspline import BSpline
from .deskew import deskew
from .field import Field
from .fit import fit_grid
from .fuse import covering_grid, fuse
from .images import resample_image
from .matrices import as_homogeneous, from_homogeneous, from_index, from_world, invert, rigid
from .pyramid import pyramid_of

__all__ = [
    "BSpline",
    "Field",
    "__version__",
    "as_homogeneous",
    "covering_grid",
    "deskew",
    "fit_grid",
    "from_homogeneous",
    "from_index",
    "from_world",
    "fuse",
    "invert",
    "pyramid_of",
    "resample",
    "resample_image",
    "rigid",
    "transform",
]
