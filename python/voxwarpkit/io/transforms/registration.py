"""Affine transform files of registration tools, read through nitransforms and SimpleITK.

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
FSL MCFLIRT MAT_0000   each volume (moving) -> MCFLIRT's            as FLIRT's, with the input
(no extension)         reference, which is the input's own grid     as reference and moving
AFNI .1D               reference -> moving, LPS (DICOM) world;      flips LPS to RAS, undoes
                       one line of 12 numbers per matrix            AFNI's de-obliquing
FreeSurfer .lta        moving (src) -> reference (dst), RAS world   inverts; converts voxel
                       or voxel to voxel                            matrices with the file's
                                                                    own src and dst grids
=====================  ===========================================  ==========================

ITK HDF5 files of affines are read with h5py (:mod:`.itk_hdf5`), as
nitransforms reads them only inside composites. ITK files of other linear
types (Euler3D, VersorRigid3D, Similarity3D, ScaleVersor3D,
ScaleSkewVersor3D, Translation, Scale, ...) and composite transforms are
read by SimpleITK, whose parametrisations they are, after their parameter
counts are checked; the matrix is read off the images of the origin and the
unit vectors and flipped from LPS to RAS.

Every message names the file as the user gave it: ``role`` is "matrix
file" (``-m``) or "transform file" (``-t``).

nitransforms and SimpleITK are imported only when such a file is read, so
that the package works without them.
"""

from __future__ import annotations

import importlib
import re
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional

import numpy as np

from ..._core.extras import not_installed
from ...itk_steps import ras_matrix
from ..errors import FileError, first_line
from .itk_hdf5 import hdf5_affines
from .itk_layout import Entry, checked_entries, hdf5_entries, matlab_entries, text_entries

if TYPE_CHECKING:
    from numpy.typing import NDArray


class Format(NamedTuple):
    """A registration tool's file format: how nitransforms reads it and what messages call it."""

    reader: str  # nitransforms' name of the format
    one: str  # one of its transforms, as in "the FSL FLIRT matrix from flirt.mat"
    many: str  # several, as in "4 FSL MCFLIRT matrices from mats, one per volume"
    own_grid: bool  # its reference is the moving image's own grid, whatever the output grid


TRANSFORM_FORMATS: Dict[str, Format] = {
    "itk": Format("itk", "ITK/ANTs transform", "ITK/ANTs transforms", False),
    "fsl": Format("fsl", "FSL FLIRT matrix", "FSL FLIRT matrices", False),
    # MCFLIRT registers each volume to a volume of the same series.
    "mcflirt": Format("fsl", "FSL MCFLIRT matrix", "FSL MCFLIRT matrices", True),
    "afni": Format("afni", "AFNI matrix", "AFNI matrices", False),
    "lta": Format("lta", "FreeSurfer LTA transform", "FreeSurfer LTA transforms", False),
}
# MCFLIRT's per-volume files: MAT_0000, MAT_0001, ... without an extension.
_MCFLIRT_NAME = re.compile(r"MAT_[0-9]+")
_ITK_BANNER = b"#Insight Transform File"
# nitransforms reads the Parameters of every ITK transform as a 3x3 matrix
# and a translation, whatever its type: it reads these two (one per volume
# when a file holds several), and SimpleITK, whose own parametrisations they
# are, reads every other type and composite transforms.
_ITK_MATRIX_TYPES = ("AffineTransform_", "MatrixOffsetTransformBase_")
# Files that hold displacement fields, not matrices.
_NOT_AFFINE = (".x5", ".nii", ".nii.gz")
# ITK's and ANTs' HDF5 transform files (composite transforms, as ANTs writes them).
_ITK_HDF5 = (".h5", ".hdf5")


