"""The check every command makes before it writes: the output is new, or may be replaced, and its folder exists."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, NamedTuple, Optional, Sequence, TextIO

from .._core.words import shown as shown  # where the command line takes it from
from ..io.formats import in_blocks, written_in_blocks, written_whole
from ..io.remote import is_remote
from .errors import CommandError


def check_output(path: Path, *, force: bool, reads: Sequence[Optional[Path]] = ()) -> None:
    """CommandError unless ``path`` may be written: it is new (or ``force``), its folder
    exists, and it is none of the files or stores the command ``reads`` (by path, symlink
    or hard link), which replacing would lose, ``force`` or not."""
    remote = is_remote(path)
    for read in reads:
        if read is None or remote != is_remote(read):
            continue
        same = str(path).rstrip("/") == str(read).rstrip("/") if remote else _same_file(path, read)
        if same:
            raise CommandError(f"output {path}: is {read}, which this command reads; choose another output")
    if path.exists() and not force:
        raise CommandError(f"output {path}: exists already (use --force to replace it)")
    if remote:  # an object store has no folders to check
        return
    folder = path.parent
    if not folder.is_dir():
        # A file where the folder should be would otherwise read as a missing folder.
        state = "is not a folder" if folder.exists() else "does not exist"
        raise CommandError(f"output {path}: folder {folder} {state}")


def _same_file(path: Path, read: Path) -> bool:
    return path.exists() and read.exists() and os.path.samefile(path, read)


class Output(NamedTuple):
    """What ``apply`` writes, decided once from the names and the storage options, for every layer below."""

    place: Any  # a local Path or a URL's place
    chunked: bool  # the run goes block by block with dask: a Zarr store (or TIFF stack) is read or written
    blocks: bool  # the output is a Zarr store, written block by block; else a NIfTI file written whole
    levels: Optional[int]  # an OME-Zarr image of this many levels; None: a plain array or a file


def output_of(source: Any, target: Any, levels: Optional[int]) -> Output:
    """The Output of ``apply`` from ``source`` into ``target`` with ``--levels`` (None where not
    given: one level for a name ending in .ome.zarr); CommandError for a name that says no format."""
    chunked = in_blocks(source, target)
    blocks = written_in_blocks(target)
    if chunked and not blocks and not written_whole(target):
        raise CommandError(f"output {target}: the name must end in .zarr, .nii or .nii.gz")
    if not chunked and not written_whole(target):
        raise CommandError(f"output {target}: the name must end in .nii or .nii.gz")
    if levels is None and is_ome_name(target):
        levels = 1
    return Output(target, chunked, blocks, levels)


def is_ome_name(target: Any) -> bool:
    """Whether ``target``'s name asks for an OME-Zarr image: it ends in .ome.zarr."""
    return str(target.name).lower().endswith(".ome.zarr")


class Summary(NamedTuple):
    """What a run's closing line says of it, and where it goes: how the input was mapped (the end of
    the line's description of it), when the run began, and the stream the line is printed on."""

    how: str
    started: float
    out: TextIO
