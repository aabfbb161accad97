"""BigStitcher / BigDataViewer tile sets: a ``dataset.xml`` and the images it names, read lazily, as the
tiles, voxel sizes and matrices :func:`voxwarpkit.fuse` takes.

What of the XML is read:

- ``BasePath`` (relative to the XML's folder, or absolute) and the image
  loader's path element (relative to the base path, or absolute);
- image loaders ``bdv.hdf5`` (the BigDataViewer HDF5 layout,
  ``t{timepoint:05d}/s{setup:02d}/0/cells``, z y x; its 16-bit cells are
  stored as int16 and read as uint16, as BigDataViewer reads them), and
  ``bdv.multimg.zarr`` / ``bdv.ome.zarr`` (a Zarr folder named by ``<zarr>``
  or ``<ome.zarr>``; each view's group by ``<zgroups><zgroup setup=".."
  timepoint=".."><path>`` where given, else ``setup{setup}/timepoint{timepoint}``;
  in a group, level 0 is the first OME-Zarr multiscales dataset, else ``s0``;
  leading axes of length 1, an OME-Zarr image's t and c, are dropped);
- ``ViewSetups``: each ``ViewSetup``'s id, size (x y z), voxelSize (unit,
  size x y z) and attributes (channel, illumination, angle, tile, ...);
- ``Timepoints`` of type ``range`` (first, last), ``list`` and ``pattern``
  (numbers and ranges ``a-b`` or ``a-b:step``, separated by commas or spaces);
- ``MissingViews``, which are left out;
- ``ViewRegistrations``: each ``ViewRegistration``'s ``ViewTransform``s of
  type ``affine`` (12 numbers, a 3x4 matrix row by row), composed as
  BigDataViewer does: world = T0 @ T1 @ ... @ Tn @ pixel, the first listed
  applied last. Pixel coordinates are (x, y, z), pixel centres at integers.

Not read: SpimData before version 0.2 (a ViewRegistration's timepoint and
setup as child elements), other image loaders (N5 ``bdv.n5``, TIFF and
Bio-Formats file maps, Zarr in an S3 bucket), transforms other than
``affine`` (a non-rigid registration's grid, for one), levels other than full
resolution, and the intensity adjustments and point descriptors BigStitcher
keeps beside them.
A view whose registration or image is missing, and not listed in
``MissingViews``, is a FileError.
"""

from __future__ import annotations

import hashlib
import importlib
import re
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Set, Tuple

import numpy as np

from .._core.affine import is_singular
from .._core.extras import not_installed
from .._lazy.windows import Windows, regular_chunks, zarr_windows
from .errors import FileError, first_line
from .windows import Squeezed

if TYPE_CHECKING:
    from numpy.typing import NDArray


class View(NamedTuple):
    """One view (a tile of a timepoint) as fusion takes it."""

    timepoint: int
    setup: int
    attributes: Dict[str, int]  # the setup's channel, illumination, angle, tile, ... ids
    image: Any  # level 0, (z, y, x), read lazily: a zarr.Array, or Windows of an HDF5 dataset
    shape: Tuple[int, int, int]  # (nz, ny, nx)
    voxel_size: Tuple[float, float, float]  # (sx, sy, sz), in ``unit``
    unit: Optional[str]  # the voxel size's unit as the XML names it
    # World -> tile physical (4x4): diag(voxel size) @ inv(pixel -> world), world in the XML's world units.
    matrix: NDArray[np.float64]


