"""The command line's options as small records that pass through the commands' layers unchanged.

Each record is one question the options answer: how to sample (``Sampling``),
onto which grid (``OutputGrid``), through what (``Mapping``), how to store the
output (``Storage``) and how to run (``Running``). The parser's namespace is read
into them once, in :func:`options_of`.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Dict, NamedTuple, Optional, Sequence, TextIO

import numpy as np

from .._backends.codes import BLEND_RESULT_TYPES

# --output-type's choices: "same" names the input's element type; the others are numpy's names
# of the types a blend writes, from the engine's table of them.
OUTPUT_TYPES = ("same", *(dtype.name for dtype in BLEND_RESULT_TYPES))


class Sampling(NamedTuple):
    """How the input is sampled: :func:`voxwarpkit.resample`'s keywords of the same names, and
    ``output_type``, its ``dtype`` (one of OUTPUT_TYPES, or None for the method's own type)."""

    interpolation: str = "linear"
    edges: str = "clamp"
    fill: Optional[float] = None  # None: 0, as given by default (scaled NIfTI data tell them apart)
    antialias: bool = False
    output_type: Optional[str] = None

    def keywords(self, image_type: Optional[np.dtype[Any]] = None) -> Dict[str, Any]:
        """The record as keyword arguments of :func:`voxwarpkit.resample`, for an input of
        ``image_type``: the type that ``output_type`` "same" names."""
        keywords = self._asdict()
        output_type = keywords.pop("output_type")
        keywords["dtype"] = image_type if output_type == "same" else output_type
        keywords["fill"] = 0.0 if self.fill is None else self.fill
        return keywords


class OutputGrid(NamedTuple):
    """Which grid the output gets: a reference image's (``like``), the input's with another voxel
    size, one fitted around the transformed input, or a deskewed stack's."""

    like: Optional[Path] = None
    voxel_size: Optional[Sequence[float]] = None
    fit: bool = False
    deskew: Optional[float] = None  # the sheet's angle in degrees
    deskew_rotate: bool = False  # into the coverslip's frame rather than the sheet's


class ChainFile(NamedTuple):
    """A transform file of a chain, and whether it applies inverted (ANTs' ``[file,1]``)."""

    path: Any  # a local path or a URL (a place of :mod:`voxwarpkit.io.remote`)
    inverted: bool = False


class Mapping(NamedTuple):
    """What maps output positions to input ones: transform files applied in order, the first to the
    output's position, and a matrix file (the input's motion when it comes with transform files)."""

    matrix: Optional[Path] = None
    transforms: Sequence[ChainFile] = ()
    convention: Optional[str] = None  # of plain matrix files; None: "physical"
    inverse: bool = False  # the matrices map input to output

    @property
    def moves(self) -> bool:
        """Whether anything maps positions at all (else each voxel keeps its world position)."""
        return self.matrix is not None or bool(self.transforms)


class Storage(NamedTuple):
    """How a Zarr output is stored: its chunks and shards (z, y, x) and, for an OME-Zarr image, its
    levels, NGFF version and the label name it is written under."""

    chunks: Optional[Sequence[int]] = None
    shards: Optional[Sequence[int]] = None
    levels: Optional[int] = None
    ngff: Optional[str] = None
    label: Optional[str] = None


class Running(NamedTuple):
    """How a graph of writes is computed: where, on how many threads, and what it may replace."""

    scheduler: Optional[str] = None  # a dask.distributed scheduler's address; None: local threads
    threads: Optional[int] = None
    force: bool = False
    progress: bool = True
    err: TextIO = sys.stderr


class Options(NamedTuple):
    """Every record of one command's options."""

    sampling: Sampling = Sampling()
    grid: OutputGrid = OutputGrid()
    mapping: Mapping = Mapping()
    storage: Storage = Storage()
    running: Running = Running()


def options_of(arguments: argparse.Namespace, err: TextIO) -> Options:
    """The records of the parser's ``arguments``, each field from the option of its name; fields
    whose option a command lacks, or leaves unset, keep the record's default."""

    def read(record: Any) -> Any:
        given = {name: getattr(arguments, name, None) for name in record._fields}
        return record(**{name: value for name, value in given.items() if value is not None})

    running: Running = read(Running)
    return Options(read(Sampling), read(OutputGrid), read(Mapping), read(Storage), running._replace(err=err))
