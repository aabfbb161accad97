"""How messages word a count ("1 block", "2 blocks") and a shape ("64x64x32")."""

from __future__ import annotations

from typing import Iterable, Optional


def counted(count: int, noun: str, plural: Optional[str] = None) -> str:
    """``count`` and ``noun``, in the plural (``plural``, else ``noun`` + "s") unless ``count`` is 1."""
    return f"{count} {noun if count == 1 else plural or noun + 's'}"


def shown(shape: Iterable[int]) -> str:
    """A shape as the command line writes every shape: NIfTI's axis order, i x j x k (x, y, z), volumes last."""
    return "x".join(str(int(n)) for n in shape)
