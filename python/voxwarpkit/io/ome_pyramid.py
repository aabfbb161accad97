"""OME-Zarr multiscale images of several levels: NGFF 0.4 in Zarr format 2, NGFF 0.5 in Zarr format 3.

The group holds arrays "0", "1", ... (finest first), each with its own
scale and translation (the centre of its voxel 0), axes (t,) z, y, x.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .._core.extras import ZARR_3, zarr_major
from .._core.levels import LEVEL_METHODS, Level
from .._version import __version__
from .errors import FileError
from .zarr import new_array, zarr_module

NGFF_VERSIONS = ("0.4", "0.5")

# What each level method does, for the multiscales' metadata.
_DESCRIPTIONS = {
    "linear": "each level the one before it smoothed by a Gaussian of sigma (ratio - 1) / 2 voxels "
    "along each halved axis and resampled linearly onto its grid",
    "nearest": "each level the one before it resampled by nearest-neighbour sampling onto its grid",
    "label": "each level the one before it resampled onto its grid, each voxel taking the label "
    "of largest trilinear weight",
}

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
    levels: Sequence[Level],
    axes: List[Dict[str, Any]],
    time_step: float,
    version: str,
    name: str,
    method: str = "linear",
) -> Dict[str, Any]:
    """The multiscales entry of ``levels``: per level a scale and a translation in axis order,
    and the method (one of LEVEL_METHODS) that made each level from the one before."""
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
    entry: Dict[str, Any] = {
        "axes": axes,
        "datasets": datasets,
        "name": name,
        "type": LEVEL_METHODS[method],
        "metadata": {
            "description": _DESCRIPTIONS[method],
            "method": "voxwarpkit.pyramid_of",
            "version": __version__,
            "kwargs": {"interpolation": method},
        },
    }
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
    label: bool = False,
    shards: Optional[Sequence[Tuple[int, ...]]] = None,
) -> List[str]:
    """Create the empty group and arrays of a multiscale image in ``store``; return the arrays' paths.
    A ``label`` image (the group ``labels/NAME`` of an image) says so, and that its image is two
    folders up. ``shards``, one shape per level, groups each level's chunks into shards."""
    zarr = zarr_module()
    zarr_3 = zarr_major(zarr) >= 3
    if version == "0.5" and not zarr_3:
        raise FileError(f"output {store}: OME-Zarr 0.5 (Zarr format 3) needs {ZARR_3}")
    zarr_format = 3 if version == "0.5" else 2
    format_option: Dict[str, Any] = {"zarr_format": zarr_format} if zarr_3 else {}
    group = zarr.open_group(str(store), mode="w", **format_option)
    attributes: Dict[str, Any] = {"multiscales": [entry]}
    if label:
        attributes["image-label"] = {"source": {"image": "../../"}}
    group.attrs.update(_versioned(attributes, version))
    names = [axis["name"] for axis in entry["axes"]]
    paths = []
    for k, (shape, block) in enumerate(zip(shapes, chunks)):
        path = store / str(k)
        sharded = None if shards is None else tuple(shards[k])
        new_array(path, tuple(shape), tuple(block), dtype, zarr_format, shards=sharded, dimension_names=names)
        paths.append(str(path.absolute()))
    return paths


def _versioned(attributes: Dict[str, Any], version: str) -> Dict[str, Any]:
    """OME attributes as a group of ``version`` stores them: 0.5 under "ome" with the version;
    0.4 at the top, with the version inside an image-label entry."""
    if version == "0.5":
        return {"ome": {"version": "0.5", **attributes}}
    if "image-label" in attributes:
        attributes = {**attributes, "image-label": {"version": "0.4", **attributes["image-label"]}}
    return attributes


def ngff_version(store: Path, what: str) -> str:
    """The NGFF version ("0.4" or "0.5") of the OME-Zarr image in ``store``, or FileError for a
    store that holds none."""
    zarr = zarr_module()
    try:
        group = zarr.open_group(str(store), mode="r")
        attributes = dict(group.attrs)
    except Exception:  # zarr raises several types for what is not a group
        raise FileError(f"{what}: not an OME-Zarr image") from None
    if "multiscales" in attributes.get("ome", {}):
        return "0.5"
    if "multiscales" in attributes:
        return "0.4"
    raise FileError(f"{what}: not an OME-Zarr image (its group has no multiscales)")


def name_label(store: Path, name: str, version: str) -> None:
    """List the label image ``name``, already written under ``store/labels``, in the labels group
    of the image in ``store``: created if new, the name added once. Written last, so that a
    label a run did not finish is never listed."""
    zarr = zarr_module()
    zarr_3 = zarr_major(zarr) >= 3
    format_option: Dict[str, Any] = {"zarr_format": 3 if version == "0.5" else 2} if zarr_3 else {}
    group = zarr.open_group(str(store / "labels"), mode="a", **format_option)
    attributes = dict(group.attrs)
    listed = list((attributes.get("ome", attributes)).get("labels", []))
    if name not in listed:
        listed.append(name)
    group.attrs.update(_versioned({"labels": listed}, version))