def registration_format(path: Path, role: str) -> Optional[str]:
    """The key in :data:`TRANSFORM_FORMATS` of ``path``'s format, or None for plain text.

    The name decides: MCFLIRT's ``MAT_`` and digits, else the ending,
    except that a ``.mat`` file is ITK's binary MATLAB format or FSL
    FLIRT's text by its content, and any other file that starts with ITK's
    banner is an ITK text transform (ANTs writes them as ``.txt``).
    """
    if _MCFLIRT_NAME.fullmatch(path.name):
        return "mcflirt"
    name = path.name.lower()
    if name.endswith(_NOT_AFFINE):
        raise FileError(
            f"{role} {path}: displacement fields are not read here; give an affine matrix or transform "
            "file, or the field with --transform"
        )
    if name.endswith(_ITK_HDF5):
        return "itk"
    if name.endswith(".lta"):
        return "lta"
    if name.endswith(".1d"):
        return "afni"
    if name.endswith(".tfm"):
        return "itk"
    head = _head(path, role)
    if name.endswith(".mat"):
        return "itk" if _is_binary(head) else "fsl"
    return "itk" if head.lstrip().startswith(_ITK_BANNER) else None


def _head(path: Path, role: str) -> bytes:
    """The first bytes of ``path``, enough to tell its format."""
    try:
        with open(path, "rb") as stream:
            return stream.read(512)
    except FileNotFoundError:
        raise FileError(f"{role} {path}: no such file") from None
    except OSError as error:
        raise FileError(f"{role} {path}: cannot read it ({error.strerror})") from None


def _is_binary(head: bytes) -> bool:
    """Whether a file starting with ``head`` is a MATLAB file rather than text.

    MATLAB 4 files, which ITK writes, start with four int32 header fields
    that hold zero bytes; MATLAB 5 files start with their banner.
    """
    return head.startswith(b"MATLAB") or b"\0" in head


def read_registration(
    path: Path, fmt: str, role: str, *, reference: Any = None, moving: Any = None
) -> NDArray[np.float64]:
    """The transforms in ``path`` as (n, 4, 4) RAS+ world matrices, reference -> moving.

    ``fmt`` is what :func:`registration_format` returned. ``reference``
    (the output grid) and ``moving`` (the input) are nibabel images or
    paths: FSL matrices need both (MCFLIRT's only the input, its own
    reference); AFNI matrices use them when an image is oblique; ITK and LTA
    files do not need them.
    """
    form = TRANSFORM_FORMATS[fmt]
    named = f"{role} {path} ({form.one})"
    if form.own_grid:
        reference = moving
    if form.reader == "fsl" and (reference is None or moving is None):
        raise FileError(
            f"{named}: reading it needs the reference (output) and moving (input) images, "
            "as FSL matrices are defined on their voxel grids"
        )
    if fmt == "itk":
        kinds = _itk_types(path, role)
        other = next((kind for kind in kinds if not kind.startswith(_ITK_MATRIX_TYPES)), None)
        if other is not None:
            return _read_with_simpleitk(path, role, named, other)
        if path.name.lower().endswith(_ITK_HDF5):
            return _finite(hdf5_affines(path, role), named)
    binary = fmt == "itk" and _is_binary(_head(path, role))
    io = _nitransforms_io(named)
    try:
        # ITK's binary files hold a single transform, read by the non-array type.
        struct = io.get_linear_factory(form.reader, is_array=not binary).from_filename(str(path))
        ras = struct.to_ras(reference=reference, moving=moving)
    except MemoryError:
        raise
    except Exception as error:  # nitransforms raises many types for files it cannot parse
        raise FileError(f"{named}: cannot read it ({_reason(error)})") from None
    return _finite(np.asarray(ras, dtype=np.float64).reshape(-1, 4, 4), named)


def _finite(matrices: NDArray[np.float64], named: str) -> NDArray[np.float64]:
    if not np.all(np.isfinite(matrices)):
        raise FileError(f"{named}: its matrices are not finite")
    return matrices


