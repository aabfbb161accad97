"""``resample_image``: nibabel images onto another grid, through world-space matrices.

A grid is a shape ``(ni, nj, nk)``, a voxel-to-world affine and a voxel size
along ``(i, j, k)``. The kernel sees the data with its axes reversed,
``data.T``, so that ``x = i``, ``y = j`` and ``z = k``, and positions in
physical units: index times that grid's voxel size.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._affine import affine4, inverse4, twelve
from ._request import interpolation_of
from ._resample import resample
from ._scaling import Scaling, copied_scaling, raw_fill, scaled
from ._words import counted
from .fit import fitted_box
from .warps import fold, has_field, kernel_chain, world_steps

if TYPE_CHECKING:
    from nibabel.spatialimages import SpatialImage
    from numpy.typing import ArrayLike, NDArray

# voxel_size alone: an output axis that overshoots the input's extent by less
# than this many voxels is rounding in the voxel sizes, not a voxel to add.
_COVER_TOLERANCE = 1e-3
# An index map this close to the identity (in voxels) is the identity: what
# inverting an affine and multiplying it back leaves is rounding, not a shift.
_IDENTITY_TOLERANCE = 1e-9
# NIfTI-1 stores each dimension in 16 signed bits; NIfTI-2 in 64.
_NIFTI1_LONGEST_AXIS = 32767
# NIfTI's "aligned" space: what a grid gets when its image names no space.
_ALIGNED = 2
# Types NIfTI cannot store, and the type that stores every one of their values.
_STORED_AS = {"?": np.dtype(np.uint8), "e": np.dtype(np.float32)}


class Grid(NamedTuple):
    """A voxel grid: ``shape`` ``(ni, nj, nk)``, ``affine`` voxel ``(i, j, k)``
    -> world as a 4x4 float64, ``zooms`` the voxel size along ``(i, j, k)``."""

    shape: Tuple[int, int, int]
    affine: NDArray[np.float64]
    zooms: Tuple[float, float, float]


def checked_grid(shape: Sequence[int], affine: ArrayLike, zooms: Sequence[float], name: str) -> Grid:
    """A Grid, or ValueError naming ``name`` for an empty axis, an affine that is
    not one or a voxel size that is not positive."""
    counts = tuple(int(n) for n in shape[:3])
    if len(counts) != 3 or min(counts) < 1:
        raise ValueError(f"{name} has a grid of shape {_shown(counts)}: every axis needs a voxel")
    sizes = tuple(float(z) for z in zooms[:3])
    if len(sizes) != 3 or not all(math.isfinite(z) and z > 0 for z in sizes):
        raise ValueError(f"{name} has voxel size {list(sizes)}; it must be 3 positive numbers")
    to_world = affine4(affine, f"{name}'s affine")
    return Grid((counts[0], counts[1], counts[2]), to_world, (sizes[0], sizes[1], sizes[2]))


def image_grid(img: Any, name: str) -> Grid:
    """The grid of a nibabel image's first three axes; its voxel size is the header's."""
    if getattr(img, "affine", None) is None or not hasattr(img, "header"):
        raise TypeError(f"{name} must be a nibabel image with an affine, not {type(img).__name__}")
    if len(img.shape) < 3:
        raise ValueError(f"{name} has {len(img.shape)} dimensions; a grid needs 3 (i, j, k)")
    return checked_grid(img.shape, img.affine, img.header.get_zooms(), name)


def output_grid(
    source: Grid,
    voxel_size: Optional[ArrayLike] = None,
    shape: Optional[Sequence[int]] = None,
) -> Grid:
    """The source's grid with another voxel size and/or shape.

    The voxel axes keep their directions and voxel (0, 0, 0) its world
    position; they are scaled by ``voxel_size / source.zooms``. Without
    ``shape`` and with ``voxel_size``, each axis gets the fewest voxels that
    cover the source's extent: ``ceil(n * zoom / voxel_size)``.
    """
    zooms = source.zooms
    affine = source.affine.copy()
    if voxel_size is not None:
        sizes = np.asarray(voxel_size, dtype=np.float64).ravel()
        if sizes.shape != (3,) or not np.all(np.isfinite(sizes) & (sizes > 0)):
            raise ValueError(f"voxel_size must be 3 positive numbers (i, j, k), got {sizes.tolist()}")
        zooms = (float(sizes[0]), float(sizes[1]), float(sizes[2]))
        affine[:3, :3] *= sizes / np.array(source.zooms)
    if shape is None:
        shape = source.shape if voxel_size is None else _covering(source, zooms)
    elif len(tuple(shape)) != 3 or not all(isinstance(n, (int, np.integer)) for n in shape):
        raise ValueError(f"shape must be 3 counts (ni, nj, nk), got {shape!r}")
    return checked_grid(shape, affine, zooms, "the output")


def _covering(source: Grid, zooms: Tuple[float, float, float]) -> Tuple[int, int, int]:
    ni, nj, nk = (max(1, math.ceil(n * z / v - _COVER_TOLERANCE)) for n, z, v in zip(source.shape, source.zooms, zooms))
    return ni, nj, nk


def world_to_index(world: NDArray[np.float64], source: Grid, target: Grid) -> NDArray[np.float64]:
    """Output-world -> input-world matrices ``(n, 4, 4)`` as output-index -> input-index maps."""
    to_input = inverse4(source.affine, "the input's affine")
    maps: NDArray[np.float64] = to_input @ world @ target.affine
    return maps


def index_to_kernel(maps: NDArray[np.float64], source: Grid, target: Grid) -> NDArray[np.float32]:
    """Output-index -> input-index maps ``(n, 4, 4)`` as the kernel's ``(n, 12)``
    float32 matrices, which map output physical to input physical positions."""
    scale = np.diag([*source.zooms, 1.0])
    unscale = np.diag([*(1.0 / np.array(target.zooms)), 1.0])
    return np.stack([twelve(scale @ m @ unscale) for m in maps])


def fitted_grid(source: Grid, target: Grid, kernels: NDArray[np.float32]) -> Tuple[Grid, NDArray[np.float32]]:
    """``target``'s axes and voxel size, with the shape and origin that hold all of
    ``source`` seen through the kernel's ``(n, 12)`` matrices, and those
    matrices for the fitted grid."""
    physical = [affine4(k) for k in kernels]
    zooms_out = np.array(target.zooms)
    (nx, ny, nz), start = fitted_box(source.shape[::-1], np.array(source.zooms), physical, zooms_out)
    shift = np.eye(4)  # the fitted grid's physical positions -> the target's
    shift[:3, 3] = start
    index_shift = np.eye(4)
    index_shift[:3, 3] = start / zooms_out
    fitted = checked_grid((nx, ny, nz), target.affine @ index_shift, target.zooms, "the fitted output")
    return fitted, np.stack([twelve(m @ shift) for m in physical])


def is_identity(maps: NDArray[np.float64]) -> bool:
    """Whether every index map is the identity, up to what inverting and multiplying affines leaves."""
    return bool(np.all(np.abs(maps - np.eye(4)) <= _IDENTITY_TOLERANCE))


def _world_matrices(matrix: Optional[ArrayLike], volumes: int) -> NDArray[np.float64]:
    """``matrix`` as (n, 4, 4): one for every volume (n = 1), or one per volume."""
    if matrix is None:
        return np.eye(4)[np.newaxis]
    numbers = np.asarray(matrix, dtype=np.float64)
    if numbers.shape in ((3, 4), (4, 4)):
        return affine4(numbers)[np.newaxis]
    if numbers.ndim != 3 or numbers.shape[1:] not in ((3, 4), (4, 4)):
        raise ValueError(f"matrix must be a 4x4 (or 3x4), or one per volume (nvol, 4, 4); got shape {numbers.shape}")
    if len(numbers) != volumes:
        raise ValueError(
            f"matrix holds {counted(len(numbers), 'matrix', 'matrices')} for an image of {counted(volumes, 'volume')}"
        )
    return np.stack([affine4(m) for m in numbers])


def resample_image(
    img: SpatialImage,
    *,
    like: Optional[SpatialImage] = None,
    matrix: Optional[ArrayLike] = None,
    transform: Any = None,
    voxel_size: Optional[ArrayLike] = None,
    shape: Optional[Sequence[int]] = None,
    order: Optional[int] = None,
    fill: float = 0.0,
    threads: Optional[int] = None,
    edges: str = "clamp",
    fit: bool = False,
    interpolation: Optional[str] = None,
    antialias: bool = False,
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
    transform
        Instead of ``matrix``: one of nitransforms' transforms, in its own
        meaning, output (reference) world -> input (moving) world: an
        ``Affine``, a ``LinearTransformsMapping`` (one matrix per volume), a
        ``DenseFieldTransform`` or a ``TransformChain`` of them, whose
        transforms apply in list order, the first to the output's position.
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
        read; the thread
        count (None: every CPU), which does not change the bits; linear
        sampling's edge rule, "clamp" (values within the data) or
        "transform".
    antialias
        As for :func:`voxwarpkit.resample`: smooth the data first along each
        axis the output samples more coarsely (float32 result).

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
    (to within the rounding of the scaling); any other is refused. Saving
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
    steps = None if transform is None else fold(world_steps(transform), volumes)
    spacings = (source.zooms, target.zooms)
    if steps is not None and has_field(steps):
        if fit:
            raise ValueError("fit takes matrices only: a displacement field has no inverse to find the input's extent")
        matrices: Any = kernel_chain(steps, source, target, volumes)
    else:
        world = _world_matrices(matrix, volumes) if steps is None else np.asarray(steps[0])
        if fit:
            kernels = index_to_kernel(world_to_index(world, source, target), source, target)
            target, _ = fitted_grid(source, target, kernels)
        maps = world_to_index(world, source, target)
        kernel = index_to_kernel(maps, source, target)
        if is_identity(maps):
            # Index times voxel size and back again is not always the index in
            # float32: in index space the identity is exact.
            spacings = ((1.0, 1.0, 1.0), (1.0, 1.0, 1.0))
            kernel = np.eye(3, 4, dtype=np.float32).reshape(1, 12)
        matrices = kernel[0] if len(kernel) == 1 else kernel
    scaling = copied_scaling(img, interpolation_of(order, interpolation), antialias)
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
        fill=fill,
        threads=threads,
        edges=edges,
        interpolation=interpolation,
        antialias=antialias,
    )
    space = like if like is not None else img
    values = result.T if scaling is None else scaled(result.T, scaling)
    resampled: SpatialImage = image_on_grid(img, values, target, space)
    return resampled


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


def _shown(counts: Tuple[int, ...]) -> str:
    return "x".join(map(str, counts))
