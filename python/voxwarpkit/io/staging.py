"""Where a new Zarr store's arrays are made while their blocks are written, and how it is completed.

On this machine the store is made whole in a hidden folder beside the
target and renamed to it at the end (:func:`voxwarpkit.io.atomic.replaced_store_on_success`).
An object store has no rename: zarr and ngff-zarr fill a remote store region
by region in place. So there the store is filled in place, in an order that
never shows a reader half an image: the arrays and groups are created in a
local folder, which thus holds every metadata document; each task writes its
chunks (or shards) straight to the URL, through an array opened from that
local metadata; only once every chunk is written are the metadata documents
uploaded, the arrays' before the groups' and the top one last. Until then
the URL holds no ``zarr.json``, ``.zarray`` or ``.zgroup``: nothing there
opens as an image. A failed or interrupted run removes what it wrote.
"""

from __future__ import annotations

import importlib
import os
import shutil
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Dict, Iterator, NamedTuple, Union

from .._core.extras import ZARR_3, zarr_major
from .atomic import replaced_store_on_success
from .errors import FileError, first_line
from .remote import Place, is_remote

# The metadata documents of Zarr formats 2 and 3.
METADATA_NAMES = (".zarray", ".zattrs", ".zgroup", "zarr.json")


class RemoteArray:
    """An array at a URL whose metadata is not written there yet: opened from the metadata made
    locally. Pickles as the URL, the storage options and the metadata, so a cluster's workers
    open it themselves."""

    def __init__(self, url: str, storage_options: Dict[str, Any], metadata: Dict[str, Any]) -> None:
        self.url, self.storage_options, self.metadata = url, storage_options, metadata

    def open(self) -> Any:
        storage = importlib.import_module("zarr.storage")
        array_module = importlib.import_module("zarr.core.array")
        store = storage.FsspecStore.from_url(self.url, storage_options=self.storage_options, read_only=False)
        return importlib.import_module("zarr").Array(
            array_module.AsyncArray(metadata=self.metadata, store_path=storage.StorePath(store))
        )


# Where a task writes an array's blocks: a local array's absolute path, or an array at a URL.
Destination = Union[str, RemoteArray]


class Staging(NamedTuple):
    """A store being made: ``folder`` is where its arrays and groups are created (for a URL,
    their metadata alone); ``target`` the URL's place its chunks go to, None for a local store."""

    folder: Path
    target: Any = None  # a UPath, or None

    def destination(self, array_path: Union[str, Path]) -> Destination:
        """Where the blocks of the array created at ``array_path`` (inside ``folder``) go."""
        if self.target is None:
            return str(Path(array_path).absolute())
        relative = Path(array_path).relative_to(self.folder).as_posix()
        url = str(self.target).rstrip("/") + ("" if relative == "." else "/" + relative)
        zarr = importlib.import_module("zarr")
        metadata = zarr.open_array(str(array_path), mode="r").metadata.to_dict()
        return RemoteArray(url, dict(self.target.storage_options), metadata)


def open_destination(destination: Destination, mode: str = "r+") -> Any:
    """The zarr array a task writes (``mode`` "r+": fails where a local store is gone) or reads."""
    if isinstance(destination, RemoteArray):
        return destination.open()
    return importlib.import_module("zarr").open_array(destination, mode=mode)


@contextmanager
def staged(target: Place, *, force: bool) -> Iterator[Staging]:
    """The Staging of a new store ``target``, completed if the block succeeds and removed if not:
    renamed into place on this machine, metadata uploaded last at a URL (see the module's
    docstring). With ``force`` an existing ``target`` is replaced: on this machine at the end,
    at a URL before anything is written, so that a failed run there leaves neither."""
    if not is_remote(target):
        with replaced_store_on_success(target, force=force) as partial:
            yield Staging(partial)
        return
    if zarr_major(importlib.import_module("zarr")) < 3:
        raise FileError(f"output {target}: writing a store at a URL needs {ZARR_3}")
    url: Any = target
    fs, path = url.fs, url.path
    if _exists(fs, path):
        if not force:
            raise FileError(f"output {target}: exists already (use --force to replace it)")
        _remove(fs, path, target)
    folder = Path(tempfile.mkdtemp(prefix="voxwarpkit-metadata-"))
    try:
        yield Staging(folder, target)
        _upload_metadata(folder, target)
    except BaseException:
        try:
            _remove(fs, path, target)
        except FileError:  # the run's own error says more: report that one
            pass
        raise
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _upload_metadata(folder: Path, target: Any) -> None:
    """Every metadata document under ``folder`` to the same place under ``target``: the deepest
    first, so that the top one, which makes the store an image, comes last."""
    documents = [Path(root) / name for root, _, names in os.walk(folder) for name in names if name in METADATA_NAMES]
    documents.sort(key=lambda document: (-len(document.relative_to(folder).parts), str(document)))
    base = target.path.rstrip("/")
    try:
        for document in documents:
            target.fs.put_file(str(document), f"{base}/{document.relative_to(folder).as_posix()}")
    except Exception as error:  # what each file system raises for a refusal or a lost connection
        raise FileError(f"output {target}: cannot write it ({first_line(error) or type(error).__name__})") from None


def _exists(fs: Any, path: str) -> bool:
    try:
        return bool(fs.exists(path))
    except Exception as error:  # a bucket that does not exist, a refusal, a server not reached
        raise FileError(f"output {fs.unstrip_protocol(path)}: cannot reach it ({first_line(error)})") from None


def _remove(fs: Any, path: str, target: Any) -> None:
    """Remove what is at ``path``, everything under it; silently when nothing is."""
    try:
        fs.invalidate_cache(path)  # listings kept from before the run would leave its chunks out
        if fs.exists(path):
            fs.rm(path, recursive=True)
    except FileNotFoundError:
        pass
    except Exception as error:
        raise FileError(f"output {target}: cannot remove what was written ({first_line(error)})") from None
