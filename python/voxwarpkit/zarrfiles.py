"""Zarr images in and out, resampled block by block with dask.

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

import concurrent.futures
import functools
import importlib
import math
import os
import secrets
import shutil
import sys
import time
from contextlib import contextmanager
from pathlib import Path
from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Sequence,
    TextIO,
    Tuple,
    Union,
)

import numpy as np

from .errors import CommandError
from .files import check_output
from .nifti import load_nifti, nifti_suffix, save_nifti
from .resampler import resample
from .threads import thread_count

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

PathLike = Union[str, "os.PathLike[str]"]


class ZarrImage(NamedTuple):
    """An image read lazily: ``(z, y, x)`` or ``(t, z, y, x)`` as a dask array."""

    data: Any  # dask.array.Array
    voxel_size: Tuple[float, float, float]  # (sx, sy, sz)
    multiscales: Optional[Dict[str, Any]]  # the OME-Zarr multiscales entry, for an OME-Zarr image
    ome_version: Optional[str]  # "0.4" (attributes "multiscales") or "0.5" (attributes "ome")
    zarr_format: Optional[int]  # 2 or 3, None for a NIfTI file
    affine: Optional[List[List[float]]]  # a NIfTI voxel-to-world affine, where one is known


def _zarr() -> Any:
    try:
        return importlib.import_module("zarr")
    except ImportError:
        raise CommandError("Zarr files need zarr and dask: pip install 'voxwarpkit[dask]'") from None


def _zarr_format(array: Any) -> int:
    metadata = getattr(array, "metadata", None)  # zarr 3; zarr 2 writes format 2 only
    return int(getattr(metadata, "zarr_format", 2))


def read_image(path: PathLike, *, voxel_size: Optional[ArrayLike] = None) -> ZarrImage:
    """The image in a Zarr array, an OME-Zarr image group or a NIfTI file, read lazily.

    The voxel size is ``voxel_size`` when given, else an OME-Zarr image's
    level-0 ``scale`` (times the multiscale's own, if any), a Zarr array's
    ``voxel_size`` attribute (sx, sy, sz) or a NIfTI header's zooms.
    """
    # Absolute, so that workers started elsewhere (a cluster's) find it too.
    source = Path(path).absolute()
    given = None if voxel_size is None else _positive_three(voxel_size, f"input {source}: voxel size")
    image = _read_nifti(source, given) if nifti_suffix(source) is not None else _read_zarr(source, given)
    shape = tuple(image.data.shape)
    if len(shape) not in (3, 4):
        raise CommandError(f"input {source}: an image of shape {shape}; (z, y, x) and (t, z, y, x) are supported")
    return image


def _read_zarr(source: Path, given: Optional[Tuple[float, float, float]]) -> ZarrImage:
    zarr = _zarr()
    da = importlib.import_module("dask.array")
    if not source.exists():
        raise CommandError(f"input {source}: no such file or folder")
    try:
        opened = zarr.open(str(source), mode="r")
    except Exception as error:  # zarr raises several types for what it cannot read
        raise CommandError(f"input {source}: not a Zarr array or group ({_first_line(error)})") from None
    attributes = dict(opened.attrs)
    version = "0.5" if "ome" in attributes else "0.4"
    multiscales = (attributes.get("ome") or attributes).get("multiscales")
    if isinstance(opened, zarr.Group):
        if not multiscales:
            raise CommandError(f"input {source}: a Zarr group without OME-Zarr multiscales")
        level = multiscales[0]["datasets"][0]
        try:
            array = opened[level["path"]]
        except KeyError:
            raise CommandError(f"input {source}: its level 0, {level['path']!r}, is missing") from None
        found: Optional[Tuple[float, float, float]] = _ome_voxel_size(multiscales[0], array.ndim, source)
        entry: Optional[Dict[str, Any]] = multiscales[0]
    else:
        array, entry = opened, None
        size = attributes.get("voxel_size")
        found = None if size is None else _positive_three(size, f"input {source}: attribute voxel_size")
    voxel_size = given or found
    if voxel_size is None:
        raise CommandError(f"input {source}: its metadata gives no voxel size; give one")
    affine = attributes.get("affine") if entry is None else None
    return ZarrImage(
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
        raise CommandError(f"input {source}: OME-Zarr axes {axes} do not end in three spatial axes")
    scale = np.ones(rank)
    for transformations in (
        multiscale["datasets"][0].get("coordinateTransformations", []),
        multiscale.get("coordinateTransformations", []),
    ):
        for transformation in transformations:
            if transformation.get("type") == "scale":
                scale = scale * np.asarray(transformation["scale"], dtype=np.float64)
    return _positive_three(scale[-3:][::-1], f"input {source}: OME-Zarr scale")


def _read_nifti(source: Path, given: Optional[Tuple[float, float, float]]) -> ZarrImage:
    da = importlib.import_module("dask.array")
    image = load_nifti(source)
    header: Any = image.header  # nibabel leaves its header methods unannotated
    zooms = _positive_three(header.get_zooms()[:3], f"input {source}: voxel size in its header")
    # nibabel reads the file as (i, j, k[, t]); its proxy slices lazily, one
    # slice at a time as it keeps one file open.
    tokenize = importlib.import_module("dask.base").tokenize
    name = "nifti-" + tokenize(str(source.resolve()), source.stat().st_mtime_ns)
    data = da.from_array(image.dataobj, chunks="auto", name=name, lock=True, asarray=True).transpose()
    affine = np.asarray(image.affine, dtype=np.float64).tolist()
    return ZarrImage(data, given or zooms, None, None, None, affine)


def _positive_three(values: Any, what: str) -> Tuple[float, float, float]:
    try:
        numbers = [float(v) for v in np.asarray(values, dtype=np.float64).ravel()]
    except (TypeError, ValueError):
        raise CommandError(f"{what} must be 3 numbers, got {values!r}") from None
    if len(numbers) != 3 or not all(math.isfinite(n) and n > 0 for n in numbers):
        raise CommandError(f"{what} must be 3 positive numbers, got {values!r}")
    return (numbers[0], numbers[1], numbers[2])


def _first_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__


def apply_zarr(
    source: PathLike,
    target: PathLike,
    matrices: ArrayLike,
    *,
    like: Optional[PathLike] = None,
    shape: Optional[Sequence[int]] = None,
    voxel_size: Optional[ArrayLike] = None,
    output_voxel_size: Optional[ArrayLike] = None,
    chunks: Any = None,
    order: int = 1,
    fill: float = 0.0,
    scheduler: Optional[str] = None,
    workers: Optional[int] = None,
    affine: Optional[ArrayLike] = None,
    force: bool = False,
    progress: bool = True,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
) -> None:
    """Resample the image in ``source`` (Zarr, OME-Zarr or NIfTI) into the Zarr array ``target``.

    ``matrices`` maps output physical positions to input ones, as
    :func:`voxwarpkit.resample` takes it (one matrix, or one per volume).
    The output grid is the input's, or that of the image in ``like``, or
    ``shape`` (z, y, x) and ``output_voxel_size`` (sx, sy, sz) where given.
    ``voxel_size`` overrides the input's. ``chunks`` is the output's
    chunking (regular; default blocks of about 64 MiB). ``scheduler`` is a
    dask.distributed scheduler's address, such as ``tcp://host:8786``, or
    None for ``workers`` threads of this process (default: every CPU it may
    use); a cluster's workers must reach ``source`` and ``target`` at the
    same paths. ``affine`` is the output's voxel-to-world affine to record
    (default: the input's, with the output's spacing, where it has one).

    The result is written to a temporary store beside ``target`` that is
    renamed to ``target`` once every block is written: a failed or
    interrupted run leaves no ``target`` (an existing one is replaced only
    with ``force``). The output holds the ``voxel_size`` attribute and, for
    an OME-Zarr input, is an OME-Zarr image of one level. Errors are
    :class:`~voxwarpkit.errors.CommandError`.
    """
    target_path = Path(target)
    check_output(target_path, force=force)
    image = read_image(source, voxel_size=voxel_size)
    grid_shape, grid_voxel_size = shape, output_voxel_size
    if like is not None:
        reference = read_image(like)
        grid_shape = grid_shape or tuple(int(n) for n in reference.data.shape[-3:])
        grid_voxel_size = grid_voxel_size if grid_voxel_size is not None else reference.voxel_size
    try:
        result = resample(
            image.data,
            image.voxel_size,
            matrices,
            shape=grid_shape,
            output_voxel_size=grid_voxel_size,
            order=order,
            fill=fill,
            chunks=chunks,
        )
    except (TypeError, ValueError) as error:
        raise CommandError(f"cannot resample {source}: {_first_line(error)}") from None
    block_shape = _regular_block(result.chunks, target_path)
    spacing = _positive_three(image.voxel_size if grid_voxel_size is None else grid_voxel_size, "output voxel size")

    started = time.perf_counter()
    write_zarr(
        result,
        target_path,
        block_shape,
        spacing,
        image,
        scheduler=scheduler,
        workers=workers,
        affine=affine,
        force=force,
        progress=progress,
        err=err,
    )
    elapsed = time.perf_counter() - started
    print(
        f"resampled {source} {'x'.join(map(str, image.data.shape))} into {target_path} "
        f"{'x'.join(map(str, result.shape))} {result.dtype} in {result.npartitions} blocks, {elapsed:.1f} s",
        file=out,
    )


def write_zarr(
    data: Any,
    target: Path,
    block: Tuple[int, ...],
    spacing: Tuple[float, float, float],
    image: ZarrImage,
    *,
    scheduler: Optional[str],
    force: bool,
    progress: bool,
    err: TextIO,
    workers: Optional[int] = None,
    affine: Optional[ArrayLike] = None,
) -> None:
    """Compute the dask array ``data`` into a new Zarr store ``target``, whole or not at all.

    ``block`` is the chunk shape of both ``data`` and the Zarr array;
    ``image`` is the input, whose metadata the output follows, unless
    ``affine`` gives the output's voxel-to-world affine.
    """
    with _replaced_store_on_success(target, force=force) as partial:
        array_path = _create_output(partial, data, block, spacing, image, affine)
        # Absolute, so that workers started elsewhere (a cluster's) write it too.
        write = functools.partial(_write_block, str(Path(array_path).absolute()))
        writes = data.map_blocks(write, dtype=bool, chunks=(1,) * data.ndim)
        run_blocks(writes, scheduler, progress, err, workers)


def nifti_to_zarr(
    source: PathLike,
    target: PathLike,
    *,
    chunks: Any = None,
    scheduler: Optional[str] = None,
    force: bool = False,
    progress: bool = True,
    err: TextIO = sys.stderr,
) -> None:
    """Write the NIfTI image ``source`` as the Zarr array ``target``, axes reversed.

    The array holds the data's own element type, the ``voxel_size``
    attribute (sx, sy, sz) and the NIfTI ``affine`` (voxel-to-world, 4x4),
    which :func:`zarr_to_nifti` gives back.
    """
    target_path = Path(target)
    check_output(target_path, force=force)
    image = read_image(source)
    data = image.data.rechunk("auto" if chunks is None else chunks)
    write_zarr(
        data,
        target_path,
        _regular_block(data.chunks, target_path),
        image.voxel_size,
        image,
        scheduler=scheduler,
        force=force,
        progress=progress,
        err=err,
    )


def zarr_to_nifti(source: PathLike, target: PathLike, *, force: bool = False) -> None:
    """Write the Zarr or OME-Zarr image ``source`` as the NIfTI file ``target`` (in memory).

    The affine is the array's ``affine`` attribute where it has one, else
    the voxel size along the diagonal.
    """
    nib = importlib.import_module("nibabel")
    target_path = Path(target)
    if nifti_suffix(target_path) is None:
        raise CommandError(f"output {target_path}: the name must end in .nii or .nii.gz")
    check_output(target_path, force=force)
    image = read_image(source)
    affine = np.diag(list(image.voxel_size) + [1.0]) if image.affine is None else np.asarray(image.affine)
    data = np.asarray(image.data.compute(scheduler="threads")).transpose()
    kind = nib.Nifti1Image if max(data.shape) <= 32767 else nib.Nifti2Image
    save_nifti(kind(data, affine), target_path, overwrite=force)


def _regular_block(chunks: Tuple[Tuple[int, ...], ...], target: Path) -> Tuple[int, ...]:
    """The Zarr chunk shape matching dask chunks: each block then writes whole
    Zarr chunks, and no two tasks write into one."""
    block = tuple(axis[0] for axis in chunks)
    if any(any(n != axis[0] for n in axis[:-1]) or axis[-1] > axis[0] for axis in chunks):
        raise CommandError(f"output {target}: chunks must be regular (all of one size but the last) for Zarr")
    return block


def _create_output(
    store: Path,
    result: Any,
    block: Tuple[int, ...],
    spacing: Tuple[float, float, float],
    image: ZarrImage,
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


def _write_block(array_path: str, block: NDArray[Any], block_info: Any = None) -> NDArray[np.bool_]:
    """Write one output block into its place; a flag stands for it in the result."""
    where = tuple(slice(start, stop) for start, stop in block_info[0]["array-location"])
    # mode r+ fails once the store is gone, so a late task cannot bring back a removed run.
    importlib.import_module("zarr").open_array(array_path, mode="r+")[where] = block
    return np.ones((1,) * block.ndim, dtype=bool)


def run_blocks(
    writes: Any, scheduler: Optional[str], progress: bool, err: TextIO, workers: Optional[int] = None
) -> Any:
    """Compute the dask array ``writes`` on ``workers`` local threads or a cluster,
    with a bar over its blocks; return the computed array."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm if progress else None
    except ImportError:  # the bar is a nicety: run without it
        tqdm = None
    bar = None
    if tqdm is not None:
        bar = tqdm(total=writes.npartitions, desc="resampling", unit="block", file=err, disable=None)
    try:
        if scheduler is None:
            return _run_locally(writes, bar, workers)
        return _run_on_cluster(writes, scheduler, bar)
    finally:
        if bar is not None:
            bar.close()


def _run_locally(writes: Any, bar: Any, workers: Optional[int]) -> Any:
    dask = importlib.import_module("dask")
    callback = importlib.import_module("dask.callbacks").Callback

    def written(key: Any, *_: Any) -> None:
        if bar is not None and isinstance(key, tuple) and key[0] == writes.name:
            bar.update(1)

    pool = concurrent.futures.ThreadPoolExecutor(thread_count(workers))
    try:
        with callback(posttask=written):
            return dask.compute(writes, scheduler="threads", pool=pool)[0]
    except BaseException:
        # Let the tasks under way end before the store is removed.
        if sys.version_info >= (3, 9):
            pool.shutdown(wait=True, cancel_futures=True)
        raise
    finally:
        pool.shutdown(wait=True)


def _run_on_cluster(writes: Any, address: str, bar: Any) -> Any:
    distributed = importlib.import_module("distributed")
    try:
        client = distributed.Client(address, timeout="20s")
    except (OSError, TimeoutError, ValueError) as error:
        raise CommandError(f"scheduler {address}: cannot connect ({_first_line(error)})") from None
    futures: List[Any] = []
    try:
        persisted = client.persist(writes)
        futures = distributed.futures_of(persisted)
        for future in distributed.as_completed(futures):
            future.result()  # raises the block's error
            if bar is not None:
                bar.update(1)
        return client.compute(persisted).result()
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        client.close()


@contextmanager
def _replaced_store_on_success(target: Path, *, force: bool) -> Iterator[Path]:
    """Yield a temporary folder beside ``target``, renamed to ``target`` if the block succeeds.

    A failure removes it and leaves ``target`` as it was. With ``force`` an
    existing ``target`` is moved aside just before the rename and removed after.
    """
    token = secrets.token_hex(4)
    partial = target.with_name(f".{target.name}.{token}.partial")
    try:
        try:
            yield partial
        except CommandError:
            raise
        except Exception as error:
            reason = f"{type(error).__name__}: {_first_line(error)}"
            raise CommandError(f"output {target}: not written: {reason}") from None
        if target.exists() and not force:
            raise CommandError(f"output {target}: exists already (use --force to replace it)")
        old = target.with_name(f".{target.name}.{token}.old")
        try:
            if target.exists():
                os.replace(target, old)
            try:
                os.replace(partial, target)
            except OSError:
                if old.exists():
                    os.replace(old, target)
                raise
        except OSError as error:
            raise CommandError(f"output {target}: cannot write it ({error.strerror or error})") from None
        shutil.rmtree(old, ignore_errors=True)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
