"""Fusion of a grid of slightly rotated tiles from Zarr into one Zarr volume, ours beside multiview-stitcher's;
asserts nothing.

Tiles of uint16 (128 x 1024 x 1024, chunks 64 x 256 x 256; 64 x 256 x 256 with
--quick) lie in a grid of 2 x 4 (y, x), or 4 x 8 with --tiles 32, overlapping
by 10 %, each turned by about a degree about z, tilted by a fraction of one
about x and y, and shifted by a few voxels. Their content is smooth blobs and
noise, different in each tile, so that overlaps show how each side blends.
Both sides fuse them with cosine blending (widths 10, 10, 3 in x, y, z),
linear sampling, onto the grid that covers every tile at the tiles' spacing,
and write uint16 Zarr:

- ours: ``voxwarpkit.fuse`` of the tiles, lazily, written by dask's
  ``to_zarr`` with 2 threads, once for each kind of tile --ours-tiles names:
  ``zarr.Array``, ``da.from_zarr`` (read through the store's windows as the
  first), or dask arrays whose graphs compute them (``da.from_zarr`` through
  ``map_blocks``, as a correction step makes them);
- multiview-stitcher's ``fusion.fuse`` of dask arrays over the tiles
  (``da.from_zarr``), with ``output_zarr_url``, its own output chunking, blocks
  fused 2 at a time (its ``batch_options``) and dask capped at 2 threads. It
  takes each tile's affine from tile physical to world (z y x), the inverse of
  the matrix ours takes. Given the ``zarr.Array`` tiles themselves
  (--peer-zarr-arrays), its output departs from the tiles by up to a tenth of
  their range once a rotated tile is read for any output chunk but the first;
  through dask it does not.

Each side runs in its own process (multiview-stitcher in its own environment,
``--peer-python``); figures are its wall time and peak resident memory. One more
run of ours, on ``zarr.Array`` tiles, counts how often each stored chunk of the
tiles is read from its store: each read is a decode. Then
the two outputs are compared: the largest difference over the range of the
tiles' values, over the voxels that one tile alone covers farther than the
blend widths (plus a voxel) from its border, and over all voxels. With --tiles
32 the 8-tile set runs too, so that the peaks show whether memory grows with
the number of tiles.

    python benchmarks/bench_fuse.py [--quick] [--tiles 8|32] [--peer-python PATH] [--only ours|theirs]
                                    [--ours-tiles zarr from_zarr computed]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

VOXEL_SIZE = (1.0, 1.0, 2.0)  # (sx, sy, sz) of every tile and of the output
BLEND_WIDTH = (10.0, 10.0, 3.0)  # physical (x, y, z), multiview-stitcher's default widths
CHUNKS = (64, 256, 256)
OVERLAP = 0.1

# How ours is given the tiles: what each kind is.
OURS_TILES = {
    "zarr": "zarr.Array tiles",
    "from_zarr": "da.from_zarr tiles",
    "computed": "dask tiles computed by their graphs",
}
THEIRS_NAME = "multiview-stitcher fuse, output_zarr_url (2 at a time)"

OURS = """
import json, sys, numpy as np, zarr, dask, voxwarpkit
setup = json.load(open(sys.argv[1]))
tiles = [zarr.open_array(path, mode="r") for path in setup["tiles"]]
if sys.argv[3] != "zarr":  # dask arrays: read from the store's windows, or (computed) by their graphs
    import dask.array as da
    tiles = [da.from_zarr(tile) for tile in tiles]
    if sys.argv[3] == "computed":
        tiles = [tile.map_blocks(np.asarray, dtype=tile.dtype) for tile in tiles]
fused = voxwarpkit.fuse(
    tiles, setup["voxel_sizes"], [np.array(m) for m in setup["matrices"]], shape=setup["shape"],
    output_voxel_size=setup["voxel_size"], origin=setup["origin"], blending="cosine",
    blend_width=setup["blend_width"], interpolation="linear", dtype=np.uint16, threads=1, chunks=setup["chunks"],
)
with dask.config.set(scheduler="threads", num_workers=2):
    fused.to_zarr(sys.argv[2], overwrite=True)
