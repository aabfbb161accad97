"""``voxwarpkit fuse``: the tiles a manifest lists, blended into one OME-Zarr multiscale image.

Level 0 is :func:`voxwarpkit.fuse` of every tile onto the grid that holds them
all, block by block, each block reading windows from the tiles it meets; each
next level is the one before it, anti-aliased and resampled as the pyramid
command makes it, read back from the store. One graph makes and writes every
level into a temporary store, renamed once complete.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, TextIO, Tuple

import numpy as np

from .. import covering_grid, fuse
from .._core.words import counted
from ..io.errors import FileError
from ..io.tile_manifest import PlacedTile, read_tiles
from ..pyramid import Level
from .errors import CommandError
from .options import Running
from .output import shown
from .pyramid import PyramidLayout, check_pyramid_target, write_pyramid
from .zarr_blocks import check_shards


class Blending(NamedTuple):
    """How the tiles are sampled and mixed: :func:`voxwarpkit.fuse`'s keywords of the same names."""

    blending: str = "cosine"
    blend_width: Optional[Sequence[float]] = None  # (x, y, z); None: fuse's default
    interpolation: str = "linear"
    fill: float = 0.0
    output_type: Optional[str] = None  # a numpy type's name, "same" (the first tile's) or None (float32)


def run_fuse(
    manifest: Path,
    target: Path,
    voxel_size: Optional[Sequence[float]],
    blending: Blending,
    layout: PyramidLayout,
    running: Running,
    *,
    out: TextIO = sys.stdout,
) -> None:
    """Fuse the tiles ``manifest`` lists onto the grid at ``voxel_size`` (default the first tile's)
    that holds them all, and write the result as the OME-Zarr image ``target``."""
    started = time.perf_counter()
    tiles = read_tiles(manifest)
    reads = (manifest, *(tile.path for tile in tiles))
    place = check_pyramid_target(
        target, None, check_shards(layout.shards, layout.chunks, layout.ngff), force=running.force, reads=reads
    )
    spacing = tuple(voxel_size) if voxel_size is not None else tiles[0].voxel_size
    spacings = [tile.voxel_size for tile in tiles]
    # The grid holds the tiles as their matrices place them; a field's small corrections left out.
    placed = [tile.from_world for tile in tiles]
    shape, origin = covering_grid(spacings, placed, [tile.data.shape for tile in tiles], spacing)
    matrices = [tile.from_world if tile.chain is None else tile.chain for tile in tiles]
    lead = _lead(tiles, manifest)
    dtype = tiles[0].data.dtype if blending.output_type == "same" else blending.output_type

    def first_levels(grids: List[Level], blocks: List[Tuple[int, ...]]) -> List[Any]:
        level = grids[0]
        options: Dict[str, Any] = {} if blending.blend_width is None else {"blend_width": blending.blend_width}
        try:
            fused = fuse(
                [tile.data for tile in tiles],
                spacings,
                matrices,
                shape=level.shape,
                output_voxel_size=level.spacing,
                origin=level.translation,
                blending=blending.blending,
                interpolation=blending.interpolation,
                fill=blending.fill,
                dtype=dtype,
                chunks=blocks[0][-3:],
                **options,
            )
        except (TypeError, ValueError) as error:
            raise CommandError(f"cannot fuse the tiles of {manifest}: {error}") from None
        return [fused]

    affine = np.diag([*spacing, 1.0])
    affine[:3, 3] = origin
    try:
        grids = write_pyramid(
            lead + shape,
            first_levels,
            spacing,
            affine,
            target,
            layout._replace(ngff=place.ngff),
            running,
            None,
            manifest.stem,
            "the fused grid",
        )
    except FileError as error:
        raise CommandError(str(error)) from None
    print(
        f"fused {counted(len(tiles), 'tile')} of {manifest} into {place.shown} (OME-Zarr {place.ngff}, "
        f"{blending.blending} blending), {counted(len(grids), 'level')}: "
        + ", ".join(shown(level.shape[::-1]) for level in grids)
        + f" in {time.perf_counter() - started:.1f} s",
        file=out,
    )


def _lead(tiles: List[PlacedTile], manifest: Path) -> Tuple[int, ...]:
    """The axes before (z, y, x) that every tile shares: none, or one of volumes."""
    leads = {tuple(tile.data.shape[:-3]) for tile in tiles}
    if len(leads) > 1:
        raise CommandError(f"{manifest}: the tiles must all be 3-D, or all 4-D with one number of volumes")
    return leads.pop()