def _one_file_per_transform(path: Path, role: str, folder: str) -> List[Path]:
    """``path`` itself when it holds one transform (a composite counts as one), else
    one file in ``folder`` per transform of the text file: SimpleITK reads only
    the first transform of a file."""
    types = _itk_types(path, role)
    if len(types) == 1 or types[0].startswith("CompositeTransform"):
        return [path]
    if path.name.lower().endswith(_ITK_HDF5):
        raise FileError(f"{role} {path}: holds {len(types)} transforms that are not one composite transform")
    lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
    starts = [i for i, line in enumerate(lines) if line.strip().startswith("Transform:")]
    files = []
    for number, (start, stop) in enumerate(zip(starts, starts[1:] + [len(lines)])):
        one = Path(folder) / f"{number}.tfm"
        body = [line for line in lines[start:stop] if not line.startswith("#")]
        one.write_text("\n".join(["#Insight Transform File V1.0", "#Transform 0", *body, ""]), encoding="utf-8")
        files.append(one)
    return files


def itk_entries(path: Path, role: str) -> List[Entry]:
    """The transforms an ITK file holds, in order, unchecked: HDF5, MATLAB 4 or text."""
    if path.name.lower().endswith(_ITK_HDF5):
        return hdf5_entries(path, role)
    if _is_binary(_head(path, role)):
        return matlab_entries(path, role, path.read_bytes())
    return text_entries(path.read_text(encoding="utf-8", errors="replace"))


def _itk_types(path: Path, role: str) -> List[str]:
    """The transform types an ITK file holds, in order, each checked to be a linear
    3-D type with the parameter counts ITK writes for it."""
    return [entry.kind for entry in checked_entries(path, role, itk_entries(path, role))]


def _read_with_simpleitk(path: Path, role: str, named: str, kind: str) -> NDArray[np.float64]:
    """The transforms of an ITK file as (n, 4, 4) RAS+ world matrices, read by SimpleITK.

    ``kind`` is the first type that is not a plain affine. A composite
    transform is one matrix, its parts applied as ITK applies them; a text
    file of several plain transforms holds one per volume. Each must be
    linear: its matrix is read off the images of the origin and the three
    unit vectors, in ITK's LPS+ world, and turned to RAS+.
    """
    try:
        sitk = importlib.import_module("SimpleITK")
    except ImportError:
        # ITK's own code is the definition of these types' parameters, and
        # of the order in which a composite applies its parts.
        raise FileError(
            not_installed(
                f"{named}: its {kind}, whose parameters only ITK's own code turns into a matrix,", "SimpleITK"
            )
        ) from None
    with tempfile.TemporaryDirectory() as folder:
        return _linear_matrices(sitk, path, role, named, folder)


def _linear_matrices(sitk: Any, path: Path, role: str, named: str, folder: str) -> NDArray[np.float64]:
    """The RAS+ matrices of ``path``'s transforms; ``folder`` takes the files a text file is split into."""
    try:
        parts = [sitk.ReadTransform(str(one)) for one in _one_file_per_transform(path, role, folder)]
    except FileError:
        raise
    except Exception as error:  # SimpleITK raises RuntimeError with ITK's own message
        raise FileError(f"{named}: cannot read it ({itk_reason(error)})") from None
    matrices = []
    for part in parts:
        if part.GetDimension() != 3 or not part.IsLinear():
            raise FileError(
                f"{named}: {part.GetName()} is not a linear 3-D transform; displacement fields are read "
                "with --transform"
            )
        matrices.append(ras_matrix(part))
    return _finite(np.stack(matrices), named)


def _nitransforms_io(named: str) -> Any:
    """nitransforms.io, or a FileError that says how to install it."""
    try:
        return importlib.import_module("nitransforms.io")
    except ImportError:
        raise FileError(not_installed(f"{named}: reading it", "nitransforms")) from None


def itk_reason(error: BaseException) -> str:
    """ITK's own words for a failure: the line after the source location that SimpleITK puts first."""
    for line in str(error).splitlines():
        if "ITK ERROR:" in line:
            words = line.split("ITK ERROR:", 1)[1].strip()
            return words.split(": ", 1)[1] if "): " in words else words  # without the object's address
    return _reason(error)


def _reason(error: BaseException) -> str:
    """The error's type and the first line of its message."""
    kind, line = type(error).__name__, first_line(error)
    return f"{kind}: {line}" if line else kind
