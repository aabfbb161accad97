"""Images and transform files at URLs: object stores (S3, GCS, Azure), HTTP servers, file:// URLs.

A URL becomes a ``UPath`` (universal-pathlib): a path that answers the
same questions as a local one (its name, whether it exists, what a folder
holds) through an fsspec file system, carrying the storage options that
file system takes (an endpoint, credentials, anonymous access). Everything
else about credentials is the usual environment of each library: ``AWS_*``
(``AWS_ENDPOINT_URL`` included) for S3, ``GOOGLE_APPLICATION_CREDENTIALS``
for GCS. fsspec rather than obstore: one library opens both the Zarr stores
(zarr's FsspecStore) and the single files nibabel, tifffile and the
transform readers take, and its file systems pickle with their options, so a
cluster's workers open the store themselves from the URL.

Zarr stores are read in place, window by window. A NIfTI, TIFF or transform
file is fetched whole into a temporary folder of this process first: their
readers take local files, and such files are small beside the stores.
"""

from __future__ import annotations

import atexit
import importlib
import importlib.util
import json
import shutil
import tempfile
from pathlib import Path
from typing import Any, Dict, Mapping, NamedTuple, Optional, Union

from .._core.extras import not_installed
from .errors import FileError, first_line


class Scheme(NamedTuple):
    """What a URL scheme needs: the package that gives fsspec its file system, and whether it is written to."""

    package: Optional[str]
    writable: bool


SCHEMES: Dict[str, Scheme] = {
    "s3": Scheme("s3fs", True),
    "gs": Scheme("gcsfs", True),
    "gcs": Scheme("gcsfs", True),
    "az": Scheme("adlfs", True),
    "abfs": Scheme("adlfs", True),
    "http": Scheme("aiohttp", False),
    "https": Scheme("aiohttp", False),
}

Place = Union[Path, Any]  # a local Path, or a UPath for a URL


def scheme_of(text: str) -> Optional[str]:
    """The scheme of ``text`` when it is a URL (``s3://...``), lower case; None for a local path."""
    head, separator, _ = str(text).partition("://")
    return head.lower() if separator and head.isalnum() else None


def place(text: Union[str, Path], storage_options: Optional[Mapping[str, Any]] = None) -> Place:
    """Where ``text`` names: a local Path (``file://`` URLs too), or a UPath with ``storage_options``
    for a URL of SCHEMES; FileError for another scheme or a file system that is not installed."""
    scheme = scheme_of(str(text))
    if scheme is None:
        return Path(text)
    if scheme == "file":
        return Path(str(text)[len("file://") :])
    if scheme not in SCHEMES:
        known = ", ".join(f"{name}://" for name in SCHEMES)
        raise FileError(f"{text}: URLs of {scheme}:// are not read here; {known} and file:// are")
    package = SCHEMES[scheme].package
    if package is not None and importlib.util.find_spec(package) is None:
        raise FileError(not_installed(f"{scheme}:// URLs", package))
    try:
        upath = importlib.import_module("upath").UPath
    except ImportError:
        raise FileError(not_installed("URLs", "universal_pathlib")) from None
    return upath(str(text), **dict(storage_options or {}))


def is_remote(where: Any) -> bool:
    """Whether ``where`` is a place reached through a URL rather than this machine's files."""
    return not isinstance(where, Path) and scheme_of(str(where)) is not None


def as_place(where: Any, storage_options: Optional[Mapping[str, Any]] = None) -> Place:
    """``where`` as a place: itself when it is one, a URL given as text as its place (with
    ``storage_options``, and the usual environment's credentials), else a local Path."""
    if isinstance(where, str):
        return place(where, storage_options)
    return where if is_remote(where) else Path(where)


def storage_options_of(text: Optional[str]) -> Dict[str, Any]:
    """The ``--storage-options`` JSON object as a dict; FileError for anything else."""
    if text is None:
        return {}
    try:
        options = json.loads(text)
    except json.JSONDecodeError as error:
        raise FileError(f"--storage-options: not JSON ({error.msg} at character {error.pos})") from None
    if not isinstance(options, dict):
        raise FileError("--storage-options: a JSON object of the store's options, such as '{\"anon\": true}'")
    return options


def zarr_store(where: Place, *, read_only: bool) -> Any:
    """What zarr opens for ``where``: its absolute path for a local store (which a cluster's
    workers, started in other folders, find too), else an FsspecStore at the URL."""
    if not is_remote(where):
        return str(Path(where).absolute())
    storage, url = importlib.import_module("zarr.storage"), _url(where)
    return storage.FsspecStore.from_url(str(url), storage_options=dict(url.storage_options), read_only=read_only)


_fetched: Optional[Path] = None


def local_copy(where: Place, role: str) -> Path:
    """``where`` itself when local, else a copy of the file (or folder) fetched into a temporary
    folder this process removes as it exits, under the same name. FileError when it cannot be read."""
    global _fetched
    if not is_remote(where):
        return Path(where)
    if _fetched is None:
        _fetched = Path(tempfile.mkdtemp(prefix="voxwarpkit-fetched-"))
        atexit.register(shutil.rmtree, _fetched, True)
    folder, url = Path(tempfile.mkdtemp(dir=_fetched)), _url(where)
    copy = folder / (url.name or "file")
    try:
        if url.is_dir():
            url.fs.get(url.path, str(copy), recursive=True)
        else:
            url.fs.get_file(url.path, str(copy))
    except FileNotFoundError:
        raise FileError(f"{role} {where}: no such file or folder") from None
    except Exception as error:  # what each file system raises for a server it cannot reach or a refusal
        raise FileError(f"{role} {where}: cannot read it ({first_line(error) or type(error).__name__})") from None
    return copy


def _url(where: Place) -> Any:
    """``where``, a remote place, as the UPath it is (typed as such for the checker)."""
    return where