"""

THEIRS = """
import json, sys, numpy as np, zarr, dask, dask.array as da
from concurrent.futures import ThreadPoolExecutor
from multiview_stitcher import fusion, param_utils, spatial_image_utils as si_utils
setup = json.load(open(sys.argv[1]))
tile = (lambda array: array) if sys.argv[3] == "zarr" else da.from_zarr
sims = []
for path, size, matrix in zip(setup["tiles"], setup["voxel_sizes"], setup["matrices"]):
    tile_to_world = np.linalg.inv(np.array(matrix))[[2, 1, 0, 3]][:, [2, 1, 0, 3]]  # x y z -> z y x
    sims.append(si_utils.get_sim_from_array(
        tile(zarr.open_array(path, mode="r")), dims=["z", "y", "x"], scale=dict(zip("xyz", size)),
        translation={"z": 0.0, "y": 0.0, "x": 0.0}, affine=param_utils.affine_to_xaffine(tile_to_world),
        transform_key="world",
    ))
grid = {
    "spacing": dict(zip("xyz", setup["voxel_size"])), "origin": dict(zip("xyz", setup["origin"])),
    "shape": dict(zip("zyx", setup["shape"])),
}
pool = ThreadPoolExecutor(2)
def two_at_a_time(fuse_chunk, block_ids):
    list(pool.map(fuse_chunk, block_ids))
with dask.config.set(scheduler="threads", num_workers=2):
    fusion.fuse(
        sims, transform_key="world", output_stack_properties=grid, interpolation_order=1,
        blending_widths=dict(zip("xyz", setup["blend_width"])), output_zarr_url=sys.argv[2],
        batch_options={"batch_func": two_at_a_time, "n_batch": 2},
    )
"""

# OURS with every read of a tile's stored chunk counted (before it, after it): prints the chunks read,
# the reads and the most reads of one chunk.
COUNTING = """
import collections, zarr.storage
reads, get = collections.Counter(), zarr.storage.LocalStore.get
async def counted(self, key, *args, **kwargs):
    if not key.endswith("zarr.json"):
        reads[(str(self.root), key)] += 1  # on zarr's event loop, one thread: no lock needed
    return await get(self, key, *args, **kwargs)
