"""``resample_image``: nibabel images onto another grid, through world-space matrices.

The grid maths is :mod:`voxwarpkit._core.grid`'s; this module reads nibabel images'
grids and data, and makes nibabel images of results.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Sequence

import numpy as np

from ._backends.request import interpolation_of
from ._core.grid import Grid, WorldStep, checked_grid, output_grid, physical_steps
from ._resample import resample
from .io.nifti_scaling import Scaling, copied_scaling, raw_fill, scaled
from .itk_steps import is_simpleitk, simpleitk_steps
from .warps import is_nitransforms, world_steps

if TYPE_CHECKING:
    from nibabel.spatialimages import SpatialImage
    from numpy.typing import ArrayLike, NDArray

# NIfTI-1 stores each dimension in 16 signed bits; NIfTI-2 in 64.
_NIFTI1_LONGEST_AXIS = 32767
# NIfTI's "aligned" space: what a grid gets when its image names no space.
_ALIGNED = 2
# Types NIfTI cannot store, and the type that stores every one of their values.
_STORED_AS = {"?": np.dtype(np.uint8), "e": np.dtype(np.float32)}


def image_grid(img: Any, name: str) -> Grid:
    """The grid of a nibabel image's first three axes; its voxel size is the header's."""
    if getattr(img, "affine", None) is None or not hasattr(img, "header"):
        raise TypeError(f"{name} must be a nibabel image with an affine, not {type(img).__name__}")
    if len(img.shape) < 3:
        raise ValueError(f"{name} has {len(img.shape)} dimensions; a grid needs 3 (i, j, k)")
    return checked_grid(img.shape, img.affine, img.header.get_zooms(), name)


def resample_image(
    img: SpatialImage,
    *,
    like: Optional[SpatialImage] = None,
    matrix: Optional[ArrayLike] = None,
    transform: Any = None,
    voxel_size: Optional[ArrayLike] = None,
    shape: Optional[Sequence[int]] = None,
    order: Optional[int] = None,
    fill: Optional[float] = None,
    threads: Optional[int] = None,
    edges: str = "clamp",
    fit: bool = False,
    interpolation: Optional[str] = None,
    antialias: bool = False,
    dtype: Any = None,
) -> SpatialImage:
    """Resample a nibabel image onto another grid, through world-space matrices.

    Parameters
    ----------
    img
        A nibabel image (NIfTI-1 or NIfTI-2, or another spatial image) of 3
        axes ``(i, j, k)`` or 4 ``(i, j, k, t)``. Its data is read with its
        scaling (scaled data as float), except where nearest and label copy
        the stored elements (below); its voxel size is the header's,
        ``img.header.get_zooms()[:3]``.
    like
        An image whose grid becomes the output's: the shape, voxel size and
        affine of its first three axes, oblique or not.
    matrix
        Maps an OUTPUT world position (RAS millimetres) to the INPUT world
        position whose value it takes: a 4x4 for every volume, or one per
        volume, ``(nvol, 4, 4)``. None (the default) is the identity: the
        output shows what the input shows at the same world positions.
        One of nitransforms' or SimpleITK's transforms is taken as ``transform``.
    transform
        Instead of ``matrix``: one of nitransforms' transforms, in its own
        meaning, output (reference) world -> input (moving) world: an
        ``Affine``, a ``LinearTransformsMapping`` (one matrix per volume), a
        ``DenseFieldTransform`` or a ``TransformChain`` of them, whose
        transforms apply in list order, the first to the output's position;
        or one of SimpleITK's transforms (linear ones, ``DisplacementFieldTransform``,
        cubic ``BSplineTransform`` and ``CompositeTransform`` of them, in ITK's
        meaning: fixed (output) -> moving (input), LPS, a composite's last transform
        applied first); or the path of a registration tool's transform file, read as
        ``voxwarpkit apply --transform`` reads it (displacement fields with
        nibabel, straight into the engine's layout); or a list of these,
        applied in list order.
        A dense field is blended linearly on its own grid (oblique or not),
        with no displacement where its nearest voxel is outside that grid;
        the whole chain is applied in one pass. Matrices alone act as
        ``matrix`` does; with a field, ``fit`` is refused (a field has no
        inverse to find the input's extent with).
    voxel_size
        Without ``like``: the output's voxel size along ``(i, j, k)``. The
        output keeps the input's voxel axes (scaled by ``voxel_size`` over the
        input's voxel size) and the world position of voxel (0, 0, 0); unless
        ``shape`` is given, each axis gets the fewest voxels that cover the
        input's extent, ``ceil(n * input voxel size / voxel_size)`` (an excess
        below 0.001 voxel is taken for rounding).
    shape
        Without ``like``: the output's ``(ni, nj, nk)``; default as above, or
        the input's.
    fit
        Keep the output grid's voxel axes and voxel size, but give it the
        shape and origin that hold the whole transformed input (every input
        voxel centre, through every volume's matrix): see
        :func:`voxwarpkit.fit_grid`. Without ``like`` and ``voxel_size`` the
        input's own axes and voxel size are fitted.
    order, interpolation, fill, threads, edges
        As for :func:`voxwarpkit.resample`: 1 or "linear" (trilinear), 3 or
        "cubic" (cubic B-spline) and "lanczos" (windowed sinc, radius 3),
        each with a float32 result; 0 or "nearest" (the element type of the
        data read, so a label map keeps its labels), or "label" (the label
        with the largest trilinear weight, also of the data's type); the
        value of every output voxel not sampled, in the units of the values
        read (None: 0); the thread
        count (None: every CPU), which does not change the bits; linear
        sampling's edge rule, "clamp" (values within the data) or
        "transform".
    antialias
        As for :func:`voxwarpkit.resample`: smooth the data first along each
        axis the output samples more coarsely (float32 result).
    dtype
        As for :func:`voxwarpkit.resample`: the element type of a linear,
        cubic or Lanczos result (any integer type, float16, float32 or
        float64), made once from the blend's float64 sum; None (the default)
        for float32. Nearest and label keep the data's type.

    Returns
    -------
    nibabel image
        Of ``img``'s class, with the output grid's affine, ``img``'s header adjusted to the data (shape,
        element type, voxel sizes) and, for NIfTI, sform and qform set to the
        grid with the codes of the image it came from (a code of 0 stays 0;
        2, aligned, for both when it has neither; qform code 0 when the affine
        has shears the qform cannot hold, the sform then taking the qform's
        code if it had none)
        and the display range (cal_min, cal_max) reset. Types NIfTI cannot
        store (bool, float16) stay in the data and are stored as uint8 and
        float32.

        With ``A_in``, ``A_out`` the affines and ``W`` a world matrix, output
        index ``v`` samples input index ``inv(A_in) @ W @ A_out @ v``; the data
        equals ``resample(data.T, zooms_in, m, shape=..., output_voxel_size=
        zooms_out, ...).T`` with ``m = diag(zooms_in) @ inv(A_in) @ W @ A_out @
        inv(diag(zooms_out))``, one call for the whole stack. Where every index
        map is the identity (the input's own grid, or ``like`` an image of the
        same grid, with no matrix) the call is made in index space, with unit
        voxel sizes and the identity matrix, so the data come back exactly.

    Raises
    ------
    TypeError
        When ``img`` or ``like`` is not a nibabel image, ``like`` comes
        with ``voxel_size`` or ``shape``, ``matrix`` with ``transform``, or
        ``transform`` is not one of the transforms above.
    ValueError
        For a rank other than 3 or 4, an axis of length 0, a singular input
        affine, a voxel size that is not positive, a matrix of the wrong shape
        or count, a fill that scaled data copied as stored cannot hold, and
        whatever :func:`voxwarpkit.resample` refuses.

    Notes
    -----
    A NIfTI file's scaled data (``scl_slope``, ``scl_inter``) are copied as
    they are stored by nearest and label (without ``antialias``): the result
    keeps the stored type and the scaling, so its ``dataobj`` reads the
    input's values and its ``get_data_dtype()`` is the stored type. ``fill``
    is then a value as the data read it, stored as ``(fill - inter) /
    slope``, which must be a whole number within the stored type's range
    (to within the rounding of the scaling); any other is refused. Left at
    its default where the stored type cannot hold 0 (a slope and intercept
    that put 0 outside its range), nearest and label resample the values
    instead, as the blends do, and the result holds them as floats. Saving
    the result with nibabel chooses its own scaling for these values, as it
    does for any scaled image it loaded.
    """
    source = image_grid(img, "img")
    if len(img.shape) not in (3, 4):
        raise ValueError(f"img must have 3 axes (i, j, k) or 4 (i, j, k, t), not {img.shape}")
    if like is not None:
        if voxel_size is not None or shape is not None:
            raise TypeError("like gives the whole output grid: give voxel_size and shape without it")
        target = image_grid(like, "like")
    else:
        target = output_grid(source, voxel_size, shape)
    volumes = img.shape[3] if len(img.shape) == 4 else 1
    if transform is not None and matrix is not None:
        raise TypeError("give matrix or transform, not both")
    if is_nitransforms(matrix) or is_simpleitk(matrix):
        transform, matrix = matrix, None
    steps = None if transform is None else _transform_steps(transform, like, img, target)
    target, spacings, matrices = physical_steps(source, target, matrix, steps, volumes, fit=fit)
    scaling = copied_scaling(img, interpolation_of(order, interpolation), antialias, fill)
    if scaling is None:
        data = np.asanyarray(img.dataobj)
    else:
        proxy: Any = img.dataobj
        data = np.asanyarray(proxy.get_unscaled())
        fill = raw_fill(fill, scaling)
    result = resample(
        data.T,
        spacings[0],
        matrices,
        shape=target.shape[::-1],
        output_voxel_size=spacings[1],
        order=order,
        fill=0.0 if fill is None else fill,
        threads=threads,
        edges=edges,
        interpolation=interpolation,
        antialias=antialias,
        dtype=dtype,
    )
    space = like if like is not None else img
    values = result.T if scaling is None else scaled(result.T, scaling)
    resampled: SpatialImage = image_on_grid(img, values, target, space)
    return resampled


def _transform_steps(transform: Any, like: Any, img: Any, target: Grid) -> List[WorldStep]:
    """The world steps of ``transform``: a nitransforms transform, a transform file's path, or a list
    of them. FSL's and AFNI's matrices are defined on the output grid and the input."""
    parts = transform if isinstance(transform, (list, tuple)) else [transform]
    if not parts:
        raise ValueError("transform is an empty list")
    steps: List[WorldStep] = []
    for part in parts:
        if is_simpleitk(part):
            steps += simpleitk_steps(part)
            continue
        if not isinstance(part, (str, os.PathLike)):
            steps += world_steps(part)
            continue
        import nibabel as nib

        from .io.errors import FileError
        from .io.transforms.files import read_transform_file

        made: Any = nib.Nifti1Image  # its constructor is not annotated
        reference = like if like is not None else made(np.broadcast_to(np.float32(0), target.shape), target.affine)
        try:
            steps += read_transform_file(Path(part), reference=reference, moving=img)
        except FileError as error:
            raise ValueError(str(error)) from None
    return steps


def image_on_grid(img: Any, data: Any, grid: Grid, space: Any, scaling: Optional[Scaling] = None) -> Any:
    """A new image of ``data`` (an array, or a nibabel array proxy) on ``grid``,
    of ``img``'s class, with its header.

    ``space`` is the image the grid comes from, whose sform and qform codes
    (what world the affine maps to) the new image takes; an image with neither
    gives both 2 (aligned). With ``scaling``, ``data`` holds raw elements and the
    header keeps the slope and intercept, so that saving writes them as they are.
    """
    import nibabel as nib

    zooms = grid.zooms + tuple(float(z) for z in img.header.get_zooms()[3 : data.ndim])
    stored = _STORED_AS.get(data.dtype.char, data.dtype)
    if not isinstance(img, nib.Nifti1Pair):  # NIfTI-1 and NIfTI-2, single file or pair
        other = type(img)(data, grid.affine, header=img.header)
        other.set_data_dtype(stored)
        other.header.set_zooms(zooms)
        return other
    kind = type(img)
    if max(data.shape) > _NIFTI1_LONGEST_AXIS and kind in (nib.Nifti1Image, nib.Nifti1Pair):
        kind = nib.Nifti2Image if kind is nib.Nifti1Image else nib.Nifti2Pair  # 64-bit dimensions
    made = kind(data, grid.affine, header=img.header, dtype=stored)
    header: Any = made.header
    sform_code = qform_code = 0
    if isinstance(space, nib.Nifti1Pair):
        sform_code, qform_code = int(space.header["sform_code"]), int(space.header["qform_code"])
    if sform_code == qform_code == 0:
        sform_code = qform_code = _ALIGNED
    header.set_sform(grid.affine, code=sform_code)
    set_qform(header, grid.affine, qform_code)
    header.set_zooms(zooms)
    if not np.allclose(header.get_qform(), grid.affine, rtol=0, atol=1e-4):
        # Shears, or zooms unlike the affine's: only the sform holds the grid,
        # with the code the qform had when the sform had none.
        set_qform(header, grid.affine, 0)
        header.set_sform(grid.affine, code=sform_code or qform_code)
        header.set_zooms(zooms)
    if scaling is not None:
        header.set_slope_inter(scaling.slope, scaling.inter)
    header["cal_min"], header["cal_max"] = 0.0, 0.0
    return made


_QUATERNION = ("quatern_b", "quatern_c", "quatern_d")


def set_qform(header: Any, affine: NDArray[np.float64], code: int) -> None:
    """Set a NIfTI header's qform to ``affine`` with ``code``, its quaternion stored so that it reads back.

    NIfTI stores b, c and d of a unit quaternion; a reader finds a as
    sqrt(1 - b² - c² - d²), and nibabel refuses a sum of squares past 1 by
    more than three units in the last place of the stored type. For a
    rotation near 180 degrees, a is near 0 and the rounding of nibabel's own
    decomposition can pass that, in float64 (NIfTI-2) most easily. Such b, c
    and d are stored normalised, the largest shortened a unit in the last
    place at a time until the squares sum to 1 at most: the same rotation to
    the stored precision, whose a reads as 0.
    """
    header.set_qform(affine, code=code)
    stored = np.array([header[name] for name in _QUATERNION])
    if _squares(stored) <= 1:
        return
    wide = stored.astype(np.longdouble)
    stored = (wide / np.sqrt(_squares(stored))).astype(stored.dtype)
    largest = int(np.argmax(np.abs(stored)))
    while _squares(stored) > 1:
        stored[largest] = np.nextafter(stored[largest], stored.dtype.type(0))
    for name, value in zip(_QUATERNION, stored):
        header[name] = value


def _squares(bcd: NDArray[Any]) -> Any:
    """b² + c² + d² in the widest float, as nibabel sums them to find a."""
    wide = bcd.astype(np.longdouble)
    return wide @ wide
