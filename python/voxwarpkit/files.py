"""Write a file so that it appears whole or not at all."""

from __future__ import annotations

import os
import secrets
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from .errors import CommandError


def check_output(path: Path, *, force: bool) -> None:
    """CommandError unless ``path`` may be written: it is new (or ``force``) and its folder exists."""
    if path.exists() and not force:
        raise CommandError(f"output {path}: exists already (use --force to replace it)")
    if not path.parent.is_dir():
        raise CommandError(f"output {path}: folder {path.parent} does not exist")


@contextmanager
def replaced_on_success(path: Path, suffix: str, *, overwrite: bool) -> Iterator[Path]:
    """Yield a temporary path beside ``path``; rename it to ``path`` if the block succeeds.

    The temporary name keeps ``suffix`` so that writers that pick a format by
    the file name still do. If the block raises, or ``path`` appeared
    meanwhile and ``overwrite`` is false, the temporary file is removed and
    ``path`` is left as it was.
    """
    stem = path.name[: -len(suffix)] if suffix and path.name.endswith(suffix) else path.name
    partial = path.with_name(f".{stem}.{secrets.token_hex(4)}.partial{suffix}")
    try:
        yield partial
        if not overwrite and path.exists():
            raise CommandError(f"output {path}: exists already (use --force to replace it)")
        try:
            os.replace(partial, path)
        except OSError as error:
            raise CommandError(f"output {path}: cannot write it ({error.strerror or error})") from None
    finally:
        if partial.exists():
            partial.unlink()