zarr.storage.LocalStore.get = counted
"""
COUNTED = """
tiles_read = {key: n for key, n in reads.items() if key[0] != str(zarr.storage.LocalStore(sys.argv[2]).root)}
print(len(tiles_read), sum(tiles_read.values()), max(tiles_read.values()))
"""

# Runs a command as a child and prints the child's peak resident memory in bytes.
WRAPPER = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def tile_to_world(rng, row, column, shape):
    """A tile's affine (4x4, x y z) from its physical coordinates to world: turned about its centre by about
    a degree about z and a tenth of that about x and y, then put at its place in the grid, shifted a little."""
    nz, ny, nx = shape
    size = np.array([nx, ny, nz]) * VOXEL_SIZE
    angles = np.radians([rng.uniform(-0.3, 0.3), rng.uniform(-0.3, 0.3), rng.uniform(-1.2, 1.2)])
    cx, cy, cz = np.cos(angles)
    sx, sy, sz = np.sin(angles)
    about_x = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    about_y = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    about_z = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    turn = about_z @ about_y @ about_x
    centre = (size - np.array(VOXEL_SIZE)) / 2
    place = np.array([column * size[0], row * size[1], 0.0]) * (1 - OVERLAP) + rng.uniform(-4, 4, 3)
    affine = np.eye(4)
    affine[:3, :3] = turn
    affine[:3, 3] = centre + place - turn @ centre
    return affine


def covering_grid(tile_to_worlds, shape):
    """The output grid at the tiles' spacing that holds every tile's voxel centres: (nz, ny, nx) and origin (x y z)."""
    nz, ny, nx = shape
    corners = np.array([[x, y, z, 1] for x in (0, nx - 1) for y in (0, ny - 1) for z in (0, nz - 1)], float)
    corners[:, :3] *= VOXEL_SIZE
    world = np.concatenate([corners @ affine.T for affine in tile_to_worlds])[:, :3]
    low, high = world.min(axis=0), world.max(axis=0)
    counts = np.floor((high - low) / VOXEL_SIZE + 1e-9).astype(int) + 1
    return tuple(int(n) for n in counts[::-1]), tuple(float(v) for v in low)


def write_tile(path, rng, shape):
    """Smooth blobs (a sum of separable products of smoothed 1-D noise) and noise, written a slab at a time."""
    import zarr

    def smooth(n):
        signal = np.cumsum(np.cumsum(rng.normal(size=n + 64)))[64:]
        signal -= np.linspace(signal[0], signal[-1], n)
        return (signal - signal.min()) / (np.ptp(signal) or 1)

    profiles = [[smooth(n).astype(np.float32) for n in shape] for _ in range(3)]
    array = zarr.create_array(path, shape=shape, chunks=CHUNKS, dtype=np.uint16, overwrite=True)
    for start in range(0, shape[0], CHUNKS[0]):
        stop = min(start + CHUNKS[0], shape[0])
        slab = sum(z[start:stop, None, None] * y[None, :, None] * x[None, None, :] for z, y, x in profiles)
        noise = rng.integers(0, 2000, (stop - start, *shape[1:]), dtype=np.uint16)
        array[start:stop] = (np.asarray(slab) * 20000).astype(np.uint16) + noise


def make_tiles(folder, rows, columns, shape):
    """The tiles on disk and the setup both sides read, with the range of the tiles' values."""
    rng = np.random.default_rng(rows * columns)
    tiles, matrices = [], []
    for row in range(rows):
        for column in range(columns):
            path = folder / f"tile_{row}_{column}.zarr"
            write_tile(path, rng, shape)
            tiles.append(str(path))
            matrices.append(tile_to_world(rng, row, column, shape))
    grid_shape, origin = covering_grid(matrices, shape)
    setup = {
        "tiles": tiles,
        "voxel_sizes": [VOXEL_SIZE] * len(tiles),
        "matrices": [np.linalg.inv(m).tolist() for m in matrices],  # world -> tile physical, as ours takes
        "tile_shape": shape,
        "shape": grid_shape,
        "origin": origin,
        "voxel_size": VOXEL_SIZE,
        "blend_width": BLEND_WIDTH,
        "chunks": CHUNKS,
    }
    (folder / "setup.json").write_text(json.dumps(setup))
    return setup


def timed(command, environment=None):
    """Seconds and peak resident memory (bytes) of one run of ``command`` in a new process."""
    started = time.perf_counter()
    run = subprocess.run([sys.executable, "-c", WRAPPER, *command], capture_output=True, text=True, env=environment)
    seconds = time.perf_counter() - started
    if run.returncode != 0:
        raise RuntimeError(run.stderr[-3000:])
    return seconds, int(run.stdout.strip().splitlines()[-1])


def single_tile_interior(setup, z, ny, nx):
    """Output plane ``z``'s voxels that one tile alone covers, farther than the blend widths (and a voxel)
    from its border, where both sides have full weight from that tile: a mask, and which tile (-1 elsewhere)."""
    x, y = setup["origin"][0] + np.arange(nx) * VOXEL_SIZE[0], setup["origin"][1] + np.arange(ny) * VOXEL_SIZE[1]
    world_z = setup["origin"][2] + z * VOXEL_SIZE[2]
    extent = np.array(setup["tile_shape"][::-1]) * VOXEL_SIZE  # (n - 1) * s, grown by a voxel
    margin = np.array(BLEND_WIDTH) + VOXEL_SIZE
    covering = np.zeros((ny, nx), np.int32)
    owner = np.full((ny, nx), -1)
    for tile, matrix in enumerate(setup["matrices"]):
        covered = np.ones((ny, nx), bool)
        inside = np.ones((ny, nx), bool)
        for a, row in enumerate(np.array(matrix)[:3]):
            physical = row[0] * x[None, :] + row[1] * y[:, None] + (row[2] * world_z + row[3])
            covered &= (physical >= -VOXEL_SIZE[a]) & (physical <= extent[a])
            inside &= (physical >= margin[a]) & (physical <= extent[a] - VOXEL_SIZE[a] - margin[a])
        covering += covered
        owner[inside] = tile
    owner[covering != 1] = -1
    return owner >= 0, owner


