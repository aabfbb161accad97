"""Matrix files: one matrix, or one per volume, from text, a folder or a registration tool.

Plain text holds numbers separated by blanks, commas or semicolons (brackets
are ignored, so a printed numpy array works); ``#`` starts a comment that
runs to the end of the line. The layout decides how many matrices it holds:

- exactly 12 or 16 numbers, laid out in any way: one 3x4 or 4x4 matrix;
- lines of 12 numbers: one 3x4 matrix per line, row by row;
- lines of 4 numbers in blocks of 4 lines, each ending ``0 0 0 1``: one 4x4
  matrix per block; blank or comment lines may separate the blocks.

The line structure decides, not the count alone: 48 numbers are four 3x4
matrices on 4 lines, or three 4x4 matrices on 12.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Literal, Optional, Tuple, Union

import numpy as np

from ..._core.affine import affine4
from ..._core.words import counted
from ..errors import FileError
from .registration import TRANSFORM_FORMATS, read_registration, registration_format

if TYPE_CHECKING:
    from numpy.typing import NDArray

# -m gives matrix files; the registration readers' messages name them so.
_ROLE = "matrix file"
_SEPARATORS = re.compile(r"[\s,;\[\]]+")
_LAST_ROW = (0.0, 0.0, 0.0, 1.0)
_EXPECTED = (
    "it needs 12 (a 3x4 matrix) or 16 (a 4x4 matrix), or one matrix per volume: "
    "lines of 12 numbers (3x4, row by row) or blocks of 4 lines of 4 numbers (4x4)"
)


@dataclass(frozen=True)
class MatrixSource:
    """The matrices of a matrix file or folder.

    ``matrices`` has shape (n, 4, 4), float64: one matrix for every volume,
    or n matrices for the n volumes of a 4-D image, in order. In ``space``
    "plain" they are read later by the command line's convention (physical or
    index, output -> input unless inverted); in "world" they map an output
    (reference) RAS+ world position to an input (moving) one. ``fmt`` is
    the registration tool's format of world matrices (a key of
    :data:`voxwarpkit.io.transforms.registration.TRANSFORM_FORMATS`), None for plain ones.
    """

    matrices: NDArray[np.float64]
    space: Literal["plain", "world"]
    fmt: Optional[str] = None


def read_matrix_source(path: Path, *, reference: Any = None, moving: Any = None) -> MatrixSource:
    """The matrices in the file or folder ``path``.

    Transform files of registration tools (ITK/ANTs, FSL FLIRT and MCFLIRT,
    AFNI, FreeSurfer LTA) give world matrices; for those ``reference`` and
    ``moving`` are the output and input images (nibabel images or paths),
    which FSL's matrices need. A folder holds one file per volume, read in
    name order with digit runs compared as numbers (``vol2`` before
    ``vol10``), hidden files left out, each as it would be read alone: plain
    text of 12 or 16 numbers, or one registration tool's transform, such as
    the ``MAT_0000``, ``MAT_0001``, ... that MCFLIRT writes.
    """
    if path.is_dir():
        return _read_folder(path, reference, moving)
    if not path.exists():
        raise FileError(f"matrix file {path}: no such file")
    fmt = registration_format(path, _ROLE)
    if fmt is not None:
        return MatrixSource(read_registration(path, fmt, _ROLE, reference=reference, moving=moving), "world", fmt)
    return MatrixSource(_matrices_in_text(_read_text(path), path), "plain")


def _read_folder(folder: Path, reference: Any, moving: Any) -> MatrixSource:
    """One matrix from each file of ``folder``; all its files must be of one kind, which decides how all are read."""
    try:
        entries = [entry for entry in folder.iterdir() if not entry.name.startswith(".")]
    except OSError as error:
        raise FileError(f"matrix folder {folder}: cannot list it ({error.strerror})") from None
    for entry in entries:
        if not entry.is_file():
            raise FileError(
                f"matrix folder {folder}: {entry.name} is not a file; the folder must hold one matrix file per volume"
            )
    if not entries:
        raise FileError(f"matrix folder {folder}: holds no matrix files")
    files = sorted(entries, key=_natural_key)
    kinds = [registration_format(file, _ROLE) for file in files]
    # Plain matrices and a tool's differ in direction and space: a folder
    # that mixes kinds has no one reading, and guessing would move volumes.
    for file, kind in zip(files, kinds):
        if kind != kinds[0]:
            raise FileError(
                f"matrix folder {folder}: holds files of two kinds ({files[0].name}: {_kind_named(kinds[0])}; "
                f"{file.name}: {_kind_named(kind)}), which are read differently; give a folder of one kind"
            )
    if kinds[0] is None:
        return MatrixSource(np.stack([_one_matrix(_numbers(_read_text(file), file), file) for file in files]), "plain")
    matrices = []
    for file in files:
        read = read_registration(file, kinds[0], _ROLE, reference=reference, moving=moving)
        if len(read) != 1:
            held = counted(len(read), "matrix", "matrices")
            raise FileError(f"matrix file {file} holds {held}; a folder holds one matrix file per volume")
        matrices.append(read[0])
    return MatrixSource(np.stack(matrices), "world", kinds[0])


def _kind_named(fmt: Optional[str]) -> str:
    return "plain text" if fmt is None else TRANSFORM_FORMATS[fmt].one


def _natural_key(path: Path) -> Tuple[Tuple[Union[int, str], ...], str]:
    """Sorts names with their digit runs as numbers; the name itself breaks ties (02 and 2)."""
    # Splitting on a captured group puts the digit runs at the odd positions,
    # so that two keys compare text with text and numbers with numbers.
    parts = re.split(r"(\d+)", path.name)
    return tuple(int(part) if index % 2 else part for index, part in enumerate(parts)), path.name


def _read_text(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise FileError(f"matrix file {path}: no such file") from None
    except UnicodeDecodeError:
        raise FileError(f"matrix file {path}: not a text file") from None
    except OSError as error:
        raise FileError(f"matrix file {path}: cannot read it ({error.strerror})") from None


def _numbers(text: str, path: Path) -> List[Tuple[int, List[float]]]:
    """(line number, numbers) for every line; comment and blank lines have none."""
    lines = []
    for number, line in enumerate(text.splitlines(), start=1):
        values = []
        for word in _SEPARATORS.split(line.split("#", 1)[0]):
            if not word:
                continue
            try:
                value = float(word)
            except ValueError:
                raise FileError(f"matrix file {path}: {word!r} is not a number") from None
            if not math.isfinite(value):
                raise FileError(f"matrix file {path}: {word!r} is not a finite number")
            values.append(value)
        lines.append((number, values))
    return lines


def _one_matrix(lines: List[Tuple[int, List[float]]], path: Path) -> NDArray[np.float64]:
    """The 3x4 or 4x4 matrix of a file of 12 or 16 numbers, as a 4x4."""
    numbers = [value for _, values in lines for value in values]
    if len(numbers) not in (12, 16):
        raise FileError(
            f"matrix file {path} holds {counted(len(numbers), 'number')}; "
            "it needs 12 (a 3x4 matrix) or 16 (a 4x4 matrix)"
        )
    try:
        return affine4(np.array(numbers).reshape(-1, 4))
    except ValueError as error:
        raise FileError(f"matrix file {path}: {error}") from None


def _matrices_in_text(text: str, path: Path) -> NDArray[np.float64]:
    """The (n, 4, 4) matrices of a plain text file, by its line structure."""
    lines = _numbers(text, path)
    filled = [(number, values) for number, values in lines if values]
    count = sum(len(values) for _, values in filled)
    if count in (12, 16):
        return _one_matrix(filled, path)[np.newaxis]
    if filled and all(len(values) == 12 for _, values in filled):
        rows = np.array([values for _, values in filled]).reshape(-1, 3, 4)
        last = np.broadcast_to(np.array(_LAST_ROW), (len(rows), 1, 4))
        return np.concatenate([rows, last], axis=1)
    if filled and all(len(values) == 4 for _, values in filled):
        return np.stack(_blocks(lines, path))
    held = f"{counted(count, 'number')} on {counted(len(filled), 'line')}"
    raise FileError(f"matrix file {path} holds {held}; {_EXPECTED}")


def _blocks(lines: List[Tuple[int, List[float]]], path: Path) -> List[NDArray[np.float64]]:
    """4x4 matrices from runs of lines of 4 numbers, split by blank or comment lines."""
    runs: List[List[Tuple[int, List[float]]]] = [[]]
    for number, values in lines:
        if values:
            runs[-1].append((number, values))
        elif runs[-1]:
            runs.append([])
    blocks = []
    for run in filter(None, runs):
        if len(run) % 4:
            raise FileError(
                f"matrix file {path}: lines {run[0][0]}-{run[-1][0]} hold {counted(len(run), 'row')} of 4 "
                "numbers; 4x4 matrices need blocks of 4 rows"
            )
        for start in range(0, len(run), 4):
            try:
                blocks.append(affine4([values for _, values in run[start : start + 4]]))
            except ValueError as error:
                first, last = run[start][0], run[start + 3][0]
                raise FileError(f"matrix file {path}, lines {first}-{last}: {error}") from None
    return blocks
