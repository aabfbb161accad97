"""``apply --transform``: transform files and a motion matrix file as one chain, output -> input.

The files apply in the order given, the first to the output's position (as
antsApplyTransforms takes its list: ANTs maps a fixed point x to A(x + u(x))
for ``-t Warp -t Affine``); a file marked inverted (ANTs' ``[file,1]``)
applies the inverse of its linear transforms, where it stands; a
``--matrix`` file is the input's motion (one matrix, or one per volume),
applied last: it maps a position of the input's grid at rest to that
volume's, so its plain matrices are in the input's frame at both ends, and
FSL's (FLIRT's and MCFLIRT's) and AFNI's have the input as both reference and moving image.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from .._core.affine import affine4, inverse4, not_singular
from .._core.grid import Grid, WorldStep, fold, has_field, index_to_physical, physical_chain, world_to_index
from .._core.words import counted
from ..bspline import WARPS
from ..io.transforms.files import read_transform_file
from ..io.transforms.matrixtext import MatrixSource, read_matrix_source
from ..io.transforms.registration import TRANSFORM_FORMATS
from .errors import CommandError
from .options import ChainFile

if TYPE_CHECKING:
    from numpy.typing import NDArray

# The kernel's (n, 12) matrices, or a chain with displacement fields.
MatrixOrChain = Union["NDArray[np.float32]", List[Any]]


def chain_matrices(
    files: Sequence[ChainFile],
    matrix_path: Optional[Path],
    *,
    source: Path,
    input_grid: Grid,
    input_space: Any,
    grid: Grid,
    output_space: Any,
    volumes: int,
    convention: Optional[str],
    inverse: bool,
) -> Tuple[MatrixOrChain, str]:
    """What the matrix takes for the files' chain onto ``grid``, and the summary line's words for it.

    ``input_space`` and ``output_space`` are nibabel images of the input's
    and the output's grids, which FSL's and AFNI's matrices are defined on.
    """
    steps: List[WorldStep] = []
    for file in files:
        read = read_transform_file(file.path, reference=output_space, moving=input_space)
        _check_count(read, file.path, source, volumes)
        steps += _inverted(read, file.path) if file.inverted else read
    how = " through " + ", ".join(f"[{file.path},1]" if file.inverted else str(file.path) for file in files)
    if matrix_path is not None:
        motion = read_matrix_source(matrix_path, reference=input_space, moving=input_space)
        steps.append(_motion(motion, matrix_path, input_grid, convention, inverse))
        _check_count(steps[-1:], matrix_path, source, volumes)
        how += f" and the motion from {matrix_path}"
    try:
        if has_field(steps):
            return physical_chain(steps, input_grid, grid, volumes), how
        world = np.asarray(fold(steps, volumes)[0])
        return index_to_physical(world_to_index(world, input_grid, grid), input_grid, grid), how
    except ValueError as error:
        raise CommandError(f"the transforms from {files[0].path} on: {error}") from None


def _inverted(steps: List[WorldStep], path: Path) -> List[WorldStep]:
    """The inverse of a file's steps: its matrices inverted, last first; CommandError for a field,
    whose inverse is no step of a chain."""
    stacks = [step for step in steps if not isinstance(step, WARPS)]
    if len(stacks) < len(steps):
        raise CommandError(
            f"transform file {path}: [FILE,1] inverts linear transforms, and this file holds a displacement "
            "field or a B-spline; give the inverse field the registration wrote (ANTs: its *InverseWarp.nii.gz)"
        )
    try:
        return [np.stack([inverse4(matrix) for matrix in stack]) for stack in reversed(stacks)]
    except ValueError as error:
        raise CommandError(f"transform file {path}: {error}") from None


def _check_count(steps: List[WorldStep], path: Path, source: Path, volumes: int) -> None:
    """CommandError for a matrix stack that is neither one matrix nor one per volume."""
    for step in steps:
        if not isinstance(step, WARPS) and len(step) not in (1, volumes):
            raise CommandError(
                f"{path} holds {counted(len(step), 'matrix', 'matrices')} but input {source} has "
                f"{counted(volumes, 'volume')}; give one matrix, or one per volume"
            )


def _motion(
    source: MatrixSource, path: Path, grid: Grid, convention: Optional[str], inverse: bool
) -> NDArray[np.float64]:
    """The motion file's matrices as (n, 4, 4) world matrices of the input's grid at both ends."""
    if source.fmt is not None and convention is not None:
        raise CommandError(
            f"matrix file {path} ({TRANSFORM_FORMATS[source.fmt].one}): --convention applies to plain matrix files"
        )
    to_world = grid.affine
    if source.space == "plain" and convention != "index":
        to_world = grid.affine @ np.diag([*(1.0 / np.array(grid.zooms)), 1.0])  # physical: index * zooms
    worlds = []
    for index, matrix in enumerate(source.matrices):
        try:
            # A singular motion flattens the input: a broken file.
            forward = inverse4(affine4(matrix)) if inverse else not_singular(affine4(matrix))
            worlds.append(forward if source.space == "world" else to_world @ forward @ inverse4(to_world))
        except ValueError as error:
            which = f"matrix {index + 1}: " if len(source.matrices) > 1 else ""
            raise CommandError(f"matrix file {path}: {which}{error}") from None
    return np.stack(worlds)
