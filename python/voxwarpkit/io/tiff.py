"""TIFF and OME-TIFF stacks read lazily through tifffile's Zarr view, as dask arrays.

The first series' full-resolution level is read, ``(z, y, x)`` or
``(t, z, y, x)`` once axes of length 1 are dropped; a plain multi-page
stack's pages are z. Voxel sizes are in micrometres: OME-XML's
PhysicalSizeX/Y/Z with their units (micrometres where the file names none),
else ImageJ's XResolution, YResolution (pixels per unit) and ``spacing``
with its ``unit``, else none. The dask array's graph holds the file's path,
not an open file: each process that reads it (this one, or a cluster's
workers) opens the file once for itself, and its threads share tifffile's
file lock.
"""

from __future__ import annotations

import importlib
import weakref
from pathlib import Path
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

from .._core.extras import not_installed
from .._lazy.windows import Windows
from .errors import FileError, first_line
from .lazy import HeaderFields, LazyImage, ZarrMetadata, positive_three
from .windows import Squeezed

TIFF_SUFFIXES = (".tif", ".tiff", ".btf", ".tf8")

# Micrometres per unit, for OME's unit symbols and ImageJ's unit names.
_MICROMETRES = {
    "m": 1e6,
    "cm": 1e4,
    "mm": 1e3,
    "µm": 1.0,
    "\u03bcm": 1.0,  # the Greek mu some writers use for the micro sign
    "um": 1.0,
    "micron": 1.0,
    "microns": 1.0,
    "micrometer": 1.0,
    "nm": 1e-3,
    "Å": 1e-4,
    "pm": 1e-6,
}


def is_tiff(path: Path) -> bool:
    """Whether ``path`` names a TIFF file (.tif, .tiff, .ome.tif, BigTIFF's .btf and .tf8), by its name."""
    return path.name.lower().endswith(TIFF_SUFFIXES)


def read_tiff(source: Path, voxel_size: Optional[Sequence[float]] = None) -> LazyImage:
    """The first series of a TIFF or OME-TIFF file (full resolution) as a dask array.

    ``voxel_size`` (sx, sy, sz), given, replaces the file's. Raises
    FileError for a file tifffile cannot read, axes that are not a 3-D or
    4-D stack, or no voxel size in the file and none given.
    """
    try:
        tifffile = importlib.import_module("tifffile")
    except ImportError:
        raise FileError(not_installed("TIFF files", "tifffile")) from None
    zarr = importlib.import_module("zarr")
    da = importlib.import_module("dask.array")
    if not source.is_file():
        raise FileError(f"input {source}: no such file")
    try:
        with tifffile.TiffFile(source) as tiff:
            series = tiff.series[0]
            axes, shape = str(series.axes), tuple(series.shape)
            sizes = _ome_sizes(tiff, tifffile) if tiff.is_ome else None
            if sizes is None and tiff.is_imagej:
                sizes = _imagej_sizes(tiff)
    except FileError:
        raise
    except Exception as error:  # tifffile raises several types for what it cannot read
        raise FileError(f"input {source}: not a readable TIFF ({first_line(error) or type(error).__name__})") from None
    kept = tuple(n for n, axis_length in enumerate(shape) if axis_length > 1 or axes[n] in "ZYX")
    stack = "".join(axes[n] for n in kept)
    if len(kept) not in (3, 4) or stack[-2:] != "YX" or (len(kept) == 4 and stack[1] not in "ZQI"):
        raise FileError(
            f"input {source}: a TIFF of axes {axes} and shape {list(shape)}; "
            "a stack of 2-D planes (Z, Y, X) or a series of them (T, Z, Y, X) is supported"
        )
    if voxel_size is not None:
        sizes = positive_three(voxel_size, "--input-voxel-size")
    if sizes is None:
        raise FileError(f"input {source}: the TIFF gives no voxel size; give one with --input-voxel-size SX SY SZ")
    tokenize = importlib.import_module("dask.base").tokenize
    name = "tiff-" + tokenize(str(source.resolve()), source.stat().st_mtime_ns)
    view = _zarr_view(tifffile, zarr, source)
    chunks = da.core.normalize_chunks("auto", view.shape, dtype=view.dtype, previous_chunks=view.chunks)
    meta = np.empty((0,) * len(view.shape), view.dtype)
    planes = TiffPlanes(str(source.absolute()), tuple(view.shape), view.dtype.str)
    data = da.from_array(planes, chunks=chunks, name=name, meta=meta, asarray=True, fancy=False)
    data = data[tuple(slice(None) if n in kept else 0 for n in range(len(shape)))]
    header = HeaderFields(None, "micron", None, None, None)
    windows = Windows(Squeezed(planes, kept), data.chunks, name + "-windows")
    return LazyImage(data, sizes, ZarrMetadata(_multiscale(sizes, data.ndim), "0.4"), None, header, windows)


