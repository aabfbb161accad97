"""Speed of one-pass warps (matrices and displacement fields in one chain) against their peers; asserts nothing.

1. A 4-D series: volumes of 64x64x40 at 3 mm, one rigid matrix per volume and
   one shared displacement field, onto a 2 mm template grid of 97x115x97,
   linear: one call of ours for the whole series; nitransforms' ``apply`` and
   SimpleITK's Resample (threads on) through a chain per volume, in a loop.
2. One 256^3 volume through an affine and a displacement field, every core on
   both sides.
3. What a warp costs end to end: an ANTs-sized warp file (ITK's 5-D layout, a
   1 mm head grid), read as ``apply -t`` reads it (nibabel, straight into the
   engine's layout) and through nitransforms (as resample_image's
   DenseFieldTransform is made), then one 1 mm volume resampled through it.

Figures are seconds, the median of interleaved repeats; nitransforms runs on
a few volumes only (it is slow), and its time is scaled to the series, as the
table says.

    python benchmarks/bench_warps.py [--repeats 3] [--volumes 100] [--quick]
"""

import argparse
import os
import statistics
import time

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

import voxwarpkit
from voxwarpkit._core.threads import thread_count

THREADS = thread_count(None)


def rotation(rng, degrees):
    a, b, c = np.deg2rad(rng.uniform(-degrees, degrees, 3))
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    rz = np.array([[np.cos(c), -np.sin(c), 0], [np.sin(c), np.cos(c), 0], [0, 0, 1]])
    return rz @ ry @ rx


def rigid_about(rng, centre, degrees, shift):
    """4x4 world -> world: a small rotation about ``centre`` and a shift."""
    turn = rotation(rng, degrees)
    matrix = np.eye(4)
    matrix[:3, :3] = turn
    matrix[:3, 3] = centre - turn @ centre + rng.uniform(-shift, shift, 3)
    return matrix


def smooth_field(rng, shape_zyx, amplitude):
    """A smooth displacement field (nz, ny, nx, 3): low-frequency sines."""
    z, y, x = np.meshgrid(*[np.linspace(0, np.pi, n) for n in shape_zyx], indexing="ij")
    components = [amplitude * np.sin(x * rng.uniform(1, 3) + y) * np.cos(z * rng.uniform(1, 3)) for _ in range(3)]
    return np.stack(components, axis=-1).astype(np.float32)


