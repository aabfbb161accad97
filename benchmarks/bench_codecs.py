"""Codec pipelines on apply's reads and writes: zarr-python's own, zarrs' and tensorstore's; prints, asserts nothing.

The reads are those of apply's throughput input (benchmarks/bench_scale.py):
every chunk of a fully written uint16 array of 896 x 768 x 768 in chunks of
64 x 256 x 256 (8 MiB, zarr 3's default Zstandard), one chunk a call as the
cache of decoded chunks reads them. The writes are apply's float32 output
blocks of the same shape, Blosc LZ4 over shuffled bytes as voxwarpkit writes
them, one block a call as a task writes its block. Each library runs --repeats
times, interleaved, and the best time is printed; the written files are
compared with zarr-python's, byte for byte.

    python benchmarks/bench_codecs.py [--repeats 3]
"""

import argparse
import itertools
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
import zarr
from machine import processor_model  # this folder is on the path of a script run from it
from zarr import codecs

SHAPE = (896, 768, 768)
CHUNK = (64, 256, 256)
PIPELINES = {"zarr-python": "zarr.core.codec_pipeline.BatchedCodecPipeline", "zarrs": "zarrs.ZarrsCodecPipeline"}


def boxes():
    counts = [n // c for n, c in zip(SHAPE, CHUNK)]
    return [
        tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, CHUNK))
        for index in itertools.product(*map(range, counts))
    ]


def zarr_run(folder, pipeline, block):
    """Seconds to read every input chunk and to write every output block through zarr with ``pipeline``."""
    with zarr.config.set({"codec_pipeline.path": pipeline}):
        source = zarr.open_array(str(folder / "in.zarr"), mode="r")
        started = time.perf_counter()
        for box in boxes():
            np.asarray(source[box])
        read = time.perf_counter() - started
        target = zarr.create_array(
            str(folder / "out.zarr"),
            shape=SHAPE,
            chunks=CHUNK,
            dtype="float32",
            overwrite=True,
            compressors=[codecs.BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")],
        )
        started = time.perf_counter()
        for box in boxes():
            target[box] = block
        return read, time.perf_counter() - started


def tensorstore_run(folder, block):
    """The same reads and writes through tensorstore's zarr3 driver."""
    import tensorstore as ts

    source = ts.open({"driver": "zarr3", "kvstore": {"driver": "file", "path": str(folder / "in.zarr")}}).result()
    started = time.perf_counter()
    for box in boxes():
        source[box].read().result()
    read = time.perf_counter() - started
    metadata = {
        "shape": list(SHAPE),
        "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": list(CHUNK)}},
        "data_type": "float32",
        "codecs": [
            {"name": "bytes", "configuration": {"endian": "little"}},
            {"name": "blosc", "configuration": {"cname": "lz4", "clevel": 5, "shuffle": "shuffle", "typesize": 4}},
        ],
    }
    output = {"driver": "zarr3", "kvstore": {"driver": "file", "path": str(folder / "out.zarr")}, "metadata": metadata}
    target = ts.open(output, create=True, delete_existing=True).result()
    started = time.perf_counter()
    for box in boxes():
        target[box].write(block).result()
    return read, time.perf_counter() - started


def chunk_files(store):
    return {str(p.relative_to(store)): p.read_bytes() for p in sorted((store / "c").rglob("*")) if p.is_file()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"processor: {processor_model()}; zarr {zarr.__version__}")
    runs = {"zarr-python": lambda f, b: zarr_run(f, PIPELINES["zarr-python"], b)}
    for name, module in (("zarrs", "zarrs"), ("tensorstore", "tensorstore")):
        try:
            __import__(module)
        except ImportError:
            print(f"{name}: not installed, left out")
            continue
        runs[name] = (lambda f, b: zarr_run(f, PIPELINES["zarrs"], b)) if name == "zarrs" else tensorstore_run
    folder = Path(tempfile.mkdtemp(prefix="bench_codecs-"))
    try:
        rng = np.random.default_rng(0)
        source = zarr.open_array(str(folder / "in.zarr"), mode="w", shape=SHAPE, chunks=CHUNK, dtype="uint16")
        for z in range(0, SHAPE[0], CHUNK[0]):
            source[z : z + CHUNK[0]] = rng.integers(80, 120, (CHUNK[0], *SHAPE[1:]), np.uint16)
        block = (rng.random(CHUNK, dtype=np.float32) * 100).astype(np.float32)
        best = {name: [np.inf, np.inf] for name in runs}
        written = {}
        for _ in range(args.repeats):
            for name, run in runs.items():
                read, write = run(folder, block)
                best[name] = [min(best[name][0], read), min(best[name][1], write)]
                written[name] = chunk_files(folder / "out.zarr")
        count = len(boxes())
        print(f"{count} chunks of {'x'.join(map(str, CHUNK))}; best of {args.repeats}, ms a chunk")
        print(f"  {'pipeline':14s}{'read uint16 zstd':>18s}{'write float32 lz4':>19s}  written chunks")
        for name, (read, write) in best.items():
            same = "the same bytes as zarr-python's" if written[name] == written["zarr-python"] else "other bytes"
            print(f"  {name:14s}{read / count * 1e3:18.1f}{write / count * 1e3:19.1f}  {same}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
