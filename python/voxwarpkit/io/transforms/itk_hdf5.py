"""ITK's HDF5 transform files, read with h5py: what their groups hold, their affines and a lone field.

ITK writes each transform as ``TransformGroup/<n>`` with ``TransformType``,
``TransformParameters`` and ``TransformFixedParameters``; a composite is
group 0, its parts the groups after it. nitransforms reads these files only
as composites (it skips group 0, which a lone transform is) and only
``AffineTransform`` among the linear types, so the plain affines and a lone
displacement field that SimpleITK writes are read here.
"""

from __future__ import annotations

import importlib
import re
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, List, Tuple

import numpy as np

from ..._core.extras import not_installed
from ...itk_steps import LPS_TO_RAS
from ..errors import FileError, first_line

if TYPE_CHECKING:
    from numpy.typing import NDArray

# h5py ends its messages with HDF5's own reason in brackets.
_LAST_BRACKETS = re.compile(r"\(([^()]*)\)\s*$")


@contextmanager
def itk_groups(path: Path, role: str) -> Iterator[List[Any]]:
    """The transform groups of the ITK HDF5 file ``path``, in ITK's order; ``role`` names the file in errors."""
    try:
        h5py = importlib.import_module("h5py")
    except ImportError:
        raise FileError(not_installed(f"{role} {path}: an HDF5 transform file", "h5py")) from None
    try:
        stored = h5py.File(path, "r")
    except FileNotFoundError:
        raise FileError(f"{role} {path}: no such file") from None
    except OSError as error:
        found = _LAST_BRACKETS.search(first_line(error))
        raise FileError(f"{role} {path}: not an HDF5 file ({found.group(1) if found else error})") from None
    with stored:
        group = stored.get("TransformGroup")
        if group is None or not all(name.isdigit() for name in group):
            raise FileError(f"{role} {path}: an HDF5 file but no ITK transform file (it has no TransformGroup)")
        yield [group[name] for name in sorted(group, key=int)]


def type_of(item: Any) -> str:
    """The ITK type name a transform group holds."""
    kind = item["TransformType"][0]
    return kind.decode("ascii", "replace") if isinstance(kind, bytes) else str(kind)


def parameters_of(item: Any, fixed: bool = False) -> NDArray[np.float64]:
    """A group's parameters, or its fixed parameters, as float64 (absent ones are empty)."""
    name = "TransformFixedParameters" if fixed else "TransformParameters"
    return np.asarray(item[name], dtype=np.float64).ravel() if name in item else np.zeros(0)


def hdf5_affines(path: Path, role: str) -> NDArray[np.float64]:
    """The (n, 4, 4) RAS+ world matrices of a file of affine transforms, reference -> moving.

    ITK maps a fixed (reference) LPS point x to M (x - c) + t + c: M the
    first nine parameters row by row, t the last three, c the centre in the
    fixed parameters. The caller has checked the types and counts.
    """
    matrices = []
    with itk_groups(path, role) as items:
        for item in items:
            values, centre = parameters_of(item), parameters_of(item, fixed=True)
            linear = values[:9].reshape(3, 3)
            lps = np.eye(4)
            lps[:3, :3] = linear
            lps[:3, 3] = values[9:12] + centre - linear @ centre
            matrices.append(LPS_TO_RAS @ lps @ LPS_TO_RAS)
    return np.stack(matrices)


def hdf5_field(path: Path, role: str) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """A lone ITK displacement field: its RAS+ vectors (i, j, k, 3) and its grid's RAS+ affine.

    Its fixed parameters are the grid (size, origin, spacing and direction,
    in LPS); its parameters the LPS vectors, the vector's three components
    fastest, then i, j and k, as ITK stores its images.
    """
    with itk_groups(path, role) as items:
        fixed, vectors = parameters_of(items[0], fixed=True), parameters_of(items[0])
    shape = tuple(int(n) for n in fixed[:3])
    if fixed.size != 18 or min(shape) < 1 or vectors.size != 3 * int(np.prod(shape)):
        raise FileError(
            f"{role} {path}: its displacement field holds {vectors.size} values and {fixed.size} fixed "
            "ones, which do not describe a 3-D grid of vectors"
        )
    lps = np.eye(4)
    lps[:3, :3] = fixed[9:18].reshape(3, 3) * fixed[6:9]
    lps[:3, 3] = fixed[3:6]
    field = np.moveaxis(vectors.reshape((3, *shape), order="F"), 0, -1) * LPS_TO_RAS.diagonal()[:3]
    return field, LPS_TO_RAS @ lps
