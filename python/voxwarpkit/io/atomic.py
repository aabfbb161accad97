"""Write a file or a folder so that it appears whole or not at all."""

from __future__ import annotations

import os
import secrets
import shutil
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from .errors import FileError
from .remote import is_remote


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
            raise FileError(f"output {path}: exists already (use --force to replace it)")
        try:
            os.replace(partial, path)
        except OSError as error:
            raise FileError(f"output {path}: cannot write it ({error.strerror or error})") from None
    finally:
        if partial.exists():
            partial.unlink()


@contextmanager
def replaced_store_on_success(target: Path, *, force: bool) -> Iterator[Path]:
    """Yield a temporary folder beside ``target``, renamed to ``target`` if the block succeeds.

    A failure removes it and leaves ``target`` as it was. With ``force`` an
    existing ``target`` is moved aside just before the rename and removed after.
    """
    token = secrets.token_hex(4)
    partial = target.with_name(f".{target.name}.{token}.partial")
    try:
        # Made here, so that a folder that cannot be made fails as itself: zarr 2 turns the
        # OSError of a name too long into a KeyError of the first document it writes.
        partial.mkdir()
    except OSError as error:
        raise FileError(f"output {target}: cannot write it ({error.strerror or error})") from None
    try:
        yield partial
        if target.exists() and not force:
            raise FileError(f"output {target}: exists already (use --force to replace it)")
        old = target.with_name(f".{target.name}.{token}.old")
        try:
            if target.exists():
                os.replace(target, old)
            try:
                os.replace(partial, target)
            except OSError:
                if old.exists():
                    os.replace(old, target)
                raise
        except OSError as error:
            raise FileError(f"output {target}: cannot write it ({error.strerror or error})") from None
        shutil.rmtree(old, ignore_errors=True)
    finally:
        shutil.rmtree(partial, ignore_errors=True)


@contextmanager
def scratch_beside(target: Path) -> Iterator[Path]:
    """Yield the path of a hidden folder beside ``target`` for temporary data (cubic's staged
    coefficients), on the same file system, which a cluster's workers see where they see
    ``target``; for a ``target`` at a URL, a folder in this machine's temporary folder. It is
    removed at the end, whatever happens."""
    if is_remote(target):  # staged data stays on this machine, in its temporary folder
        scratch = Path(tempfile.mkdtemp(prefix="voxwarpkit-scratch-"))
    else:
        scratch = target.with_name(f".{target.name}.{secrets.token_hex(4)}.scratch")
    try:
        yield scratch
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
