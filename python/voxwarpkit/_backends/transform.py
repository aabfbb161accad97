"""``transform``: the typed face of the compiled ``_voxwarpkit.transform``, on every core."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Callable, Optional

from .._core.threads import thread_count
from .._engine import transform as threaded_transform

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

# The SWIG module sits beside the package, without a stub of its own: the
# signature of transform below is its typed face.
_native_transform: Callable[..., Any] = importlib.import_module("_voxwarpkit").transform


def transform(
    image: NDArray[Any],
    voxel_size: NDArray[Any],
    matrix: NDArray[Any],
    /,
    *,
    threads: Optional[int] = None,
) -> NDArray[np.float32]:
    """Resample an image through an affine matrix with trilinear interpolation.

    Parameters
    ----------
    image
        A numpy array of rank 3, ``(nz, ny, nx)``, or rank 4,
        ``(nvol, nz, ny, nx)``; every volume of a stack is resampled with the
        same matrix. Element types: uint8, int16, int32, the platform's C
        ``long`` (int64 on 64-bit Linux and macOS), float32 and float64, in any
        memory layout and byte order. Other types (uint16, int8, bool,
        complex, ...) raise ``ValueError``; convert them with
        ``image.astype(np.float32)`` first.
    voxel_size
        A numpy array whose first three elements along axis 0 are the
        spacing ``(sx, sy, sz)``: along x (columns, the last axis), y (rows)
        and z (slices). Input and output share this spacing.
    matrix
        A numpy array whose first twelve elements along axis 0 are a
        row-major 3x4 matrix. It maps an *output* voxel's physical position
        ``(X, Y, Z)`` to the *input's* physical position::

            x = m0*X + m1*Y + m2*Z + m3
            y = m4*X + m5*Y + m6*Z + m7
            z = m8*X + m9*Y + m10*Z + m11

        where the physical position of index ``(k, j, i)`` is
        ``(i*sx, j*sy, k*sz)``. Only axis 0 is read, so a 3x4 array would
        give its first column alone: flatten it, or build it with one of the
        helpers (:func:`voxwarpkit.from_homogeneous`,
        :func:`voxwarpkit.from_index`, :func:`voxwarpkit.invert`,
        :func:`voxwarpkit.rigid`, :func:`voxwarpkit.from_world`).
    threads
        How many threads compute the result: ``None`` (the default) uses
        every CPU this process may run on, ``1`` runs
        ``_voxwarpkit.transform`` itself on the calling thread. The bits are
        the same for every count. With more than one thread the interpreter
        lock is released while the kernel runs, and Ctrl-C stops a long call
        with ``KeyboardInterrupt``.

    Returns
    -------
    numpy.ndarray
        A new float32 array of the image's shape. Positions that map inside
        the input get the trilinear blend of their eight neighbours. A source
        index between -1 and 0 extrapolates linearly from the first two
        voxels; a one-voxel band beyond each face takes the blend of that
        face; everything further out is 0.

    Raises
    ------
    TypeError
        When an argument is not a numpy array, the arrays are given by
        keyword, or ``threads`` is not an integer.
    ValueError
        When the image's rank is not 3 or 4, its element type is not
        accepted, voxel_size or matrix hold fewer than 3 or 12 numbers, or
        ``threads`` is less than 1.

    Examples
    --------
    >>> import numpy as np, voxwarpkit
    >>> image = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    >>> half_voxel_right = voxwarpkit.from_homogeneous(
    ...     [[1, 0, 0, 0.5], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])
    >>> voxwarpkit.transform(image, np.ones(3), half_voxel_right)[0, 0]
    array([0.5, 1.5, 2.5, 3. ], dtype=float32)
    """
    count = thread_count(threads)
    if count == 1:
        result: NDArray[np.float32] = _native_transform(image, voxel_size, matrix)
        return result
    return threaded_transform(image, voxel_size, matrix, count)
