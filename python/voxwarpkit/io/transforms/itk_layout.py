"""What an ITK transform file holds, checked before a reader trusts it.

ITK's readers take a file's parameter counts on faith: SimpleITK given an
Euler3DTransform of four parameters corrupts its heap and kills the process.
So the types and counts of every transform in a text, MATLAB 4 or HDF5 file
are read here first, and only linear 3-D types with the counts ITK writes
are let through.
"""

from __future__ import annotations

import struct
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Tuple

from ..errors import FileError
from .itk_hdf5 import itk_groups, type_of

# Linear 3-D transforms: (parameters, allowed fixed-parameter counts).
LINEAR_TYPES: Dict[str, Tuple[int, Tuple[int, ...]]] = {
    "AffineTransform": (12, (3,)),
    "MatrixOffsetTransformBase": (12, (3,)),
    "Rigid3DTransform": (12, (3,)),
    "Euler3DTransform": (6, (3, 4)),
    "VersorRigid3DTransform": (6, (3,)),
    "QuaternionRigidTransform": (7, (3,)),
    "Similarity3DTransform": (7, (3,)),
    "ScaleVersor3DTransform": (9, (3,)),
    "ScaleSkewVersor3DTransform": (15, (3,)),
    "ComposeScaleSkewVersor3DTransform": (12, (3,)),
    "TranslationTransform": (3, (0,)),
    "ScaleTransform": (3, (3,)),
    "ScaleLogarithmicTransform": (3, (3,)),
    "IdentityTransform": (0, (0,)),
    "CompositeTransform": (0, (0,)),
}
# Cubic B-splines in 3-D: three parameters per control point, and their grid's 18 fixed ones (size,
# origin, spacing, direction). SimpleITK reads them and the composites that hold them.
BSPLINE_TYPE = "BSplineTransform"
_BSPLINE_FIXED = 18
_SUFFIXES = ("_double_3_3", "_float_3_3")
# MATLAB 4 element types by the P digit of a variable's type code, and their bytes.
_MATLAB_BYTES = {0: 8, 1: 4, 2: 4, 3: 2, 4: 2, 5: 1}


class Entry(NamedTuple):
    """One transform of a file: its ITK type name and how many parameters it holds."""

    kind: str
    parameters: int
    fixed: int


def base_type(kind: str) -> str:
    """An ITK type name without its suffix of scalar and dimensions: ``AffineTransform_double_3_3``'s
    ``AffineTransform``; names of other dimensions are kept whole."""
    return next((kind[: -len(s)] for s in _SUFFIXES if kind.endswith(s)), kind)


def holds_bspline(entries: List[Entry]) -> bool:
    """Whether a file's transforms include a 3-D B-spline."""
    return any(base_type(entry.kind) == BSPLINE_TYPE for entry in entries)


def checked_entries(path: Path, role: str, entries: List[Entry], *, bsplines: bool = False) -> List[Entry]:
    """``entries`` if each is a linear 3-D type with the counts ITK writes for it (or, with
    ``bsplines``, a 3-D B-spline with whole control points and its grid's 18 fixed parameters),
    else FileError.

    ``role`` is what the user gave the file as ("matrix file", "transform file"), for messages.
    """
    if not entries:
        raise FileError(f"{role} {path}: holds no ITK transform")
    for entry in entries:
        base = base_type(entry.kind)
        if bsplines and base == BSPLINE_TYPE:
            if entry.fixed != _BSPLINE_FIXED or entry.parameters % 3 or not entry.parameters:
                raise FileError(
                    f"{role} {path}: {entry.kind} holds {entry.parameters} parameters and {entry.fixed} fixed "
                    f"ones; it needs three per control point and {_BSPLINE_FIXED}"
                )
            continue
        if base not in LINEAR_TYPES:
            raise FileError(
                f"{role} {path}: ITK transform type {entry.kind} is not supported; linear 3-D transforms "
                "are read, and displacement fields given with --transform"
            )
        count, fixed = LINEAR_TYPES[base]
        if entry.parameters != count or entry.fixed not in fixed:
            raise FileError(
                f"{role} {path}: {entry.kind} holds {entry.parameters} parameters and {entry.fixed} fixed "
                f"ones; it needs {count} and {' or '.join(map(str, fixed))}"
            )
    return entries


def text_entries(text: str) -> List[Entry]:
    """The transforms of an ITK text file, in order."""
    entries: List[Entry] = []
    kind, counts = "", {"Parameters": 0, "FixedParameters": 0}
    for line in text.splitlines() + ["Transform: end"]:
        key, _, value = line.strip().partition(":")
        if key == "Transform":
            if kind:
                entries.append(Entry(kind, counts["Parameters"], counts["FixedParameters"]))
            kind, counts = value.strip(), {"Parameters": 0, "FixedParameters": 0}
        elif key in counts:
            counts[key] = len(value.split())
    return entries


def matlab_entries(path: Path, role: str, data: bytes) -> List[Entry]:
    """The transform of an ITK MATLAB 4 file: its first variable, and the fixed parameters."""
    sizes: Dict[str, int] = {}
    order: List[str] = []
    at = 0
    while at + 20 <= len(data):
        code, rows, columns, imaginary, length = struct.unpack_from("<5i", data, at)
        element = _MATLAB_BYTES.get(code % 100 // 10)
        if code < 0 or code >= 100 or element is None or min(rows, columns, length) < 0 or imaginary:
            raise FileError(f"{role} {path}: not an ITK MATLAB transform file")
        name = data[at + 20 : at + 20 + length].rstrip(b"\0").decode("ascii", "replace")
        at += 20 + length + rows * columns * element
        if at > len(data):
            raise FileError(f"{role} {path}: its data end early")
        sizes[name] = rows * columns
        order.append(name)
    transforms = [name for name in order if name != "fixed"]
    if len(transforms) != 1:
        raise FileError(f"{role} {path}: not an ITK MATLAB transform file")
    return [Entry(transforms[0], sizes[transforms[0]], sizes.get("fixed", 0))]


def hdf5_entries(path: Path, role: str) -> List[Entry]:
    """The transforms of an ITK HDF5 file, in the order of its TransformGroup."""
    with itk_groups(path, role) as items:
        try:
            return [
                Entry(type_of(item), _size(item, "TransformParameters"), _size(item, "TransformFixedParameters"))
                for item in items
            ]
        except (KeyError, ValueError, TypeError, OSError) as error:  # h5py's for groups ITK did not write
            raise FileError(f"{role} {path}: not an ITK HDF5 transform file ({error})") from None


def _size(item: Any, name: str) -> int:
    """How many values a group's dataset holds, without reading them (a field's are many)."""
    return int(item[name].size) if name in item else 0
