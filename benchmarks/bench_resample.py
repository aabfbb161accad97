"""Speed of voxwarpkit.resample against its peers on everyday tasks; prints, asserts nothing.

1. Motion correction: a 4-D series of 0.9 x 0.9 x 3 mm volumes resampled onto a
   2 mm isotropic grid, with one rigid matrix per volume (one call for us; a
   loop over volumes for SimpleITK and scipy).
2. A label map resampled onto a rotated, finer grid with nearest neighbour,
   and with label interpolation (SimpleITK's sitkLabelLinear; scipy has none).

Figures are milliseconds per task, the median of interleaved repeats, with
ratios to our one-thread and all-thread calls from the same run.

    python benchmarks/bench_resample.py [--repeats 5] [--quick]
"""

import argparse
import statistics
import sys
import time

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

import voxwarpkit
from voxwarpkit._core.threads import thread_count

THREADS = thread_count(None)


def rigid_matrix(rng, centre_in, centre_out, degrees, shift):
    """Output physical -> input physical: a small rotation about the centres and a shift."""
    a, b, c = np.deg2rad(rng.uniform(-degrees, degrees, 3))
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    rz = np.array([[np.cos(c), -np.sin(c), 0], [np.sin(c), np.cos(c), 0], [0, 0, 1]])
    rotation = rz @ ry @ rx
    offset = centre_in - rotation @ centre_out + rng.uniform(-shift, shift, 3)
    return np.hstack([rotation, offset[:, None]])


def index_space(matrix, spacing_in, spacing_out):
    """The map on array indices (z, y, x), as scipy.ndimage.affine_transform takes it."""
    linear = np.diag(1 / spacing_in) @ matrix[:, :3] @ np.diag(spacing_out)
    offset = matrix[:, 3] / spacing_in
    return linear[::-1, ::-1], offset[::-1]


def peers(volumes, matrices, spacing_in, spacing_out, shape_out, interpolation, missing):
    """SimpleITK and scipy, one volume at a time, inputs converted beforehand."""
    methods = {}
    try:
        import SimpleITK as sitk
    except ImportError:
        missing.append("SimpleITK")
    else:
        images = [sitk.GetImageFromArray(v) for v in volumes]
        for image in images:
            image.SetSpacing([float(s) for s in spacing_in])
        transforms = []
        for matrix in matrices:
            mapping = sitk.AffineTransform(3)
            mapping.SetMatrix(matrix[:, :3].ravel().tolist())
            mapping.SetTranslation(matrix[:, 3].tolist())
            transforms.append(mapping)
        interpolator = {"linear": sitk.sitkLinear, "nearest": sitk.sitkNearestNeighbor, "label": sitk.sitkLabelLinear}
        interpolator = interpolator[interpolation]
        pixel = sitk.sitkFloat32 if interpolation == "linear" else images[0].GetPixelID()

        def with_threads(threads):
            def run():
                for k, image in enumerate(images):
                    resampler = sitk.ResampleImageFilter()
                    resampler.SetSize([int(n) for n in shape_out[::-1]])
                    resampler.SetOutputSpacing([float(s) for s in spacing_out])
                    resampler.SetTransform(transforms[k % len(transforms)])
                    resampler.SetInterpolator(interpolator)
                    resampler.SetOutputPixelType(pixel)
                    resampler.SetNumberOfThreads(threads)
                    resampler.Execute(image)

            return run

        methods["SimpleITK, 1 thread"] = with_threads(1)
        methods[f"SimpleITK, {THREADS} threads"] = with_threads(THREADS)
    order = {"linear": 1, "nearest": 0}.get(interpolation)
    if order is None:
        return methods
    try:
        import scipy.ndimage as ndimage
    except ImportError:
        missing.append("scipy")
    else:
        maps = [index_space(m, spacing_in, spacing_out) for m in matrices]

        def scipy_run():
            for k, volume in enumerate(volumes):
                linear, offset = maps[k % len(maps)]
                ndimage.affine_transform(volume, linear, offset, output_shape=shape_out, order=order, prefilter=False)

        methods[f"scipy.ndimage order={order}"] = scipy_run
    return methods


def medians(methods, repeats):
    seconds = {name: [] for name in methods}
    for _ in range(repeats):
        for name, run in methods.items():
            start = time.perf_counter()
            run()
            seconds[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in seconds.items()}


def report(title, result):
    one, many = result["resample, 1 thread"], result[f"resample, {THREADS} threads"]
    print(f"\n{title}")
    print(f"  {'method':28s}{'ms':>10s}{'/ ours, 1 thread':>18s}{f'/ ours, {THREADS} threads':>18s}")
    for name, seconds in result.items():
        print(f"  {name:28s}{seconds * 1e3:10.1f}{seconds / one:18.2f}{seconds / many:18.2f}")
    itk_one = result.get("SimpleITK, 1 thread")
    itk = [s for name, s in result.items() if name.startswith("SimpleITK")]
    scipy = [s for name, s in result.items() if name.startswith("scipy")]
    parts = [f"{THREADS} threads over 1: {one / many:.2f}x"]
    if itk_one:
        parts.append(f"1-thread resample over SimpleITK 1 thread: {itk_one / one:.2f}x")
        parts.append(f"{THREADS}-thread resample over the faster SimpleITK: {min(itk) / many:.2f}x")
    if scipy:
        parts.append(f"{THREADS}-thread resample over scipy: {scipy[0] / many:.1f}x")
    print("  " + "; ".join(parts))


