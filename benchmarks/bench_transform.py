"""Speed of transform against its peers; prints tables and asserts nothing.

Every figure is nanoseconds per output voxel: the median of interleaved
repeats, so that all methods of a case share the machine's ups and downs.
Peers get their inputs in their own formats, prepared outside the timed call
(which favours them); transform takes the numpy array as it is. The module's
transform runs on one thread; voxwarpkit.transform on every CPU the process
may use, as SimpleITK's second row does.

    python benchmarks/bench_transform.py            # every case
    python benchmarks/bench_transform.py --quick    # one small case
    python benchmarks/bench_transform.py --rotations [--instructions]

--rotations prints the rotation table instead: float32 and uint16 volumes of
256^3 and 384^3 turned about one or two axes, through `resample` on one and two
threads, each usable kernel variant alone, SimpleITK on one thread (and scipy
and torch at 256^3), with the ratios of each to ours. With --instructions it
also counts, under valgrind's callgrind (which runs the scalar and AVX2
variants, not AVX-512), the kernel's instructions per output voxel over a slab
of the target's middle slices: a figure that is the same on every run.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

import _voxwarpkit
import _voxwarpkit_testing
import voxwarpkit
from voxwarpkit._core.threads import thread_count

THREADS = thread_count(None)

VOXEL_SIZE = np.float32([1.2, 1.2, 2.5])  # (sx, sy, sz)


# --- the mappings, in the module's convention and translated for each peer ---


def affine(shape_zyx, kind):
    """A 3x4 map from output physical (x, y, z) to input physical (x, y, z)."""
    extent = (np.array(shape_zyx[::-1], float) - 1) * VOXEL_SIZE
    centre = extent / 2
    if kind == "identity":
        return np.hstack([np.eye(3), np.zeros((3, 1))])
    if kind == "rotation":
        a, b = np.deg2rad(10.0), np.deg2rad(9.0)
        about_x = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
        about_z = np.array([[np.cos(b), -np.sin(b), 0], [np.sin(b), np.cos(b), 0], [0, 0, 1]])
        rotation = about_z @ about_x
        shift = np.array([0.3, -0.45, 0.2]) * VOXEL_SIZE  # sub-voxel
        return np.hstack([rotation, (centre - rotation @ centre + shift)[:, None]])
    if kind == "half outside":
        return np.hstack([np.eye(3), np.array([[extent[0] / 2], [0.0], [0.0]])])
    raise ValueError(kind)


def index_space(matrix):
    """The same map on array indices in (z, y, x) order, as scipy.ndimage takes it."""
    scale = np.diag(VOXEL_SIZE.astype(float))
    linear = np.linalg.inv(scale) @ matrix[:, :3] @ scale
    offset = np.linalg.inv(scale) @ matrix[:, 3]
    return linear[::-1, ::-1], offset[::-1]


def normalised_space(matrix, shape_zyx):
    """The same map on torch's [-1, 1] coordinates (x, y, z), align_corners=True."""
    linear, offset = index_space(matrix)
    index_xyz = np.eye(4)
    index_xyz[:3, :3] = linear[::-1, ::-1]
    index_xyz[:3, 3] = offset[::-1]
    to_normal = np.eye(4)
    counts = np.array(shape_zyx[::-1], float)
    to_normal[:3, :3] = np.diag(2.0 / (counts - 1))
    to_normal[:3, 3] = -1.0
    return (to_normal @ index_xyz @ np.linalg.inv(to_normal))[:3]


# --- the methods ------------------------------------------------------------


def our_methods(image, matrix):
    numbers = matrix.astype(np.float32).ravel()
    methods = {
        "transform": lambda: _voxwarpkit.transform(image, VOXEL_SIZE, numbers),
        f"transform, {THREADS} threads": lambda: voxwarpkit.transform(image, VOXEL_SIZE, numbers, threads=THREADS),
    }
    stack = np.ascontiguousarray(image, dtype=np.float32).reshape((-1,) + image.shape[-3:])
    out = np.zeros_like(stack)
    for name, usable in _voxwarpkit_testing.kernel_variants():
        if usable:
            # the kernel alone: output zeroed and input converted beforehand
            methods[f"kernel {name}"] = (
                lambda name=name: _voxwarpkit_testing.resample(stack, VOXEL_SIZE, numbers, name, out),
                lambda: out.fill(0),
            )
    return methods


