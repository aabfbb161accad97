"""resample on dask against dask-image's affine_transform; prints figures, asserts nothing.

Both run on the same dask array (float32, chunks of 128**3), with the same
output chunks and dask's threaded scheduler. Times are the least of
interleaved repeats. Input bytes per output voxel: ours is the sum of the
task windows (and the part of them copied from input chunks: a rotated
block leaves out the chunks it does not read); dask-image's is the sum of the
input slices it cuts for its output chunks.

    python benchmarks/bench_dask.py            # 512**3 and the 256**3 overhead
    python benchmarks/bench_dask.py --quick    # 256**3 only
"""

import argparse
import time

import dask
import dask.array as da
import numpy as np
from dask_image.ndinterp import affine_transform

import voxwarpkit
from voxwarpkit._backends import request as _request
from voxwarpkit._lazy import resample as _dask

SLICED = []


class CountedArray(da.Array):
    """A dask array that records the bytes of every slice cut from it."""

    def __getitem__(self, index):
        part = super().__getitem__(index)
        SLICED.append(part.nbytes)
        return part


def cases(n):
    """3x4 maps from output physical (x, y, z) to input's, voxel size 1: a 30-degree turn and a deskew shear."""
    centre = np.full(3, (n - 1) / 2)
    a = np.deg2rad(30.0)
    turn = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])
    shear = np.array([[1, 0, 0.5], [0, 1, 0], [0, 0, 1]])  # x moves with z, as a light sheet's stack
    return {
        name: np.hstack([m, (centre - m @ centre)[:, None]])
        for name, m in (("rotation 30 deg", turn), ("deskew shear", shear))
    }


def least_times(runs, repeats):
    """The least time of each of ``runs``, repeated in turn so that all share the machine's ups and downs."""
    times = [[] for _ in runs]
    for _ in range(repeats):
        for run, taken in zip(runs, times):
            started = time.perf_counter()
            run()
            taken.append(time.perf_counter() - started)
    return [min(taken) for taken in times]


def our_bytes(image, matrix, output_chunks):
    request = _request.checked_request(
        image.shape, image.dtype, np.ones(3), matrix, shape=None, output_voxel_size=None, order=1, fill=0.0, threads=1
    )
    plans = _dask._plans(image, request, output_chunks).values()
    window = sum(int(np.prod(p.window_shape)) for p in plans) * image.dtype.itemsize
    copied = sum(int(np.prod([s.stop - s.start for s in piece.into])) for p in plans for piece in p.pieces)
    return window, copied * image.dtype.itemsize


def compare(n, chunk, repeats):
    data = np.random.default_rng(0).random((n, n, n), dtype=np.float32)
    image = da.from_array(data, chunks=chunk)
    counted = CountedArray(image.dask, image.name, image.chunks, meta=image._meta)
    voxels = data.size
    print(f"\n{n}**3 float32, input and output chunks {chunk}**3, threaded scheduler")
    print(
        f"{'case':<17}{'ours s':>8}{'dask-image s':>14}{'speed-up':>10}"
        f"{'ours B/vox':>12}{'copied B/vox':>14}{'dask-image B/vox':>18}"
    )
    for name, matrix in cases(n).items():
        ours = voxwarpkit.resample(image, np.ones(3), matrix, chunks=chunk)
        # dask-image works in index space (z, y, x): input index = A @ output index + b.
        SLICED.clear()
        theirs = affine_transform(
            counted,
            matrix[::-1, :3][:, ::-1],
            matrix[::-1, 3],
            output_shape=data.shape,
            order=1,
            output_chunks=(chunk,) * 3,
        )
        their_bytes = sum(SLICED)
        ours_s, theirs_s = least_times(
            [lambda a=ours: a.compute(scheduler="threads"), lambda a=theirs: a.compute(scheduler="threads")], repeats
        )
        window, copied = our_bytes(image, matrix, ours.chunks)
        print(
            f"{name:<17}{ours_s:>8.2f}{theirs_s:>14.2f}{theirs_s / ours_s:>9.1f}x"
            f"{window / voxels:>12.2f}{copied / voxels:>14.2f}{their_bytes / voxels:>18.2f}"
        )


def overhead(n, repeats):
    data = np.random.default_rng(1).random((n, n, n), dtype=np.float32)
    matrix = cases(n)["rotation 30 deg"]
    print(f"\nchunking overhead on {n}**3 (30-degree turn), against one in-memory call on every core")
    variants = {"in memory": lambda: voxwarpkit.resample(data, np.ones(3), matrix)}
    for input_chunk, output_chunk in ((128, 128), (64, 64), (n, 64)):
        lazy = voxwarpkit.resample(da.from_array(data, chunks=input_chunk), np.ones(3), matrix, chunks=output_chunk)
        name = f"dask, input chunks {input_chunk}**3, output {output_chunk}**3"
        variants[name] = lambda lazy=lazy: lazy.compute(scheduler="threads")
    # compute() ends by concatenating the blocks into a new array; da.store writes them in place,
    # as a Zarr output does.
    into = np.empty_like(data)
    variants["dask, as above, da.store into an array"] = lambda: da.store(lazy, into, lock=False, scheduler="threads")
    times = least_times(list(variants.values()), repeats)
    for name, took in zip(variants, times):
        print(f"{name:<44}{took:>8.3f} s  {100 * (took / times[0] - 1):+.0f}%")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="256**3 only")
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    print(f"dask {dask.__version__}, {len(__import__('os').sched_getaffinity(0))} CPUs")
    compare(256 if arguments.quick else 512, 128, arguments.repeats)
    overhead(256, arguments.repeats + 2)


if __name__ == "__main__":
    main()
