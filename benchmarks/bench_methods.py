"""Speed and memory of resample's interpolations against SimpleITK and scipy; prints figures, asserts nothing.

Each case turns a volume 15 degrees about an oblique axis through its centre,
onto its own grid, and prints the target it is measured against:

1. linear, 256**3 float32 and int16, one thread: resample and every usable
   kernel variant at least 2.5x SimpleITK's sitkLinear;
2. linear on two threads at least 1.8x one thread, for every element type;
3. label at least 6x sitkLabelLinear on a uint8 map of 8 labels and 40x on
   one of 50 (SimpleITK's cost grows with the labels, ours does not), lanczos
   at least 60x sitkLanczosWindowedSinc (128**3), one thread each;
4. cubic, when this build has it (128**3): one thread at least 8x sitkBSpline3
   and 10x scipy.ndimage.affine_transform(order=3), every thread at least 30x
   scipy;
5. the peak memory one call adds, beside its image and its output: at most
   1 byte per image voxel for every element type and interpolation.

Times are medians of interleaved rounds: each round runs every method of a
case once, in turn, so that all share the machine's ups and downs. Peers that
take seconds a call run fewer rounds; the "runs" column says how many.

    python benchmarks/bench_methods.py [--repeats 5] [--quick]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
import scipy
import scipy.ndimage as ndimage
import SimpleITK as sitk
from bench_resample import index_space
from machine import processor_model  # this folder is on the path of a script run from it

import voxwarpkit
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES
from voxwarpkit._backends.cpu import spacings
from voxwarpkit._backends.request import checked_image, checked_request, counts
from voxwarpkit._core.threads import thread_count
from voxwarpkit.phantom import head_phantom

try:
    import _voxwarpkit_testing as testing
except ImportError:  # built without VOXWARPKIT_TESTING: no per-variant rows
    testing = None

THREADS = thread_count(None)
VOXEL = (1.0, 1.0, 1.0)
DEGREES = 15.0
ELEMENT_TYPES = (
    "bool",
    "uint8",
    "int8",
    "uint16",
    "int16",
    "int32",
    "uint32",
    "int64",
    "uint64",
    "float16",
    "float32",
    "float64",
)
INTERPOLATIONS = ("nearest", "linear", "label", "lanczos", "cubic")
# A peer that takes seconds a call runs at most this many rounds.
SLOW_PEER_RUNS = 2
# ru_maxrss is in KiB on Linux and in bytes on macOS.
MAXRSS_BYTES = 1 if sys.platform == "darwin" else 1024


def oblique_rotation(shape, degrees=DEGREES, axis=(1.0, 2.0, 3.0)):
    """Output physical -> input physical at voxel size 1: a turn about `axis` (x, y, z) through the centre."""
    u = np.asarray(axis) / np.linalg.norm(axis)
    cross = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    angle = np.deg2rad(degrees)
    rotation = np.eye(3) + np.sin(angle) * cross + (1 - np.cos(angle)) * cross @ cross
    centre = (np.array(shape[::-1]) - 1) / 2
    return np.hstack([rotation, (centre - rotation @ centre)[:, None]])


def of_type(phantom, kind):
    """The phantom (values 0 to 1.3) spread over much of an element type's range."""
    dtype = np.dtype(kind)
    if dtype.kind == "b":
        return phantom > 0.5
    if dtype.kind == "f":
        return (phantom * 1000).astype(dtype)
    return (phantom * (min(np.iinfo(dtype).max, 10**6) / 1.3)).astype(dtype)


