"""Which codec pipeline zarr runs for apply: zarrs' where it is installed, else zarr's own.

zarr-python decodes and encodes chunks through a codec pipeline it takes
from its config when it opens an array. zarrs (the extra of that name) is a
pipeline written in Rust that runs the same codecs: on apply's chunks of
8 MiB it encoded in about four fifths of zarr's time, the same bytes on
disk, and for arrays it does not handle it falls back to zarr's own.
Stores at URLs keep zarr's own pipeline: zarrs reads some of them (HTTP)
with a client of its own, which does not take the storage options fsspec
is given, and its read from a server in this same process never finished.
Sharded outputs keep it too, as zarrs lays out a shard's bytes otherwise,
and so do pyramids, whose peak memory grew with the input through zarrs.
So apply, when its stores are all on this machine, runs with zarrs unless
zarr's config already names a pipeline (for instance through
``ZARR_CODEC_PIPELINE__PATH``); the config is put back when the command
ends, so that a program that calls the command line keeps its own. A
cluster's workers open arrays with their own config.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import warnings
from contextlib import contextmanager
from typing import Iterator

ZARRS_PIPELINE = "zarrs.ZarrsCodecPipeline"
ZARR_PIPELINE = "zarr.core.codec_pipeline.BatchedCodecPipeline"  # zarr 3's own, its default


@contextmanager
def fastest_codecs(wanted: bool) -> Iterator[None]:
    """zarr's arrays opened within the context decode and encode through zarrs' pipeline, where
    ``wanted`` (:func:`voxwarpkit.cli._zarrs_writes_it`), zarrs is installed
    and zarr's config names its own default pipeline; otherwise nothing changes."""
    if not wanted or importlib.util.find_spec("zarrs") is None:
        yield
        return
    try:
        zarr = importlib.import_module("zarr")
        importlib.import_module("zarrs")  # registers nothing; fails where it does not fit this zarr
        chosen = zarr.config.get("codec_pipeline.path")
    except Exception:  # a zarrs built for another zarr: zarr's own pipeline serves
        yield
        return
    if chosen != ZARR_PIPELINE or os.environ.get("ZARR_CODEC_PIPELINE__PATH"):  # a pipeline chosen
        yield
        return
    with zarr.config.set({"codec_pipeline.path": ZARRS_PIPELINE}), warnings.catch_warnings():
        # Said once for each array zarrs leaves to zarr's own pipeline, which then reads it as before.
        warnings.filterwarnings("ignore", message="Array is unsupported by ZarrsCodecPipeline")
        yield
