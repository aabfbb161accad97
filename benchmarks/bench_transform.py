"""Speed of transform against its peers; prints tables and asserts nothing.

Every figure is nanoseconds per output voxel: the median of interleaved
repeats, so that all methods of a case share the machine's ups and downs.
Peers get their inputs in their own formats, prepared outside the timed call
(which favours them); transform takes the numpy array as it is. The module's
transform runs on one thread; voxwarpkit.transform on every CPU the process
may use, as SimpleITK's second row does.

    python benchmarks/bench_transform.py            # every case
    python benchmarks/bench_transform.py --quick    # one small case
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np

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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one small case")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rotation-only", action="store_true", help="only the rotated cases")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(0)
    print(
        f"kernel variant: {_voxwarpkit_testing.selected_kernel()}; "
        f"compiled: {', '.join(n for n, _ in _voxwarpkit_testing.kernel_variants())}; "
        f"{THREADS} CPUs for this process; {cpu_model()}; Python {sys.version.split()[0]}, numpy {np.__version__}"
    )
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


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        return "processor unknown"


if __name__ == "__main__":
    main()
