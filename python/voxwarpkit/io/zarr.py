"""Zarr stores: read lazily as dask arrays, created empty and written block by block.

Axes: a Zarr array here is ``(z, y, x)`` or ``(t, z, y, x)``, the order
:func:`voxwarpkit.resample` takes. A NIfTI array, as nibabel returns it, is
``(i, j, k)`` or ``(i, j, k, t)``; it is stored in Zarr with its axes
reversed, so Zarr ``(z, y, x)`` is NIfTI ``(k, j, i)`` and x is NIfTI's i.
Voxel sizes are ``(sx, sy, sz)`` (x first), as resample takes them; the
``voxel_size`` attribute of the arrays written here holds them in that order,
and OME-Zarr ``scale`` holds them in axis order, ``(..., sz, sy, sx)``.
An OME-Zarr image's ``scale`` and ``translation`` give its affine,
``diag(sx, sy, sz)`` with the translation (x, y, z) as its last column; a
plain array's is its ``affine`` attribute, where it has one.

Works with zarr 2 (2.16 or later) and zarr 3: OME-Zarr 0.4 (Zarr format 2)
and 0.5 (format 3) images are read and written, level 0 only.
"""

from __future__ import annotations

import importlib
import os
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

import numpy as np

from .._core.extras import ZARR_3, not_installed, zarr_major
from .._lazy.windows import zarr_windows
from .empty_chunks import written_all_the_same
from .errors import FileError, first_line
from .lazy import HeaderFields, LazyImage, ZarrMetadata, positive_three
from .remote import zarr_store

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


def zarr_module() -> Any:
    try:
        return importlib.import_module("zarr")
    except ImportError:
        raise FileError(not_installed("Zarr files", "zarr")) from None


def _zarr_format(array: Any) -> int:
    metadata = getattr(array, "metadata", None)  # zarr 3; zarr 2 writes format 2 only
    return int(getattr(metadata, "zarr_format", 2))


def read_zarr(source: Path) -> LazyImage:
    """The image in a Zarr array or an OME-Zarr image group (level 0), as a dask array.

    The voxel size and origin are an OME-Zarr image's level-0 ``scale`` and
    ``translation`` (then the multiscale's own, if any), else a Zarr array's
    ``voxel_size`` attribute (sx, sy, sz) and ``affine``. Messages name
    ``source`` as given; the dask array reads the store by its absolute path.
    """
    zarr = zarr_module()
    da = importlib.import_module("dask.array")
    if not source.exists():
        raise FileError(f"input {source}: no such file or folder")
    try:
        opened = zarr.open(zarr_store(source, read_only=True), mode="r")
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
        entry: Dict[str, Any] = multiscales[0]
        level = entry["datasets"][0]
        try:
            array = opened[level["path"]]
        except KeyError:
            raise FileError(f"input {source}: its level 0, {level['path']!r}, is missing") from None
        image = _ome_image(da.from_zarr(array), entry, version, _zarr_format(array), source)
        return image._replace(windows=zarr_windows(array))
    size = opened.attrs.get("voxel_size")
    if size is None:
        raise FileError(f"input {source}: its metadata gives no voxel size; give one")
    voxel_size = positive_three(size, f"input {source}: attribute voxel_size")
    header = attributes.get(HEADER_ATTRIBUTE)
    return LazyImage(
        da.from_zarr(opened),
        voxel_size,
        ZarrMetadata(zarr_format=_zarr_format(opened)),
        attributes.get("affine"),
        None if header is None else _header_fields(header, source),
        windows=zarr_windows(opened),
    )


def _ome_image(data: Any, multiscale: Dict[str, Any], version: str, zarr_format: int, source: Path) -> LazyImage:
    """An OME-Zarr image's level 0, its affine made of the scale and translation (x, y, z)."""
    axes = multiscale.get("axes") or []
    spatial = [axis.get("type") in (None, "space") if isinstance(axis, dict) else True for axis in axes]
    if len(axes) != data.ndim or not all(spatial[-3:]):
        raise FileError(f"input {source}: OME-Zarr axes {axes} do not end in three spatial axes")
    scale, offset = ome_transform(multiscale, data.ndim, f"input {source}")
    voxel_size = positive_three(scale[-3:][::-1].tolist(), f"input {source}: OME-Zarr scale")
    affine = np.diag([*voxel_size, 1.0])
    affine[:3, 3] = offset[-3:][::-1]
    units = [str(axis.get("unit")) if isinstance(axis, dict) else "" for axis in axes]
    space_units = {_NIFTI_UNITS.get(unit) for unit in units[-3:]}
    header = HeaderFields(
        float(scale[0]) if data.ndim == 4 else None,
        space_units.pop() if len(space_units) == 1 else None,  # one unit for all three axes, or none
        _NIFTI_UNITS.get(units[0]) if data.ndim == 4 else None,
        None,
        None,
    )
    return LazyImage(data, voxel_size, ZarrMetadata(multiscale, version, zarr_format), affine.tolist(), header)


