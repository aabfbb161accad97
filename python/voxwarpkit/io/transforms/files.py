"""Transform files of registration tools as world-space steps, read through nitransforms.

Each file becomes the steps of :mod:`voxwarpkit.warps`: RAS+ world matrices
and displacement fields that map the output (the reference) to the input
(the moving image), as nitransforms defines them:

========================  =====================================================
file                      read as
========================  =====================================================
.nii, .nii.gz (i,j,k,1,3)  ITK/ANTs (or AFNI) displacement field, LPS+ vectors
.nii, .nii.gz (i,j,k,3)    FSL displacement field (nitransforms' reading of it),
                          when its intent code says so (FSL writes 2006)
.h5 with a field          ITK/ANTs composite transform, applied as ITK does
                          (its last transform first), or a lone field, as
                          SimpleITK writes a DisplacementFieldTransform
.x5                       nitransforms' own format: its first chain, or its
                          one transform
ITK's .tfm, .txt, .mat,   read by SimpleITK when it holds a cubic B-spline
.h5 with a B-spline       (a BSplineTransform, alone or in a composite,
                          with the composite's other parts), as ITK applies
                          it
anything else             the linear transforms of
                          :func:`voxwarpkit.io.transforms.registration.read_registration`
========================  =====================================================
"""

from __future__ import annotations

import importlib
import warnings
from pathlib import Path
from typing import Any, List

import numpy as np

from ..._core.extras import not_installed
from ..._core.grid import WorldStep
from ...itk_steps import simpleitk_steps
from ...warps import field_steps, world_steps
from ..errors import FileError, first_line
from .itk_hdf5 import hdf5_field, itk_groups, type_of
from .itk_layout import Entry, checked_entries, holds_bspline
from .registration import itk_entries, itk_reason, read_registration, registration_format

# -t gives transform files; the shared readers' messages name them so.
_ROLE = "transform file"
_FIELDS = (".nii", ".nii.gz")
_HDF5 = (".h5", ".hdf5")

# The sign that turns each layout's vectors into RAS+: ITK's are LPS+; nitransforms reads FSL's
# with x flipped.
_ITK_TO_RAS = (-1.0, -1.0, 1.0)
_FSL_TO_RAS = (-1.0, 1.0, 1.0)
# NIfTI intent codes of a 4-D image of three volumes: what FSL writes on a displacement field
# (FSL_FNIRT_DISPLACEMENT_FIELD) and NIfTI's own displacement vector; and FSL's coefficient files,
# which are no fields.
_FIELD_INTENTS = (2006, 1006)
_COEFFICIENT_INTENTS = (2007, 2008, 2009, 2016, 2017)


def read_transform_file(path: Path, *, reference: Any, moving: Any) -> List[WorldStep]:
    """The steps of the transform file ``path``, output world -> input world.

    ``reference`` (the output grid) and ``moving`` (the input) are nibabel
    images, which FSL's and AFNI's matrices are defined on. Raises FileError
    for a file that is missing, of no known kind or that nitransforms cannot
    read, naming the file.
    """
    name = path.name.lower()
    if not path.is_file():
        raise FileError(f"transform file {path}: no such file")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # nitransforms warns of headers it fixes itself
            if name.endswith(_FIELDS):
                return _nifti_field(path)
            if name.endswith(".x5"):
                return world_steps(_x5_transform(path))
            if _is_itk(path) and holds_bspline(entries := itk_entries(path, _ROLE)):
                return _itk_bsplines(path, checked_entries(path, _ROLE, entries, bsplines=True))
            if name.endswith(_HDF5):
                return _itk_hdf5(path, reference, moving)
            return [_linear(path, reference, moving)]
    except (FileError, MemoryError):
        raise
    except ImportError as error:
        raise FileError(not_installed(f"transform file {path}: reading it", error.name or "a package")) from None
    except Exception as error:  # nitransforms and h5py raise many types for files they cannot parse
        reason = first_line(error) or type(error).__name__
        raise FileError(f"transform file {path}: cannot read it ({type(error).__name__}: {reason})") from None


