"""The command line's arguments: ``demo``, ``apply``, ``pyramid`` and ``fuse``, their help texts and the
checks argparse cannot express."""

from __future__ import annotations

import argparse
import math
import re
import sys
from functools import partial
from pathlib import Path
from typing import Any, List, NoReturn, Optional, Sequence, Union

from .. import __version__
from .._core.methods import DEFAULT_METHOD, EDGE_RULE_NAMES, METHOD_NAMES, METHODS, Method, blends
from ..fuse import BLENDINGS
from ..io.formats import format_of, in_blocks, takes_voxel_size, written_in_blocks
from ..pyramid import LEVEL_METHODS
from .options import OUTPUT_TYPES, ChainFile

_CONVENTIONS = ("physical", "index")

_DESCRIPTION = """\
Resample 3-D image volumes and 4-D series of them (NIfTI, Zarr, OME-Zarr,
TIFF) through affine matrices, registration tools' transforms, displacement
fields and chains of them, with linear, cubic B-spline, Lanczos, nearest or
label interpolation; write anti-aliased OME-Zarr pyramids and deskew
stage-scanned light-sheet stacks.
"""

# The help of every command ends here: the formats' details live in the documentation.
_DETAILS = "Details of every format and option: docs/command-line.md in the source."

_APPLY_DESCRIPTION = """\
Resample a 3-D or 4-D image (NIfTI, Zarr, OME-Zarr or TIFF) through affine
matrices, registration tools' transforms or displacement fields, onto the
input's grid, another image's (--like) or the input's with another voxel size
(--voxel-size), and write it as NIfTI or Zarr.

A matrix file (-m) holds one matrix for every volume or one per volume. A
plain text matrix maps an OUTPUT position to an INPUT position, in the space
--convention names; --inverse reads one that maps INPUT to OUTPUT instead, as
registration tools usually save them, and inverts it. Registration tools'
transforms (ITK, ANTs, FSL, AFNI, FreeSurfer) are read in world coordinates,
in the direction their format defines. FSL MCFLIRT's MAT_0000, MAT_0001, ...
(a folder, or one file) map each volume to MCFLIRT's reference, the input's
own grid; they are read as FSL matrices of the input, in FSL's coordinates,
for any image: give them without --inverse to bring every volume onto the
reference. Without -m or --transform, each output voxel takes the input at
its own world position: a pure regrid.

Rules to know:
  - shapes and voxel sizes are in NIfTI's axis order, i j k (x y z), volumes
    last, for Zarr stores too; only --chunks follows the Zarr array's own
    order, (T) Z Y X
  - linear, cubic and Lanczos write float32; nearest and label keep the
    input's element type, so a label map keeps its labels
  - an existing OUTPUT is kept unless --force is given; the output appears
    only once complete, and Ctrl-C or SIGTERM leaves nothing behind
"""

_PYRAMID_DESCRIPTION = """\
Write a NIfTI, Zarr or TIFF image as an OME-Zarr multiscale image: level 0 is
the input (as float32), and each next level halves the sampling along every
axis that is not coarser than the finest one (an anisotropic stack halves its
finer axes until they reach the coarsest, then all), until a level fits in
one block along some axis or --levels are written. Each level is the one
before it (level 0: the input) anti-aliased (a Gaussian of sigma
(ratio - 1) / 2 voxels per axis) and resampled linearly onto the level's
grid, whose voxel 0 centre the level's translation gives. A label map takes
--interpolation nearest or label: its levels are not smoothed and keep its
type, so they hold its labels only; --label NAME writes it into the existing
OME-Zarr image OUTPUT as its label image NAME. Axes that run backwards (a LAS
image) are flipped, every voxel keeping its world position. The output appears
only once complete; Ctrl-C leaves nothing behind.
"""

_FUSE_DESCRIPTION = """\
Blend many tiles or views, each placed by its own matrix, into one volume, and
write it as an OME-Zarr multiscale image. MANIFEST is a JSON file that lists
each tile's image (NIfTI, Zarr, OME-Zarr or TIFF; a path relative to the
manifest, or a URL) and its "to_world" 4x4 (tile physical -> world) or
"from_world" (its inverse); or a BigStitcher dataset.xml. The output grid
holds every tile, at --voxel-size (default the first tile's). Each voxel is
the weighted mean of the tiles that hold it, each tile's weight rising from
its border over --blend-width; a voxel no tile holds gets --fill. The output
appears only once complete; Ctrl-C leaves nothing behind.
"""