def motion_correction(rng, repeats, volumes_count):
    shape_in, spacing_in = (40, 96, 96), np.array([0.9, 0.9, 3.0])
    spacing_out = np.array([2.0, 2.0, 2.0])
    extent = np.array(shape_in[::-1]) * spacing_in
    shape_out = tuple(int(n) for n in np.round(extent / spacing_out)[::-1])
    series = (rng.standard_normal((volumes_count,) + shape_in) * 100 + 1000).astype(np.float32)
    centre_in = (np.array(shape_in[::-1]) - 1) * spacing_in / 2
    centre_out = (np.array(shape_out[::-1]) - 1) * spacing_out / 2
    matrices = [rigid_matrix(rng, centre_in, centre_out, 2.0, 1.5) for _ in range(volumes_count)]
    stack = np.stack(matrices)
    ours = {
        "resample, 1 thread": lambda: voxwarpkit.resample(
            series, spacing_in, stack, shape=shape_out, output_voxel_size=spacing_out, threads=1
        ),
        f"resample, {THREADS} threads": lambda: voxwarpkit.resample(
            series, spacing_in, stack, shape=shape_out, output_voxel_size=spacing_out, threads=THREADS
        ),
    }
    missing = []
    result = medians(
        {**ours, **peers(series, matrices, spacing_in, spacing_out, shape_out, "linear", missing)}, repeats
    )
    report(
        f"Motion correction: {volumes_count} volumes of {'x'.join(map(str, shape_in))} at 0.9 x 0.9 x 3 mm "
        f"onto {'x'.join(map(str, shape_out))} at 2 mm, one rigid matrix per volume, linear "
        f"(median of {repeats})",
        result,
    )
    for name in missing:
        print(f"  {name} missing")


def label_map(rng, repeats, shape_in, interpolation):
    spacing_in, spacing_out = np.array([1.0, 1.0, 1.0]), np.array([0.8, 0.8, 0.8])
    extent = np.array(shape_in[::-1]) * spacing_in
    shape_out = tuple(int(n) for n in np.round(extent / spacing_out)[::-1])
    # Blocky labels, as a segmentation has: 12^3 regions of 120 labels.
    coarse = rng.integers(0, 120, tuple(n // 12 + 1 for n in shape_in)).astype(np.uint16)
    labels = coarse.repeat(12, 0).repeat(12, 1).repeat(12, 2)[: shape_in[0], : shape_in[1], : shape_in[2]]
    labels = np.ascontiguousarray(labels)
    centre_in = (np.array(shape_in[::-1]) - 1) * spacing_in / 2
    centre_out = (np.array(shape_out[::-1]) - 1) * spacing_out / 2
    matrix = rigid_matrix(rng, centre_in, centre_out, 12.0, 2.0)
    ours = {
        "resample, 1 thread": lambda: voxwarpkit.resample(
            labels,
            spacing_in,
            matrix,
            shape=shape_out,
            output_voxel_size=spacing_out,
            interpolation=interpolation,
            threads=1,
        ),
        f"resample, {THREADS} threads": lambda: voxwarpkit.resample(
            labels,
            spacing_in,
            matrix,
            shape=shape_out,
            output_voxel_size=spacing_out,
            interpolation=interpolation,
            threads=THREADS,
        ),
    }
    missing = []
    result = medians(
        {**ours, **peers([labels], [matrix], spacing_in, spacing_out, shape_out, interpolation, missing)}, repeats
    )
    report(
        f"Label map: {'x'.join(map(str, shape_in))} uint16 at 1 mm onto {'x'.join(map(str, shape_out))} at "
        f"0.8 mm, rotated, {interpolation} (median of {repeats})",
        result,
    )
    for name in missing:
        print(f"  {name} missing")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small cases")
    args = parser.parse_args(argv)
    model = processor_model()
    print(
        f"kernel variant: {voxwarpkit._engine.kernel_variant()}; {THREADS} CPUs for this process; {model}; "
        f"Python {sys.version.split()[0]}, numpy {np.__version__}"
    )
    rng = np.random.default_rng(0)
    motion_correction(rng, args.repeats, 8 if args.quick else 64)
    for interpolation in ("nearest", "label"):
        label_map(
            np.random.default_rng(1), args.repeats, (48, 64, 64) if args.quick else (160, 192, 192), interpolation
        )


if __name__ == "__main__":
    main()