def peer_methods(image, matrix, missing):
    methods = {}
    volumes = image.reshape((-1,) + image.shape[-3:])
    try:
        import scipy.ndimage as ndimage
    except ImportError:
        missing.append("scipy")
    else:
        linear, offset = index_space(matrix)
        methods["scipy.ndimage order=1"] = lambda: [
            ndimage.affine_transform(v, linear, offset, order=1, prefilter=False, output=np.float32) for v in volumes
        ]
    try:
        import SimpleITK as sitk
    except ImportError:
        missing.append("SimpleITK")
    else:
        inputs = [sitk.GetImageFromArray(v) for v in volumes]
        for image_in in inputs:
            image_in.SetSpacing([float(s) for s in VOXEL_SIZE])
        mapping = sitk.AffineTransform(3)
        mapping.SetMatrix(matrix[:, :3].ravel().tolist())
        mapping.SetTranslation(matrix[:, 3].tolist())

        def resample_with(threads):
            def run():
                for image_in in inputs:
                    resampler = sitk.ResampleImageFilter()
                    resampler.SetReferenceImage(image_in)
                    resampler.SetTransform(mapping)
                    resampler.SetInterpolator(sitk.sitkLinear)
                    resampler.SetOutputPixelType(sitk.sitkFloat32)
                    resampler.SetNumberOfThreads(threads)
                    resampler.Execute(image_in)

            return run

        methods["SimpleITK linear, 1 thread"] = resample_with(1)
        methods[f"SimpleITK linear, {THREADS} threads"] = resample_with(THREADS)
    try:
        import torch
        import torch.nn.functional as functional
    except ImportError:
        missing.append("torch")
    else:
        batch = torch.from_numpy(np.ascontiguousarray(volumes, dtype=np.float32)[:, None])
        theta = torch.tensor(normalised_space(matrix, image.shape[-3:]), dtype=torch.float32)
        theta = theta.expand(batch.shape[0], 3, 4)

        def grid_sample():
            torch.set_num_threads(1)
            grid = functional.affine_grid(theta, list(batch.shape), align_corners=True)
            functional.grid_sample(batch, grid, mode="bilinear", padding_mode="zeros", align_corners=True)

        methods["torch grid_sample, 1 thread"] = grid_sample
    source = np.zeros(image.size, np.float32)
    target = np.empty_like(source)
    methods["memory floor (np.copyto)"] = lambda: np.copyto(target, source)
    return methods


def medians(methods, repeats):
    """Median seconds per method over interleaved repeats."""
    seconds = {name: [] for name in methods}
    for _ in range(repeats):
        for name, method in methods.items():
            run, prepare = method if isinstance(method, tuple) else (method, None)
            if prepare is not None:
                prepare()
            start = time.perf_counter()
            run()
            seconds[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in seconds.items()}


PEAK_SCRIPT = """
import sys, numpy as np, _voxwarpkit
shape, dtype = eval(sys.argv[1]), sys.argv[2]
image = np.ones(shape, dtype)
numbers = np.array(eval(sys.argv[3]), np.float32)
voxel_size = np.array(eval(sys.argv[4]), np.float32)
def read(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field))
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = read("VmRSS:")
result = _voxwarpkit.transform(image, voxel_size, numbers)
print(read("VmHWM:") - before - result.nbytes)
"""


def peak_extra_bytes(shape, dtype, numbers):
    """Peak resident memory one module call adds beyond its result, measured in
    a fresh process (Linux only), where the allocator has not yet kept freed
    blocks of earlier calls. The result's pages count only where they are
    touched, so an identity-like matrix that samples every voxel is used."""
    if not os.path.exists("/proc/self/clear_refs"):
        return None
    command = [
        sys.executable,
        "-c",
        PEAK_SCRIPT,
        repr(tuple(shape)),
        np.dtype(dtype).str,
        repr(numbers.tolist()),
        repr(VOXEL_SIZE.tolist()),
    ]
    done = subprocess.run(command, capture_output=True, text=True)
    return int(done.stdout) if done.returncode == 0 else None


def synthetic(shape, dtype, rng):
    values = rng.standard_normal(shape) * 300 + 500
    return values.astype(dtype)


