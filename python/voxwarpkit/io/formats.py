"""The image formats read and written here, one record each, and the one reader that picks among them.

Every layer asks this table what a path is: how its name (or, for Zarr, its
folder) is recognised, the package that reads it, the reader that opens it
lazily as a dask array, and whether and how an output of it is written. A
new format is one reader module and one entry in FORMATS.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Callable, Mapping, NamedTuple, Optional, Sequence, Tuple

from .._core.words import shown
from .errors import FileError
from .lazy import LazyImage
from .nifti import NIFTI_SUFFIXES, nifti_suffix, read_nifti_lazily
from .remote import as_place, local_copy
from .tiff import TIFF_SUFFIXES, is_tiff, read_tiff
from .zarr import PathLike, is_zarr, read_zarr


class Format(NamedTuple):
    """One image format: how a path of it is recognised, read and, where it can be an output, written."""

    name: str  # for messages: "NIfTI", "Zarr", "TIFF"
    suffixes: Tuple[str, ...]  # what its names end in, lower case
    recognises: Callable[[Path], bool]  # whether a path is of it: its suffixes, or for Zarr what its folder holds
    package: str  # the optional package its reader imports; _extras.not_installed names the extra that has it
    read: Callable[..., LazyImage]  # (path) -> the image read lazily; (path, voxel size) where it takes one
    takes_voxel_size: bool  # it may state no voxel size, so --input-voxel-size gives or replaces it
    chunked: bool  # read (and, as an output, written) block by block with dask; else written whole from memory
    writable: bool  # it can be an output


NIFTI = Format(
    name="NIfTI",
    suffixes=NIFTI_SUFFIXES,
    recognises=lambda path: nifti_suffix(path) is not None,
    package="nibabel",
    read=read_nifti_lazily,
    takes_voxel_size=False,
    chunked=False,
    writable=True,
)
ZARR = Format(
    name="Zarr",
    suffixes=(".zarr",),
    recognises=is_zarr,
    package="zarr",
    read=read_zarr,
    takes_voxel_size=False,
    chunked=True,
    writable=True,
)
TIFF = Format(
    name="TIFF",
    suffixes=TIFF_SUFFIXES,
    recognises=is_tiff,
    package="tifffile",
    read=read_tiff,
    takes_voxel_size=True,
    chunked=True,
    writable=False,
)

# In the order format_of tries them: a name ending in .nii is NIfTI before its folder is asked whether Zarr wrote it.
FORMATS = (NIFTI, ZARR, TIFF)


def format_of(path: PathLike) -> Optional[Format]:
    """The format of the image at ``path``, or None when no format here recognises it."""
    where: Any = as_place(path)
    for format in FORMATS:
        if format.recognises(where):
            return format
    return None


def written_in_blocks(path: PathLike) -> bool:
    """Whether an output at ``path`` is a store written block by block (Zarr)."""
    format = format_of(path)
    return format is not None and format.writable and format.chunked


def written_whole(path: PathLike) -> bool:
    """Whether an output at ``path`` is a file written whole, from memory (NIfTI)."""
    format = format_of(path)
    return format is not None and format.writable and not format.chunked


def in_blocks(source: PathLike, target: PathLike) -> bool:
    """Whether an image read from ``source`` and written to ``target`` goes block by block
    through dask: the input's format is read so (Zarr, TIFF) or the output's written so (Zarr)."""
    format = format_of(source)
    return (format is not None and format.chunked) or written_in_blocks(target)


def takes_voxel_size(path: PathLike) -> bool:
    """Whether the input at ``path`` may have its voxel size given (a TIFF, which may state none)."""
    format = format_of(path)
    return format is not None and format.takes_voxel_size


def read_image(
    path: PathLike,
    input_voxel_size: Optional[Sequence[float]] = None,
    *,
    storage_options: Optional[Mapping[str, Any]] = None,
) -> LazyImage:
    """The image in a Zarr array, an OME-Zarr image group, a NIfTI file or a TIFF stack, read lazily.

    ``input_voxel_size`` (sx, sy, sz) replaces a TIFF's own and is refused for other files, which state theirs.
    A path of no known format is read as Zarr, whose reader says what it is not: a store may have any name.
    ``path`` may be a URL, or a URL's place (:mod:`voxwarpkit.io.remote`): a store is read in place, a file
    fetched; ``storage_options`` go to the file system of a URL given as text.
    Messages name ``path`` as given; the dask array reads it by its absolute path, which a cluster's
    workers, started in other folders, find too.
    """
    source = as_place(path, storage_options)
    format = format_of(source) or ZARR
    if input_voxel_size is not None and not format.takes_voxel_size:
        raise FileError(f"input {source}: --input-voxel-size applies to TIFF inputs; this file states its own")
    if format is not ZARR:  # a store is read in place; files are fetched first
        source = local_copy(source, "input")
    image = format.read(source, input_voxel_size) if format.takes_voxel_size else format.read(source)
    shape = tuple(image.data.shape)
    if len(shape) not in (3, 4):
        raise FileError(
            f"input {source}: an image of shape {shown(shape[::-1])}; 3-D and 4-D images (volumes last) are supported"
        )
    return image
