"""A pytest plugin that puts voxwarpkit.ndimage's functions in scipy.ndimage's place before scipy's
own tests are collected, so that scipy's test file runs against them and everything else is scipy's."""

from __future__ import annotations

from typing import Any

SWAPPED = (
    "affine_transform",
    "geometric_transform",
    "map_coordinates",
    "rotate",
    "shift",
    "spline_filter",
    "spline_filter1d",
    "zoom",
)


def pytest_configure(config: Any) -> None:
    import importlib

    import scipy.ndimage

    import voxwarpkit.ndimage

    # scipy 1.15 and later look up each function's array backends in this table; older ones have none
    try:
        table = importlib.import_module("scipy._lib._array_api").xp_capabilities_table
    except (ImportError, AttributeError):
        table = {}
    for name in SWAPPED:
        ours = getattr(voxwarpkit.ndimage, name)
        theirs = getattr(scipy.ndimage, name)
        if theirs in table:
            table[ours] = table[theirs]
        setattr(scipy.ndimage, name, ours)


def pytest_report_header(config: Any) -> str:
    import scipy.ndimage

    import voxwarpkit.ndimage

    swapped = all(getattr(scipy.ndimage, name) is getattr(voxwarpkit.ndimage, name) for name in SWAPPED)
    return "voxwarpkit.ndimage in scipy.ndimage's place" if swapped else "scipy.ndimage's own functions"
