"""Read a 3x4 or 4x4 matrix from a text file."""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from .errors import CommandError

if TYPE_CHECKING:
    from numpy.typing import NDArray

_SEPARATORS = re.compile(r"[\s,;\[\]]+")


def read_matrix_file(path: Path) -> NDArray[np.float64]:
    """The matrix in ``path`` as a 3x4 or 4x4 float64 array.

    The file holds 12 or 16 numbers in row-major order, separated by blanks,
    commas or semicolons (brackets are ignored, so a printed numpy array
    works); ``#`` starts a comment that runs to the end of the line.
    """
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise CommandError(f"matrix file {path}: no such file") from None
    except UnicodeDecodeError:
        raise CommandError(f"matrix file {path}: not a text file") from None
    except OSError as error:
        raise CommandError(f"matrix file {path}: cannot read it ({error.strerror})") from None
    words = [
        word
        for line in text.splitlines()
        for word in _SEPARATORS.split(line.split("#", 1)[0])
        if word
    ]
    numbers = []
    for word in words:
        try:
            number = float(word)
        except ValueError:
            raise CommandError(f"matrix file {path}: {word!r} is not a number") from None
        if not math.isfinite(number):
            raise CommandError(f"matrix file {path}: {word!r} is not a finite number")
        numbers.append(number)
    if len(numbers) not in (12, 16):
        raise CommandError(
            f"matrix file {path} holds {len(numbers)} numbers; "
            "it needs 12 (a 3x4 matrix) or 16 (a 4x4 matrix)"
        )
    return np.array(numbers, dtype=np.float64).reshape(-1, 4)