def against_the_tiles(setup, output_path, samples=2000):
    """The largest |output - the tile's own linear sample| at random single-tile interior voxels of a few
    planes: a check of each side's conventions (matrix direction, axis order, origin) that needs neither side."""
    import zarr
    from scipy.ndimage import map_coordinates

    rng = np.random.default_rng(1)
    output = zarr.open_array(output_path, mode="r")
    tiles = [zarr.open_array(path, mode="r") for path in setup["tiles"]]
    nz, ny, nx = setup["shape"]
    largest = 0.0
    for z in rng.choice(nz, size=min(nz, 8), replace=False):
        mask, owner = single_tile_interior(setup, int(z), ny, nx)
        j, i = np.nonzero(mask)
        pick = rng.choice(len(j), size=min(samples, len(j)), replace=False)
        j, i = j[pick], i[pick]
        values = plane(output, int(z))[j, i]
        world = np.array(setup["origin"]) + np.stack([i, j, np.full(i.shape, z)], axis=-1) * VOXEL_SIZE
        for tile in np.unique(owner[j, i]):
            mine = owner[j, i] == tile
            matrix = np.array(setup["matrices"][tile])
            index = (world[mine] @ matrix[:3, :3].T + matrix[:3, 3]) / VOXEL_SIZE  # (x, y, z)
            low, high = np.floor(index.min(axis=0)).astype(int), np.floor(index.max(axis=0)).astype(int) + 2
            box = np.asarray(tiles[tile][low[2] : high[2], low[1] : high[1], low[0] : high[0]], np.float64)
            truth = map_coordinates(box, (index - low)[:, ::-1].T, order=1)
            largest = max(largest, float(np.abs(values[mine] - truth).max()))
    return largest


def plane(output, z):
    """Plane ``z`` of an output, past the leading axes of length 1 (multiview-stitcher's t and c)."""
    return np.asarray(output[(0,) * (output.ndim - 3) + (z,)], np.float64)


def agreement(setup, ours_path, theirs_path):
    """The largest |ours - theirs|: in single-tile interiors, and anywhere."""
    import zarr

    ours, theirs = zarr.open_array(ours_path, mode="r"), zarr.open_array(theirs_path, mode="r")
    nz, ny, nx = setup["shape"]
    inside = everywhere = 0.0
    for z in range(nz):
        difference = np.abs(plane(ours, z) - plane(theirs, z))
        everywhere = max(everywhere, float(difference.max()))
        mask, _ = single_tile_interior(setup, z, ny, nx)
        if mask.any():
            inside = max(inside, float(difference[mask].max()))
    return inside, everywhere


def tile_range(setup):
    import zarr

    values = [zarr.open_array(path, mode="r") for path in setup["tiles"]]
    low = min(int(np.asarray(v[::8]).min()) for v in values)
    high = max(int(np.asarray(v[::8]).max()) for v in values)
    return max(high - low, 1)


