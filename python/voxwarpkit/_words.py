"""How messages word a count: "1 block", "2 blocks"."""

from __future__ import annotations

from typing import Optional


def counted(count: int, noun: str, plural: Optional[str] = None) -> str:
    """``count`` and ``noun``, in the plural (``plural``, else ``noun`` + "s") unless ``count`` is 1."""
    return f"{count} {noun if count == 1 else plural or noun + 's'}"
