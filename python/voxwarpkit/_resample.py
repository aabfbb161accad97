"""``resample``: any output grid, one matrix per volume, nearest or linear, a fill value.

A numpy image is resampled here in one engine call; a dask array goes to
:mod:`voxwarpkit._dask`, one task per output block.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Optional, Sequence, overload

import numpy as np

from ._blocks import resample_window
from ._dask import resample_dask
from ._request import checked_image, checked_request, counts

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray


@overload
def resample(
    image: NDArray[Any],
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: None = None,
    edges: str = "clamp",
) -> NDArray[Any]: ...


@overload
def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
    edges: str = "clamp",
) -> Any: ...


def resample(
    image: Any,
    voxel_size: ArrayLike,
    matrix: ArrayLike,
    *,
    shape: Optional[Sequence[int]] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    order: int = 1,
    fill: float = 0.0,
    threads: Optional[int] = None,
    chunks: Any = None,
    edges: str = "clamp",
) -> Any:
    """Resample an image onto any grid through one matrix, or one per volume.

    Parameters
    ----------
    image
        A volume ``(nz, ny, nx)`` or a stack ``(nvol, nz, ny, nx)``: a numpy
        array of booleans, integers of any width (signed or not) or floats
        (float16, float32, float64), in any layout and byte order; or a dask
        array, for which the result is a lazy dask array (see below).
    voxel_size
        The input's spacing ``(sx, sy, sz)``: along x (the last axis), y and
        z. Any array-like of three positive, finite numbers.
    matrix
        Maps an output voxel's physical position to the input's, as in
        :func:`voxwarpkit.transform`: 12 numbers (a row-major 3x4), a 3x4 or a
        4x4 (last row ``0 0 0 1``) for every volume; or one per volume, of
        shape ``(nvol, 12)``, ``(nvol, 3, 4)`` or ``(nvol, 4, 4)``.
    shape
        The output's ``(nz, ny, nx)``; default the input's.
    output_voxel_size
        The output's spacing ``(osx, osy, osz)``; default ``voxel_size``.
    order
        1 (default): trilinear, with a float32 result. 0: nearest neighbour,
        with a result of the image's own element type (native byte order)
        whose values are the input's, bit for bit, so a label map keeps its
        labels.
    fill
        The value of every output position that is not sampled. It must fit
        the result's type: a whole number within range for an integer result.
    threads
        As for :func:`voxwarpkit.transform`: ``None`` uses every CPU this
        process may run on; for a dask array, the threads of each task
        (default 1). The bits do not depend on it.
    chunks
        Dask arrays only: the output's chunking (default blocks of about
        64 MiB shaped like the input's chunks).
    edges
        Linear sampling's rule at the input's edges (below). "clamp" (the
        default): values within the data, ``fill`` wherever nearest sampling
        finds no voxel. "transform": :func:`voxwarpkit.transform`'s own rules.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        The output, ``(nz, ny, nx)`` or ``(nvol, nz, ny, nx)`` by the image's
        rank.

    Positions and rules
    -------------------
    Output index ``(z, y, x)`` sits at ``X = x * osx``, ``Y = y * osy``,
    ``Z = z * osz``; its source index along x is
    ``I = (((m0*X + m1*Y) + m2*Z) + m3) / sx`` (likewise J with m4..m7 and
    sy, K with m8..m11 and sz), every step rounded to float32.

    Nearest sampling takes voxel ``floor(I)``, or the next one when
    ``I - floor(I) >= 0.5`` (ties go up), along each axis; a position is
    sampled when all three lie in the input, i.e. ``-0.5 <= I < nx - 0.5``;
    NaN and infinity never are.

    Linear sampling with ``edges="clamp"`` samples the same positions. Along
    each axis it blends voxels ``floor(I)`` and ``floor(I) + 1``, each clamped
    to ``[0, nx - 1]``, with weights ``1 - f`` and ``f``, ``f = I - floor(I)``:
    every value is a weighted mean of input values, and positions within half
    a voxel of an edge take the edge's values (SimpleITK's linear rule). The
    eight terms are summed in float64 in a fixed order (x fastest, then y,
    then z; each term the voxel times its x, y and z weights, left to right)
    and rounded once to float32. With ``edges="transform"`` linear sampling
    follows :func:`voxwarpkit.transform`'s rules exactly (truncation, the
    one-voxel bands and extrapolation), on the input's grid: with the other
    defaults and 12 numbers, ``resample(image, voxel_size, matrix,
    edges="transform")`` equals ``_voxwarpkit.transform(image, voxel_size,
    matrix)`` bit for bit.

    Raises
    ------
    TypeError
        When the image is not an array, or an argument is not of a usable
        kind (a non-number fill, a non-integer thread count).
    ValueError
        Naming the argument and the reason: rank, element type, shapes,
        matrix counts, a non-finite or non-positive spacing, an output axis
        below 1, an order other than 0 or 1, an unknown edge rule, a fill the
        result's type cannot hold, an image or output of 2**31 elements or more.
    """
    dask_array = sys.modules.get("dask.array")  # never imported here: a dask array means it is loaded
    if dask_array is not None and isinstance(image, dask_array.Array):
        return resample_dask(
            image,
            voxel_size,
            matrix,
            shape=shape,
            output_voxel_size=output_voxel_size,
            order=order,
            fill=fill,
            threads=threads,
            chunks=chunks,
            edges=edges,
        )
    if chunks is not None:
        raise TypeError("chunks applies to dask arrays only")
    array = checked_image(image)
    request = checked_request(
        array.shape,
        array.dtype,
        voxel_size,
        matrix,
        shape=shape,
        output_voxel_size=output_voxel_size,
        order=order,
        fill=fill,
        threads=threads,
        edges=edges,
    )
    stack = array if array.ndim == 4 else array[np.newaxis]
    grid = counts(stack.shape[1:])
    result = resample_window(stack, (0, 0, 0), grid, request, (0, 0, 0), request.shape, request.threads)
    return result if array.ndim == 4 else result[0]