def run_set(folder, rows, columns, shape, arguments):
    setup = make_tiles(folder, rows, columns, shape)
    print(f"{rows * columns} tiles {shape} uint16 in a {rows} x {columns} grid; output {setup['shape']}", flush=True)
    ours_out, theirs_out = folder / "ours.zarr", folder / "theirs.zarr"
    sides = {}
    if arguments.only in (None, "ours"):
        # The checkout's package, whichever folder the benchmark is run from.
        environment = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[1] / "python"))
        for kind in arguments.ours_tiles:
            command = [sys.executable, "-c", OURS, str(folder / "setup.json"), str(ours_out), kind]
            sides[f"voxwarpkit.fuse of {OURS_TILES[kind]}, to_zarr (2 threads)"] = timed(command, environment)
        counting = [sys.executable, "-c", COUNTING + OURS + COUNTED, str(folder / "setup.json"), str(ours_out), "zarr"]
        chunks, reads, most = subprocess.run(
            counting, capture_output=True, text=True, env=environment, check=True
        ).stdout.split()
        print(f"ours, zarr.Array tiles: {int(reads) / int(chunks):.2f} reads per stored tile chunk ({most} at most)")
    if arguments.only in (None, "theirs"):
        tiles = "zarr" if arguments.peer_zarr_arrays else "dask"
        command = [arguments.peer_python, "-c", THEIRS, str(folder / "setup.json"), str(theirs_out), tiles]
        sides[THEIRS_NAME] = timed(command)
    print("| fusion | seconds | peak memory (MB) |\n|---|---|---|")
    for name, (seconds, peak) in sides.items():
        print(f"| {name} | {seconds:.1f} | {peak / 2**20:.0f} |")
    value_range = tile_range(setup)
    outputs = {"ours": ours_out, "theirs": theirs_out}
    for side, output in outputs.items():
        if output.exists():
            largest = against_the_tiles(setup, output) / value_range
            print(f"{side}: largest |fused - the tile's linear sample| / range in single-tile interiors {largest:.2e}")
    if len(sides) >= 2 and arguments.only is None:
        their_seconds, their_peak = sides[THEIRS_NAME]
        for name, (ours_seconds, ours_peak) in sides.items():
            if name != THEIRS_NAME:
                ratios = f"their time over ours {their_seconds / ours_seconds:.2f}x"
                print(f"{name}: {ratios}, their peak memory over ours {their_peak / ours_peak:.2f}x")
        inside, everywhere = (d / value_range for d in agreement(setup, ours_out, theirs_out))
        print(f"largest |ours - theirs| / range: {inside:.2e} in single-tile interiors, {everywhere:.2e} anywhere")
    return {name: peak for name, (_, peak) in sides.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiles of 64 x 256 x 256")
    parser.add_argument("--tiles", type=int, choices=(8, 32), default=8, help="8 (2 x 4) or 32 (4 x 8, and 8 too)")
    parser.add_argument("--peer-python", default="/work/venv-mvs/bin/python", help="python with multiview-stitcher")
    parser.add_argument("--only", choices=("ours", "theirs"), help="run one side alone")
    parser.add_argument(
        "--ours-tiles",
        nargs="+",
        choices=tuple(OURS_TILES),
        default=["zarr", "from_zarr"],
        help="how ours is given the tiles, one run each: zarr.Array, da.from_zarr, or dask arrays computed "
        "by their own graphs (da.from_zarr through map_blocks); default zarr from_zarr",
    )
    parser.add_argument(
        "--peer-zarr-arrays",
        action="store_true",
        help="give multiview-stitcher zarr.Array tiles, not dask arrays over them (its output then departs "
        "from the tiles' own samples in every output chunk but the first)",
    )
    arguments = parser.parse_args()
    shape = (64, 256, 256) if arguments.quick else (128, 1024, 1024)
    grids = [(2, 4)] + ([(4, 8)] if arguments.tiles == 32 else [])
    model = processor_model()
    print(f"{os.cpu_count()} CPUs; {model}; load average {os.getloadavg()[0]:.2f}")
    peaks = {}
    for rows, columns in grids:
        with tempfile.TemporaryDirectory() as folder:
            peaks[rows * columns] = run_set(Path(folder), rows, columns, shape, arguments)
    if len(peaks) == 2:
        print("peak memory (MB) by number of tiles:")
        for name in peaks[8]:
            print(f"  {name}: 8 tiles {peaks[8][name] / 2**20:.0f}, 32 tiles {peaks[32][name] / 2**20:.0f}")


if __name__ == "__main__":
    main()
