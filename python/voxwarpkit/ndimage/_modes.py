"""scipy.ndimage's boundary modes as the index-space spline path takes them: one record each.

The engine owns the modes' rules (src/kernel/ndimage/spline_modes.h) and their codes: it lists
their names in code order, which is where the codes here come from.
"""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

from .. import _engine

# The voxels scipy pads the input with before the prefilter under nearest and grid-constant,
# whose prefilter has no exact start of its own: the padded voxels make one.
PREPAD = 12


class Mode(NamedTuple):
    """A mode: the engine's code, and what the input is padded with before the prefilter
    (``"edge"``: its edge voxels, ``"cval"``: cval, None: nothing)."""

    name: str
    engine_code: int
    prepad: Optional[str]


def _modes() -> Dict[str, Mode]:
    codes = {name: code for code, name in enumerate(_engine.spline_modes())}
    codes["grid-mirror"] = codes["reflect"]  # one mode under two names, as in scipy
    pads = {"nearest": "edge", "grid-constant": "cval"}
    return {name: Mode(name, code, pads.get(name)) for name, code in codes.items()}


MODES = _modes()


def mode_named(mode: object) -> Mode:
    """The record of ``mode``; scipy's RuntimeError for a mode it does not have."""
    if isinstance(mode, str) and mode in MODES:
        return MODES[mode]
    raise RuntimeError("boundary mode not supported")