def read_bigstitcher(
    path: Path, *, timepoint: Optional[int] = None, attributes: Optional[Mapping[str, int]] = None
) -> List[View]:
    """The views of ``timepoint`` (default: the first) whose setups have ``attributes`` (e.g.
    ``{"channel": 1}``; default: every setup), in setup order. FileError names ``path`` and the fault."""
    root = _parse(path)
    sequence = _child(root, "SequenceDescription", path)
    setups = _setups(_child(sequence, "ViewSetups", path), path)
    timepoints = _timepoints(_child(sequence, "Timepoints", path), path)
    if timepoint is None:
        timepoint = timepoints[0]
    elif timepoint not in timepoints:
        raise FileError(f"{path}: no timepoint {timepoint} (it has {_listed(timepoints)})")
    missing = _missing_views(sequence.find("MissingViews"), path)
    wanted = dict(attributes or {})
    chosen = [s for s in setups.values() if all(s.attributes.get(k) == v for k, v in wanted.items())]
    chosen = [s for s in chosen if (timepoint, s.id) not in missing]
    if not chosen:
        raise FileError(f"{path}: no view of timepoint {timepoint} has attributes {wanted}")
    registrations = _registrations(_child(root, "ViewRegistrations", path), path)
    open_image = _image_opener(_child(sequence, "ImageLoader", path), _base_folder(root, path), path)
    views = []
    for setup in chosen:
        pixel_to_world = registrations.get((timepoint, setup.id))
        if pixel_to_world is None:
            raise FileError(f"{path}: view (timepoint {timepoint}, setup {setup.id}) has no ViewRegistration")
        image = open_image(timepoint, setup.id)
        shape = (int(image.shape[0]), int(image.shape[1]), int(image.shape[2]))
        if setup.shape is not None and shape != setup.shape:
            raise FileError(
                f"{path}: setup {setup.id}'s size is {list(setup.shape[::-1])} (x y z) "
                f"but its image at timepoint {timepoint} is {list(shape[::-1])}"
            )
        world_to_physical = np.diag([*setup.voxel_size, 1.0]) @ np.linalg.inv(pixel_to_world)
        views.append(
            View(timepoint, setup.id, setup.attributes, image, shape, setup.voxel_size, setup.unit, world_to_physical)
        )
    return views


class _Setup(NamedTuple):
    id: int
    shape: Optional[Tuple[int, int, int]]  # (nz, ny, nx), where the XML gives a size
    voxel_size: Tuple[float, float, float]
    unit: Optional[str]
    attributes: Dict[str, int]


def _parse(path: Path) -> ElementTree.Element:
    try:
        root = ElementTree.parse(path).getroot()
    except FileNotFoundError:
        raise FileError(f"{path}: no such file") from None
    except (OSError, ElementTree.ParseError) as error:
        raise FileError(f"{path}: not a readable XML file ({first_line(error)})") from None
    if root.tag != "SpimData":
        raise FileError(f"{path}: a <{root.tag}> document, not a BigDataViewer <SpimData>")
    return root


def _child(element: ElementTree.Element, tag: str, path: Path) -> ElementTree.Element:
    found = element.find(tag)
    if found is None:
        raise FileError(f"{path}: <{element.tag}> has no <{tag}>")
    return found


def _text(element: ElementTree.Element, tag: str, path: Path) -> str:
    return (_child(element, tag, path).text or "").strip()


def _numbers(text: str, count: int, what: str, path: Path) -> List[float]:
    try:
        values = [float(word) for word in text.split()]
    except ValueError:
        values = []
    if len(values) != count or not all(np.isfinite(values)):
        raise FileError(f"{path}: {what} must be {count} numbers, got {text!r}")
    return values


def _integer(text: Optional[str], what: str, path: Path) -> int:
    try:
        return int((text or "").strip())
    except ValueError:
        raise FileError(f"{path}: {what} must be a whole number, got {text!r}") from None


def _setups(element: ElementTree.Element, path: Path) -> Dict[int, _Setup]:
    setups: Dict[int, _Setup] = {}
    for setup in element.findall("ViewSetup"):
        id = _integer(_text(setup, "id", path), "a ViewSetup's <id>", path)
        what = f"setup {id}'s"
        size = setup.find("size")
        shape = None
        if size is not None:
            x, y, z = (int(n) for n in _numbers(size.text or "", 3, f"{what} <size>", path))
            shape = (z, y, x)
        voxel = _child(setup, "voxelSize", path)
        sx, sy, sz = _numbers(_text(voxel, "size", path), 3, f"{what} voxelSize <size>", path)
        if min(sx, sy, sz) <= 0:
            raise FileError(f"{path}: {what} voxel size must be positive, got {[sx, sy, sz]}")
        unit = voxel.findtext("unit")
        found = setup.find("attributes")
        kinds = [] if found is None else list(found)
        attributes = {kind.tag: _integer(kind.text, f"{what} attribute {kind.tag}", path) for kind in kinds}
        setups[id] = _Setup(id, shape, (sx, sy, sz), None if unit is None else unit.strip(), attributes)
    if not setups:
        raise FileError(f"{path}: <ViewSetups> holds no <ViewSetup>")
    return dict(sorted(setups.items()))


