"""OME-Zarr multiscale images of several levels: NGFF 0.4 in Zarr format 2, NGFF 0.5 in Zarr format 3.

The group holds arrays "0", "1", ... (finest first), each with its own
scale and translation (the centre of its voxel 0), axes (t,) z, y, x.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..pyramid import Level
from .errors import FileError
from .zarr import _zarr, compression

NGFF_VERSIONS = ("0.4", "0.5")

# nibabel's unit names to OME-Zarr's (UDUNITS-2).
_OME_UNITS = {"meter": "meter", "mm": "millimeter", "micron": "micrometer", "sec": "second", "msec": "millisecond"}


def ome_axes(rank: int, space_unit: Optional[str], time_unit: Optional[str]) -> List[Dict[str, str]]:
    """The axes of an image of ``rank`` 3 or 4, with units where known (nibabel's names)."""
    axes = []
    if rank == 4:
        axes.append(_axis("t", "time", _OME_UNITS.get(time_unit or "")))
    space = _OME_UNITS.get(space_unit or "")
    axes += [_axis(name, "space", space) for name in ("z", "y", "x")]
    return axes


def _axis(name: str, kind: str, unit: Optional[str]) -> Dict[str, str]:
    return {"name": name, "type": kind, **({"unit": unit} if unit else {})}


def multiscale_entry(
    levels: Sequence[Level], axes: List[Dict[str, Any]], time_step: float, version: str, name: str
) -> Dict[str, Any]:
    """The multiscales entry of ``levels``: per level a scale and a translation in axis order."""
    lead = [float(time_step)] if len(axes) == 4 else []
    datasets = []
    for k, level in enumerate(levels):
        scale = lead + list(level.spacing[::-1])
        translation = [0.0] * len(lead) + list(level.translation[::-1])
        datasets.append(
            {
                "path": str(k),
                "coordinateTransformations": [
                    {"type": "scale", "scale": scale},
                    {"type": "translation", "translation": translation},
                ],
            }
        )
    entry: Dict[str, Any] = {"axes": axes, "datasets": datasets, "name": name}
    if version == "0.4":
        entry["version"] = "0.4"
    return entry


def create_pyramid(
    store: Path,
    entry: Dict[str, Any],
    shapes: Sequence[Tuple[int, ...]],
    chunks: Sequence[Tuple[int, ...]],
    dtype: np.dtype[Any],
    version: str,
) -> List[str]:
    """Create the empty group and arrays of a multiscale image in ``store``; return the arrays' paths."""
    zarr = _zarr()
    zarr_3 = int(zarr.__version__.split(".")[0]) >= 3
    if version == "0.5" and not zarr_3:
        raise FileError(f"output {store}: OME-Zarr 0.5 (Zarr format 3) needs zarr 3 or later")
    zarr_format = 3 if version == "0.5" else 2
    format_option: Dict[str, Any] = {"zarr_format": zarr_format} if zarr_3 else {}
    group = zarr.open_group(str(store), mode="w", **format_option)
    if version == "0.5":
        group.attrs["ome"] = {"version": "0.5", "multiscales": [entry]}
    else:
        group.attrs["multiscales"] = [entry]
    options = dict(format_option)
    if zarr_format == 3:
        options["dimension_names"] = [axis["name"] for axis in entry["axes"]]
    else:
        options["dimension_separator"] = "/"
    paths = []
    for k, (shape, block) in enumerate(zip(shapes, chunks)):
        path = store / str(k)
        zarr.open_array(
            str(path),
            mode="w",
            shape=shape,
            chunks=block,
            dtype=dtype,
            fill_value=0,
            **options,
            **compression(zarr_format),
        )
        paths.append(str(path.absolute()))
    return paths
