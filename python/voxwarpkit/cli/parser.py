"""The command line's arguments: ``demo`` and ``apply``, their help texts and the checks argparse cannot express."""

from __future__ import annotations

import argparse
import math
import sys
from functools import partial
from pathlib import Path
from typing import NoReturn

from .._version import __version__
from ..io.tiff import is_tiff
from ..io.zarr import is_zarr
from ..pyramid import LEVEL_METHODS

_CONVENTIONS = ("physical", "index")

_APPLY_DESCRIPTION = """\
Resample a 3-D or 4-D NIfTI image (.nii or .nii.gz) through affine matrices,
onto the input's grid, another image's (--like) or the input's with another
voxel size (--voxel-size). Linear, cubic and Lanczos interpolation write float32; nearest and
label keep the input's element type, so a label map keeps its labels. The header keeps
the input's fields, with the output grid's shape, affine (sform and qform)
and voxel size. Voxel sizes come from the headers. Shapes and voxel sizes
in this command's options and messages are in NIfTI's axis order, i j k
(x y z), volumes last, for Zarr stores too; only --chunks follows the Zarr
array's own order, (T) Z Y X.

The matrix file (-m) holds one matrix, used for every volume, or one per
volume of a 4-D image:
  text       12 (3x4) or 16 (4x4) numbers, row by row, separated by blanks
             or commas ('#' starts a comment); or one matrix per volume:
             lines of 12 numbers (3x4 each), or 4x4 blocks of 4 lines of
             4 numbers ending 0 0 0 1, blank lines between them allowed
  folder     one such text file per volume, in name order (vol2 before
             vol10; hidden files left out). FSL MCFLIRT's MAT_0000 ... map
             INPUT to OUTPUT (--inverse) in FSL's coordinates, which are
             the physical convention only for an image whose affine has a
             negative determinant
By default a text matrix maps an OUTPUT position to an INPUT position, in
the space --convention names. Without -m, each output voxel takes the input
at its own world (scanner) position: a pure regrid onto --like or
--voxel-size.

Registration tools' transforms are read through nitransforms (and ITK's
other linear types through SimpleITK), in world (scanner) coordinates and in
the direction their format defines. FSL and AFNI matrices are defined on a
reference, the output grid (REF with --like), and a moving image, the input:
  .tfm, .mat (binary), .h5, or text starting '#Insight Transform File'
                      ITK, SimpleITK and ANTs linear transforms (Affine,
                      Euler3D, VersorRigid3D, Similarity3D, ScaleVersor3D,
                      ScaleSkewVersor3D, Translation, Scale, ...), one per
                      volume or one, or a composite of them applied as ITK
                      applies it; they map the OUTPUT to the INPUT
  .mat (text)         an FSL FLIRT matrix
  .1D (.aff12.1D)     AFNI matrices, one line per volume or one
  .lta                FreeSurfer linear transforms

Transforms with displacement fields (--transform FILE, repeatable) are read
through nitransforms, in world (scanner) coordinates, each mapping OUTPUT
positions to INPUT positions as the file's format defines:
  .nii, .nii.gz       a displacement field: (i, j, k, 1, 3) as ITK, ANTs
                      (*Warp.nii.gz) and AFNI write them (LPS vectors), or
                      (i, j, k, 3) as nitransforms reads FSL's
  .h5                 an ITK/ANTs composite transform (*Composite.h5),
                      applied as ITK applies it
  .x5                 nitransforms' X5 file: its first chain, or its only
                      transform
  any matrix file     an ITK/ANTs, FSL FLIRT, AFNI or FreeSurfer transform,
                      as for -m above (plain text matrices go with -m)
The files apply in the order given: the first to the output's position, the
next to where that one leads, and so on to the input. antsApplyTransforms
applies its -t list last to first, so `-t A -t B -t C` is `--transform C
--transform B --transform A`; its [file,1] (inverted) has no counterpart
for fields (apply the inverse warp file ANTs wrote instead). With
--transform, -m is the input's motion (one matrix, or one per volume, as
MCFLIRT's or antsMotionCorr's), applied last, closest to the input: it maps
the input's grid at rest to each volume's, so plain matrices are in the
input's frame at both ends and FSL's and AFNI's take the input as reference
and moving image. A field moves no position that falls outside its grid
(nearer to no field voxel), and is blended linearly between its voxels.
--fit takes matrices only.

conventions (text matrices only):
  physical  positions are voxel indices (i, j, k) times the voxel size of
            their grid (output or input), in the units of the header
            (usually mm), with voxel (0, 0, 0) at 0
  index     positions are voxel indices (i, j, k): the matrix that
            scipy.ndimage.affine_transform takes for the arrays nibabel returns

--inverse reads a matrix that maps INPUT to OUTPUT instead, as registration
tools usually save them, and inverts it; for a registration tool's transform
it applies the inverse of that transform.

Linear, cubic and Lanczos interpolation read every integer and float type, rounding each value
once to the nearest float32 (exact for bool, int8, uint16 and float16, with
a note on stderr, and for any value below 2**24); complex and structured
types are refused. Nearest and label read any integer or float type. An
existing OUTPUT is kept unless --force is given; the output appears only
once it is complete, and Ctrl-C or SIGTERM leaves nothing behind (exit
status 130 or 143).

Zarr (pip install 'voxwarpkit[dask]'): an INPUT or OUTPUT whose name ends in
.zarr is a Zarr array or OME-Zarr image, (z, y, x) or (t, z, y, x): the NIfTI
axes reversed. It is resampled block by block with dask, with a progress bar,
the same bits as one call in memory; a NIfTI file may be the other side. The
voxel size comes from OME-Zarr's scale, else a 'voxel_size' attribute
(sx, sy, sz); the world frame from an 'affine' attribute, else the voxel
size. The output Zarr is written beside OUTPUT under a temporary name and
renamed once complete. --chunks Z Y X (T Z Y X) sets its blocks, --scheduler the
dask.distributed cluster that computes them (its workers must see INPUT and
OUTPUT at the same paths). Without -m, --like or --voxel-size, a NIfTI image
and a Zarr store are copied into each other, values and grid unchanged.

TIFF (.tif, .tiff, .ome.tif; pip install 'voxwarpkit[cli,dask]'): an INPUT
TIFF or OME-TIFF stack is read lazily through tifffile, its first series at
full resolution: pages (Z) of Y X planes, or T Z Y X, axes of length 1
dropped. Voxel sizes are in micrometres, from OME's PhysicalSizeX/Y/Z and
their units, else ImageJ's resolution and spacing; --input-voxel-size SX SY SZ
gives them for a TIFF that has none, or replaces its own. It is resampled with
dask, as a Zarr input is, into NIfTI or Zarr (an OME-Zarr image); without -m,
--like, --voxel-size or --deskew it is copied.

Deskew (--deskew ANGLE): INPUT is a stage-scanned light-sheet stack, i j k =
the camera's x and y and the stage position, voxel size SX SY DZ with DZ the
stage step; ANGLE is the angle in degrees between the light sheet and the
coverslip, in (0, 180). Plane k is shifted along i by k * DZ * cos(ANGLE) and
the planes are DZ * sin(ANGLE) apart, normal to the sheet: the output is the
sheet's frame, or the coverslip's with --deskew-rotate (the sheet's frame
turned by ANGLE about j, so that k is normal to the coverslip). The output
grid holds the whole stack, with --voxel-size's spacing or isotropic at the
finer camera pixel; its affine is that frame, axis-aligned.
"""

