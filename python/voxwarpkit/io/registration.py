"""Affine transform files of registration tools, read through nitransforms.

Every reader here returns RAS+ world matrices that map a position of the
reference image (the output grid) to a position of the moving image (the
input): the direction resampling needs, and nitransforms' own convention.
nitransforms does each tool's conversion:

=====================  ===========================================  ==========================
format                 what the tool stores                         what nitransforms does
=====================  ===========================================  ==========================
ITK/ANTs .tfm, .txt,   reference -> moving, LPS world, about the    flips LPS to RAS, folds
.mat                   centre in FixedParameters                    the centre into the shift
FSL FLIRT .mat         moving -> reference, FSL's scaled voxel      inverts, and goes through
                       coordinates (x flipped for a positive        both images' grids
                       determinant)
AFNI .1D               reference -> moving, LPS (DICOM) world;      flips LPS to RAS, undoes
                       one line of 12 numbers per matrix            AFNI's de-obliquing
FreeSurfer .lta        moving (src) -> reference (dst), RAS world   inverts; converts voxel
                       or voxel to voxel                            matrices with the file's
                                                                    own src and dst grids
=====================  ===========================================  ==========================

nitransforms is imported only when such a file is read, so that the package
works without it.
"""

from __future__ import annotations

import importlib
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from .errors import FileError, first_line

if TYPE_CHECKING:
    from numpy.typing import NDArray

# What each nitransforms format is called in messages.
FORMAT_NAMES = {
    "itk": "ITK/ANTs transform",
    "fsl": "FSL FLIRT matrix",
    "afni": "AFNI matrix file",
    "lta": "FreeSurfer LTA",
}
_ITK_BANNER = b"#Insight Transform File"
# nitransforms reads the Parameters of every ITK text transform as a 3x3
# matrix and a translation, whatever its type: other types with 12
# parameters (ComposeScaleSkewVersor3DTransform) would be misread silently.
_ITK_MATRIX_TYPES = ("AffineTransform_", "MatrixOffsetTransformBase_")
# Files that hold displacement fields or chains of transforms, not one affine.
_NOT_AFFINE = (".h5", ".x5", ".nii", ".nii.gz")


def registration_format(path: Path) -> Optional[str]:
    """The nitransforms format ("itk", "fsl", "afni", "lta") of ``path``, or None for plain text.

    The name's ending decides, except that a ``.mat`` file is ITK's binary
    MATLAB format or FSL's text by its content, and any other file that
    starts with ITK's banner is an ITK text transform (ANTs writes them as
    ``.txt``).
    """
    name = path.name.lower()
    if name.endswith(_NOT_AFFINE):
        raise FileError(
            f"matrix file {path}: displacement fields and composite transforms are not "
            "supported; give an affine matrix or transform file"
        )
    if name.endswith(".lta"):
        return "lta"
    if name.endswith(".1d"):
        return "afni"
    if name.endswith(".tfm"):
        return "itk"
    head = _head(path)
    if name.endswith(".mat"):
        return "itk" if _is_binary(head) else "fsl"
    return "itk" if head.lstrip().startswith(_ITK_BANNER) else None


def _head(path: Path) -> bytes:
    """The first bytes of ``path``, enough to tell its format."""
    try:
        with open(path, "rb") as stream:
            return stream.read(512)
    except FileNotFoundError:
        raise FileError(f"matrix file {path}: no such file") from None
    except OSError as error:
        raise FileError(f"matrix file {path}: cannot read it ({error.strerror})") from None


def _is_binary(head: bytes) -> bool:
    """Whether a file starting with ``head`` is a MATLAB file rather than text.

    MATLAB 4 files, which ITK writes, start with four int32 header fields
    that hold zero bytes; MATLAB 5 files start with their banner.
    """
    return head.startswith(b"MATLAB") or b"\0" in head


def read_registration(path: Path, fmt: str, *, reference: Any = None, moving: Any = None) -> NDArray[np.float64]:
    """The transforms in ``path`` as (n, 4, 4) RAS+ world matrices, reference -> moving.

    ``fmt`` is what :func:`registration_format` returned. ``reference``
    (the output grid) and ``moving`` (the input) are nibabel images or
    paths: FSL matrices need both; AFNI matrices use them when an image is
    oblique; ITK and LTA files do not need them.
    """
    name = FORMAT_NAMES[fmt]
    if fmt == "fsl" and (reference is None or moving is None):
        raise FileError(
            f"matrix file {path} ({name}): reading it needs the reference (output) and "
            "moving (input) images, as FSL matrices are defined on their voxel grids"
        )
    binary = fmt == "itk" and _is_binary(_head(path))
    if fmt == "itk" and not binary:
        _check_itk_types(path)
    io = _nitransforms_io(path, name)
    try:
        # ITK's binary files hold a single transform, read by the non-array type.
        struct = io.get_linear_factory(fmt, is_array=not binary).from_filename(str(path))
        ras = struct.to_ras(reference=reference, moving=moving)
    except MemoryError:
        raise
    except Exception as error:  # nitransforms raises many types for files it cannot parse
        raise FileError(f"matrix file {path} ({name}): cannot read it ({_reason(error)})") from None
    matrices = np.asarray(ras, dtype=np.float64).reshape(-1, 4, 4)
    if not np.all(np.isfinite(matrices)):
        raise FileError(f"matrix file {path} ({name}): its matrices are not finite")
    return matrices


def _check_itk_types(path: Path) -> None:
    """FileError unless every transform in the ITK text file is a 3-D affine matrix."""
    text = path.read_text(encoding="utf-8", errors="replace")
    for line in text.splitlines():
        if line.strip().startswith("Transform:"):
            kind = line.split(":", 1)[1].strip()
            if not (kind.startswith(_ITK_MATRIX_TYPES) and kind.endswith("_3_3")):
                raise FileError(
                    f"matrix file {path}: ITK transform type {kind} is not supported; "
                    "only 3-D AffineTransform and MatrixOffsetTransformBase are read"
                )


def _nitransforms_io(path: Path, name: str) -> Any:
    """nitransforms.io, or a FileError that says how to install it."""
    try:
        return importlib.import_module("nitransforms.io")
    except ImportError:
        raise FileError(
            f"matrix file {path} ({name}): reading it needs nitransforms, "
            "which is not installed: pip install 'voxwarpkit[cli]'"
        ) from None


def _reason(error: BaseException) -> str:
    """The error's type and the first line of its message."""
    kind, line = type(error).__name__, first_line(error)
    return f"{kind}: {line}" if line else kind
