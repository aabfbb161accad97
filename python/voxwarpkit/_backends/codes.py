"""The codes of the compiled engine's enums, as the engine itself exports them, under the package's names.

The CPU engine's calls take methods, edge rules, result types and blendings as these codes; the
package's checks read from here which result types a blend can write. It depends on nothing of the
package but the compiled module, so that the checks below the engines may read it.
"""

from __future__ import annotations

from typing import Any, Tuple

import numpy as np

from .._engine import BLENDING_CODES, EDGE_RULE_CODES, METHOD_CODES, RESULT_TYPE_CODES

# The element types a blend writes, as numpy's dtypes, in the order messages list them: the
# integers by size, signed first, then the floats.
BLEND_RESULT_TYPES: Tuple[np.dtype[Any], ...] = tuple(
    sorted((np.dtype(name) for name in RESULT_TYPE_CODES), key=lambda t: (t.kind == "f", t.itemsize, t.kind == "u"))
)

# The blendings of fusion, in the order of the engine's enum.
BLENDING_NAMES: Tuple[str, ...] = tuple(name for name, _ in sorted(BLENDING_CODES.items(), key=lambda item: item[1]))

__all__ = ["BLENDING_CODES", "BLENDING_NAMES", "BLEND_RESULT_TYPES", "EDGE_RULE_CODES", "METHOD_CODES"]


def result_type_code(dtype: np.dtype[Any]) -> int:
    """The engine's code of the result type ``dtype``; KeyError for one no blend writes."""
    return RESULT_TYPE_CODES[np.dtype(dtype).name]
