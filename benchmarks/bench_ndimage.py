"""voxwarpkit.ndimage against scipy.ndimage on the issue's cases; prints figures, asserts nothing.

A 256^3 float32 volume turned 20 degrees about an oblique axis (scipy's index-space matrix about the
centre): affine_transform of order 1 (one thread and every thread) and of order 3 with its prefilter
(one thread), map_coordinates of order 1 with a full coordinate array, and zoom of order 1 by 0.5 and by
2. Each case runs scipy and ours in turn, repeat by repeat (one interleaved run); figures are medians,
in ns per output voxel, and the ratio of scipy's time to ours. ``--dask-gib N`` also transforms an N GiB
float32 volume stored in Zarr (order 1, to_zarr), in a process of its own, and prints its peak memory
and whether its bits equal the numpy call's on a part of the volume.

    python benchmarks/bench_ndimage.py [--size 256] [--repeats 3] [--dask-gib 0]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it
from scipy import ndimage as scipy_ndimage

from voxwarpkit import ndimage
from voxwarpkit._core.threads import thread_count


def rotation(shape, degrees=20.0):
    axis = np.array([1.0, 2.0, 3.0]) / np.sqrt(14.0)
    angle = np.deg2rad(degrees)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    matrix = np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * (k @ k)
    centre = (np.array(shape) - 1) / 2
    return matrix, centre - matrix @ centre


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def cases(image, matrix, offset):
    n = image.shape[0]
    everyone = thread_count(None)
    grid = np.indices(image.shape, dtype=np.float64).reshape(3, -1)
    coordinates = (matrix @ grid + offset[:, None]).reshape((3,) + image.shape)
    yield (
        "affine_transform order=1, 1 thread",
        image.size,
        (
            lambda: scipy_ndimage.affine_transform(image, matrix, offset, order=1),
            lambda: ndimage.affine_transform(image, matrix, offset, order=1, threads=1),
        ),
    )
    yield (
        f"affine_transform order=1, {everyone} threads",
        image.size,
        (
            lambda: scipy_ndimage.affine_transform(image, matrix, offset, order=1),
            lambda: ndimage.affine_transform(image, matrix, offset, order=1, threads=everyone),
        ),
    )
    yield (
        "affine_transform order=3 with prefilter, 1 thread",
        image.size,
        (
            lambda: scipy_ndimage.affine_transform(image, matrix, offset, order=3),
            lambda: ndimage.affine_transform(image, matrix, offset, order=3, threads=1),
        ),
    )
    yield (
        "map_coordinates order=1, full coordinates, 1 thread",
        image.size,
        (
            lambda: scipy_ndimage.map_coordinates(image, coordinates, order=1),
            lambda: ndimage.map_coordinates(image, coordinates, order=1, threads=1),
        ),
    )
    for factor in (0.5, 2.0):
        voxels = round(n * factor) ** 3
        yield (
            f"zoom order=1 by {factor}, 1 thread",
            voxels,
            (
                lambda factor=factor: scipy_ndimage.zoom(image, factor, order=1),
                lambda factor=factor: ndimage.zoom(image, factor, order=1, threads=1),
            ),
        )


LAZY = r"""
import json, resource, sys, numpy as np, zarr, dask
from voxwarpkit import ndimage
path, out_path = sys.argv[1], sys.argv[2]
image = zarr.open_array(path, mode="r")
n = image.shape[0]
angle = np.deg2rad(20.0)
matrix = np.array([[1, 0, 0], [0, np.cos(angle), -np.sin(angle)], [0, np.sin(angle), np.cos(angle)]])
centre = (np.array(image.shape) - 1) / 2
offset = centre - matrix @ centre
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
lazy = ndimage.affine_transform(image, matrix, offset, order=1, output_chunks=(64, 256, 256))
with dask.config.set(scheduler="threads"):
    lazy.to_zarr(out_path, overwrite=True)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
part = np.asarray(image[:, :, :64])
small = ndimage.affine_transform(part, matrix, offset, output_shape=(n, n, 64), order=1, cval=0.0)
stored = zarr.open_array(out_path, mode="r")[:, :, :64]
# positions near the cut read voxels the part lacks: compare where the part holds every voxel read
inside = small != 0
same = bool(np.array_equal(small[inside].view(np.uint32), stored[inside].view(np.uint32)))
print(json.dumps({"peak_kib": peak, "before_kib": before, "same_bits": same}))
"""


def lazy_case(gib: float) -> None:
    zarr = __import__("zarr")
    n = int(round((gib * 2**30 / 4) ** (1 / 3) / 64)) * 64
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as folder:
        path, out_path = os.path.join(folder, "in.zarr"), os.path.join(folder, "out.zarr")
        stored = zarr.open_array(path, mode="w", shape=(n, n, n), chunks=(64, 256, 256), dtype="f4")
        rng = np.random.default_rng(0)
        for z in range(0, n, 64):
            stored[z : z + 64] = rng.random((64, n, n), dtype=np.float32)
        start = time.perf_counter()
        run = subprocess.run([sys.executable, "-c", LAZY, path, out_path], capture_output=True, text=True)
        seconds = time.perf_counter() - start
        if run.returncode != 0:
            print(run.stderr[-2000:])
            return
        result = json.loads(run.stdout.strip().splitlines()[-1])
        print(
            f"dask/zarr input {n}^3 float32 ({n**3 * 4 / 2**30:.2f} GiB), affine_transform order=1 then to_zarr: "
            f"{seconds:.1f} s, peak memory {result['peak_kib'] / 2**20:.2f} GiB, "
            f"bits of the numpy call: {result['same_bits']}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dask-gib", type=float, default=0.0)
    options = parser.parse_args()
    n = options.size
    image = np.random.default_rng(0).random((n, n, n), dtype=np.float32)
    matrix, offset = rotation(image.shape)
    print(f"{processor_model()}, {thread_count(None)} CPUs, {n}^3 float32, {options.repeats} interleaved repeats")
    print(f"{'case':56s} {'scipy ns/voxel':>15s} {'ours ns/voxel':>14s} {'ratio':>7s}")
    for name, voxels, (theirs, ours) in cases(image, matrix, offset):
        scipy_times, our_times = [], []
        for _ in range(options.repeats):
            scipy_times.append(timed(theirs))
            our_times.append(timed(ours))
        s, o = statistics.median(scipy_times), statistics.median(our_times)
        print(f"{name:56s} {s / voxels * 1e9:15.2f} {o / voxels * 1e9:14.2f} {s / o:6.1f}x")
        sys.stdout.flush()
    if options.dask_gib > 0:
        lazy_case(options.dask_gib)


if __name__ == "__main__":
    main()