def _timepoints(element: ElementTree.Element, path: Path) -> List[int]:
    kind = element.get("type", "range")
    if kind == "range":
        first = _integer(_text(element, "first", path), "<Timepoints> <first>", path)
        last = _integer(_text(element, "last", path), "<Timepoints> <last>", path)
        listed = list(range(first, last + 1))
    elif kind in ("list", "pattern"):
        words = " ".join((child.text or "") for child in element).replace(",", " ").split()
        listed = [n for word in words for n in _pattern_word(word, path)]
    else:
        raise FileError(f"{path}: <Timepoints> of type {kind!r}; range, list and pattern are read")
    if not listed:
        raise FileError(f"{path}: <Timepoints> lists no timepoint")
    return listed


def _pattern_word(word: str, path: Path) -> List[int]:
    """The timepoints of one word of a list or pattern: ``7``, ``0-5`` or ``0-10:2``."""
    match = re.fullmatch(r"(-?\d+)(?:-(-?\d+)(?::(\d+))?)?", word)
    if match is None:
        raise FileError(f"{path}: <Timepoints> holds {word!r}, not a number or a range a-b[:step]")
    first, last, step = match.groups()
    if last is None:
        return [int(first)]
    return list(range(int(first), int(last) + 1, int(step or 1)))


def _missing_views(element: Optional[ElementTree.Element], path: Path) -> Set[Tuple[int, int]]:
    what = "a missing View's timepoint or setup"
    if element is None:
        return set()
    return {
        (_integer(v.get("timepoint"), what, path), _integer(v.get("setup"), what, path))
        for v in element.findall("View")
    }


def _registrations(element: ElementTree.Element, path: Path) -> Dict[Tuple[int, int], NDArray[np.float64]]:
    """Each view's pixel -> world affine (4x4), its transforms composed first-listed-last."""
    composed: Dict[Tuple[int, int], NDArray[np.float64]] = {}
    for registration in element.findall("ViewRegistration"):
        view = (
            _integer(registration.get("timepoint"), "a ViewRegistration's timepoint", path),
            _integer(registration.get("setup"), "a ViewRegistration's setup", path),
        )
        what = f"view (timepoint {view[0]}, setup {view[1]})"
        pixel_to_world = np.eye(4)
        for transform in registration.findall("ViewTransform"):
            if transform.get("type") != "affine":
                raise FileError(f"{path}: {what} has a transform of type {transform.get('type')!r}; affine is read")
            matrix = np.eye(4)
            matrix[:3] = np.reshape(_numbers(_text(transform, "affine", path), 12, f"{what}'s affine", path), (3, 4))
            pixel_to_world = pixel_to_world @ matrix
        if is_singular(pixel_to_world):
            raise FileError(f"{path}: {what}'s transforms compose to a singular affine")
        composed[view] = pixel_to_world
    return composed


def _image_opener(loader: ElementTree.Element, base: Path, path: Path) -> Callable[[int, int], Any]:
    """A function (timepoint, setup) -> that view's level-0 image, for the loader's format."""
    kind = loader.get("format")
    if kind == "bdv.hdf5":
        return _hdf5_opener(_loader_path(loader, ("hdf5",), base, path), path)
    if kind in ("bdv.multimg.zarr", "bdv.ome.zarr"):
        if loader.find("s3bucket") is not None:
            raise FileError(f"{path}: its Zarr images are in an S3 bucket; a Zarr folder on this machine is read")
        groups: Dict[Tuple[int, int], str] = {}
        for group in loader.iter("zgroup"):
            numbers = group.get("timepoint", group.get("tp")), group.get("setup")
            view = (_integer(numbers[0], "a zgroup's timepoint", path), _integer(numbers[1], "a zgroup's setup", path))
            groups[view] = (group.findtext("path") or group.get("path") or "").strip()
        return _zarr_opener(_loader_path(loader, ("zarr", "ome.zarr"), base, path), groups, path)
    raise FileError(f"{path}: image loader format {kind!r}; bdv.hdf5, bdv.multimg.zarr and bdv.ome.zarr are read")


def _base_folder(root: ElementTree.Element, path: Path) -> Path:
    """The folder the loader's relative paths start from: ``BasePath``, itself relative to the XML's folder."""
    element = root.find("BasePath")
    named = Path(((element.text if element is not None else None) or ".").strip())
    return named if named.is_absolute() else path.parent / named


def _loader_path(loader: ElementTree.Element, tags: Tuple[str, ...], base: Path, path: Path) -> Path:
    element = next((found for found in (loader.find(tag) for tag in tags) if found is not None), None)
    if element is None or not (element.text or "").strip():
        raise FileError(f"{path}: <ImageLoader> names no {' or '.join(f'<{t}>' for t in tags)} path")
    named = Path((element.text or "").strip())
    return named if element.get("type") == "absolute" or named.is_absolute() else base / named