def run_case(label, image, kind, repeats, summary):
    matrix = affine(image.shape[-3:], kind)
    missing = []
    methods = {**our_methods(image, matrix), **peer_methods(image, matrix, missing)}
    result = medians(methods, repeats)
    voxels = image.size
    ours = result["transform"]
    print(f"\n{label}, {kind} (median of {repeats})")
    print(f"  {'method':34s}{'ns/voxel':>10s}{'time / transform':>18s}")
    for name, seconds in result.items():
        print(f"  {name:34s}{seconds / voxels * 1e9:10.2f}{seconds / ours:18.2f}")
    for name in missing:
        print(f"  {name:34s}{'missing':>10s}")
    selected = f"kernel {_voxwarpkit_testing.selected_kernel()}"
    outside = (ours - result[selected]) / ours
    print(f"  outside the kernel: {outside:.0%} of transform")
    summary.append((label, kind, result))


def print_summary(summary):
    threaded = f"transform, {THREADS} threads"
    print("\nSummary (rotation cases; ratios of median times in the same run, higher is better for us)")
    for label, kind, result in summary:
        if kind != "rotation":
            continue
        one, many = result["transform"], result[threaded]
        parts = [f"{label:24s}", f"{threaded} over 1 thread: {one / many:.2f}x"]
        itk = [result[name] for name in result if name.startswith("SimpleITK")]
        if "SimpleITK linear, 1 thread" in result:
            parts.append(
                f"1-thread transform over SimpleITK 1 thread: {result['SimpleITK linear, 1 thread'] / one:.2f}x"
            )
        if itk:
            parts.append(f"{threaded} over the faster SimpleITK: {min(itk) / many:.2f}x")
        if "scipy.ndimage order=1" in result:
            parts.append(f"{threaded} over scipy: {result['scipy.ndimage order=1'] / many:.1f}x")
        if "torch grid_sample, 1 thread" in result:
            parts.append(f"1-thread transform over torch 1 thread: {result['torch grid_sample, 1 thread'] / one:.1f}x")
        print("  " + "; ".join(parts))
    kernels = [name for name in summary[0][2] if name.startswith("kernel ")]
    for label, kind, result in summary:
        if kind == "rotation" and "kernel scalar" in result:
            ratios = ", ".join(
                f"{name[7:]} {result['kernel scalar'] / result[name]:.2f}x"
                for name in kernels
                if name != "kernel scalar"
            )
            print(f"  {label:24s} kernel speed-up over scalar: {ratios}")


def print_peak_memory(shape):
    """Peak extra memory of one module call by element type: a float32 image is
    read in place, others make one float copy (4 bytes per voxel)."""
    numbers = affine(shape, "identity").astype(np.float32).ravel()
    print(f"\nPeak extra memory of one _voxwarpkit.transform call on {'x'.join(map(str, shape))}, beyond the result:")
    for code in "BhilfdV":
        if code == "V":
            break
        peak = peak_extra_bytes(shape, code, numbers)
        text = "unknown" if peak is None else f"{peak / np.prod(shape):.2f} bytes per voxel"
        print(f"  {np.dtype(code).name:10s}{text}")


def one_voxel_call(repeats=200_000):
    """Microseconds of a call on a 1x1x1 image: the fixed cost of a call. As
    timeit does, with the garbage collector off, whose passes would be
    charged to whichever call happens to trigger them."""
    image = np.ones((1, 1, 1), np.float32)
    numbers = affine((1, 1, 1), "identity").astype(np.float32).ravel()
    runs = timeit.repeat(lambda: _voxwarpkit.transform(image, VOXEL_SIZE, numbers), number=repeats, repeat=5)
    print(f"\nA call on a 1x1x1 image: {min(runs) / repeats * 1e6:.3f} us (best of 5 runs of {repeats})")


# --- the rotation table: turns about one or two axes at 256^3 and 384^3 ---