def _nifti_field(path: Path) -> List[WorldStep]:
    """A displacement field image, read with nibabel straight into the engine's layout: ITK's
    5-D (i, j, k, 1, 3), or FSL's 4-D (i, j, k, 3) where its intent code says it is one (a 4-D
    image of three volumes may as well be a time series)."""
    nib = importlib.import_module("nibabel")
    image = nib.load(str(path))
    shape = tuple(image.shape)
    if len(shape) == 5 and shape[3:] == (1, 3):
        signs = _ITK_TO_RAS
    elif len(shape) == 4 and shape[3] == 3:
        intent = int(image.header["intent_code"])
        if intent in _COEFFICIENT_INTENTS:
            raise FileError(
                f"transform file {path}: FSL's spline or DCT coefficients (intent code {intent}), not a "
                "displacement field; make one with FSL's fnirtfileutils or convertwarp"
            )
        if intent not in _FIELD_INTENTS:
            raise FileError(
                f"transform file {path}: an image of shape {shape} whose header (intent code {intent}) does "
                "not say it is a displacement field; FSL marks its fields with intent code 2006 "
                "(nibabel: img.header.set_intent('fnirt disp field'))"
            )
        signs = _FSL_TO_RAS
    else:
        raise FileError(
            f"transform file {path}: an image of shape {shape} is no displacement field; one is "
            "(i, j, k, 1, 3) (ITK, ANTs, AFNI) or (i, j, k, 3) (FSL)"
        )
    vectors = np.asarray(image.dataobj, dtype=np.float64).reshape((*shape[:3], 3))
    return field_steps(vectors * signs, np.asarray(image.affine, dtype=np.float64))


def _is_itk(path: Path) -> bool:
    """Whether ``path`` is one of ITK's transform files, by its name or its banner."""
    name = path.name.lower()
    return not name.endswith(_FIELDS) and registration_format(path, _ROLE) == "itk"


def _itk_bsplines(path: Path, entries: List[Entry]) -> List[WorldStep]:
    """The steps of an ITK file that holds a B-spline, read by SimpleITK: its one transform, or its composite."""
    if len(entries) > 1 and not entries[0].kind.startswith("CompositeTransform"):
        raise FileError(f"transform file {path}: holds {len(entries)} transforms that are not one composite transform")
    try:
        sitk = importlib.import_module("SimpleITK")
    except ImportError:
        raise FileError(
            not_installed(f"transform file {path}: its B-spline, which SimpleITK reads,", "SimpleITK")
        ) from None
    try:
        transform = sitk.ReadTransform(str(path))
    except RuntimeError as error:  # SimpleITK's, with ITK's own message
        raise FileError(f"transform file {path}: cannot read it ({itk_reason(error)})") from None
    try:
        return simpleitk_steps(transform)
    except ValueError as error:
        raise FileError(f"transform file {path}: {error}") from None


def _x5_transform(path: Path) -> Any:
    """An X5 file's first chain, or its only transform."""
    manip = importlib.import_module("nitransforms.manip")
    h5py = importlib.import_module("h5py")
    with h5py.File(str(path), "r") as stored:
        chained = "TransformChain" in stored
    if chained:
        return manip.TransformChain.from_filename(str(path))
    transforms = manip.TransformChain.from_filename(str(path), x5_chain=None)
    if len(transforms) != 1:
        raise FileError(f"transform file {path}: holds {len(transforms)} transforms and no chain to apply them in")
    return transforms[0]


def _itk_hdf5(path: Path, reference: Any, moving: Any) -> List[WorldStep]:
    """The steps of an ITK HDF5 file: a lone displacement field, a composite with fields, or linear transforms."""
    with itk_groups(path, _ROLE) as items:
        kinds = [type_of(item) for item in items]
    fields = sum(kind.startswith("DisplacementFieldTransform") for kind in kinds)
    if not fields:
        return [_linear(path, reference, moving)]
    if len(kinds) == 1:
        return field_steps(*hdf5_field(path, _ROLE))
    if not kinds[0].startswith("CompositeTransform"):
        raise FileError(f"transform file {path}: holds {len(kinds)} transforms that are not one composite transform")
    # nitransforms reads a composite's parts, in the order ITK applies them.
    chain = importlib.import_module("nitransforms.manip").TransformChain
    return world_steps(chain.from_filename(str(path), fmt="itk"))


def _linear(path: Path, reference: Any, moving: Any) -> Any:
    """A linear transform file's (n, 4, 4) world matrices: one, or one per volume."""
    fmt = registration_format(path, _ROLE)
    if fmt is None:
        raise FileError(
            f"transform file {path}: not a registration tool's transform; give plain matrices with --matrix"
        )
    return read_registration(path, fmt, _ROLE, reference=reference, moving=moving)