class Problem:
    """Everything in world millimetres (RAS), every grid axis-aligned: an input
    grid at ``input_zooms`` from the world origin, an output grid at
    ``output_zooms`` from ``output_origin``, a displacement field on the
    output grid, then a shared affine and one rigid matrix per volume."""

    def __init__(self, rng, volumes, input_shape, input_zooms, output_shape, output_zooms, output_origin):
        self.data = rng.random((volumes,) + input_shape, dtype=np.float32)  # (nvol, nz, ny, nx)
        self.input_zooms = np.array(input_zooms, float)  # (x, y, z)
        self.output_shape = output_shape  # (nz, ny, nx)
        self.output_zooms = np.array(output_zooms, float)
        self.output_origin = np.array(output_origin, float)
        centre = (np.array(input_shape[::-1]) - 1) * self.input_zooms / 2
        self.field = smooth_field(rng, output_shape, 2.0)
        self.affine = rigid_about(rng, centre, 3, 2)
        self.motion = np.stack([rigid_about(rng, centre, 2, 1) for _ in range(volumes)])

    def ours(self, threads):
        """One call: output physical -> world, the field, the affine, each volume's motion."""
        to_world = np.eye(4)
        to_world[:3, 3] = self.output_origin
        field = voxwarpkit.Field(self.field, self.output_zooms, origin=self.output_origin)
        chain = [to_world, field, self.affine, self.motion]
        return voxwarpkit.resample(
            self.data,
            self.input_zooms,
            chain,
            shape=self.output_shape,
            output_voxel_size=self.output_zooms,
            threads=threads,
        )

    def sitk_run(self, volumes):
        import SimpleITK as sitk

        sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(THREADS)
        # ITK's physical space is LPS: flip x and y of every point and vector.
        flip = np.diag([-1.0, -1.0, 1.0, 1.0])
        reference = sitk.Image([int(n) for n in self.output_shape[::-1]], sitk.sitkFloat32)
        reference.SetSpacing([float(s) for s in self.output_zooms])
        reference.SetOrigin((flip[:3, :3] @ self.output_origin).tolist())
        lps_axes = flip[:3, :3].ravel().tolist()  # RAS voxel axes seen from LPS
        reference.SetDirection(lps_axes)
        vectors = self.field * np.array([-1, -1, 1], np.float32)
        field_image = sitk.GetImageFromArray(vectors.astype(np.float64), isVector=True)
        field_image.CopyInformation(reference)
        images = []
        for volume in self.data[:volumes]:
            image = sitk.GetImageFromArray(volume)
            image.SetSpacing([float(s) for s in self.input_zooms])
            image.SetDirection(lps_axes)
            images.append(image)

        def affine_of(matrix):
            lps = flip @ matrix @ flip
            transform = sitk.AffineTransform(3)
            transform.SetMatrix(lps[:3, :3].ravel().tolist())
            transform.SetTranslation(lps[:3, 3].tolist())
            return transform

        displacement = sitk.DisplacementFieldTransform(sitk.Image(field_image))
        # ITK's composite applies its last-added transform first.
        chains = []
        for motion in self.motion[:volumes]:
            composite = sitk.CompositeTransform(3)
            composite.AddTransform(affine_of(motion))
            composite.AddTransform(affine_of(self.affine))
            composite.AddTransform(displacement)
            chains.append(composite)
        return lambda: [
            sitk.Resample(image, reference, chain, sitk.sitkLinear, 0.0, sitk.sitkFloat32)
            for image, chain in zip(images, chains)
        ]

    def nitransforms_run(self, volumes):
        import nibabel as nib
        from nitransforms.linear import Affine
        from nitransforms.manip import TransformChain
        from nitransforms.nonlinear import DenseFieldTransform
        from nitransforms.resampling import apply

        output_affine = np.diag(list(self.output_zooms) + [1.0])
        output_affine[:3, 3] = self.output_origin
        reference = nib.Nifti1Image(np.zeros(self.output_shape[::-1], np.float32), output_affine)
        field = nib.Nifti1Image(self.field.transpose(2, 1, 0, 3), output_affine)
        input_affine = np.diag(list(self.input_zooms) + [1.0])
        images = [nib.Nifti1Image(v.T, input_affine) for v in self.data[:volumes]]
        chains = [
            TransformChain(
                [DenseFieldTransform(field, is_deltas=True, reference=reference), Affine(self.affine), Affine(motion)]
            )
            for motion in self.motion[:volumes]
        ]
        return lambda: [
            apply(chain, image, reference=reference, order=1, output_dtype="float32")
            for image, chain in zip(images, chains)
        ]


def agreement(problem, volumes):
    """How far the peers' values lie from ours inside the output, as a fraction of the data's range:
    they do the same work only if this is small."""
    import SimpleITK as sitk

    ours = problem.ours(THREADS)[:volumes]
    theirs = {
        "SimpleITK": np.stack([sitk.GetArrayFromImage(i) for i in problem.sitk_run(volumes)()]),
        "nitransforms": np.stack([np.asarray(i.dataobj).T for i in problem.nitransforms_run(volumes)()]),
    }
    inside = np.ones(ours.shape[1:], bool)
    inside[:3], inside[-3:], inside[:, :3], inside[:, -3:], inside[:, :, :3], inside[:, :, -3:] = (False,) * 6
    for name, values in theirs.items():
        both = inside & (values != 0).all(axis=0) & (ours != 0).all(axis=0)
        gap = np.abs(values - ours)[:, both].max() / np.ptp(problem.data)
        print(f"{name} against ours where both sample: largest difference {gap:.2e} of the range")


def medians(methods, repeats):
    """Median seconds of each method, run in rotation."""
    times = {name: [] for name in methods}
    for _ in range(repeats):
        for name, (run, runs) in methods.items():
            if len(times[name]) >= runs:
                continue
            started = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - started)
    return {name: statistics.median(values) for name, values in times.items()}


def report(title, seconds, scale):
    print(f"\n{title}")
    ours = seconds["ours, all threads"]
    print("| method | seconds | ours is faster by |\n|---|---|---|")
    for name, value in seconds.items():
        total = value * scale.get(name, 1.0)
        note = f" (measured on {1 / scale[name]:.0%} of the volumes, scaled)" if name in scale else ""
        print(f"| {name}{note} | {total:.3f} | {total / ours:.1f}x |")


