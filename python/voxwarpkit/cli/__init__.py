"""The ``voxwarpkit`` command line: ``demo``, ``apply``, ``pyramid`` and ``fuse``.

Every failure is reported as one line on stderr, ``voxwarpkit: error: ...``,
with exit status 1; mistakes in the command line itself exit with 2, as
argparse does.
"""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
import threading
from contextlib import contextmanager
from types import FrameType
from typing import Iterator, Optional, Sequence, TextIO

from .._core.extras import ZARR_3, not_installed, zarr_major
from ..io.codecs import fastest_codecs
from ..io.errors import FileError, first_line
from ..io.formats import format_of, in_blocks, written_in_blocks
from ..io.remote import SCHEMES, is_remote, local_copy, place, scheme_of, storage_options_of
from .errors import CommandError, Terminated
from .options import options_of
from .parser import build_parser

# What reading and writing images block by block needs, whatever their format.
_BLOCK_PACKAGES = ["dask", "zarr"]


def _need(what: str, names: Sequence[str]) -> None:
    """CommandError naming the first of the packages ``names`` that is not installed."""
    for name in names:
        try:
            __import__(name)
        except ImportError:
            raise CommandError(not_installed(what, name)) from None


def _places(arguments: argparse.Namespace) -> None:
    """The command's paths and URLs as places (:mod:`voxwarpkit.io.remote`), with the storage options."""
    if arguments.command == "demo":
        return
    if scheme_of(str(arguments.output)) not in (None, "file"):
        # Before the URL is made a place: that may already ask the store for credentials.
        _need("stores at URLs", _BLOCK_PACKAGES)
        if zarr_major(importlib.import_module("zarr")) < 3:
            raise CommandError(f"output {arguments.output}: writing a store at a URL needs {ZARR_3}")
    options = storage_options_of(arguments.storage_options)
    arguments.input = place(arguments.input, options)
    arguments.output = place(arguments.output, options)
    scheme = scheme_of(str(arguments.output)) if is_remote(arguments.output) else None
    if scheme is not None and not SCHEMES[scheme].writable:
        raise CommandError(f"output {arguments.output}: {scheme}:// URLs are read only")
    if scheme is not None and not written_in_blocks(arguments.output):
        raise CommandError(f"output {arguments.output}: only Zarr stores are written to URLs; write this file locally")
    if scheme is not None and arguments.label is not None:
        raise CommandError(f"output {arguments.output}: label images are added to images on this machine only")
    if arguments.command == "apply":
        arguments.like = None if arguments.like is None else place(arguments.like, options)
        arguments.matrix = None if arguments.matrix is None else place(arguments.matrix, options)
        arguments.transforms = [file._replace(path=place(file.path, options)) for file in arguments.transforms or ()]


def _fetch_transform_files(arguments: argparse.Namespace) -> None:
    """Transform files at URLs, fetched: their readers take local files."""
    if arguments.matrix is not None:
        arguments.matrix = local_copy(arguments.matrix, "matrix")
    arguments.transforms = [file._replace(path=local_copy(file.path, "transform")) for file in arguments.transforms]


def _run(arguments: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    if arguments.command == "demo":
        _need("this command", ["matplotlib"])
        from .demo import DEFAULT_OUTPUT, run_demo

        run_demo(arguments.output or DEFAULT_OUTPUT, out=out)
    elif arguments.command == "pyramid":
        _need("pyramids", ["dask", "zarr", "nibabel"])
        from .pyramid import PyramidLayout, run_pyramid

        options = options_of(arguments, err)
        storage = options.storage
        layout = PyramidLayout(
            storage.levels, storage.chunks, storage.shards, storage.ngff, arguments.interpolation, storage.label
        )
        run_pyramid(
            arguments.input,
            arguments.output,
            layout,
            options.running,
            out=out,
            input_voxel_size=arguments.input_voxel_size,
        )
    elif arguments.command == "fuse":
        _need("fusion", ["dask", "zarr", "nibabel"])
        from .fuse import Blending, run_fuse
        from .pyramid import PyramidLayout

        options = options_of(arguments, err)
        storage = options.storage
        layout = PyramidLayout(storage.levels, storage.chunks, storage.shards, storage.ngff)
        blending = Blending(
            arguments.blending, arguments.blend_width, arguments.interpolation, arguments.fill, arguments.output_type
        )
        manifest = local_copy(arguments.input, "manifest")
        run_fuse(manifest, arguments.output, arguments.voxel_size, blending, layout, options.running, out=out)
    else:
        _need("this command", ["nibabel", "tqdm"])
        read = format_of(arguments.input)
        if read is not None and read.package not in _BLOCK_PACKAGES:
            _need(f"{read.name} images", [read.package])
        if in_blocks(arguments.input, arguments.output):
            _need("Zarr and TIFF images", _BLOCK_PACKAGES)
        from .apply import run_apply

        _fetch_transform_files(arguments)
        run_apply(
            arguments.input,
            arguments.output,
            options_of(arguments, err),
            input_voxel_size=arguments.input_voxel_size,
            out=out,
        )


def _zarrs_writes_it(arguments: argparse.Namespace) -> bool:
    """Whether zarrs may decode and encode the command's chunks: apply's, when its stores are all on
    this machine and its output is one level without shards (zarrs lays out a shard's bytes
    otherwise). A pyramid's peak memory grew with the input's size through zarrs (by 110 MB at
    16 GiB), and fusion's tiles may be anywhere its manifest says: both keep zarr's own pipeline."""
    if arguments.command != "apply" or arguments.levels is not None or getattr(arguments, "shards", None):
        return False
    places = [arguments.input, arguments.output, getattr(arguments, "like", None)]
    return not any(is_remote(where) for where in places if where is not None)


def _terminate(signum: int, frame: Optional[FrameType]) -> None:
    # A second SIGTERM must not cut the clean-up the first one starts.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated()


@contextmanager
def _sigterm_raises() -> Iterator[None]:
    """Turn SIGTERM into Terminated, so that a half-written output is removed as on Ctrl-C.

    Batch schedulers and ``timeout`` send SIGTERM, whose default action
    ends the process at once. Only the main thread may set signal handlers;
    elsewhere SIGTERM keeps its handler. The previous one is restored after.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        # None: a handler set outside Python, which cannot be put back.
        signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    out, err = sys.stdout, sys.stderr
    try:
        arguments = build_parser().parse_args(None if argv is None else list(argv))
        _places(arguments)
        if hasattr(arguments, "check"):
            arguments.check(arguments)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2
    except (CommandError, FileError) as error:
        print(f"voxwarpkit: error: {error}", file=err)
        return 1
    try:
        with _sigterm_raises(), fastest_codecs(_zarrs_writes_it(arguments)):
            _run(arguments, out, err)
    except (CommandError, FileError) as error:
        print(f"voxwarpkit: error: {error}", file=err)
        return 1
    except KeyboardInterrupt:
        print("voxwarpkit: interrupted", file=err)
        return 130
    except Terminated:
        print("voxwarpkit: terminated", file=err)
        return 128 + signal.SIGTERM
    except MemoryError:
        print("voxwarpkit: error: not enough memory", file=err)
        return 1
    except Exception as error:  # never a traceback: say what failed in one line, in the user's words
        print(f"voxwarpkit: error: {first_line(error) or 'failed without a message'}", file=err)
        return 1
    return 0