# OME-Zarr's unit names (UDUNITS-2) for the ones a NIfTI header can hold, as nibabel names them.
_NIFTI_UNITS = {
    "meter": "meter",
    "millimeter": "mm",
    "micrometer": "micron",
    "second": "sec",
    "millisecond": "msec",
    "microsecond": "usec",
}

# The attribute of a plain Zarr array that holds a NIfTI header's time step, units and codes.
HEADER_ATTRIBUTE = "nifti"


def _header_fields(value: Any, source: Path) -> HeaderFields:
    """The HeaderFields stored in the attribute ``nifti``, or FileError for one that is not."""
    try:
        fields = HeaderFields(**value)
        step = None if fields.time_step is None else float(fields.time_step)
        codes = [None if code is None else int(code) for code in (fields.sform_code, fields.qform_code)]
        if not all(unit is None or isinstance(unit, str) for unit in (fields.space_unit, fields.time_unit)):
            raise TypeError("a unit is a name")
    except (TypeError, ValueError):
        raise FileError(
            f"input {source}: attribute {HEADER_ATTRIBUTE} holds no NIfTI header fields: {value!r}"
        ) from None
    return HeaderFields(step, fields.space_unit, fields.time_unit, codes[0], codes[1])


def ome_transform(multiscale: Dict[str, Any], rank: int, what: str) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The scale and offset, in axis order, that take level 0's voxel indices to the multiscale's coordinates.

    The level's transformations apply first, then the multiscale's, each
    list in its own order: a scale multiplies the offset so far, a
    translation adds to it.
    """
    scale, offset = np.ones(rank), np.zeros(rank)
    for transformations in (
        multiscale["datasets"][0].get("coordinateTransformations") or [],
        multiscale.get("coordinateTransformations") or [],
    ):
        for transformation in transformations:
            kind = transformation.get("type") if isinstance(transformation, dict) else None
            if kind == "identity":
                continue
            if kind not in ("scale", "translation") or kind not in transformation:
                raise FileError(
                    f"{what}: OME-Zarr coordinate transformation {transformation!r} is not supported; "
                    "a scale or a translation with its values is"
                )
            try:
                values = np.asarray(transformation[kind], dtype=np.float64)
            except (TypeError, ValueError):
                values = np.empty(0)
            if values.shape != (rank,) or not np.all(np.isfinite(values)):
                raise FileError(f"{what}: OME-Zarr {kind} {transformation[kind]!r} is not {rank} finite numbers")
            if kind == "scale":
                scale, offset = scale * values, offset * values
            else:
                offset = offset + values
    return scale, offset


def regular_block(chunks: Tuple[Tuple[int, ...], ...], target: Path) -> Tuple[int, ...]:
    """The Zarr chunk shape matching dask chunks: each block then writes whole
    Zarr chunks, and no two tasks write into one."""
    block = tuple(axis[0] for axis in chunks)
    if any(any(n != axis[0] for n in axis[:-1]) or axis[-1] > axis[0] for axis in chunks):
        raise FileError(f"output {target}: chunks must be regular (all of one size but the last) for Zarr")
    return block


def output_affine(
    image: LazyImage, spacing: Tuple[float, float, float], affine: Optional[ArrayLike], target: Path
) -> Optional[NDArray[np.float64]]:
    """The output's voxel-to-world affine: ``affine``, else the input's with the output's spacing, where known.

    An OME-Zarr output places its grid by a scale and a translation alone,
    so its affine must be the diagonal of ``spacing`` and an offset: else
    FileError, before anything is written.
    """
    if affine is not None:
        frame: Optional[NDArray[np.float64]] = np.array(affine, dtype=np.float64)
    elif image.affine is not None:
        # The output keeps the input's frame, with its own spacing along each axis.
        frame = np.array(image.affine, dtype=np.float64)
        frame[:3, :3] = frame[:3, :3] * (np.asarray(spacing) / np.asarray(image.voxel_size))
    else:
        frame = None
    if image.zarr is not None and image.zarr.multiscales is not None and frame is not None:
        tolerance = 1e-9 * max(spacing)
        if not np.allclose(frame[:3, :3], np.diag(spacing), rtol=1e-9, atol=tolerance):
            raise FileError(
                f"output {target}: OME-Zarr places a grid by a scale and a translation only, and this "
                "output grid is rotated, flipped or sheared; write a NIfTI file or a plain Zarr array"
            )
    return frame


def create_output(
    store: Path,
    result: Any,
    block: Tuple[int, ...],
    spacing: Tuple[float, float, float],
    image: LazyImage,
    affine: Optional[NDArray[np.float64]],
    shards: Optional[Tuple[int, ...]] = None,
) -> str:
    """Create the empty output in ``store``, in chunks ``block``; return the path of its array.

    ``affine`` is the output's, from :func:`output_affine`. An OME-Zarr
    input gives an OME-Zarr image of its NGFF version: 0.4 in Zarr format 2,
    0.5 (attribute "ome", arrays with ``dimension_names``) in format 3, its
    scale and translation those of ``affine``. Any other output is a plain
    array (of the input's Zarr format, else the newest zarr writes) with the
    attributes ``voxel_size``, ``affine`` and ``nifti`` (the NIfTI header's
    time step, units and codes) where known. ``shards`` groups the chunks
    into shards, which Zarr format 3 alone has: a plain output is then of
    format 3, an OME-Zarr 0.4 one refused.
    """
    zarr = zarr_module()
    zarr_3 = zarr_major(zarr) >= 3
    kept = image.zarr or ZarrMetadata()
    zarr_format = 3 if shards is not None else kept.zarr_format or (3 if zarr_3 else 2)
    array_path = store
    names = None
    multiscale = kept.multiscales
    if multiscale is not None:
        zarr_format = 3 if kept.ome_version == "0.5" else 2
        if zarr_format == 3 and not zarr_3:
            raise FileError(f"output {store}: OME-Zarr 0.5 (Zarr format 3) needs {ZARR_3}")
        origin = (0.0, 0.0, 0.0) if affine is None else tuple(float(v) for v in affine[:3, 3])
        written = _ome_multiscale(multiscale, kept.ome_version or "0.4", spacing, origin, result.ndim)
        names = [axis["name"] for axis in written["axes"]]
        group = zarr.open_group(str(store), mode="w", **({"zarr_format": zarr_format} if zarr_3 else {}))
        if kept.ome_version == "0.5":
            group.attrs["ome"] = {"version": "0.5", "multiscales": [written]}
        else:
            group.attrs["multiscales"] = [written]
        array_path = store / "0"
    array = new_array(
        array_path,
        tuple(result.shape),
        block,
        np.dtype(result.dtype),
        zarr_format,
        shards=shards,
        dimension_names=names,
    )
    array.attrs["voxel_size"] = list(spacing)
    if multiscale is None:
        if affine is not None:
            array.attrs["affine"] = np.asarray(affine, dtype=np.float64).tolist()
        if image.header is not None:
            array.attrs[HEADER_ATTRIBUTE] = image.header._asdict()
    return str(array_path)


def compression(zarr_format: int) -> Dict[str, Any]:
    """The options that compress a new array of ``zarr_format`` with Blosc's LZ4 over
    shuffled bytes: on images' floats it compresses better than zarr's default
    (Zstandard) and about four times as fast, where writing a large output spends its time."""
    if zarr_format == 3:
        codecs = importlib.import_module("zarr.codecs")
        return {"codecs": [codecs.BytesCodec(), codecs.BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")]}
    blosc = importlib.import_module("numcodecs").Blosc
    return {"compressor": blosc(cname="lz4", clevel=5, shuffle=blosc.SHUFFLE)}


def new_array(
    path: Path,
    shape: Tuple[int, ...],
    chunks: Tuple[int, ...],
    dtype: np.dtype[Any],
    zarr_format: int,
    *,
    shards: Optional[Tuple[int, ...]] = None,
    dimension_names: Optional[List[str]] = None,
) -> Any:
    """Create the empty array at ``path``, compressed (:func:`compression`), of fill value 0.

    ``dimension_names`` (OME-Zarr's axes) go into a format 3 array's
    metadata; a format 2 array that has them stores its chunks in nested
    folders, as OME-Zarr 0.4 asks. ``shards`` (format 3 only) groups the
    chunks into shards of that shape, each one object in the store: a shard
    is rewritten whole by every write into it, so each must have one writer.
    """
    zarr = zarr_module()
    zarr_3 = zarr_major(zarr) >= 3
    fill_value = False if dtype.kind == "b" else 0
    if shards is not None:
        if zarr_format != 3 or not zarr_3:
            raise FileError(f"output {path.parent}: shards need Zarr format 3 (OME-Zarr 0.5) and {ZARR_3}")
        codecs = importlib.import_module("zarr.codecs")
        return zarr.create_array(
            str(path),
            shape=shape,
            chunks=chunks,
            shards=shards,
            dtype=dtype,
            fill_value=fill_value,
            zarr_format=3,
            serializer=codecs.BytesCodec(),
            compressors=[codecs.BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")],
            dimension_names=dimension_names,
            overwrite=True,
        )
    options: Dict[str, Any] = {"zarr_format": zarr_format} if zarr_3 else {}
    if dimension_names is not None:
        if zarr_format == 3:
            options["dimension_names"] = dimension_names
        else:
            options["dimension_separator"] = "/"
    return zarr.open_array(
        str(path),
        mode="w",
        shape=shape,
        chunks=chunks,
        dtype=dtype,
        fill_value=fill_value,
        **options,
        **compression(zarr_format),
    )


def _ome_multiscale(
    multiscale: Dict[str, Any],
    version: str,
    spacing: Tuple[float, float, float],
    origin: Tuple[float, ...],
    rank: int,
) -> Dict[str, Any]:
    """The input's multiscale entry, reduced to one level of the output's spacing and origin.

    The scale and translation of the leading axis (time) stay the input's;
    all of them are the level's, so the multiscale has none of its own.
    """
    scale, offset = ome_transform(multiscale, rank, "input")
    level_scale = [*(float(v) for v in scale[: rank - 3]), spacing[2], spacing[1], spacing[0]]
    translation = [*(float(v) for v in offset[: rank - 3]), origin[2], origin[1], origin[0]]
    dropped = ("datasets", "coordinateTransformations", "version")
    written = {k: v for k, v in multiscale.items() if k not in dropped}
    transformations: List[Dict[str, Any]] = [{"type": "scale", "scale": level_scale}]
    if any(translation):
        transformations.append({"type": "translation", "translation": translation})
    written["datasets"] = [{"path": "0", "coordinateTransformations": transformations}]
    if version == "0.4":
        written["version"] = "0.4"  # 0.5 keeps it in the "ome" attribute instead
    return written


def write_region(destination: Any, block: NDArray[Any], region: Tuple[slice, ...]) -> None:
    """Write one output block into its ``region`` of the array at ``destination``: a local
    array's path, or a :class:`~voxwarpkit.io.staging.RemoteArray`."""
    if not isinstance(destination, str):
        array = destination.open()
    else:
        # mode r+ fails once the store is gone, so a late task cannot bring back a removed run.
        array = _zarr_of_a_worker().open_array(destination, mode="r+")
    written_all_the_same(array, block, region)[region] = block


def _zarr_of_a_worker(attempts: int = 200) -> Any:
    """zarr, imported on a cluster's worker, where another thread may be importing it.

    A fresh worker (one that replaces a worker that died, say) unpickles the
    input's zarr arrays on its communication thread while a task imports zarr
    on another: zarr's modules import each other, and the thread that comes
    second sees a module half initialised ("cannot import name ... from
    partially initialized module"). That passes once the first thread is done,
    so the import is tried again, for a second at most.
    """
    for _ in range(attempts - 1):
        try:
            return importlib.import_module("zarr")
        except ImportError as error:
            if "partially initialized" not in str(error):
                raise
        time.sleep(0.005)
    return importlib.import_module("zarr")
