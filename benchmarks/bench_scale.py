"""Peak memory, time and throughput of resampling Zarr volumes larger than memory; prints figures, asserts nothing.

Every input is a uint16 Zarr array in chunks of 64 x 256 x 256, voxel size 1,
turned 30 degrees about x and 20 about z around its centre (a physical 3x4
matrix file made by voxwarpkit.rigid). Only a handful of its chunks hold
beads; the rest are never written and read as the fill value 0, so a 16 GiB
input costs a few MB of disk. What is measured, against its target:

1. the peak resident memory of ``voxwarpkit apply IN.zarr OUT.zarr -m rot.txt``
   and of ``voxwarpkit pyramid IN.zarr OUT.zarr --levels 3``, default
   settings, --threads 2, for each of --sizes GiB: the smallest and largest
   sizes' peaks within 25 % of each other, and every one under 1.5 GB;
2. the throughput of apply against reading the input plus one in-memory
   voxwarpkit.resample call on the same voxels (target 0.8; with
   --output-type uint16, 0.9), a fully written input of --throughput-size
   GiB (1) that stays in the page cache; apply is also run with zarr's own
   codec pipeline, which it takes where zarrs is not installed;
3. the size of resample's dask graph for each input: its tasks against the
   output's blocks; and how often apply and pyramid read each stored chunk of
   the throughput input (target about 1);
4. dask-image's ndinterp.affine_transform (order 1, the same matrix in index
   space, output chunks 64 x 256 x 256) then to_zarr, against apply, on a
   --dask-image-size GiB (8) input: peak memory and time side by side.

Each run is its own process, so that peaks do not mix: its peak is the
process's VmHWM, read as it exits (on Linux ru_maxrss carries a parent's
peak into its children). Seconds are wall time of the process, start-up
included, except the in-memory call's, which is the call alone; voxels/s
counts the input's voxels. Outputs go to a temporary folder, removed at the
end unless --keep; "disk MB" is what an output takes on disk, its chunk
files counted against its chunks (zarr leaves out chunks that hold only the
fill value when array.write_empty_chunks is off, zarr 3's default). A run
that passes --memory-limit GB resident (default half the free memory) or
--timeout seconds gets SIGTERM and is reported as not finished, with the peak
it reached: while tasks hold their input chunks, a 16 GiB run holds most of
its input.

    python benchmarks/bench_scale.py [--sizes 2 16] [--threads 2] [--skip-dask-image] [--skip-scale] [--keep]
                                     [--memory-limit GB] [--timeout SECONDS]
    python benchmarks/bench_scale.py --sizes 0.25 0.5 --throughput-size 0.25 --dask-image-size 0.5   # quick
"""

import argparse
import collections
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zarr
from machine import processor_model  # this folder is on the path of a script run from it

import voxwarpkit

CHUNK = (64, 256, 256)
ROTATION = (30.0, 0.0, 20.0)  # degrees about x, y, z
GIB = 2**30
MB = 10**6
PEAK_TARGET = 1.5e9
# The environment that keeps zarr's own codec pipeline where zarrs is installed.
OWN_PIPELINE = {"ZARR_CODEC_PIPELINE__PATH": "zarr.core.codec_pipeline.BatchedCodecPipeline"}
PEAK_SPREAD = 0.25

# Runs a module (python -m) or a script in this process and, however it ends, prints the process's
# peak resident memory in bytes on stderr's last line.
PEAK_WRAPPER = """
import os, runpy, sys
sys.argv = sys.argv[1:]
try:
    if sys.argv[0].endswith(".py"):
        sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))  # as running the script would
        runpy.run_path(sys.argv[0], run_name="__main__")
    else:
        runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
finally:
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    print(f"\\npeak-bytes {peak}", file=sys.stderr)
"""


def volume_shape(gib):
    """A near-cubic (z, y, x) of about ``gib`` GiB of uint16, whole chunks along every axis."""
    voxels = gib * GIB / 2
    side = max(1, round(voxels ** (1 / 3) / CHUNK[2])) * CHUNK[2]
    depth = max(1, round(voxels / side**2 / CHUNK[0])) * CHUNK[0]
    return (depth, side, side)