_DEMO_DESCRIPTION = """\
Build a synthetic 3-D head phantom in memory, rotate it about its centre,
print what was done and how long it took, and write a PNG with orthogonal
slices before and after (replacing FILE if it exists).
"""

# Help lines never pass this many columns, whatever the terminal's width.
HELP_WIDTH = 80


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's help with the descriptions as written, wrapped to HELP_WIDTH columns."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=HELP_WIDTH)


class _Parser(argparse.ArgumentParser):
    """argparse with its usage errors prefixed like every other error."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"voxwarpkit: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the whole command line."""
    parser = _Parser(prog="voxwarpkit", description=_DESCRIPTION, epilog=_DETAILS, formatter_class=_Formatter)
    parser.add_argument("--version", action="version", version=f"voxwarpkit {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    command = partial(commands.add_parser, epilog=_DETAILS, formatter_class=_Formatter)

    demo = command(
        "demo", help="rotate a synthetic phantom and draw it before and after", description=_DEMO_DESCRIPTION
    )
    demo.add_argument(
        "-o",
        "--output",
        metavar="FILE.png",
        type=Path,
        default=None,
        help="where to write the picture (default: voxwarpkit-demo.png in this folder)",
    )

    apply = command(
        "apply",
        help="resample an image (NIfTI, Zarr, OME-Zarr, TIFF) through matrices, transform files or "
        "displacement fields, or onto another grid",
        description=_APPLY_DESCRIPTION,
    )
    _add_apply_arguments(apply)
    apply.set_defaults(check=partial(_check_apply, apply))

    pyramid = command(
        "pyramid",
        help="write an image as an OME-Zarr multiscale image, each level anti-aliased",
        description=_PYRAMID_DESCRIPTION,
    )
    pyramid.add_argument("input", metavar="INPUT", help="NIfTI, Zarr or TIFF image: a path or a URL")
    pyramid.add_argument("output", metavar="OUTPUT", help="OME-Zarr image to write (a name ending in .zarr)")
    pyramid.add_argument(
        "--levels",
        metavar="N",
        type=_block_count,
        default=None,
        help="N levels, the input's own included (fewer only once every axis is one voxel); "
        "default: until some axis fits in one chunk",
    )
    _level_layout_options(pyramid)
    pyramid.add_argument(
        "--interpolation",
        choices=LEVEL_METHODS,
        default=None,
        help="how each level is made from the one before: linear (default; smoothed, float32), or, for "
        "label maps, nearest or label (the label of largest trilinear weight), unsmoothed, in the map's type",
    )
    _label_option(pyramid)
    _shards_option(pyramid)
    pyramid.add_argument(
        "--input-voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="TIFF: the input's voxel size along x, y, z, replacing the file's (in micrometres)",
    )
    _running_options(pyramid)
    pyramid.set_defaults(check=partial(_check_pyramid, pyramid))

    fuse = command(
        "fuse", help="blend tiles placed by their own matrices into one OME-Zarr image", description=_FUSE_DESCRIPTION
    )
    _add_fuse_arguments(fuse)
    return parser


def _add_fuse_arguments(fuse: argparse.ArgumentParser) -> None:
    fuse.add_argument("input", metavar="MANIFEST", help="a JSON tile manifest or a BigStitcher dataset.xml")
    fuse.add_argument("output", metavar="OUTPUT", help="OME-Zarr image to write (a name ending in .zarr), or a URL")
    fuse.add_argument(
        "--voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="the output's voxel size along x, y, z (default: the first tile's)",
    )
    fuse.add_argument(
        "--blending",
        choices=tuple(BLENDINGS),
        default="cosine",
        help="cosine (default: weights rise as half a cosine wave from each tile's border), linear (a straight "
        "ramp), average (equal weights) or max (the largest value)",
    )
    fuse.add_argument(
        "--blend-width",
        metavar=("X", "Y", "Z"),
        nargs=3,
        type=_number,
        default=None,
        help="the width of the weights' ramp along x, y, z in physical units (default 10 10 3; 0: no ramp)",
    )
    fuse.add_argument(
        "--interpolation",
        choices=("linear", "nearest", "lanczos"),
        default="linear",
        help="how each tile is sampled (default linear)",
    )
    fuse.add_argument(
        "--output-type",
        metavar="TYPE",
        choices=OUTPUT_TYPES,
        default=None,
        help="the output's element type, as apply's --output-type (default float32; same: the first tile's)",
    )
    fuse.add_argument("--fill", metavar="V", type=_number, default=0.0, help="the value where no tile lies (default 0)")
    fuse.add_argument(
        "--levels",
        metavar="N",
        type=_block_count,
        default=None,
        help="N levels, the fused one first (default: until some axis fits in one chunk)",
    )
    _level_layout_options(fuse)
    _shards_option(fuse)
    _running_options(fuse)


