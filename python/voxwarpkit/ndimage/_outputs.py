"""Where a result goes, by scipy.ndimage's rules for ``output``: None (the input's type), a
dtype or type, a string naming one, or an array of the output's shape that is written in place."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray


def output_array(
    output: Any, input: NDArray[Any], shape: Tuple[int, ...], complex_output: bool = False
) -> NDArray[Any]:
    """The array the result is written into: ``output`` itself when it is an array (its shape
    checked), else a new one of zeros of the type it names (the input's when None)."""
    if output is None:
        if complex_output:
            return np.zeros(shape, dtype=np.promote_types(input.dtype, np.complex64))
        return np.zeros(shape, dtype=input.dtype.name)
    if isinstance(output, (type, np.dtype)):
        if complex_output and np.dtype(output).kind != "c":
            warnings.warn("promoting specified output dtype to complex", stacklevel=4)
            output = np.promote_types(output, np.complex64)
        return np.zeros(shape, dtype=output)
    if isinstance(output, str):
        dtype = np.dtype(output)
        if complex_output and dtype.kind != "c":
            raise RuntimeError("output must have complex dtype")
        if not issubclass(dtype.type, np.number):
            raise RuntimeError("output must have numeric dtype")
        return np.zeros(shape, dtype=dtype)
    array = np.asarray(output)
    if array.shape != tuple(shape):
        raise RuntimeError("output shape not correct")
    if complex_output and array.dtype.kind != "c":
        raise RuntimeError("output must have complex dtype")
    return array