def _hdf5_opener(file: Path, path: Path) -> Callable[[int, int], Any]:
    try:
        h5py = importlib.import_module("h5py")
    except ImportError:
        raise FileError(not_installed(f"{path}: a BigDataViewer HDF5 image", "h5py")) from None
    if not file.is_file():
        raise FileError(f"{path}: its HDF5 image file {file} does not exist")

    def open_view(timepoint: int, setup: int) -> Any:
        name = f"t{timepoint:05d}/s{setup:02d}/0/cells"
        try:
            with h5py.File(file, "r") as stored:
                cells = stored.get(name)
                if not isinstance(cells, h5py.Dataset):
                    raise FileError(f"{path}: {file} has no dataset {name}")
                shape, dtype, chunks = tuple(cells.shape), cells.dtype, cells.chunks or cells.shape
        except OSError as error:
            raise FileError(f"{path}: {file} is not a readable HDF5 file ({first_line(error)})") from None
        if len(shape) != 3:
            raise FileError(f"{path}: {file}'s {name} has {len(shape)} axes, not z y x")
        cells_read = HDF5Cells(str(file.absolute()), name, shape, dtype.str)
        # Named by the file's content as far as its path and time of change tell, as dask names its keys.
        token = hashlib.sha1(f"{file.absolute()}|{file.stat().st_mtime_ns}|{name}".encode()).hexdigest()
        return Windows(cells_read, regular_chunks(shape, chunks), "bdv-hdf5-" + token)

    return open_view


class HDF5Cells:
    """A BigDataViewer HDF5 dataset as an array that tasks read in windows, and that pickles as its
    file, name, shape and type; the file opens the first time it is read, once per process.

    BigDataViewer writes unsigned 16-bit images as int16 cells and reads them back as unsigned:
    so are they read here.
    """

    def __init__(self, file: str, name: str, shape: Tuple[int, ...], stored: str) -> None:
        self.file, self.name, self.shape, self.stored = file, name, shape, np.dtype(stored)
        self.dtype = np.dtype(np.uint16) if self.stored == np.dtype(np.int16) else self.stored
        self.ndim = len(shape)
        self._dataset: Any = None

    def __reduce__(self) -> Tuple[Any, ...]:
        return (HDF5Cells, (self.file, self.name, self.shape, self.stored.str))

    def __getitem__(self, region: Any) -> NDArray[Any]:
        if self._dataset is None:  # two threads may both open it: the second handle is as good
            self._dataset = importlib.import_module("h5py").File(self.file, "r")[self.name]
        return np.asarray(self._dataset[region]).view(self.dtype)


def _zarr_opener(folder: Path, groups: Dict[Tuple[int, int], str], path: Path) -> Callable[[int, int], Any]:
    try:
        zarr = importlib.import_module("zarr")
    except ImportError:
        raise FileError(not_installed(f"{path}: a BigDataViewer Zarr image", "zarr")) from None
    if not folder.is_dir():
        raise FileError(f"{path}: its Zarr folder {folder} does not exist")

    def open_view(timepoint: int, setup: int) -> Any:
        name = groups.get((timepoint, setup)) or f"setup{setup}/timepoint{timepoint}"
        try:
            found = zarr.open(str(folder / name), mode="r")
            if isinstance(found, zarr.Group):
                found = found[_level0(found)]
        except Exception as error:  # zarr raises several types for what it cannot read
            raise FileError(
                f"{path}: no level-0 Zarr array at {folder / name} ({first_line(error) or type(error).__name__})"
            ) from None
        kept = [a for a, n in enumerate(found.shape) if n != 1 or a >= found.ndim - 3]
        if len(kept) != 3:
            raise FileError(f"{path}: {folder / name} has shape {list(found.shape)}, not z y x")
        if found.ndim == 3:
            return found
        windows = zarr_windows(found)
        chunks = tuple(windows.chunks[a] for a in kept)
        return Windows(Squeezed(found, kept), chunks, windows.name + "-zyx", cached=windows.read.cached)

    return open_view


def _level0(group: Any) -> str:
    """The path of a group's full-resolution array: its first OME-Zarr dataset, else BigDataViewer's ``s0``."""
    attributes = dict(group.attrs)
    multiscales = (attributes.get("ome") or attributes).get("multiscales")
    return str(multiscales[0]["datasets"][0]["path"]) if multiscales else "s0"


def _listed(numbers: List[int]) -> str:
    return ", ".join(map(str, numbers[:10])) + (", ..." if len(numbers) > 10 else "")
