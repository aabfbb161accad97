"""The check every command makes before it writes: the output is new, or may be replaced, and its folder exists."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional, Sequence

from .._words import shown as shown  # where the command line takes it from
from .errors import CommandError


def check_output(path: Path, *, force: bool, reads: Sequence[Optional[Path]] = ()) -> None:
    """CommandError unless ``path`` may be written: it is new (or ``force``), its folder
    exists, and it is none of the files or stores the command ``reads`` (by path, symlink
    or hard link), which replacing would lose, ``force`` or not."""
    for read in reads:
        if read is not None and path.exists() and read.exists() and os.path.samefile(path, read):
            raise CommandError(f"output {path}: is {read}, which this command reads; choose another output")
    if path.exists() and not force:
        raise CommandError(f"output {path}: exists already (use --force to replace it)")
    folder = path.parent
    if not folder.is_dir():
        # A file where the folder should be would otherwise read as a missing folder.
        state = "is not a folder" if folder.exists() else "does not exist"
        raise CommandError(f"output {path}: folder {folder} {state}")