def blob_labels(shape, labels, rng):
    """A uint8 map of convex blobs labelled 1 to `labels`: the cells around 2 * labels random
    seeds, found at half resolution (a full-resolution search takes seconds) and doubled."""
    half = tuple(n // 2 for n in shape)
    z, y, x = (np.arange(n, dtype=np.float32) for n in half)
    nearest = np.full(half, np.inf, np.float32)
    cells = np.zeros(half, np.uint8)
    for k, (sz, sy, sx) in enumerate(rng.uniform(0, 1, (2 * labels, 3)) * half):
        distance = (z[:, None, None] - sz) ** 2 + ((y[:, None] - sy) ** 2 + (x - sx) ** 2)
        closer = distance < nearest
        nearest[closer] = distance[closer]
        cells[closer] = k % labels + 1
    return np.ascontiguousarray(cells.repeat(2, 0).repeat(2, 1).repeat(2, 2))


def ours(image, matrix, threads, interpolation="linear"):
    return lambda: voxwarpkit.resample(image, VOXEL, matrix, threads=threads, interpolation=interpolation)


def engine_arguments(image, matrix, interpolation="linear"):
    """What resample passes voxwarpkit._engine.resample for this native, C-contiguous volume (its thread
    count aside), made by the package's own helpers as resample_window makes them."""
    array = checked_image(image)
    request = checked_request(
        array.shape,
        array.dtype,
        VOXEL,
        matrix,
        shape=None,
        output_voxel_size=None,
        fill=0.0,
        threads=1,
        interpolation=interpolation,
    )
    stack = array[np.newaxis]
    source_spacing, target_spacing = spacings(request)
    origin = (0, 0, 0)
    return (
        stack,
        origin,
        counts(stack.shape[1:]),
        source_spacing,
        request.matrices,
        request.shape,
        origin,
        target_spacing,
        METHOD_CODES[request.interpolation],
        EDGE_RULE_CODES[request.edges],
        request.fill,
        None,  # out: the engine makes the result, as in a call without out=
        request.chain or None,
    )


def kernel_variants(image, matrix):
    """One call per usable kernel variant on one thread, through the testing module's engine_resample."""
    if testing is None:
        return {}
    arguments = engine_arguments(image, matrix)
    usable = [name for name, runs_here in testing.kernel_variants() if runs_here]
    return {f"kernel {name}, 1 thread": variant_call(name, arguments) for name in usable}


def variant_call(name, arguments):
    return lambda: testing.engine_resample(name, 1, *arguments)


def simpleitk(image, matrix, interpolator, pixel_type):
    """SimpleITK's ResampleImageFilter on one thread onto the image's grid; the image is converted beforehand."""
    source = sitk.GetImageFromArray(image)
    transform = sitk.AffineTransform(3)
    transform.SetMatrix(matrix[:, :3].ravel().tolist())
    transform.SetTranslation(matrix[:, 3].tolist())

    def run():
        resampler = sitk.ResampleImageFilter()
        resampler.SetReferenceImage(source)
        resampler.SetTransform(transform)
        resampler.SetInterpolator(interpolator)
        resampler.SetOutputPixelType(pixel_type)
        resampler.SetNumberOfThreads(1)
        return resampler.Execute(source)

    return run


def scipy_cubic(image, matrix):
    """scipy.ndimage.affine_transform of order 3, which runs its spline prefilter inside, one thread."""
    linear, offset = index_space(matrix, np.ones(3), np.ones(3))
    return lambda: ndimage.affine_transform(image, linear, offset, order=3, mode="mirror")


def interleaved_medians(methods, repeats, caps=None):
    """{name: (median seconds, runs)}: every method once per round, for `repeats` rounds;
    `caps` gives some methods fewer runs, taken in the first rounds."""
    caps = caps or {}
    seconds = {name: [] for name in methods}
    for done in range(repeats):
        for name, run in methods.items():
            if done < caps.get(name, repeats):
                start = time.perf_counter()
                run()
                seconds[name].append(time.perf_counter() - start)
    return {name: (statistics.median(values), len(values)) for name, values in seconds.items()}


def print_table(title, timings, reference):
    """The case's methods, each with its milliseconds, runs and the reference's time over its own."""
    base = timings[reference][0]
    print(f"\n{title}\n  ratio: the time of [{reference}] over the method's")
    print(f"  {'method':44s}{'ms':>10s}{'runs':>6s}{'ratio':>9s}")
    for name, (seconds, runs) in timings.items():
        print(f"  {name:44s}{seconds * 1e3:10.1f}{runs:6d}{base / seconds:8.2f}x")


def print_target(what, ratio, goal):
    print(f"  target {what} >= {goal}x: {ratio:.2f}x, {'met' if ratio >= goal else 'NOT met'}")


def linear_case(image, matrix, repeats):
    """Target 1 for one element type: each kernel variant on one thread against SimpleITK's sitkLinear."""
    itk = "SimpleITK sitkLinear, 1 thread"
    methods = {f"resample ({voxwarpkit._engine.kernel_variant()}), 1 thread": ours(image, matrix, 1)}
    methods.update(kernel_variants(image, matrix))
    methods[itk] = simpleitk(image, matrix, sitk.sitkLinear, sitk.sitkFloat32)
    timings = interleaved_medians(methods, repeats)
    n = image.shape[0]
    print_table(f"Linear, {n}^3 {image.dtype}, one thread, float32 result (median of {repeats})", timings, itk)
    if testing is None:
        print("  no per-variant rows: the testing module is not built (-DVOXWARPKIT_TESTING=ON)")
    for name, (seconds, _) in timings.items():
        if name != itk and "scalar" not in name:
            print_target(f"{name} over SimpleITK", timings[itk][0] / seconds, 2.5)


def threads_case(phantom, matrix, repeats):
    """Target 2: linear on two threads over one thread, for every element type resample reads."""
    print(f"\nLinear, {phantom.shape[0]}^3, 2 threads over 1, each element type (median of {repeats})")
    if THREADS < 2:
        print(f"  this process may run on {THREADS} CPU: two threads share it")
    print(f"  {'type':10s}{'1 thread ms':>14s}{'2 threads ms':>14s}{'ratio':>8s}   target >= 1.8x")
    for kind in ELEMENT_TYPES:
        image = of_type(phantom, kind)
        timings = interleaved_medians({1: ours(image, matrix, 1), 2: ours(image, matrix, 2)}, repeats)
        one, two = timings[1][0], timings[2][0]
        verdict = "met" if one / two >= 1.8 else "NOT met"
        print(f"  {kind:10s}{one * 1e3:14.1f}{two * 1e3:14.1f}{one / two:7.2f}x   {verdict}")


def label_case(labels, repeats, slow_runs, target):
    """Target 3, label: label interpolation against SimpleITK's sitkLabelLinear, one thread each."""
    matrix = oblique_rotation(labels.shape)
    itk = "SimpleITK sitkLabelLinear, 1 thread"
    methods = {"resample label, 1 thread": ours(labels, matrix, 1, "label")}
    methods[itk] = simpleitk(labels, matrix, sitk.sitkLabelLinear, sitk.sitkUInt8)
    timings = interleaved_medians(methods, repeats, {itk: slow_runs})
    count = len(np.unique(labels)) - (0 in labels)
    title = (
        f"Label map, {labels.shape[0]}^3 uint8 of {count} labels in blobs (median of {repeats}, SimpleITK {slow_runs})"
    )
    print_table(title, timings, itk)
    print_target(
        f"label over SimpleITK, {count} labels", timings[itk][0] / timings["resample label, 1 thread"][0], target
    )


def lanczos_case(image, repeats, slow_runs):
    """Target 3, lanczos: against SimpleITK's sitkLanczosWindowedSinc, one thread each."""
    matrix = oblique_rotation(image.shape)
    itk = "SimpleITK sitkLanczosWindowedSinc, 1 thread"
    methods = {"resample lanczos, 1 thread": ours(image, matrix, 1, "lanczos")}
    methods[itk] = simpleitk(image, matrix, sitk.sitkLanczosWindowedSinc, sitk.sitkFloat32)
    timings = interleaved_medians(methods, repeats, {itk: slow_runs})
    print_table(f"Lanczos, {image.shape[0]}^3 float32 (median of {repeats}, SimpleITK {slow_runs})", timings, itk)
    print("  note: SimpleITK's windowed sinc has radius 5 (10^3 taps), ours radius 3 (6^3 taps)")
    print_target("lanczos over SimpleITK", timings[itk][0] / timings["resample lanczos, 1 thread"][0], 60)


def has_cubic():
    """Whether this build's resample takes interpolation="cubic"; it refuses an unknown one with ValueError."""
    try:
        voxwarpkit.resample(np.zeros((4, 4, 4), np.float32), VOXEL, np.eye(4), interpolation="cubic")
    except ValueError:
        return False
    return True


def cubic_case(image, repeats, slow_runs):
    """Target 4: cubic on one thread against sitkBSpline3, on every thread against scipy's order 3."""
    if not has_cubic():
        print("\ncubic: not available in this build")
        return
    matrix = oblique_rotation(image.shape)
    one, every = "resample cubic, 1 thread", f"resample cubic, {THREADS} threads"
    itk, peer = "SimpleITK sitkBSpline3, 1 thread", "scipy affine_transform order=3, mirror"
    methods = {one: ours(image, matrix, 1, "cubic"), every: ours(image, matrix, THREADS, "cubic")}
    methods[itk] = simpleitk(image, matrix, sitk.sitkBSpline3, sitk.sitkFloat32)
    methods[peer] = scipy_cubic(image, matrix)
    timings = interleaved_medians(methods, repeats, {itk: slow_runs, peer: slow_runs})
    title = f"Cubic, {image.shape[0]}^3 float32 (median of {repeats}, each peer {slow_runs})"
    print_table(title, timings, itk)
    print("  both peers compute their B-spline coefficients inside the call")
    print_target("cubic, 1 thread, over SimpleITK", timings[itk][0] / timings[one][0], 8)
    print_target("cubic, 1 thread, over scipy", timings[peer][0] / timings[one][0], 10)
    print_target(f"cubic, {THREADS} threads, over scipy", timings[peer][0] / timings[every][0], 30)


def peak_extra_bytes(kind, interpolation, shape):
    """Run in a fresh process: the bytes per image voxel one resample call on one thread adds to the
    process's high-water mark, with the image and the output already in memory; None when this
    build refuses the call."""
    image = np.empty(shape, np.dtype(kind))
    rng = np.random.default_rng(0)
    for z in range(shape[0]):  # slice by slice: a whole-image temporary would raise the baseline
        image[z] = rng.random(shape[1:]) * 100 > 50 if kind == "bool" else rng.random(shape[1:]) * 100
    matrix = oblique_rotation(shape)
    try:  # also the call's first-use costs, which are not per voxel
        sample = voxwarpkit.resample(image[:4, :4, :4], VOXEL, matrix, interpolation=interpolation, threads=1)
    except ValueError:
        return None
    out = np.empty(shape, sample.dtype)
    out.fill(0)  # touched, so that its pages are in the baseline
    before = high_water_bytes()
    voxwarpkit.resample(image, VOXEL, matrix, interpolation=interpolation, threads=1, out=out)
    return (high_water_bytes() - before) / image.size


def high_water_bytes():
    """This process's peak resident memory: Linux's VmHWM, else ru_maxrss. On Linux ru_maxrss also
    carries the parent's peak across fork and exec, so a child of this large benchmark would start
    above its own image and output and hide what a call adds; VmHWM is the child's own."""
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * MAXRSS_BYTES


def peak_in_subprocess(kind, interpolation, shape):
    """peak_extra_bytes in its own process, so that one call's high-water mark never hides another's:
    a float, None when the build refuses the call, NaN when the process failed."""
    command = [sys.executable, __file__, "--peak", kind, interpolation, "x".join(map(str, shape))]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        return float("nan")
    figure = done.stdout.strip()
    return None if figure == "None" else float(figure)


def peak_text(figure):
    return "n/a" if figure is None else "failed" if np.isnan(figure) else f"{figure:.2f}"


def memory_case(shape):
    """Target 5: the extra bytes per image voxel of each element type and interpolation."""
    print(f"\nPeak extra memory of one call, bytes per image voxel, {'x'.join(map(str, shape))}, 1 thread, out= given")
    print("  (the rise of the peak resident memory over a baseline already holding the image and the output,")
    print("  one process each; the peak is VmHWM where /proc has it, else ru_maxrss)")
    print(f"  {'type':10s}" + "".join(f"{name:>10s}" for name in INTERPOLATIONS))
    measured = []
    for kind in ELEMENT_TYPES:
        figures = [peak_in_subprocess(kind, name, shape) for name in INTERPOLATIONS]
        print(f"  {kind:10s}" + "".join(f"{peak_text(figure):>10s}" for figure in figures))
        measured += [figure for figure in figures if figure is not None]
    over = sum(figure > 1 for figure in measured)
    print(f"  target <= 1 byte per voxel: {f'NOT met in {over} of {len(measured)}' if over else 'met'}")
    print("  n/a: this build does not offer the interpolation for this type")


def print_load(when):
    """The one-minute load average: other work on the machine slows the peers as much as ours, since
    rounds interleave, but takes CPUs from the two-thread runs."""
    if hasattr(os, "getloadavg"):
        print(f"\nload average at the {when}: {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5, help="interleaved rounds per case (default 5)")
    parser.add_argument("--quick", action="store_true", help="small cases and one round, as a smoke check")
    parser.add_argument("--peak", nargs=3, metavar=("TYPE", "INTERPOLATION", "SHAPE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.peak:
        kind, interpolation, shape = args.peak
        print(peak_extra_bytes(kind, interpolation, tuple(int(n) for n in shape.split("x"))))
        return
    repeats = 1 if args.quick else args.repeats
    slow_runs = min(repeats, SLOW_PEER_RUNS if not args.quick else 1)
    n, lanczos_n = (48, 24) if args.quick else (256, 128)
    # Every SimpleITK figure here is for one thread, its internal filters' included.
    sitk.ProcessObject_SetGlobalDefaultNumberOfThreads(1)
    print(f"processor: {processor_model()}; kernel variant in use: {voxwarpkit._engine.kernel_variant()}")
    print(
        f"{THREADS} CPUs for this process; Python {sys.version.split()[0]}, numpy {np.__version__}, "
        f"SimpleITK {sitk.Version.VersionString()}, scipy {scipy.__version__}"
    )
    print_load("start")

    phantom = head_phantom((n, n, n), VOXEL)
    matrix = oblique_rotation(phantom.shape)
    for kind in ("float32", "int16"):
        linear_case(of_type(phantom, kind), matrix, repeats)
    threads_case(phantom, matrix, repeats)
    for count, target in ((8, 6), (50, 40)):
        label_case(blob_labels((n, n, n), count, np.random.default_rng(1)), repeats, slow_runs, target)
    lanczos_case(head_phantom((lanczos_n,) * 3, VOXEL), repeats, slow_runs)
    cubic_case(head_phantom((lanczos_n,) * 3, VOXEL), repeats, slow_runs)
    memory_case((32, 64, 64) if args.quick else (128, 256, 256))
    print_load("end")


if __name__ == "__main__":
    main()