def _level_layout_options(command: argparse._ActionsContainer) -> None:
    """How an OME-Zarr image's levels are stored: --chunks and --ngff."""
    command.add_argument(
        "--chunks",
        metavar=("Z", "Y", "X"),
        nargs=3,
        type=_block_count,
        default=None,
        help="every level's blocks (default 64 64 64, cut to the level)",
    )
    command.add_argument(
        "--ngff",
        choices=("0.4", "0.5"),
        default=None,
        help="OME-Zarr version: 0.4 (Zarr format 2, default) or 0.5 (Zarr format 3)",
    )


def _running_options(command: argparse._ActionsContainer) -> None:
    """Where and how a graph of writes runs: --scheduler, --threads, --force, --storage-options."""
    command.add_argument("--scheduler", metavar="ADDRESS", default=None, help="a dask.distributed scheduler")
    command.add_argument("--threads", metavar="N", type=_thread_count, default=None, help="local threads")
    command.add_argument("--force", action="store_true", help=_FORCE_HELP)
    _add_storage_options(command)


def _interpolation_help() -> str:
    """apply's help for --interpolation: the blends, then the methods that copy elements."""

    def described(method: Method) -> str:
        notes = (["default"] if method.name == DEFAULT_METHOD else []) + ([method.note] if method.note else [])
        return method.name + "".join(f" ({note})" for note in notes)

    def listed(methods: List[Method]) -> str:
        names = [described(method) for method in methods]
        return ", ".join(names[:-1]) + " or " + names[-1]

    blended = listed([method for method in METHODS if method.blends])
    copied = listed([method for method in METHODS if not method.blends])
    return f"{blended}, float32 output; {copied}, which keep the input's element type"


def _label_option(command: argparse._ActionsContainer) -> None:
    command.add_argument(
        "--label",
        metavar="NAME",
        default=None,
        help="write the map as the label image NAME of the existing OME-Zarr image OUTPUT "
        "(OUTPUT/labels/NAME, listed in its labels group once complete); levels by label sampling "
        "unless --interpolation nearest",
    )


def _shards_option(command: argparse._ActionsContainer) -> None:
    command.add_argument(
        "--shards",
        metavar=("Z", "Y", "X"),
        nargs=3,
        type=_block_count,
        default=None,
        help="Zarr format 3 (OME-Zarr 0.5): group the chunks into shards of Z Y X voxels, whole "
        "multiples of the chunks, each one object in the store, made and written by one task",
    )


