"""Zarr stores: read lazily as dask arrays, created empty and written block by block.

Axes: a Zarr array here is ``(z, y, x)`` or ``(t, z, y, x)``, the order
:func:`voxwarpkit.resample` takes. A NIfTI array, as nibabel returns it, is
``(i, j, k)`` or ``(i, j, k, t)``; it is stored in Zarr with its axes
reversed, so Zarr ``(z, y, x)`` is NIfTI ``(k, j, i)`` and x is NIfTI's i.
Voxel sizes are ``(sx, sy, sz)`` (x first), as resample takes them; the
``voxel_size`` attribute of the arrays written here holds them in that order,
and OME-Zarr ``scale`` holds them in axis order, ``(..., sz, sy, sx)``.

Works with zarr 2 (2.16 or later) and zarr 3: OME-Zarr 0.4 (Zarr format 2)
and 0.5 (format 3) images are read and written, level 0 only.
"""

from __future__ import annotations

import importlib
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Union

import numpy as np

from .errors import FileError, first_line
from .lazy import LazyImage, positive_three

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

PathLike = Union[str, "os.PathLike[str]"]

# Files that Zarr writes at the top of a store, format 2 and 3.
_ZARR_METADATA = (".zarray", ".zgroup", "zarr.json")


def is_zarr(path: Path) -> bool:
    """Whether ``path`` names a Zarr store: by its name, or by what Zarr wrote in it."""
    return path.name.lower().endswith(".zarr") or (
        path.is_dir() and any((path / name).exists() for name in _ZARR_METADATA)
    )


def _zarr() -> Any:
    try:
        return importlib.import_module("zarr")
    except ImportError:
        raise FileError("Zarr files need zarr and dask: pip install 'voxwarpkit[dask]'") from None


def _zarr_format(array: Any) -> int:
    metadata = getattr(array, "metadata", None)  # zarr 3; zarr 2 writes format 2 only
    return int(getattr(metadata, "zarr_format", 2))


def read_zarr(source: Path) -> LazyImage:
    """The image in a Zarr array or an OME-Zarr image group (level 0), as a dask array.

    The voxel size is an OME-Zarr image's level-0 ``scale`` (times the
    multiscale's own, if any), else a Zarr array's ``voxel_size`` attribute
    (sx, sy, sz).
    """
    zarr = _zarr()
    da = importlib.import_module("dask.array")
    if not source.exists():
        raise FileError(f"input {source}: no such file or folder")
    try:
        opened = zarr.open(str(source), mode="r")
    except Exception as error:  # zarr raises several types for what it cannot read
        raise FileError(
            f"input {source}: not a Zarr array or group ({first_line(error) or type(error).__name__})"
        ) from None
    attributes = dict(opened.attrs)
    version = "0.5" if "ome" in attributes else "0.4"
    multiscales = (attributes.get("ome") or attributes).get("multiscales")
    if isinstance(opened, zarr.Group):
        if not multiscales:
            raise FileError(f"input {source}: a Zarr group without OME-Zarr multiscales")
        level = multiscales[0]["datasets"][0]
        try:
            array = opened[level["path"]]
        except KeyError:
            raise FileError(f"input {source}: its level 0, {level['path']!r}, is missing") from None
        found: Optional[Tuple[float, float, float]] = _ome_voxel_size(multiscales[0], array.ndim, source)
        entry: Optional[Dict[str, Any]] = multiscales[0]
    else:
        array, entry = opened, None
        size = attributes.get("voxel_size")
        found = None if size is None else positive_three(size, f"input {source}: attribute voxel_size")
    voxel_size = found
    if voxel_size is None:
        raise FileError(f"input {source}: its metadata gives no voxel size; give one")
    affine = attributes.get("affine") if entry is None else None
    return LazyImage(
        da.from_zarr(array),
        voxel_size,
        entry,
        version if entry is not None else None,
        _zarr_format(array),
        affine,
    )