# (label, edge, degrees about x, y and z); the first is the "rotation" case above.
ROTATIONS = [
    ("256^3, 10 about x, 9 about z", 256, (10.0, 0.0, 9.0)),
    ("256^3, 10 about x, 7 about z", 256, (10.0, 0.0, 7.0)),
    ("256^3, 45 about z", 256, (0.0, 0.0, 45.0)),
    ("384^3, 30 about x, 20 about z", 384, (30.0, 0.0, 20.0)),
    ("384^3, 45 about z", 384, (0.0, 0.0, 45.0)),
    ("384^3, 45 about x, 30 about y", 384, (45.0, 30.0, 0.0)),
]
# Output slices whose instructions callgrind counts, from the middle of the target.
COUNTED_SLICES = 16
# A counted child's environment: a fixed hash seed, and no thread pools whose waiting would be counted.
QUIET_CHILD = {"PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def turned(shape_zyx, degrees):
    """The "rotation" case's map with other angles: turns about x, then y, then z (degrees), through
    the centre, with the same sub-voxel shift."""
    extent = (np.array(shape_zyx[::-1], float) - 1) * VOXEL_SIZE
    centre = extent / 2
    a, b, c = np.deg2rad(degrees)
    about_x = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    about_y = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    about_z = np.array([[np.cos(c), -np.sin(c), 0], [np.sin(c), np.cos(c), 0], [0, 0, 1]])
    rotation = about_z @ about_y @ about_x
    shift = np.array([0.3, -0.45, 0.2]) * VOXEL_SIZE
    return np.hstack([rotation, (centre - rotation @ centre + shift)[:, None]])


def engine_call(image, matrix, variant, slices=None):
    """One call of the package's engine on one thread with the kernel variant named, as `resample`
    makes it (float32 result, clamped edges); over `slices` middle slices of the target if given."""
    from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES
    from voxwarpkit._backends.request import checked_request

    request = checked_request(
        image.shape, image.dtype, VOXEL_SIZE, matrix, shape=None, output_voxel_size=None, fill=0.0, threads=1
    )
    nz, ny, nx = request.shape
    shape, origin = (request.shape, (0, 0, 0)) if slices is None else ((slices, ny, nx), ((nz - slices) // 2, 0, 0))
    spacing = tuple(float(v) for v in request.voxel_size)
    arguments = (image[None], (0, 0, 0), image.shape, spacing, request.matrices, shape, origin, spacing)
    codes = (METHOD_CODES[request.interpolation], EDGE_RULE_CODES[request.edges], request.fill, None, None)
    return lambda: _voxwarpkit_testing.engine_resample(variant, 1, *arguments, *codes)


def rotation_methods(image, matrix, with_slow_peers, missing):
    """resample on one and two threads, each usable variant alone, SimpleITK on one thread and, when
    asked, scipy and torch (float32 images only)."""
    methods = {
        "resample, 1 thread": lambda: voxwarpkit.resample(image, VOXEL_SIZE, matrix, threads=1),
        "resample, 2 threads": lambda: voxwarpkit.resample(image, VOXEL_SIZE, matrix, threads=2),
    }
    for name, usable in _voxwarpkit_testing.kernel_variants():
        if usable and name != "scalar":
            methods[f"kernel {name}"] = engine_call(image, matrix, name)
    peers = peer_methods(image, matrix, missing)
    methods["SimpleITK linear, 1 thread"] = peers.get("SimpleITK linear, 1 thread")
    if with_slow_peers and image.dtype == np.float32:
        methods["scipy.ndimage order=1"] = peers.get("scipy.ndimage order=1")
        methods["torch grid_sample, 1 thread"] = peers.get("torch grid_sample, 1 thread")
    return {name: method for name, method in methods.items() if method is not None}


def process_instructions(label, dtype, variant, calls):
    """Instructions callgrind counts in a child that builds the case and runs the variant on its
    slab `calls` times, with a fixed hash seed, so that two children differ only in their calls;
    None without valgrind or when it fails."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return None
    out = f"/tmp/bench_transform.callgrind.{os.getpid()}"
    command = [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__]
    command += ["--count-case", label, np.dtype(dtype).str, variant, str(calls)]
    done = subprocess.run(command, capture_output=True, text=True, env={**os.environ, **QUIET_CHILD})
    try:
        with open(out) as counts:
            totals = next(line for line in counts if line.startswith(("totals:", "summary:")))
    except (OSError, StopIteration):
        return None
    finally:
        if os.path.exists(out):
            os.remove(out)
    return int(totals.split()[1]) if done.returncode == 0 else None


def counted_instructions(label, dtype, variant):
    """Instructions per output voxel of the kernel variant on the case, over COUNTED_SLICES middle
    slices of the target: a child's count with two calls less one with one (the installed
    modules carry no symbols to count a function by)."""
    twice = process_instructions(label, dtype, variant, 2)
    once = process_instructions(label, dtype, variant, 1)
    if twice is None or once is None:
        return None
    edge = dict((label, edge) for label, edge, _ in ROTATIONS)[label]
    return (twice - once) / (COUNTED_SLICES * edge * edge)


def count_case(label, dtype, variant, calls):
    """The child of process_instructions: `calls` engine calls on the case's slab."""
    edge, degrees = next((edge, degrees) for name, edge, degrees in ROTATIONS if name == label)
    shape = (edge, edge, edge)
    image = (np.arange(np.prod(shape)) % 997).astype(dtype).reshape(shape)
    call = engine_call(image, turned(shape, degrees), variant, COUNTED_SLICES)
    for _ in range(int(calls)):
        call()


def rotation_table(repeats, instructions):
    """The rotation cases, float32 and uint16, one interleaved run per case and type."""
    rng = np.random.default_rng(0)
    rows = []
    for label, edge, degrees in ROTATIONS:
        shape = (edge, edge, edge)
        matrix = turned(shape, degrees)
        for dtype in (np.float32, np.uint16):
            image = np.clip(synthetic(shape, np.float32, rng), 0, 65535).astype(dtype)
            missing = []
            methods = rotation_methods(image, matrix, edge == 256 and degrees == ROTATIONS[0][2], missing)
            result = medians(methods, repeats)
            counts = {}
            if instructions:
                for variant in ("avx2", "scalar"):
                    counts[variant] = counted_instructions(label, dtype, variant)
            rows.append((f"{label} {np.dtype(dtype).name}", image.size, result, counts))
            print_rotation_case(*rows[-1], repeats)
    print_rotation_summary(rows)


def print_rotation_case(title, voxels, result, counts, repeats):
    ours = result["resample, 1 thread"]
    print(f"\n{title} (median of {repeats})")
    print(f"  {'method':34s}{'ns/voxel':>10s}{'time / resample':>17s}")
    for name, seconds in result.items():
        print(f"  {name:34s}{seconds / voxels * 1e9:10.2f}{seconds / ours:17.2f}")
    for variant, count in counts.items():
        text = "unknown" if count is None else f"{count:.1f}"
        print(f"  instructions per voxel, kernel {variant} (callgrind, {COUNTED_SLICES} middle slices): {text}")


def print_rotation_summary(rows):
    print("\nSummary (one thread unless said; ratios of median times in the same run)")
    for title, voxels, result, counts in rows:
        one = result["resample, 1 thread"]
        parts = [f"resample {one / voxels * 1e9:.2f} ns"]
        for name, seconds in result.items():
            if name.startswith("kernel"):
                parts.append(f"{name[7:]} {seconds / voxels * 1e9:.2f} ns")
        itk = result.get("SimpleITK linear, 1 thread")
        if itk:
            parts.append(f"SimpleITK / resample {itk / one:.2f}x")
        parts.append(f"2 threads over 1 {one / result['resample, 2 threads']:.2f}x")
        if counts.get("avx2") is not None:
            parts.append(f"avx2 {counts['avx2']:.1f} instructions/voxel")
        print(f"  {title:42s}" + "; ".join(parts))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one small case")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rotation-only", action="store_true", help="only the rotated cases")
    parser.add_argument("--rotations", action="store_true", help="the rotation table at 256^3 and 384^3")
    parser.add_argument("--instructions", action="store_true", help="with --rotations: callgrind's counts")
    parser.add_argument("--count-case", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.count_case:
        count_case(*args.count_case)
        return

    rng = np.random.default_rng(0)
    print(
        f"kernel variant: {_voxwarpkit_testing.selected_kernel()}; "
        f"compiled: {', '.join(n for n, _ in _voxwarpkit_testing.kernel_variants())}; "
        f"{THREADS} CPUs for this process; {processor_model()}; Python {sys.version.split()[0]}, numpy {np.__version__}"
    )
    if args.rotations:
        rotation_table(args.repeats, args.instructions)
        return
    if args.quick:
        cases = [("64^3 float32", (64, 64, 64), np.float32)]
        kinds = ["rotation"]
    else:
        cases = [
            ("128^3 float32", (128, 128, 128), np.float32),
            ("128^3 int16", (128, 128, 128), np.int16),
            ("256^3 float32", (256, 256, 256), np.float32),
            ("256^3 int16", (256, 256, 256), np.int16),
            ("stack 8x64x128x128", (8, 64, 128, 128), np.float32),
        ]
        kinds = ["rotation"] if args.rotation_only else ["identity", "rotation", "half outside"]
    summary = []
    for label, shape, dtype in cases:
        image = synthetic(shape, dtype, rng)
        for kind in kinds:
            run_case(label, image, kind, args.repeats, summary)
    print_summary(summary)
    print_peak_memory((64, 64, 64) if args.quick else (256, 256, 256))
    one_voxel_call(20_000 if args.quick else 200_000)


if __name__ == "__main__":
    main()