def make_input(path, shape, everywhere=False):
    """A uint16 Zarr array of voxel size 1, fill value 0. Beads in the eight chunks about the centre;
    with ``everywhere``, every chunk is written, noise under the beads, so that a run reads real data."""
    array = zarr.open_array(str(path), mode="w", shape=shape, chunks=CHUNK, dtype="uint16", fill_value=0)
    array.attrs["voxel_size"] = [1.0, 1.0, 1.0]
    rng = np.random.default_rng(0)
    centre = [n // 2 // c * c for n, c in zip(shape, CHUNK)]
    lower = [max(0, c - step) for c, step in zip(centre, CHUNK)]
    upper = [min(n, c + step) for n, c, step in zip(shape, centre, CHUNK)]
    if everywhere:
        for z in range(0, shape[0], CHUNK[0]):
            array[z : z + CHUNK[0]] = rng.integers(80, 120, (min(CHUNK[0], shape[0] - z), *shape[1:]), np.uint16)
    beads = array[lower[0] : upper[0], lower[1] : upper[1], lower[2] : upper[2]]
    for k, j, i in rng.integers(3, np.array(beads.shape) - 3, (2000, 3)):
        beads[k - 2 : k + 3, j - 2 : j + 3, i - 2 : i + 3] = 3000
    array[lower[0] : upper[0], lower[1] : upper[1], lower[2] : upper[2]] = beads


def described(shape):
    return f"{'x'.join(map(str, shape))} uint16 ({math.prod(shape) * 2 / GIB:.2f} GiB)"


def apply_command(source, target, rotation, threads):
    return ["voxwarpkit", "apply", source, target, "-m", rotation, "--threads", threads]


def matrix_file(folder, shape):
    """The rotation's 3x4 (output physical -> input physical) as a text file voxwarpkit apply reads."""
    path = folder / f"rot-{'x'.join(map(str, shape))}.txt"
    np.savetxt(path, voxwarpkit.rigid(shape, (1.0, 1.0, 1.0), rotation=ROTATION).reshape(3, 4))
    return path


METADATA_FILES = (".zarray", ".zattrs", ".zgroup", "zarr.json")


def on_disk(files):
    return sum(p.stat().st_blocks * 512 for p in files)


def output_note(path):
    """Disk use of an output store, and how many of its arrays' chunks were written as files."""
    if not Path(path).exists():
        return "no output"
    files = [p for p in Path(path).rglob("*") if p.is_file()]
    used = on_disk(files)
    written = sum(p.name not in METADATA_FILES for p in files)
    arrays = [zarr.open(str(p.parent), mode="r") for p in files if p.name in (".zarray", "zarr.json")]
    chunks = sum(math.prod(a.cdata_shape) for a in arrays if isinstance(a, zarr.Array))
    return f"output {used / MB:.0f} MB on disk, {written} of {chunks} chunks written"


Limits = collections.namedtuple("Limits", "seconds bytes")


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return next((int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:")), 0)
    except OSError:  # it has just ended
        return 0


def measured(arguments, limits, environment=None):
    """Run ``python -m arguments[0] ...`` (or a script) in a new process: (seconds, peak bytes, stdout),
    seconds None when it failed or went past ``limits``. A run past them gets SIGTERM, which the
    commands clean up after: a larger-than-memory run that holds its input would otherwise take
    the machine's memory from everything else on it."""
    command = [sys.executable, "-c", PEAK_WRAPPER, *map(str, arguments)]
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        env = None if environment is None else {**os.environ, **environment}
        child = subprocess.Popen(command, stdout=out, stderr=err, text=True, env=env)
        stopped = None
        while child.poll() is None:
            elapsed = time.perf_counter() - started
            if limits.seconds is not None and elapsed > limits.seconds:
                stopped = f"stopped after {elapsed:.0f} s"
            elif resident_bytes(child.pid) > limits.bytes:
                stopped = f"stopped at {limits.bytes / MB:.0f} MB resident after {elapsed:.0f} s"
            if stopped:
                # SIGTERM, not Ctrl-C's SIGINT: a shell ignores SIGINT in what it starts in the
                # background, and so would the run; the commands clean up after either.
                child.send_signal(signal.SIGTERM)
                child.wait()
                break
            time.sleep(0.2)
        seconds = time.perf_counter() - started
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    peaks = re.findall(r"^peak-bytes (\d+)$", stderr, re.MULTILINE)
    peak = int(peaks[-1]) if peaks else None
    if stopped or child.returncode != 0:
        said = [line for line in stderr.splitlines() if line.strip() and not line.startswith("peak-bytes")]
        return None, peak, stopped or (said[-1] if said else f"failed ({child.returncode})")
    return seconds, peak, stdout


def written_row(name, command, target, voxels, limits, about="", environment=None):
    """Run ``command``, which writes the store ``target``; print its row, remove ``target``;
    return its (seconds, peak), seconds None when it did not finish."""
    seconds, peak, text = measured(command, limits, environment)
    note = text.strip() if seconds is None else f"{about}{output_note(target)}"
    print_row(name, seconds, peak, voxels, note)
    shutil.rmtree(target, ignore_errors=True)
    return seconds, peak


def print_row(name, seconds, peak, voxels, note=""):
    text = "-" if seconds is None else f"{seconds:9.1f}"
    peak_text = "?" if peak is None else f"{peak / MB:9.0f}"
    rate = "" if seconds is None else f"{voxels / seconds / 1e6:10.1f}"
    print(f"  {name:52s}{text:>9s}{peak_text:>9s}{rate:>10s}  {note}", flush=True)


def print_header(title):
    print(f"\n{title}")
    print(f"  {'run':52s}{'seconds':>9s}{'peak MB':>9s}{'Mvox/s':>10s}  notes", flush=True)


def scale_case(folder, gib, threads, limits):
    """Targets 1 and 3 for one input size: apply, pyramid and the graph; returns {run: (seconds, peak bytes)}."""
    shape = volume_shape(gib)
    source = folder / f"in-{gib}.zarr"
    make_input(source, shape)
    rotation = matrix_file(folder, shape)
    voxels = math.prod(shape)
    used = on_disk(p for p in source.rglob("*") if p.is_file())
    print_header(f"{described(shape)}, {used / MB:.0f} MB on disk, {threads} threads")
    peaks = {}
    target = folder / f"out-{gib}.zarr"
    runs = {
        "apply": apply_command(source, target, rotation, threads),
        "pyramid": ["voxwarpkit", "pyramid", source, target, "--levels", 3, "--threads", threads],
    }
    for name, command in runs.items():
        peaks[name] = written_row(f"voxwarpkit {name}", command, target, voxels, limits)
    seconds, peak, text = measured([__file__, "--graph", source, rotation], limits)
    print_row("resample's graph, built (not computed)", seconds, peak, voxels, "")
    print(f"    {text.strip() if seconds is not None else text}", flush=True)
    shutil.rmtree(source)
    return peaks


def graph_child(source, rotation):
    """Print the tasks of resample's graph on the Zarr array at ``source`` against its output blocks."""
    import dask.array as da

    array = zarr.open_array(source, mode="r")
    matrix = np.loadtxt(rotation)
    try:
        lazy = voxwarpkit.resample(array, (1, 1, 1), matrix)
        given = "a zarr.Array"
    except TypeError:
        lazy = voxwarpkit.resample(da.from_zarr(array), (1, 1, 1), matrix)
        given = "da.from_zarr (a zarr.Array raises TypeError)"
    tasks = len(lazy.__dask_graph__())
    blocks = lazy.npartitions
    print(
        f"resample of {given}: {tasks} tasks for {blocks} output blocks of {lazy.chunksize} "
        f"({tasks / blocks:.1f} a block; input {math.prod(array.cdata_shape)} chunks)"
    )


def memory_child(source, rotation, threads):
    """Print the seconds of one in-memory resample of the Zarr array at ``source``, and of reading it."""
    started = time.perf_counter()
    image = zarr.open_array(source, mode="r")[...]
    read = time.perf_counter() - started
    matrix = np.loadtxt(rotation)
    started = time.perf_counter()
    voxwarpkit.resample(image, (1, 1, 1), matrix, threads=threads)
    print(f"{time.perf_counter() - started} {read}")


def decodes_child(source, command):
    """Run the command line's ``command`` in this process, counting the reads of each stored chunk
    of the Zarr array at ``source``; print the chunks read and the reads, the most of one chunk."""
    import zarr.storage

    from voxwarpkit.cli import main as command_line

    reads = collections.Counter()
    root = Path(source).resolve()
    get = zarr.storage.LocalStore.get

    async def counted(self, key, *args, **kwargs):
        if Path(str(self.root)).resolve() == root and not key.endswith(METADATA_FILES):
            reads[key] += 1  # on zarr's event loop, one thread: no lock needed
        return await get(self, key, *args, **kwargs)

    zarr.storage.LocalStore.get = counted
    code = command_line(command)
    print(f"{code} {len(reads)} {sum(reads.values())} {max(reads.values(), default=0)}")


def decodes_row(name, source, command, limits):
    """How often ``command`` (the command line's arguments) reads each chunk of the input at ``source``."""
    # zarr's own pipeline: its store's reads are what is counted (zarrs reads the files itself).
    wall, _, text = measured([__file__, "--decodes", source, *command], limits, OWN_PIPELINE)
    if wall is None:
        print(f"  {name}: reads per input chunk not measured ({text})")
        return
    code, chunks, reads, most = (int(v) for v in text.split()[-4:])
    print(f"  {name}: {reads} reads of {chunks} input chunks, {reads / max(chunks, 1):.2f} a chunk, at most {most}")


def dask_image_child(source, target, rotation, threads):
    """dask-image's affine_transform of the Zarr array at ``source``, order 1, written to ``target``."""
    import dask
    import dask.array as da
    from dask_image.ndinterp import affine_transform

    image = da.from_zarr(zarr.open_array(source, mode="r"))
    matrix = np.loadtxt(rotation)
    # Voxel size 1: physical (x, y, z) is index (z, y, x) reversed.
    linear, offset = matrix[::-1, :3][:, ::-1], matrix[::-1, 3]
    moved = affine_transform(image, linear, offset, output_shape=image.shape, order=1, output_chunks=CHUNK)
    with dask.config.set(scheduler="threads", num_workers=threads):
        moved.to_zarr(target)


def throughput_case(folder, gib, threads, limits):
    """Target 2: apply on a fully written input in the page cache against one in-memory call."""
    shape = volume_shape(gib)
    source = folder / f"full-{gib}.zarr"
    make_input(source, shape, everywhere=True)
    rotation = matrix_file(folder, shape)
    voxels = math.prod(shape)
    used = on_disk(p for p in source.rglob("*") if p.is_file())
    print_header(f"Throughput: {described(shape)}, every chunk written, {used / MB:.0f} MB on disk, {threads} threads")
    target = folder / f"apply-full-{gib}.zarr"
    command = apply_command(source, target, rotation, threads)
    seconds, _ = written_row("voxwarpkit apply", command, target, voxels, limits)
    narrow = [*command, "--output-type", "uint16"]
    narrow_seconds, _ = written_row("voxwarpkit apply --output-type uint16", narrow, target, voxels, limits)
    # The codec pipeline apply takes where zarrs is installed, against zarr's own.
    written_row(
        "voxwarpkit apply, zarr's own codec pipeline", command, target, voxels, limits, environment=OWN_PIPELINE
    )
    decodes_row("voxwarpkit apply", source, command[1:], limits)
    pyramid = ["pyramid", source, folder / "pyramid-full.zarr", "--levels", "3", "--threads", threads]
    decodes_row("voxwarpkit pyramid --levels 3", source, pyramid, limits)
    wall, peak, text = measured([__file__, "--in-memory", source, rotation, threads], limits)
    call, note = None, text
    if wall is not None:
        call, read = (float(v) for v in text.split())
        note = f"reading the input took {read:.1f} s, the whole process {wall:.1f} s"
    print_row("voxwarpkit.resample in memory, the call alone", call, peak, voxels, note)
    if seconds is not None and call is not None:
        print(f"  apply's throughput is {call / seconds:.2f} of the in-memory call's")
        print(
            f"  apply's throughput against reading the input plus the call: {(read + call) / seconds:.2f} (target 0.8)"
        )
    if narrow_seconds is not None and call is not None:
        print(
            f"  the same with --output-type uint16: {(read + call) / narrow_seconds:.2f} (target 0.9), "
            "against a float32 call: the engine's cost is the same, only the bytes written halve"
        )
    shutil.rmtree(source)


def dask_image_case(folder, gib, threads, limits):
    """Target 4: apply against dask-image's affine_transform and to_zarr on the same input."""
    shape = volume_shape(gib)
    source = folder / f"in-{gib}.zarr"
    make_input(source, shape)
    rotation = matrix_file(folder, shape)
    voxels = math.prod(shape)
    print_header(f"Against dask-image: {described(shape)}, {threads} threads")
    ours, theirs = folder / "apply-dask-image.zarr", folder / "dask-image.zarr"
    command = apply_command(source, ours, rotation, threads)
    written_row("voxwarpkit apply", command, ours, voxels, limits, "float32, default chunks; ")
    command = [__file__, "--dask-image", source, theirs, rotation, threads]
    about = f"uint16, chunks {CHUNK}; "
    written_row("dask-image affine_transform, then to_zarr", command, theirs, voxels, limits, about)
    shutil.rmtree(source)


def print_targets(peaks, sizes):
    """Target 1: each command's peaks under 1.5 GB, the smallest and largest sizes' within 25 %."""
    print(f"\nTargets: peaks under {PEAK_TARGET / 1e9} GB, within {PEAK_SPREAD:.0%} from {sizes[0]} to {sizes[-1]} GiB")
    for name in ("apply", "pyramid"):
        runs = [peaks[gib][name] for gib in sizes]
        text = ", ".join(
            f"{gib} GiB {'?' if peak is None else f'{peak / MB:.0f}'} MB{'' if seconds else ' (did not finish)'}"
            for gib, (seconds, peak) in zip(sizes, runs)
        )
        if any(seconds is None or peak is None for seconds, peak in runs):
            print(f"  {name}: {text}; NOT met")
            continue
        figures = [peak for _, peak in runs]
        spread = max(figures) / min(figures) - 1
        under = all(figure < PEAK_TARGET for figure in figures)
        print(
            f"  {name}: {text}; under: {'met' if under else 'NOT met'}; "
            f"spread {spread:.0%}: {'met' if spread <= PEAK_SPREAD else 'NOT met'}"
        )


def available_bytes():
    with open("/proc/meminfo") as info:
        return next(int(line.split()[1]) * 1024 for line in info if line.startswith("MemAvailable:"))


def print_load(when):
    print(f"\nload average at the {when}: {' '.join(f'{v:.2f}' for v in os.getloadavg())} on {os.cpu_count()} CPUs")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=float, nargs="+", default=[2, 16], help="input sizes in GiB (default 2 16)")
    parser.add_argument("--threads", type=int, default=2, help="threads of every run (default 2)")
    parser.add_argument("--throughput-size", type=float, default=1, help="GiB of the throughput input (default 1)")
    parser.add_argument("--dask-image-size", type=float, default=8, help="GiB of the dask-image input (default 8)")
    parser.add_argument("--skip-dask-image", action="store_true", help="leave out the dask-image comparison")
    parser.add_argument("--skip-scale", action="store_true", help="leave out the peaks of --sizes")
    parser.add_argument("--timeout", type=float, help="stop a run after this many seconds and go on")
    parser.add_argument(
        "--memory-limit",
        type=float,
        help="stop a run past this many GB resident and go on (default: half of what is free)",
    )
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder and print its path")
    parser.add_argument("--graph", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--in-memory", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--dask-image", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--decodes", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.graph:
        return graph_child(*args.graph)
    if args.in_memory:
        return memory_child(*args.in_memory[:2], int(args.in_memory[2]))
    if args.dask_image:
        return dask_image_child(*args.dask_image[:3], int(args.dask_image[3]))
    if args.decodes:
        return decodes_child(args.decodes[0], args.decodes[1:])

    import dask

    print(f"processor: {processor_model()}; {os.cpu_count()} CPUs")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, zarr {zarr.__version__}, dask {dask.__version__}")
    print(f"zarr array.write_empty_chunks: {zarr.config.get('array.write_empty_chunks', 'not a zarr 3 setting')}")
    print("MB: 10**6 bytes; Mvox/s: the input's voxels over seconds")
    print_load("start")
    limits = Limits(args.timeout, (args.memory_limit or available_bytes() / 2e9) * 1e9)
    print(
        f"a run is stopped past {limits.bytes / MB:.0f} MB resident" + (f" or {args.timeout} s" if args.timeout else "")
    )
    folder = Path(tempfile.mkdtemp(prefix="bench_scale-"))
    try:
        sizes = sorted(args.sizes)
        if not args.skip_scale:
            peaks = {gib: scale_case(folder, gib, args.threads, limits) for gib in sizes}
            print_targets(peaks, sizes)
        throughput_case(folder, args.throughput_size, args.threads, limits)
        if not args.skip_dask_image:
            dask_image_case(folder, args.dask_image_size, args.threads, limits)
    finally:
        if args.keep:
            print(f"\nkept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    print_load("end")


if __name__ == "__main__":
    main()
