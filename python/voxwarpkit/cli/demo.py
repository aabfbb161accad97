"""``voxwarpkit demo``: rotate a synthetic phantom and draw it before and after."""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, List, Literal, TextIO, Tuple

import numpy as np

from .. import __version__, transform
from ..io.atomic import replaced_on_success
from ..matrices import as_homogeneous, rigid
from ..phantom import head_phantom
from .errors import CommandError
from .output import check_output

if TYPE_CHECKING:
    from numpy.typing import NDArray

DEFAULT_OUTPUT = Path("voxwarpkit-demo.png")

SHAPE = (64, 128, 128)  # (nz, ny, nx)
VOXEL_SIZE = (1.0, 1.0, 2.0)  # (sx, sy, sz) in mm: thick slices, as in many scans
ROTATION = (15.0, 0.0, 30.0)  # degrees about x, y, z

# Figure layout in inches: two rows (before, after) of three square panels.
FIGURE_SIZE = (9.0, 6.6)
DPI = 100
_PANEL = 2.6
_LEFT = 0.55
_GAP = 0.25
_BOTTOM = 0.2
_ROW_GAP = 0.45

VIEWS = ("axial (x, y)", "coronal (x, z)", "sagittal (y, z)")


def panel_rect(row: int, column: int) -> Tuple[float, float, float, float]:
    """Where panel (row, column) sits, as figure fractions (left, bottom, width, height).

    Row 0 is "before", row 1 "after"; columns follow ``VIEWS``.
    """
    width, height = FIGURE_SIZE
    left = _LEFT + column * (_PANEL + _GAP)
    bottom = _BOTTOM + (1 - row) * (_PANEL + _ROW_GAP)
    return (left / width, bottom / height, _PANEL / width, _PANEL / height)


def _central_slices(volume: NDArray[np.float32]) -> List[NDArray[np.float32]]:
    """The axial, coronal and sagittal slices through the middle of ``volume``."""
    nz, ny, nx = volume.shape
    return [volume[nz // 2], volume[:, ny // 2, :], volume[:, :, nx // 2]]


def write_picture(
    before: NDArray[np.float32],
    after: NDArray[np.float32],
    voxel_size: Tuple[float, float, float],
    title: str,
    path: Path,
) -> None:
    """Draw central slices of ``before`` (top row) and ``after`` (bottom row) into a PNG."""
    from matplotlib.figure import Figure

    sx, sy, sz = voxel_size
    nz, ny, nx = before.shape
    # Physical extents (left, right, bottom, top), so thick slices are drawn thick.
    extents = [
        (0.0, nx * sx, ny * sy, 0.0),
        (0.0, nx * sx, 0.0, nz * sz),
        (0.0, ny * sy, 0.0, nz * sz),
    ]
    origins: List[Literal["upper", "lower"]] = ["upper", "lower", "lower"]
    figure = Figure(figsize=FIGURE_SIZE, dpi=DPI)
    figure.suptitle(title, fontsize=10)
    for row, (label, volume) in enumerate((("before", before), ("after", after))):
        for column, picture in enumerate(_central_slices(volume)):
            axes = figure.add_axes(panel_rect(row, column))
            axes.imshow(
                picture,
                cmap="gray",
                vmin=0.0,
                vmax=0.6,
                extent=extents[column],
                origin=origins[column],
                interpolation="nearest",
                aspect="auto",
            )
            axes.set_xticks([])
            axes.set_yticks([])
            axes.set_title(f"{label}: {VIEWS[column]}", fontsize=9)
    with replaced_on_success(path, ".png", overwrite=True) as partial:
        try:
            figure.savefig(partial, format="png", dpi=DPI)
        except OSError as error:
            raise CommandError(f"output {path}: cannot write it ({error.strerror or error})") from None


def run_demo(output: Path = DEFAULT_OUTPUT, out: TextIO = sys.stdout) -> None:
    """Build the phantom, rotate it, report what was done and write the picture."""
    if output.suffix.lower() != ".png":
        raise CommandError(f"output {output}: the name must end in .png")
    check_output(output, force=True)
    phantom = head_phantom(SHAPE, VOXEL_SIZE)
    voxel_size = np.array(VOXEL_SIZE, dtype=np.float64)
    matrix = rigid(phantom.shape, voxel_size, rotation=ROTATION)

    timings = []
    for _ in range(3):
        started = time.perf_counter()
        rotated = transform(phantom, voxel_size, matrix)
        timings.append(time.perf_counter() - started)
    fastest = min(timings)

    nz, ny, nx = phantom.shape
    print(f"voxwarpkit {__version__} demo", file=out)
    print(
        f"phantom: {nz} x {ny} x {nx} voxels (z, y, x), float32, "
        f"voxel size {VOXEL_SIZE[0]:g} x {VOXEL_SIZE[1]:g} x {VOXEL_SIZE[2]:g} mm (x, y, z)",
        file=out,
    )
    print(
        f"motion: rotate {ROTATION[0]:g} deg about x, {ROTATION[1]:g} deg about y, "
        f"then {ROTATION[2]:g} deg about z, about the volume's centre",
        file=out,
    )
    print("matrix (output -> input, physical x, y, z in mm):", file=out)
    for row in as_homogeneous(matrix)[:3]:
        print("  " + " ".join(f"{value:9.4f}" for value in row), file=out)
    print(
        f"transform: {phantom.size:,} voxels in {fastest * 1e3:.1f} ms "
        f"({phantom.size / fastest / 1e6:.0f} million voxels/s, fastest of {len(timings)} calls)",
        file=out,
    )
    title = (
        f"{nz}x{ny}x{nx} phantom, voxels {VOXEL_SIZE[0]:g}x{VOXEL_SIZE[1]:g}x{VOXEL_SIZE[2]:g} mm, "
        f"rotated {ROTATION[0]:g}, {ROTATION[1]:g}, {ROTATION[2]:g} deg about x, y, z"
    )
    write_picture(phantom, rotated, VOXEL_SIZE, title, output)
    print(f"wrote the slices before and after to {output}", file=out)