def _check_pyramid(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """A label image's levels copy labels: linear levels would blend them."""
    if arguments.label is not None:
        if arguments.interpolation is not None and blends(arguments.interpolation):
            parser.error("--label writes a label image, whose levels copy labels: --interpolation nearest or label")
        arguments.interpolation = arguments.interpolation or "label"
    arguments.interpolation = arguments.interpolation or "linear"


_FORCE_HELP = (
    "replace OUTPUT if it exists: on this machine once the new one is complete; at a URL, which has no "
    "rename, the old one is removed before the new one is written, so a failed run there leaves neither"
)


def _add_storage_options(group: Any) -> None:
    group.add_argument(
        "--storage-options",
        metavar="JSON",
        default=None,
        help="options of the file system of every URL (s3://, gs://, az://, http(s)://), as a JSON object, "
        'such as \'{"anon": true}\' for a public bucket or \'{"endpoint_url": "http://host:9000"}\'; '
        "credentials come from the usual environment (AWS_*, GOOGLE_APPLICATION_CREDENTIALS)",
    )


def _add_apply_arguments(apply: argparse.ArgumentParser) -> None:
    """apply's arguments, in groups that follow the order a user decides them in."""
    files = apply.add_argument_group("input and output")
    files.add_argument(
        "input", metavar="INPUT", help="NIfTI, Zarr, OME-Zarr or TIFF image to resample: a path or a URL"
    )
    files.add_argument("output", metavar="OUTPUT", help="NIfTI file or Zarr store to write")
    files.add_argument("--force", action="store_true", help=_FORCE_HELP)
    _add_storage_options(files)

    transforms = apply.add_argument_group("transforms")
    transforms.add_argument(
        "-m",
        "--matrix",
        metavar="FILE",
        action=_GivenOnce,
        default=None,
        help="matrix file or folder, or a registration tool's linear transform; with --transform, the input's "
        "motion, applied last; without either, a pure regrid",
    )
    transforms.add_argument(
        "-t",
        "--transform",
        metavar="FILE",
        dest="transforms",
        action="append",
        type=_chain_file,
        default=None,
        help="a transform file (displacement field, composite, X5 or matrix); repeat it for a chain, "
        "applied in the order given from the output towards the input, as antsApplyTransforms takes "
        "its -t list; [FILE,1] applies a linear transform inverted",
    )
    transforms.add_argument(
        "--convention",
        choices=_CONVENTIONS,
        default=None,
        help="space a text matrix works in (default: physical)",
    )
    transforms.add_argument(
        "--inverse",
        action="store_true",
        help="the matrix maps input to output; invert it before use",
    )

    grid = apply.add_argument_group("output grid")
    grids = grid.add_mutually_exclusive_group()
    grids.add_argument(
        "--like", metavar="REF", action=_GivenOnce, default=None, help="resample onto the grid of image REF"
    )
    grids.add_argument(
        "--voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="the output's voxel size along i, j, k; the output covers the input's extent",
    )
    grid.add_argument(
        "--fit",
        action="store_true",
        help="keep the output grid's axes and voxel size (the input's, REF's or --voxel-size's) but give it the "
        "shape and origin that hold the whole transformed input; matrices only",
    )

    sampling = apply.add_argument_group("sampling")
    sampling.add_argument(
        "--interpolation",
        # The default first, then the others in the table's order.
        choices=(DEFAULT_METHOD,) + tuple(name for name in METHOD_NAMES if name != DEFAULT_METHOD),
        default=DEFAULT_METHOD,
        help=_interpolation_help(),
    )
    sampling.add_argument(
        "--antialias",
        action="store_true",
        help="smooth the input first along each axis the output samples more coarsely (a Gaussian of sigma "
        "(ratio - 1) / 2 voxels), so that finer detail does not alias; float32 output",
    )
    sampling.add_argument(
        "--output-type",
        metavar="TYPE",
        choices=OUTPUT_TYPES,
        default=None,
        help="the element type of a linear, cubic or Lanczos output: int8, uint8, int16, uint16, int32, uint32, "
        "int64, uint64, float16, float32 or float64, or same (the input's); each value rounded once from the "
        "float64 blend, integers to nearest (ties to even) and saturated (default float32; nearest and label "
        "keep the input's type)",
    )
    sampling.add_argument(
        "--edges",
        choices=EDGE_RULE_NAMES,
        default=EDGE_RULE_NAMES[0],
        help="linear interpolation at the input's edges: clamp (default; values within the data, --fill "
        "where nearest finds no voxel) or transform (the bands and extrapolation of voxwarpkit.transform)",
    )
    sampling.add_argument(
        "--fill",
        metavar="V",
        type=_number,
        default=None,
        help="the value of output voxels that map outside the input (default 0)",
    )
    sampling.add_argument(
        "--threads",
        metavar="N",
        type=_thread_count,
        default=None,
        help="threads to resample with (default: every CPU); the result does not depend on it",
    )

    chunked = apply.add_argument_group("Zarr and clusters")
    chunked.add_argument(
        "--chunks",
        metavar="N",
        nargs="+",
        type=_block_count,
        default=None,
        help="Zarr: the output's blocks, Z Y X (or T Z Y X for a 4-D image; default: about 64 MiB each, "
        "shaped like the input's chunks, smaller where one block would read too many of them)",
    )
    chunked.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        default=None,
        help="Zarr: a dask.distributed scheduler, such as tcp://host:8786 (default: this machine's threads); "
        "its workers must see INPUT and OUTPUT at the same paths",
    )
    chunked.add_argument(
        "--levels",
        metavar="N",
        type=_block_count,
        default=None,
        help="write OUTPUT (.zarr) as an OME-Zarr pyramid of N levels, the output grid's first, "
        "each next one as the pyramid command makes it, all in one pass",
    )
    chunked.add_argument(
        "--ngff",
        choices=("0.4", "0.5"),
        default=None,
        help="with --levels: OME-Zarr 0.4 (Zarr format 2, default) or 0.5 (Zarr format 3)",
    )
    _label_option(chunked)
    _shards_option(chunked)

    microscopy = apply.add_argument_group("microscopy")
    microscopy.add_argument(
        "--deskew",
        metavar="ANGLE",
        type=_number,
        default=None,
        help="deskew a stage-scanned light-sheet stack whose sheet lies ANGLE degrees from the coverslip, "
        "in (0, 180), onto a grid that holds all of it",
    )
    microscopy.add_argument(
        "--deskew-rotate",
        action="store_true",
        help="with --deskew: turn the output into coverslip coordinates, z normal to the coverslip",
    )
    microscopy.add_argument(
        "--input-voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="TIFF: the input's voxel size along i, j, k, replacing the file's (in micrometres)",
    )


