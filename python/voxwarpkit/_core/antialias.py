"""How much anti-aliasing smooths the input: a Gaussian's sigma per input axis,
from the output's spacing as the matrices carry it onto the input.

Along input axis a (x, y, z), one output step along axis b moves
``|L[a, b]| * osp[b]`` physical units, ``L`` the linear part of the
output -> input matrix, or ``|L[a, b]| * osp[b] / sp[a]`` input voxels; the
largest of these over b is the ratio of output to input spacing along a,
and the smoothing's sigma is ``(ratio - 1) / 2`` voxels where that is
positive (scikit-image's ``resize``), none otherwise. Every step is float64
from the float32 numbers the kernel uses, in that order. With one matrix per
volume each volume is smoothed by its own matrix's sigmas, so a volume
resampled alone is the same as in its stack.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray


Sigmas = Tuple[Tuple[float, float, float], ...]


def antialias_sigmas(
    matrices: NDArray[np.float32], voxel_size: NDArray[np.float32], output_voxel_size: NDArray[np.float32]
) -> Sigmas:
    """The sigmas (along x, y, z, in input voxels) of each of ``matrices`` ``(n, 12)``,
    given the input's spacing and the output's, all float32."""
    linear = np.abs(matrices.astype(np.float64).reshape(-1, 3, 4)[:, :, :3])
    steps = linear * output_voxel_size.astype(np.float64)  # [matrix, a, b]: |L[a, b]| * osp[b]
    ratios = (steps / voxel_size.astype(np.float64)[:, np.newaxis]).max(axis=2)
    return tuple((_sigma(x), _sigma(y), _sigma(z)) for x, y, z in ratios.tolist())


def _sigma(ratio: float) -> float:
    return max(0.0, (ratio - 1.0) / 2.0)