def _ome_voxel_size(multiscale: Dict[str, Any], rank: int, source: Path) -> Tuple[float, float, float]:
    """(sx, sy, sz) from the level-0 and multiscale-wide ``scale`` transformations."""
    axes = multiscale.get("axes") or []
    spatial = [axis.get("type") in (None, "space") if isinstance(axis, dict) else True for axis in axes]
    if len(axes) != rank or not all(spatial[-3:]):
        raise FileError(f"input {source}: OME-Zarr axes {axes} do not end in three spatial axes")
    scale = np.ones(rank)
    for transformations in (
        multiscale["datasets"][0].get("coordinateTransformations", []),
        multiscale.get("coordinateTransformations", []),
    ):
        for transformation in transformations:
            if transformation.get("type") == "scale":
                scale = scale * np.asarray(transformation["scale"], dtype=np.float64)
    return positive_three(scale[-3:][::-1], f"input {source}: OME-Zarr scale")


def regular_block(chunks: Tuple[Tuple[int, ...], ...], target: Path) -> Tuple[int, ...]:
    """The Zarr chunk shape matching dask chunks: each block then writes whole
    Zarr chunks, and no two tasks write into one."""
    block = tuple(axis[0] for axis in chunks)
    if any(any(n != axis[0] for n in axis[:-1]) or axis[-1] > axis[0] for axis in chunks):
        raise FileError(f"output {target}: chunks must be regular (all of one size but the last) for Zarr")
    return block


def create_output(
    store: Path,
    result: Any,
    block: Tuple[int, ...],
    spacing: Tuple[float, float, float],
    image: LazyImage,
    affine: Optional[ArrayLike],
) -> str:
    """Create the empty output in ``store``; return the path of its array."""
    zarr = _zarr()
    zarr_format = image.zarr_format or (3 if int(zarr.__version__.split(".")[0]) >= 3 else 2)
    if image.multiscales is not None and image.ome_version == "0.5":
        zarr_format = 3
    # zarr 2 writes format 2 only and takes no zarr_format argument.
    formats: Dict[str, Any] = {"zarr_format": zarr_format} if zarr_format == 3 else {}
    array_path = store
    if image.multiscales is not None:
        group = zarr.open_group(str(store), mode="w", **formats)
        multiscale = _ome_multiscale(image.multiscales, spacing, result.ndim)
        if image.ome_version == "0.5":
            group.attrs["ome"] = {"version": "0.5", "multiscales": [multiscale]}
        else:
            group.attrs["multiscales"] = [multiscale]
        array_path = store / "0"
    fill_value = False if result.dtype.kind == "b" else 0
    array = zarr.open_array(
        str(array_path),
        mode="w",
        shape=result.shape,
        chunks=block,
        dtype=result.dtype,
        fill_value=fill_value,
        **formats,
    )
    array.attrs["voxel_size"] = list(spacing)
    if affine is not None:
        array.attrs["affine"] = np.asarray(affine, dtype=np.float64).tolist()
    elif image.affine is not None:
        # The output keeps the input's frame, with its own spacing along each axis.
        affine = np.asarray(image.affine, dtype=np.float64)
        affine[:3, :3] = affine[:3, :3] * (np.asarray(spacing) / np.asarray(image.voxel_size))
        array.attrs["affine"] = affine.tolist()
    return str(array_path)


def _ome_multiscale(multiscale: Dict[str, Any], spacing: Tuple[float, float, float], rank: int) -> Dict[str, Any]:
    """The input's multiscale entry, reduced to one level of the output's spacing."""
    level_scale = [1.0] * (rank - 3) + [spacing[2], spacing[1], spacing[0]]
    written = {k: v for k, v in multiscale.items() if k not in ("datasets", "coordinateTransformations")}
    scale = {"type": "scale", "scale": level_scale}
    written["datasets"] = [{"path": "0", "coordinateTransformations": [scale]}]
    return written


def write_block(array_path: str, block: NDArray[Any], block_info: Any = None) -> NDArray[np.bool_]:
    """Write one output block into its place; a flag stands for it in the result."""
    where = tuple(slice(start, stop) for start, stop in block_info[0]["array-location"])
    # mode r+ fails once the store is gone, so a late task cannot bring back a removed run.
    importlib.import_module("zarr").open_array(array_path, mode="r+")[where] = block
    return np.ones((1,) * block.ndim, dtype=bool)
