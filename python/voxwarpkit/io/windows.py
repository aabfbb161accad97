"""Arrays of a file format read as another array would be, so that tasks read their windows straight
from the file: axes reversed (NIfTI's i, j, k read as z, y, x), flipped (an OME-Zarr grid whose axes
would run backwards), or with axes of length 1 left out (a TIFF series' channel)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Sequence, Tuple

import numpy as np

from .._lazy.windows import Windows

if TYPE_CHECKING:
    from numpy.typing import NDArray


class Flipped:
    """An array read through another with some axes reversed: index i of a flipped axis of length n
    is index n - 1 - i of the array underneath. Pickles as the array and the axes."""

    def __init__(self, array: Any, axes: Sequence[int]) -> None:
        self.array, self.axes = array, tuple(axes)
        self.shape, self.dtype = tuple(array.shape), array.dtype

    def __getitem__(self, region: Tuple[slice, ...]) -> NDArray[Any]:
        turned = list(region)
        for axis in self.axes:
            start, stop, _ = region[axis].indices(self.shape[axis])
            turned[axis] = slice(self.shape[axis] - stop, self.shape[axis] - start)
        values = np.asarray(self.array[tuple(turned)])
        return values[tuple(slice(None, None, -1) if a in self.axes else slice(None) for a in range(values.ndim))]


def flipped(windows: Windows, axes: Sequence[int]) -> Windows:
    """``windows`` read with ``axes`` reversed, in chunks that follow the store's (reversed too)."""
    chunks = tuple(axis[::-1] if a in axes else axis for a, axis in enumerate(windows.chunks))
    assert windows.after is None, "a level being written is never flipped"
    name = f"{windows.name}-flipped-{'-'.join(map(str, axes))}"
    return Windows(Flipped(windows.array, axes), chunks, name, cached=windows.read.cached)


class Transposed:
    """An array read with its axes reversed, as a NIfTI file's (i, j, k, t) is read as (t, k, j, i)."""

    def __init__(self, array: Any) -> None:
        self.array = array
        self.shape, self.dtype = tuple(array.shape)[::-1], np.dtype(array.dtype)

    def __getitem__(self, region: Tuple[slice, ...]) -> NDArray[Any]:
        return np.asarray(self.array[tuple(region[::-1])]).T


class Squeezed:
    """An array read without its axes of length 1 that ``kept`` leaves out (a TIFF series' channel,
    say): each of those is read at index 0."""

    def __init__(self, array: Any, kept: Sequence[int]) -> None:
        self.array, self.kept = array, tuple(kept)
        self.shape = tuple(int(array.shape[a]) for a in self.kept)
        self.dtype = np.dtype(array.dtype)

    def __getitem__(self, region: Tuple[slice, ...]) -> NDArray[Any]:
        index: List[Any] = [0] * len(self.array.shape)
        for axis, part in zip(self.kept, region):
            index[axis] = part
        return np.asarray(self.array[tuple(index)])
