"""NIfTI files in and out, through nibabel: loading, header voxel sizes, element types read and safe writing."""

from __future__ import annotations

import importlib
import logging
import math
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, Optional, Tuple, Union

import numpy as np

from .._lazy.windows import Windows
from .atomic import replaced_on_success
from .errors import FileError, first_line
from .lazy import HeaderFields, LazyImage, positive_three
from .windows import Transposed

if TYPE_CHECKING:
    import nibabel as nib

NiftiImage = Union["nib.Nifti1Image", "nib.Nifti2Image"]

NIFTI_SUFFIXES = (".nii.gz", ".nii")


def nifti_suffix(path: Path) -> Optional[str]:
    """``.nii.gz`` or ``.nii`` when ``path`` ends with one of them."""
    name = path.name.lower()
    for suffix in NIFTI_SUFFIXES:
        if name.endswith(suffix) and len(name) > len(suffix):
            return suffix
    return None


def load_nifti(path: Path, *, role: str = "input") -> NiftiImage:
    """The NIfTI-1 or NIfTI-2 image in ``path``; its data stays on disk until read.

    ``role`` names the file in messages: "input", "reference".
    """
    import nibabel as nib

    if not path.exists():
        raise FileError(f"{role} {path}: no such file")
    if path.is_dir():
        raise FileError(f"{role} {path}: is a directory")
    try:
        # The file stays open so that reading volume after volume of a
        # compressed image continues the stream instead of starting it over.
        with _voxel_size_mends_unlogged():
            image = nib.load(path, keep_file_open=True)
    except OSError as error:
        raise FileError(f"{role} {path}: cannot read it ({error.strerror or error})") from None
    except Exception as error:  # nibabel raises several types for files it cannot parse
        raise FileError(f"{role} {path}: not a NIfTI image ({first_line(error) or type(error).__name__})") from None
    if not isinstance(image, (nib.Nifti1Image, nib.Nifti2Image)):
        raise FileError(f"{role} {path}: a {type(image).__name__}, not a NIfTI image")
    return image


class _NoVoxelSizeMends(logging.Filter):
    """Drops nibabel's notes on mending a zero or negative voxel size.

    header_voxel_size refuses such a header in a line of its own.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        return not record.getMessage().startswith("pixdim[1,2,3]")


@contextmanager
def _voxel_size_mends_unlogged() -> Iterator[None]:
    logger = logging.getLogger("nibabel.global")
    quiet = _NoVoxelSizeMends()
    logger.addFilter(quiet)
    try:
        yield
    finally:
        logger.removeFilter(quiet)


def header_voxel_size(image: NiftiImage, path: Path, *, role: str = "input") -> Tuple[float, float, float]:
    """The voxel size along (i, j, k) as the file stores it, or FileError when not positive.

    nibabel mends the header it loads, a zero pixdim to 1 and a negative one
    to its absolute value, so the raw pixdim is read from the file again: a
    voxel size of 0, below 0 or NaN is a broken header, not 1 mm.
    """
    from nibabel.openers import ImageOpener

    header: Any = image.header  # nibabel leaves its header methods unannotated
    try:
        with ImageOpener(str(path)) as stream:
            raw = type(header).from_fileobj(stream, check=False)
    except Exception as error:  # the file changed since it was loaded
        raise FileError(
            f"{role} {path}: cannot read its header ({first_line(error) or type(error).__name__})"
        ) from None
    size = tuple(float(z) for z in raw["pixdim"][1:4])
    if not all(math.isfinite(z) and z > 0 for z in size):
        shown = " x ".join(f"{z:g}" for z in size)
        raise FileError(f"{role} {path}: voxel size (pixdim) {shown} in its header is not positive")
    return size[0], size[1], size[2]


def read_block(data: Any, index: Any, path: Path) -> np.ndarray[Any, Any]:
    """``data[index]`` as an array, with read failures as FileError: ``data`` is an
    image's ``dataobj``, or another proxy over its file."""
    try:
        return np.asanyarray(data[index])
    except MemoryError:
        raise FileError(f"input {path}: not enough memory to read it") from None
    except Exception as error:  # truncated or corrupt data: zlib, EOF and OS errors
        raise FileError(f"input {path}: cannot read its data ({first_line(error) or type(error).__name__})") from None


def stored_type(image: NiftiImage) -> np.dtype[Any]:
    """The element type that reading the image's data gives: scaled data read as float."""
    proxy = image.dataobj
    slope = getattr(proxy, "slope", 1.0)
    inter = getattr(proxy, "inter", 0.0)
    if slope != 1.0 or inter != 0.0:
        return np.dtype(np.float64)
    header: Any = image.header  # nibabel leaves its header methods unannotated
    stored: np.dtype[Any] = np.dtype(header.get_data_dtype())
    return stored


def save_nifti(image: NiftiImage, path: Path, *, overwrite: bool) -> None:
    """Write ``image`` to ``path``, which is replaced only once the data is complete."""
    import nibabel as nib

    suffix = nifti_suffix(path)
    if suffix is None:
        raise FileError(f"output {path}: the name must end in .nii or .nii.gz")
    with replaced_on_success(path, suffix, overwrite=overwrite) as partial:
        try:
            nib.save(image, partial)
        except OSError as error:
            raise FileError(f"output {path}: cannot write it ({error.strerror or error})") from None


def read_nifti_lazily(source: Path) -> LazyImage:
    """The image in a NIfTI file as a dask array with its axes reversed, ``(z, y, x)`` = ``(k, j, i)``.

    Messages name ``source`` as given; the dask array reads the file by its absolute path.
    """
    da = importlib.import_module("dask.array")
    image = load_nifti(source)
    header: Any = image.header  # nibabel leaves its header methods unannotated
    zooms = positive_three(header.get_zooms()[:3], f"input {source}: voxel size in its header")
    # nibabel reads the file as (i, j, k[, t]); its proxy slices lazily, one
    # slice at a time as it keeps one file open.
    tokenize = importlib.import_module("dask.base").tokenize
    name = "nifti-" + tokenize(str(source.resolve()), source.stat().st_mtime_ns)
    # The same data, read by the absolute path, so that workers started in
    # other folders (a cluster's) find the file too.
    proxy: Any = image.dataobj
    layout = (proxy.shape, proxy.dtype, proxy.offset, proxy.slope, proxy.inter)
    on_disk = type(proxy)(str(source.absolute()), layout, keep_file_open=True)
    data = da.from_array(on_disk, chunks="auto", name=name, lock=True, asarray=True).transpose()
    affine = np.asarray(image.affine, dtype=np.float64).tolist()
    windows = Windows(Transposed(on_disk), data.chunks, name + "-windows")
    return LazyImage(data, zooms, None, affine, header_fields(image), windows)


def header_fields(image: NiftiImage) -> HeaderFields:
    """What a copy of ``image`` through Zarr keeps of its header: the time step (TR), units and codes."""
    header: Any = image.header  # nibabel leaves its header methods unannotated
    zooms = header.get_zooms()
    space_unit, time_unit = header.get_xyzt_units()
    return HeaderFields(
        float(zooms[3]) if len(zooms) > 3 else None,
        None if space_unit == "unknown" else str(space_unit),
        None if time_unit == "unknown" else str(time_unit),
        int(header["sform_code"]),
        int(header["qform_code"]),
    )
