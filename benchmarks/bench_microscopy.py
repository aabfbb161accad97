"""Deskew of a stage-scanned light-sheet stack from TIFF, then a 4-level OME-Zarr pyramid, end to end; asserts nothing.

Ours: ``voxwarpkit apply STACK.tif OUT.ome.zarr --deskew ANGLE --deskew-rotate
--levels 4``, one pass, with float32 levels and with ``--output-type uint16`` (the stack's own type, as the
peers write it). The peers:
dask-image's ``ndinterp.affine_transform`` (linear) of the same stack, read
lazily through tifffile, with the same matrix and grid, then ngff-zarr's
``to_multiscales`` and ``to_ngff_zarr`` (4 levels). Both run on dask's
threaded scheduler with every CPU. Each pipeline runs in its own process, so
its peak memory (the resident high-water mark) is its own; figures are
seconds of wall time, the median of interleaved repeats.

    python benchmarks/bench_microscopy.py [--repeats 2] [--quick]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

ANGLE = 31.5
VOXEL_SIZE = (0.104, 0.104, 0.4)  # camera x, camera y, stage step (um)

PEER = """
import sys, numpy as np, tifffile, zarr, dask, dask.array as da
from dask_image.ndinterp import affine_transform
import ngff_zarr
stack_path, out_path, matrix_path, shape = sys.argv[1], sys.argv[2], sys.argv[3], tuple(map(int, sys.argv[4:7]))
numbers = np.load(matrix_path)
linear, offset, spacing = numbers[:3], numbers[3], numbers[4]
store = tifffile.imread(stack_path, aszarr=True)
image = da.from_zarr(zarr.open(store, mode="r"))
moved = affine_transform(image, linear, offset, output_shape=shape, order=1, output_chunks=(64, 256, 256))
ngff = ngff_zarr.to_ngff_image(moved, dims=["z", "y", "x"], scale=dict(zip("zyx", spacing)))
ngff_zarr.to_ngff_zarr(out_path, ngff_zarr.to_multiscales(ngff, scale_factors=[2, 4, 8]))
"""


def make_stack(path, shape):
    import tifffile

    rng = np.random.default_rng(0)
    stack = rng.poisson(100, shape).astype(np.uint16)
    for k, j, i in rng.integers(0, shape, (2000, 3)):
        stack[k, max(j - 2, 0) : j + 2, max(i - 2, 0) : i + 2] += 3000
    metadata = {"axes": "ZYX", "PhysicalSizeX": VOXEL_SIZE[0], "PhysicalSizeY": VOXEL_SIZE[1]}
    metadata["PhysicalSizeZ"] = VOXEL_SIZE[2]
    tifffile.imwrite(path, stack, ome=True, metadata=metadata, tile=(256, 256))


def index_space(shape):
    """The deskew's matrix as dask-image takes it: (z, y, x) output index -> input index."""
    import voxwarpkit

    matrix, grid = voxwarpkit.deskew(shape, VOXEL_SIZE, angle=ANGLE, rotate=True)
    spacing_out = np.full(3, min(VOXEL_SIZE[:2]))
    linear = np.diag(1 / np.array(VOXEL_SIZE)) @ np.asarray(matrix, float).reshape(3, 4)[:, :3] @ np.diag(spacing_out)
    offset = np.asarray(matrix, float).reshape(3, 4)[:, 3] / np.array(VOXEL_SIZE)
    return linear[::-1, ::-1], offset[::-1], spacing_out[::-1], grid


def timed(command):
    """Seconds and peak resident memory (bytes) of one run of ``command`` in a new process."""
    started = time.perf_counter()
    run = subprocess.run(["/usr/bin/env", "python", "-c", WRAPPER, *command], capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if run.returncode != 0:
        raise RuntimeError(run.stderr[-2000:])
    return seconds, int(run.stdout.strip().splitlines()[-1])


# Runs a command as a child and prints the child's peak resident memory in bytes.
WRAPPER = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--quick", action="store_true", help="a 40x256x256 stack, one repeat")
    arguments = parser.parse_args()
    shape = (40, 256, 256) if arguments.quick else (200, 1024, 1024)
    repeats = 1 if arguments.quick else arguments.repeats
    model = processor_model()
    print(f"{os.cpu_count()} CPUs; {model}; load average {os.getloadavg()[0]:.2f}; stack {shape} uint16")
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        stack = work / "stack.ome.tif"
        make_stack(stack, shape)
        linear, offset, spacing, grid = index_space(shape)
        matrix_file = work / "matrix.npy"
        np.save(matrix_file, np.vstack([linear, offset, spacing]))
        ours_pyramid, theirs = work / "ours.ome.zarr", work / "theirs.ome.zarr"
        python = sys.executable
        ours = [python, "-m", "voxwarpkit", "apply", str(stack), str(ours_pyramid), "--deskew", str(ANGLE)]
        ours += ["--deskew-rotate", "--force", "--chunks", "64", "256", "256", "--levels", "4"]
        peer_name = "dask-image affine_transform, then ngff-zarr"
        commands = {
            "voxwarpkit apply --deskew --levels 4 (float32)": ours,
            "voxwarpkit apply --deskew --levels 4 --output-type uint16": ours + ["--output-type", "uint16"],
            peer_name: [python, "-c", PEER, str(stack), str(theirs), str(matrix_file), *map(str, grid)],
        }
        times = {name: [] for name in commands}
        peaks = {name: 0 for name in commands}
        for _ in range(repeats):
            for name, command in commands.items():  # interleaved
                seconds, peak = timed(command)
                times[name].append(seconds)
                peaks[name] = max(peaks[name], peak)
        peer_time = statistics.median(times[peer_name])
        print(f"output grid {grid}; load average {os.getloadavg()[0]:.2f} at the end")
        print("| pipeline | seconds | peak memory (MB) | the peer's time over this one's |\n|---|---|---|---|")
        for name, values in times.items():
            median = statistics.median(values)
            print(f"| {name} | {median:.1f} | {peaks[name] / 2**20:.0f} | {peer_time / median:.1f}x |")


if __name__ == "__main__":
    main()