def _check_apply(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """Usage errors among apply's options, which argparse cannot express."""
    if arguments.chunks is not None and len(arguments.chunks) not in (3, 4):
        parser.error(f"--chunks takes 3 numbers (Z Y X) or 4 (T Z Y X), got {len(arguments.chunks)}")
    chunked = in_blocks(arguments.input, arguments.output)
    if not chunked and (arguments.chunks is not None or arguments.scheduler is not None):
        parser.error("--chunks and --scheduler apply to Zarr images (a name ending in .zarr)")
    if arguments.input_voxel_size is not None and not takes_voxel_size(arguments.input):
        parser.error("--input-voxel-size applies to TIFF inputs; NIfTI and Zarr images state their own")
    _check_deskew(parser, arguments)
    _check_levels(parser, arguments)
    if arguments.matrix is None:
        # Without a transform a block-read image is copied into another format, never a Zarr store into another.
        same = format_of(arguments.input) is format_of(arguments.output) and written_in_blocks(arguments.output)
        converting = chunked and not same
        regrid = arguments.like is not None or arguments.voxel_size is not None or converting
        regrid = regrid or arguments.deskew is not None
        if not regrid and not arguments.transforms:
            parser.error("apply needs --matrix FILE, --transform FILE, --like REF or --voxel-size SX SY SZ")
        if arguments.convention is not None or arguments.inverse:
            parser.error("--convention and --inverse apply to a --matrix file")


def _check_levels(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """--levels writes an OME-Zarr pyramid of smoothed float32 levels."""
    if arguments.levels is None and not arguments.output.name.lower().endswith(".ome.zarr"):
        if arguments.ngff is not None or arguments.label is not None:
            parser.error("--ngff and --label go with --levels N (or an OUTPUT ending in .ome.zarr)")
        return
    if not written_in_blocks(arguments.output):
        parser.error("--levels writes an OME-Zarr pyramid: OUTPUT must be a name ending in .zarr")
    if arguments.label is not None and blends(arguments.interpolation):
        parser.error("--label writes a label image, whose levels copy labels: --interpolation nearest or label")
    if arguments.chunks is not None and len(arguments.chunks) != 3:
        parser.error("with --levels, --chunks takes 3 numbers (Z Y X), every level's blocks")


def _check_deskew(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """--deskew makes its own matrix and grid: nothing else may give them."""
    if arguments.deskew is None:
        if arguments.deskew_rotate:
            parser.error("--deskew-rotate goes with --deskew ANGLE")
        return
    options = (("--matrix", arguments.matrix), ("--transform", arguments.transforms), ("--like", arguments.like))
    given = [name for name, value in options if value]
    if arguments.fit:
        given.append("--fit")
    if given:
        parser.error(f"--deskew makes its own matrix and fitted grid; it does not go with {', '.join(given)}")


class _GivenOnce(argparse.Action):
    """Stores an option's value, and refuses a second: argparse would keep the last without a word."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Union[str, Sequence[Any], None],
        option_string: Optional[str] = None,
    ) -> None:
        given = getattr(namespace, self.dest, None)
        if given is not None:
            names = "/".join(self.option_strings)
            hint = "; chain further transforms with -t" if self.dest == "matrix" else ""
            parser.error(f"{names} is given twice ({given} and {values}): give it once{hint}")
        setattr(namespace, self.dest, values)


# ANTs' spelling of a transform applied inverted, or not: [FILE,1] and [FILE,0].
_ANTS_INVERSE = re.compile(r"^\[(?P<path>.+?)\s*,\s*(?P<inverted>[01])\s*\]$")


def _chain_file(text: str) -> ChainFile:
    """A -t argument: a file, or ANTs' [FILE,1] (inverted) or [FILE,0]; a file of that very name wins."""
    spelled = _ANTS_INVERSE.match(text)
    if spelled is None or Path(text).exists():
        return ChainFile(text)
    return ChainFile(spelled.group("path"), spelled.group("inverted") == "1")


def _number(text: str) -> float:
    """A whole number stays an int, so that a fill for 64-bit integers keeps every digit."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _positive_number(text: str) -> float:
    value = float(_number(text))
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def _block_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"a block needs at least 1 voxel along each axis, got {count}")
    return count


def _thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return count
