"""The check every command makes before it writes: the output is new, or may be replaced, and its folder exists."""

from __future__ import annotations

from pathlib import Path

from .errors import CommandError


def check_output(path: Path, *, force: bool) -> None:
    """CommandError unless ``path`` may be written: it is new (or ``force``) and its folder exists."""
    if path.exists() and not force:
        raise CommandError(f"output {path}: exists already (use --force to replace it)")
    if not path.parent.is_dir():
        raise CommandError(f"output {path}: folder {path.parent} does not exist")