def series(rng, repeats, volumes, quick):
    problem = Problem(rng, volumes, (40, 64, 64), (3.0, 3.0, 3.0), (97, 115, 97), (2.0, 2.0, 2.0), (-20, -30, -25))
    few = max(1, volumes // 20)
    methods = {
        "ours, 1 thread": (lambda: problem.ours(1), repeats),
        "ours, all threads": (lambda: problem.ours(THREADS), repeats),
        f"SimpleITK, {THREADS} threads, a loop over volumes": (problem.sitk_run(volumes), 1 if not quick else repeats),
        "nitransforms apply, a loop over volumes": (problem.nitransforms_run(few), 1),
    }
    agreement(problem, min(volumes, 2))
    seconds = medians(methods, repeats)
    report(
        f"{volumes} volumes of 64x64x40 at 3 mm, per-volume rigid + shared field + affine, onto 97x115x97 at 2 mm",
        seconds,
        {"nitransforms apply, a loop over volumes": volumes / few},
    )


def single(rng, repeats, size):
    problem = Problem(rng, 1, (size,) * 3, (1.0, 1.0, 1.0), (size,) * 3, (1.0, 1.0, 1.0), (0.0, 0.0, 0.0))
    problem.motion = np.eye(4)[np.newaxis]
    methods = {
        "ours, 1 thread": (lambda: problem.ours(1), repeats),
        "ours, all threads": (lambda: problem.ours(THREADS), repeats),
        f"SimpleITK, {THREADS} threads": (problem.sitk_run(1), repeats),
    }
    report(f"one {size}^3 volume through an affine and a displacement field", medians(methods, repeats), {})


def warp_file(rng, repeats, shape):
    """Seconds to read an ITK displacement field file each way, and to resample through it."""
    import tempfile
    from pathlib import Path

    import nibabel as nib

    from voxwarpkit.io.transforms.files import read_transform_file

    folder = Path(tempfile.mkdtemp())
    affine = np.diag([-1.0, -1.0, 1.0, 1.0])
    affine[:3, 3] = [90.0, 126.0, -72.0]
    # Smooth, and to a micrometre, so that it compresses about as registration tools' warps do.
    vectors = np.round(smooth_field(rng, shape[::-1], 3.0), 3).transpose(2, 1, 0, 3)[:, :, :, np.newaxis, :]
    image = nib.Nifti1Image(vectors.astype(np.float32), affine)
    image.header.set_intent("vector")
    nib.save(image, folder / "1Warp.nii.gz")
    size = (folder / "1Warp.nii.gz").stat().st_size / 1e6
    moving = nib.Nifti1Image(rng.random(shape, dtype=np.float32), affine)

    def through_nitransforms():
        from nitransforms.io.itk import ITKDisplacementsField
        from nitransforms.nonlinear import DenseFieldTransform

        return DenseFieldTransform(ITKDisplacementsField.from_filename(str(folder / "1Warp.nii.gz")))

    methods = {
        "read with nibabel into the engine's layout (apply -t)": (
            lambda: read_transform_file(folder / "1Warp.nii.gz", reference=moving, moving=moving),
            repeats,
        ),
        "read through nitransforms (ITKDisplacementsField, DenseFieldTransform)": (through_nitransforms, repeats),
        "read it and resample a volume through it, all threads (resample_image with the path)": (
            lambda: voxwarpkit.resample_image(moving, like=moving, transform=folder / "1Warp.nii.gz"),
            repeats,
        ),
    }
    seconds = medians(methods, repeats)
    print(f"\nan ANTs-sized warp: {'x'.join(map(str, shape))} vectors, {size:.1f} MB gzipped")
    print("| step | seconds |\n|---|---|")
    for name, value in seconds.items():
        print(f"| {name} | {value:.3f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--volumes", type=int, default=100)
    parser.add_argument("--quick", action="store_true", help="small cases, one repeat")
    arguments = parser.parse_args()
    model = processor_model()
    print(
        f"kernel variant: {voxwarpkit._engine.kernel_variant()}; {THREADS} CPUs; {model}; load {os.getloadavg()[0]:.2f}"
    )
    rng = np.random.default_rng(2026)
    repeats = 1 if arguments.quick else arguments.repeats
    series(rng, repeats, 4 if arguments.quick else arguments.volumes, arguments.quick)
    single(rng, repeats, 64 if arguments.quick else 256)
    warp_file(rng, repeats, (48, 56, 48) if arguments.quick else (182, 218, 182))


if __name__ == "__main__":
    main()
