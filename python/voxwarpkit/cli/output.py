"""The check every command makes before it writes: the output is new, or may be replaced, and its folder exists."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional, Sequence

from .._core.words import shown as shown  # where the command line takes it from
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