_PYRAMID_DESCRIPTION = """\
Write a NIfTI, Zarr or TIFF image as an OME-Zarr multiscale image: level 0 is the
input (as float32), and each next level halves the sampling along every axis
that is not coarser than the finest one (an anisotropic stack halves its
finer axes until they reach the coarsest, then all), until a level fits in
one block along some axis or --levels are written. Each level is the one
before it (level 0: the input) anti-aliased (a Gaussian of sigma (ratio - 1) / 2 voxels per axis) and
resampled linearly onto the level's grid, whose voxel 0 centre the level's
translation gives. The output appears only once complete; Ctrl-C leaves
nothing behind.
"""

_DEMO_DESCRIPTION = """\
Build a synthetic 3-D head phantom in memory, rotate it about its centre,
print what was done and how long it took, and write a PNG with orthogonal
slices before and after (replacing FILE if it exists).
"""


class _Parser(argparse.ArgumentParser):
    """argparse with its usage errors prefixed like every other error."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"voxwarpkit: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the whole command line."""
    parser = _Parser(
        prog="voxwarpkit",
        description="Affine resampling of 3-D image volumes with trilinear interpolation.",
    )
    parser.add_argument("--version", action="version", version=f"voxwarpkit {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    demo = commands.add_parser(
        "demo",
        help="rotate a synthetic phantom and draw it before and after",
        description=_DEMO_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument(
        "-o",
        "--output",
        metavar="FILE.png",
        type=Path,
        default=None,
        help="where to write the picture (default: voxwarpkit-demo.png in this folder)",
    )

    apply = commands.add_parser(
        "apply",
        help="resample a NIfTI image through matrices or displacement fields from files, or onto another grid",
        description=_APPLY_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    apply.add_argument("input", metavar="INPUT", type=Path, help="NIfTI or Zarr image to resample")
    apply.add_argument("output", metavar="OUTPUT", type=Path, help="NIfTI file or Zarr store to write")
    apply.add_argument(
        "-m",
        "--matrix",
        metavar="FILE",
        type=Path,
        default=None,
        help="matrix file or folder (see above); without it, a pure regrid",
    )
    apply.add_argument(
        "-t",
        "--transform",
        metavar="FILE",
        dest="transforms",
        type=Path,
        action="append",
        default=None,
        help="a transform file (displacement field, composite, X5 or matrix; see above); repeat it for a chain, "
        "applied in the order given from the output towards the input",
    )
    grid = apply.add_mutually_exclusive_group()
    grid.add_argument("--like", metavar="REF", type=Path, default=None, help="resample onto the grid of image REF")
    grid.add_argument(
        "--voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="the output's voxel size along i, j, k; the output covers the input's extent",
    )
    apply.add_argument(
        "--fit",
        action="store_true",
        help="give the output grid (the input's, --like's or --voxel-size's axes and voxel size) the shape and "
        "origin that hold the whole transformed input",
    )
    apply.add_argument(
        "--interpolation",
        choices=("linear", "nearest", "cubic", "lanczos", "label"),
        default="linear",
        help="linear (default), cubic (B-spline) or lanczos (windowed sinc, radius 3), float32 output; nearest or "
        "label (the label with the largest trilinear weight), which keep the input's element type",
    )
    apply.add_argument(
        "--antialias",
        action="store_true",
        help="smooth the input first along each axis the output samples more coarsely (a Gaussian of sigma "
        "(ratio - 1) / 2 voxels), so that finer detail does not alias; float32 output",
    )
    apply.add_argument(
        "--edges",
        choices=("clamp", "transform"),
        default="clamp",
        help="linear interpolation at the input's edges: clamp (default; values within the data, --fill "
        "where nearest finds no voxel) or transform (the bands and extrapolation of voxwarpkit.transform)",
    )
    apply.add_argument(
        "--fill",
        metavar="V",
        type=_number,
        default=0.0,
        help="the value of output voxels that map outside the input (default 0)",
    )
    apply.add_argument(
        "--threads",
        metavar="N",
        type=_thread_count,
        default=None,
        help="threads to resample with (default: every CPU); the result does not depend on it",
    )
    apply.add_argument(
        "--chunks",
        metavar="N",
        nargs="+",
        type=_block_count,
        default=None,
        help="Zarr: the output's blocks, Z Y X (or T Z Y X for a 4-D image; default: about 64 MiB each, "
        "shaped like the input's chunks)",
    )
    apply.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        default=None,
        help="Zarr: a dask.distributed scheduler, such as tcp://head-node:8786 (default: this machine's threads)",
    )
    apply.add_argument(
        "--convention",
        choices=_CONVENTIONS,
        default=None,
        help="space a text matrix works in (default: physical)",
    )
    apply.add_argument(
        "--inverse",
        action="store_true",
        help="the matrix maps input to output; invert it before use",
    )
    apply.add_argument(
        "--deskew",
        metavar="ANGLE",
        type=_number,
        default=None,
        help="deskew a stage-scanned light-sheet stack whose sheet lies ANGLE degrees from the coverslip (see above)",
    )
    apply.add_argument(
        "--deskew-rotate",
        action="store_true",
        help="with --deskew: turn the output into coverslip coordinates, z normal to the coverslip",
    )
    apply.add_argument(
        "--input-voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="TIFF: the input's voxel size along i, j, k, replacing the file's (in micrometres)",
    )
    apply.add_argument(
        "--levels",
        metavar="N",
        type=_block_count,
        default=None,
        help="write OUTPUT (.zarr) as an OME-Zarr pyramid of N levels, the output grid's first, "
        "each next one as the pyramid command makes it, all in one pass",
    )
    apply.add_argument(
        "--ngff",
        choices=("0.4", "0.5"),
        default=None,
        help="with --levels: OME-Zarr 0.4 (Zarr format 2, default) or 0.5 (Zarr format 3)",
    )
    _label_option(apply)
    apply.add_argument("--force", action="store_true", help="replace OUTPUT if it exists")
    apply.set_defaults(check=partial(_check_apply, apply))

    pyramid = commands.add_parser(
        "pyramid",
        help="write an image as an OME-Zarr multiscale image, each level anti-aliased",
        description=_PYRAMID_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    pyramid.add_argument("input", metavar="INPUT", type=Path, help="NIfTI, Zarr or TIFF image")
    pyramid.add_argument("output", metavar="OUTPUT", type=Path, help="OME-Zarr image to write (a name ending in .zarr)")
    pyramid.add_argument(
        "--levels",
        metavar="N",
        type=_block_count,
        default=None,
        help="N levels, the input's own included (fewer only once every axis is one voxel); "
        "default: until some axis fits in one chunk",
    )
    pyramid.add_argument(
        "--chunks",
        metavar=("Z", "Y", "X"),
        nargs=3,
        type=_block_count,
        default=None,
        help="every level's blocks (default 64 64 64, cut to the level)",
    )
    pyramid.add_argument(
        "--ngff",
        choices=("0.4", "0.5"),
        default=None,
        help="OME-Zarr version: 0.4 (Zarr format 2, default) or 0.5 (Zarr format 3)",
    )
    pyramid.add_argument(
        "--interpolation",
        choices=LEVEL_METHODS,
        default=None,
        help="how each level is made from the one before: linear (default; smoothed, float32), or, for "
        "label maps, nearest or label (the label of largest trilinear weight), unsmoothed, in the map's type",
    )
    _label_option(pyramid)
    pyramid.add_argument(
        "--input-voxel-size",
        metavar=("SX", "SY", "SZ"),
        nargs=3,
        type=_positive_number,
        default=None,
        help="TIFF: the input's voxel size along x, y, z, replacing the file's (in micrometres)",
    )
    pyramid.add_argument("--scheduler", metavar="ADDRESS", default=None, help="a dask.distributed scheduler")
    pyramid.add_argument("--threads", metavar="N", type=_thread_count, default=None, help="local threads")
    pyramid.add_argument("--force", action="store_true", help="replace OUTPUT if it exists")
    pyramid.set_defaults(check=partial(_check_pyramid, pyramid))
    return parser


def _label_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--label",
        metavar="NAME",
        default=None,
        help="write the map as the label image NAME of the existing OME-Zarr image OUTPUT "
        "(OUTPUT/labels/NAME, listed in its labels group once complete); levels by label sampling "
        "unless --interpolation nearest",
    )


def _check_pyramid(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """A label image's levels copy labels: linear levels would blend them."""
    if arguments.label is not None:
        if arguments.interpolation == "linear":
            parser.error("--label writes a label image, whose levels copy labels: --interpolation nearest or label")
        arguments.interpolation = arguments.interpolation or "label"
    arguments.interpolation = arguments.interpolation or "linear"


def _check_apply(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """Usage errors among apply's options, which argparse cannot express."""
    if arguments.chunks is not None and len(arguments.chunks) not in (3, 4):
        parser.error(f"--chunks takes 3 numbers (Z Y X) or 4 (T Z Y X), got {len(arguments.chunks)}")
    tiff = is_tiff(arguments.input)
    if not (is_zarr(arguments.input) or is_zarr(arguments.output) or tiff) and (
        arguments.chunks is not None or arguments.scheduler is not None
    ):
        parser.error("--chunks and --scheduler apply to Zarr images (a name ending in .zarr)")
    if arguments.input_voxel_size is not None and not tiff:
        parser.error("--input-voxel-size applies to TIFF inputs; NIfTI and Zarr images state their own")
    _check_deskew(parser, arguments)
    _check_levels(parser, arguments)
    if arguments.matrix is None:
        converting = is_zarr(arguments.input) != is_zarr(arguments.output) or tiff
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
    if not is_zarr(arguments.output):
        parser.error("--levels writes an OME-Zarr pyramid: OUTPUT must be a name ending in .zarr")
    if arguments.label is not None and arguments.interpolation not in ("nearest", "label"):
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
