"""The ``voxwarpkit`` command line: ``demo`` and ``apply``.

Every failure is reported as one line on stderr, ``voxwarpkit: error: ...``,
with exit status 1; mistakes in the command line itself exit with 2, as
argparse does.
"""

from __future__ import annotations

import argparse
import math
import signal
import sys
import threading
from contextlib import contextmanager
from functools import partial
from pathlib import Path
from types import FrameType
from typing import Iterator, List, NoReturn, Optional, Sequence, TextIO

from ._version import __version__
from .errors import CommandError, Terminated

_CONVENTIONS = ("physical", "index")

_APPLY_DESCRIPTION = """\
Resample a 3-D or 4-D NIfTI image (.nii or .nii.gz) through affine matrices,
onto the input's grid, another image's (--like) or the input's with another
voxel size (--voxel-size). Linear interpolation writes float32; nearest keeps
the input's element type, so a label map keeps its labels. The header keeps
the input's fields, with the output grid's shape, affine (sform and qform)
and voxel size. Voxel sizes come from the headers.

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

Registration tools' transforms are read through nitransforms, in world
(scanner) coordinates and in the direction their format defines. FSL and
AFNI matrices are defined on a reference, the output grid (REF with --like),
and a moving image, the input:
  .tfm, .mat (binary), or text starting '#Insight Transform File'
                      ITK and ANTs affine transforms, one per volume or one
  .mat (text)         an FSL FLIRT matrix
  .1D (.aff12.1D)     AFNI matrices, one line per volume or one
  .lta                FreeSurfer linear transforms

conventions (text matrices only):
  physical  positions are voxel indices (i, j, k) times the voxel size of
            their grid (output or input), in the units of the header
            (usually mm), with voxel (0, 0, 0) at 0
  index     positions are voxel indices (i, j, k): the matrix that
            scipy.ndimage.affine_transform takes for the arrays nibabel returns

--inverse reads a matrix that maps INPUT to OUTPUT instead, as registration
tools usually save them, and inverts it; for a registration tool's transform
it applies the inverse of that transform.

Linear interpolation converts element types that float32 holds exactly
(uint16, int8, bool) first, with a note on stderr, and refuses others
(uint32, uint64, complex). Nearest reads any integer or float type. An
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
renamed once complete. --chunks Z Y X sets its blocks, --scheduler the
dask.distributed cluster that computes them (its workers must see INPUT and
OUTPUT at the same paths). Without -m, --like or --voxel-size, a NIfTI image
and a Zarr store are copied into each other, values and grid unchanged.
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
        help="resample a NIfTI image through matrices from a file, or onto another grid",
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
        "--interpolation",
        choices=("linear", "nearest"),
        default="linear",
        help="linear (default; float32 output) or nearest (keeps the input's element type)",
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
        metavar=("Z", "Y", "X"),
        nargs=3,
        type=_block_count,
        default=None,
        help="Zarr: the output's blocks (default: about 64 MiB each, shaped like the input's chunks)",
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
    apply.add_argument("--force", action="store_true", help="replace OUTPUT if it exists")
    apply.set_defaults(check=partial(_check_apply, apply))
    return parser


def _check_apply(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """Usage errors among apply's options, which argparse cannot express."""
    if arguments.matrix is None:
        from .apply_chunked import is_zarr

        converting = is_zarr(arguments.input) != is_zarr(arguments.output)
        if arguments.like is None and arguments.voxel_size is None and not converting:
            parser.error("apply needs --matrix FILE, --like REF or --voxel-size SX SY SZ")
        if arguments.convention is not None or arguments.inverse:
            parser.error("--convention and --inverse apply to a --matrix file")


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


def _missing_extra(name: str) -> CommandError:
    return CommandError(f"this command needs {name}, which is not installed: pip install 'voxwarpkit[cli]'")


def _run(arguments: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    if arguments.command == "demo":
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise _missing_extra("matplotlib") from None
        from .demo import DEFAULT_OUTPUT, run_demo

        run_demo(arguments.output or DEFAULT_OUTPUT, out=out)
    else:
        for name in ("nibabel", "tqdm"):
            try:
                __import__(name)
            except ImportError:
                raise _missing_extra(name) from None
        from .apply_chunked import is_zarr, run_apply_chunked

        chunked = is_zarr(arguments.input) or is_zarr(arguments.output)
        if chunked:
            for name in ("dask", "zarr"):
                try:
                    __import__(name)
                except ImportError:
                    raise CommandError(
                        f"Zarr images need {name}, which is not installed: pip install 'voxwarpkit[dask]'"
                    ) from None
        elif arguments.chunks is not None or arguments.scheduler is not None:
            raise CommandError("--chunks and --scheduler apply to Zarr images (a name ending in .zarr)")
        from .apply import run_apply

        run = run_apply
        if chunked:
            run = partial(run_apply_chunked, chunks=arguments.chunks, scheduler=arguments.scheduler)
        run(
            arguments.input,
            arguments.output,
            arguments.matrix,
            like=arguments.like,
            voxel_size=arguments.voxel_size,
            interpolation=arguments.interpolation,
            fill=arguments.fill,
            threads=arguments.threads,
            convention=arguments.convention,
            inverse=arguments.inverse,
            force=arguments.force,
            out=out,
            err=err,
        )


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
    try:
        arguments = build_parser().parse_args(None if argv is None else list(argv))
        if hasattr(arguments, "check"):
            arguments.check(arguments)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2
    out, err = sys.stdout, sys.stderr
    try:
        with _sigterm_raises():
            _run(arguments, out, err)
    except CommandError as error:
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
    except Exception as error:  # never a traceback: say what failed in one line
        lines: List[str] = str(error).strip().splitlines() or [""]
        print(f"voxwarpkit: error: {type(error).__name__}: {lines[0]}", file=err)
        return 1
    return 0