class TiffPlanes:
    """The first series of a TIFF file as an array dask reads and sends to other processes:
    it pickles as its path, shape and type, and opens the file the first time it is read."""

    def __init__(self, path: str, shape: Tuple[int, ...], dtype: str) -> None:
        self.path, self.shape, self.dtype = path, shape, np.dtype(dtype)
        self.ndim = len(shape)
        self._view: Any = None

    def __reduce__(self) -> Tuple[Any, ...]:
        return (TiffPlanes, (self.path, self.shape, self.dtype.str))

    def __getitem__(self, index: Any) -> Any:
        if self._view is None:  # two threads may both open it: the second view is as good
            modules = importlib.import_module("tifffile"), importlib.import_module("zarr")
            self._view = _zarr_view(*modules, Path(self.path))
        return self._view[index]


def _zarr_view(tifffile: Any, zarr: Any, source: Path) -> Any:
    """The Zarr array over the first series' full-resolution level; its file closes once the array is gone."""
    store = tifffile.imread(source, aszarr=True, series=0, level=0)
    try:
        array = zarr.open(store, mode="r")
    except Exception as error:
        store.close()
        raise FileError(f"input {source}: not a readable TIFF ({first_line(error) or type(error).__name__})") from None
    weakref.finalize(array, store.close)
    return array


def _ome_sizes(tiff: Any, tifffile: Any) -> Optional[Tuple[float, float, float]]:
    """The first image's PhysicalSizeX/Y/Z in micrometres, or None where one is missing."""
    images = tifffile.xml2dict(tiff.ome_metadata).get("OME", {}).get("Image")
    image = images[0] if isinstance(images, list) else images
    pixels: Dict[str, Any] = (image or {}).get("Pixels") or {}
    sizes = []
    for axis in "XYZ":
        if f"PhysicalSize{axis}" not in pixels:
            return None
        unit = str(pixels.get(f"PhysicalSize{axis}Unit", "µm"))
        sizes.append(_micrometres(pixels[f"PhysicalSize{axis}"], unit, f"OME PhysicalSize{axis}"))
    return positive_three(sizes, "OME PhysicalSizeX/Y/Z")


def _imagej_sizes(tiff: Any) -> Optional[Tuple[float, float, float]]:
    """ImageJ's pixel width and height (from the resolution tags) and ``spacing``, in micrometres, or None."""
    metadata = tiff.imagej_metadata or {}
    if "spacing" not in metadata:
        return None
    unit = str(metadata.get("unit", "micron"))
    page = tiff.pages[0]
    sizes = []
    for tag in ("XResolution", "YResolution"):
        numerator, denominator = page.tags[tag].value if tag in page.tags else (1, 1)
        sizes.append(_micrometres(denominator / numerator, unit, f"ImageJ {tag}"))
    sizes.append(_micrometres(metadata["spacing"], unit, "ImageJ spacing"))
    return positive_three(sizes, "ImageJ voxel size")


def _micrometres(value: Any, unit: str, what: str) -> float:
    """``value`` in ``unit`` as micrometres, or FileError for a unit of no length."""
    factor = _MICROMETRES.get(unit.replace("\\u00B5", "µ").strip())
    if factor is None:
        raise FileError(f"{what} is in {unit!r}, not a unit of length known here (m, mm, µm, nm, ...)")
    return float(value) * factor


def _multiscale(sizes: Tuple[float, float, float], rank: int) -> Dict[str, Any]:
    """An OME-Zarr multiscale entry of one level for the stack, so that a Zarr copy is an OME-Zarr image."""
    space = [{"name": name, "type": "space", "unit": "micrometer"} for name in "zyx"]
    axes = ([{"name": "t", "type": "time"}] if rank == 4 else []) + space
    scale = [1.0] * (rank - 3) + [sizes[2], sizes[1], sizes[0]]
    return {
        "axes": axes,
        "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": scale}]}],
        "version": "0.4",
    }
