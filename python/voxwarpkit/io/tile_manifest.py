"""Tile manifests: a JSON file that lists the tiles of a fusion, each with where it lies.

::

    {"tiles": [
        {"path": "tile_0.zarr", "to_world": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]},
        {"path": "tile_1.ome.zarr", "to_world": [...], "voxel_size": [0.4, 0.4, 2.0]}
    ]}

``to_world`` maps a tile's physical position (its voxel index times its
voxel size, x first) to the shared world; ``from_world``, the inverse, may be
given instead. ``transforms`` lists transform files (as ``voxwarpkit apply
--transform`` reads them, world to world, output -> input) that correct the
world position before ``from_world`` takes it into the tile: a tile
registered with a displacement field. ``voxel_size`` (x, y, z) replaces a
TIFF's own. Paths are relative to the manifest's folder, or URLs (transform
files: paths only).
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

from .._core.affine import affine4, not_singular
from .._core.grid import WorldStep, fold
from ..bspline import WARPS
from .bigstitcher import read_bigstitcher
from .errors import FileError
from .formats import read_image
from .lazy import read_by_tasks
from .transforms.files import read_transform_file

Matrix = Any  # a 4x4 float64 numpy array


class PlacedTile(NamedTuple):
    """A tile read lazily, its voxel size and the matrix from the world to its physical positions."""

    name: str  # as the manifest gives it
    data: Any  # what resampling tasks read: windows straight from the store, or a dask array
    voxel_size: Tuple[float, float, float]  # (sx, sy, sz)
    from_world: Matrix  # with transforms: their matrices and from_world's, the fields left out
    path: Optional[Path] = None  # where the image lies on this machine, which an output must not replace
    chain: Optional[List[Any]] = None  # with transforms that hold a field: the chain fuse takes, world -> tile


def read_tiles(path: Path) -> List[PlacedTile]:
    """The tiles ``path`` lists: a BigStitcher ``dataset.xml`` (its first timepoint, every setup) or
    a JSON manifest, each image opened lazily; FileError for any fault, naming the file and the entry."""
    if Path(path).suffix.lower() == ".xml":
        views = read_bigstitcher(Path(path))
        return [PlacedTile(f"setup {view.setup}", view.image, view.voxel_size, view.matrix) for view in views]
    return read_manifest(path)


def read_manifest(path: Path) -> List[PlacedTile]:
    """The tiles the JSON manifest ``path`` lists, each image opened lazily; FileError for any fault,
    naming the manifest and the entry."""
    try:
        listing = json.loads(Path(path).read_text(encoding="utf-8"))
    except OSError as error:
        raise FileError(f"{path}: cannot read the manifest: {error.strerror or error}") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise FileError(f"{path}: not a JSON manifest: {error}") from None
    entries = listing.get("tiles") if isinstance(listing, dict) else None
    if not isinstance(entries, list) or not entries:
        raise FileError(f'{path}: a manifest is a JSON object whose "tiles" lists at least one tile')
    return [_tile(Path(path), number, entry) for number, entry in enumerate(entries)]


def _tile(manifest: Path, number: int, entry: Any) -> PlacedTile:
    where = f"{manifest}: tile {number}"
    if not isinstance(entry, dict) or not isinstance(entry.get("path"), str):
        raise FileError(f'{where}: each tile is an object with a "path"')
    unknown = set(entry) - {"path", "to_world", "from_world", "voxel_size", "transforms"}
    if unknown:
        raise FileError(f"{where}: unknown keys {', '.join(sorted(unknown))}")
    if ("to_world" in entry) == ("from_world" in entry):
        raise FileError(f'{where}: give "to_world" or "from_world", one of them')
    key = "to_world" if "to_world" in entry else "from_world"
    matrix = _matrix(entry[key], f"{where}: {key}")
    if key == "to_world":
        matrix = np.linalg.inv(matrix)
    name = entry["path"]
    location = name if "://" in name else str(manifest.parent / name)
    voxel_size: Optional[Tuple[float, ...]] = None
    if "voxel_size" in entry:
        voxel_size = tuple(_numbers(entry["voxel_size"], (3,), f"{where}: voxel_size"))
    try:
        image = read_image(location, voxel_size)
    except FileError as error:
        raise FileError(f"{where}: {error}") from None
    local = None if "://" in location else Path(location)
    if "transforms" not in entry:
        return PlacedTile(name, read_by_tasks(image), image.voxel_size, matrix, local)
    steps = _transforms(manifest, entry["transforms"], f"{where}: transforms") + [matrix[np.newaxis]]
    placed = np.asarray(fold([step for step in steps if not isinstance(step, WARPS)], 1)[0])[0]
    chain = None
    if any(isinstance(step, WARPS) for step in steps):
        chain = [step if isinstance(step, WARPS) else step[0] for step in fold(steps, 1)]
    return PlacedTile(name, read_by_tasks(image), image.voxel_size, placed, local, chain)


def _transforms(manifest: Path, paths: Any, what: str) -> List[WorldStep]:
    """The world steps of the transform files ``paths`` lists, in order; one matrix each, not one per volume."""
    if not isinstance(paths, list) or not paths or not all(isinstance(path, str) for path in paths):
        raise FileError(f"{what} must list the paths of transform files")
    steps: List[WorldStep] = []
    for path in paths:
        try:
            # No reference or moving image here: FSL's matrices, which need them, are refused.
            read = read_transform_file(manifest.parent / path, reference=None, moving=None)
        except FileError as error:
            raise FileError(f"{what}: {error}") from None
        if any(not isinstance(step, WARPS) and len(step) != 1 for step in read):
            raise FileError(f"{what}: {path} holds one matrix per volume; a tile takes one transform")
        steps += read
    return steps


def _matrix(values: Any, what: str) -> Matrix:
    """A tile's matrix, read as every entry point reads one, and placing the tile (not singular)."""
    try:
        return not_singular(affine4(_numbers(values, None, what), what), what)
    except ValueError as error:
        raise FileError(str(error)) from None


def _numbers(values: Any, shape: Optional[Tuple[int, ...]], what: str) -> Any:
    try:
        numbers = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise FileError(f"{what} must hold numbers, got {values!r}") from None
    if (shape is not None and numbers.shape != shape) or not np.all(np.isfinite(numbers)):
        count = f"{shape[0]} " if shape else ""
        raise FileError(f"{what} must be {count}finite numbers, got {values!r}")
    return numbers
