"""voxwarpkit.augment against TorchIO and MONAI, and ITK B-spline files against SimpleITK; prints figures
beside the targets, asserts nothing.

Cases: a 128^3 (and 256^3) float32 image with a uint8 label map, a random affine and an elastic deformation
of 7^3 control points (TorchIO's form), one thread, per subject, against TorchIO's RandomAffine followed by
RandomElasticDeformation and its RandomAffineElasticDeformation, and against MONAI's RandAffined followed by
Rand3DElasticd and its RandAffined alone (voxwarpkit's affine alone beside it); MONAI's own form of the
elastic deformation (a smoothed dense field, sigma and magnitude) against Rand3DElasticd; a batch of 8 128^3
samples on 2 threads against 1; a B-spline transform read from an ITK file, 256^3, against SimpleITK's
Resample on one thread, with the largest difference. The peers run where installed. Every case runs each
contender in turn, repeat by repeat (one interleaved run); figures are medians in seconds per subject. The
image is sampled linearly and the label map by nearest neighbour, as the peers do by default; one row more
shows voxwarpkit's label interpolation (per-label linear), which they lack.

    python benchmarks/bench_augment.py [--sizes 128 256] [--repeats 3] [--bspline-size 256]

torch, torchio and monai come from the package index (``pip install torch torchio monai``); SimpleITK
from the itk extra.
"""

from __future__ import annotations

import argparse
import importlib
import os
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
from machine import processor_model  # this folder is on the path of a script run from it

import voxwarpkit as vw
import voxwarpkit.augment as va
from voxwarpkit import _engine

DEGREES, SCALES, TRANSLATION = 10.0, 0.1, 5.0
POINTS, DISPLACEMENT = 7, 7.5
NEAREST = va.Key("nearest")


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def volumes(size):
    rng = np.random.default_rng(size)
    image = rng.random((1, size, size, size), dtype=np.float32) * 100
    z, y, x = np.ogrid[:size, :size, :size]
    radius = np.sqrt((z - size / 2) ** 2 + (y - size / 2) ** 2 + (x - size / 2) ** 2)
    label = np.digitize(radius, [size / 8, size / 4, size / 3])[np.newaxis].astype(np.uint8)
    return image, label


def ours(image, label, settings, threads=1, label_key=NEAREST):
    sample = {"image": image, "label": label}
    keys = {"label": label_key}
    rng = np.random.default_rng(0)
    return lambda: va.augment(sample, settings, rng, keys=keys, threads=threads)


def torchio_calls(tio, torch, image, label):
    subject = tio.Subject(
        image=tio.ScalarImage(tensor=torch.from_numpy(image)), label=tio.LabelMap(tensor=torch.from_numpy(label))
    )
    affine = tio.RandomAffine(scales=SCALES, degrees=DEGREES, translation=TRANSLATION)
    elastic = tio.RandomElasticDeformation(num_control_points=POINTS, max_displacement=DISPLACEMENT)
    both = tio.RandomAffineElasticDeformation(
        affine_kwargs={"scales": SCALES, "degrees": DEGREES, "translation": TRANSLATION},
        elastic_kwargs={"num_control_points": POINTS, "max_displacement": DISPLACEMENT},
    )
    return {
        "TorchIO RandomAffine + RandomElasticDeformation": lambda: elastic(affine(subject)),
        "TorchIO RandomAffineElasticDeformation": lambda: both(subject),
    }


def monai_calls(transforms, torch, image, label, size):
    data = {"image": torch.from_numpy(image), "label": torch.from_numpy(label)}
    affine_kwargs = {
        "rotate_range": (np.radians(DEGREES),) * 3,
        "scale_range": (SCALES,) * 3,
        "translate_range": (TRANSLATION,) * 3,
    }
    affine = transforms.RandAffined(["image", "label"], prob=1.0, mode=("bilinear", "nearest"), **affine_kwargs)
    elastic = transforms.Rand3DElasticd(
        ["image", "label"], sigma_range=(5, 8), magnitude_range=(50, 150), prob=1.0, mode=("bilinear", "nearest")
    )
    elastic_affine = transforms.Rand3DElasticd(
        ["image", "label"],
        sigma_range=(5, 8),
        magnitude_range=(50, 150),
        prob=1.0,
        mode=("bilinear", "nearest"),
        **affine_kwargs,
    )
    for transform in (affine, elastic, elastic_affine):
        transform.set_random_state(0)
    return {
        "MONAI RandAffined + Rand3DElasticd": lambda: elastic(affine(data)),
        "MONAI RandAffined alone": lambda: affine(data),
        "MONAI Rand3DElasticd with its affine": lambda: elastic_affine(data),
    }


def interleaved(calls, repeats):
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {name: statistics.median(values) for name, values in times.items()}


def report(title, figures, mine, target=None):
    print(f"\n{title}")
    base = figures[mine]
    for name, seconds in figures.items():
        ours_too = name.startswith(("voxwarpkit", "the same"))
        ratio = "" if ours_too else f"   ours {seconds / base:6.1f}x faster"
        print(f"  {name:<52} {seconds:8.3f} s{ratio}")
    if target:
        print(f"  target: {target}")


def subjects(size, repeats, tio, monai_transforms, torch):
    image, label = volumes(size)
    control = va.spatial(
        degrees=DEGREES, scales=SCALES, translation=TRANSLATION, elastic=va.elastic(POINTS, DISPLACEMENT)
    )
    affine = va.spatial(degrees=DEGREES, scales=SCALES, translation=TRANSLATION)
    smooth = va.spatial(degrees=DEGREES, scales=SCALES, translation=TRANSLATION, elastic=va.smoothed((5, 8), (50, 150)))
    mine = "voxwarpkit affine + elastic (7^3 control points)"
    calls = {mine: ours(image, label, control)}
    calls["the same, the label map by label interpolation"] = ours(image, label, control, label_key=va.LABEL)
    if tio is not None:
        calls.update(torchio_calls(tio, torch, image, label))
    report(f"{size}^3 image + label map, one thread, vs TorchIO", interleaved(calls, repeats), mine, ">= 10x")
    if monai_transforms is None:
        print("  MONAI: not installed, skipped")
        return
    theirs = monai_calls(monai_transforms, torch, image, label, size)
    calls = {mine: calls[mine], "MONAI RandAffined + Rand3DElasticd": theirs["MONAI RandAffined + Rand3DElasticd"]}
    report(f"{size}^3, one thread, vs MONAI", interleaved(calls, repeats), mine, ">= 10x")
    calls = {
        "voxwarpkit affine alone": ours(image, label, affine),
        "MONAI RandAffined alone": theirs["MONAI RandAffined alone"],
    }
    report(f"{size}^3, one thread, the affine alone", interleaved(calls, repeats), "voxwarpkit affine alone")
    mine = "voxwarpkit affine + smoothed field (MONAI's form)"
    calls = {
        mine: ours(image, label, smooth),
        "MONAI Rand3DElasticd with its affine": theirs["MONAI Rand3DElasticd with its affine"],
    }
    report(f"{size}^3, one thread, MONAI's elastic form", interleaved(calls, repeats), mine)


def batches(repeats, size=128):
    image, label = volumes(size)
    settings = va.spatial(
        degrees=DEGREES, scales=SCALES, translation=TRANSLATION, elastic=va.elastic(POINTS, DISPLACEMENT)
    )
    image8, label8 = np.stack([image] * 8), np.stack([label] * 8)
    calls = {f"{t} thread{'s' * (t > 1)}": ours(image8, label8, settings, threads=t) for t in (1, 2)}
    figures = interleaved(calls, repeats)
    print(f"\na batch of 8 {size}^3 samples (image + label map)")
    for name, seconds in figures.items():
        print(f"  {name:<52} {seconds:8.3f} s")
    print(f"  2 threads: {figures['1 thread'] / figures['2 threads']:.2f}x one thread   target: >= 1.8x")


def bspline_file(sitk, repeats, size=256):
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)
    rng = np.random.default_rng(1)
    data = rng.random((size, size, size), dtype=np.float32) * 100
    image = sitk.GetImageFromArray(data)
    spline = sitk.BSplineTransformInitializer(image, [8, 8, 8])
    spline.SetParameters(rng.normal(scale=3.0, size=spline.GetNumberOfParameters()).tolist())
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "spline.tfm"
        sitk.WriteTransform(spline, str(path))
        read = sitk.ReadTransform(str(path))
        results = {}

        def theirs():
            results["SimpleITK Resample"] = sitk.GetArrayFromImage(sitk.Resample(image, read, sitk.sitkLinear, 0.0))

        nib = importlib.import_module("nibabel")
        img = nib.Nifti1Image(data.T, np.diag([-1.0, -1.0, 1.0, 1.0]))

        def mine():
            out = vw.resample_image(img, like=img, transform=path, fill=0.0, threads=1)
            results["voxwarpkit"] = np.asarray(out.dataobj).T

        figures = interleaved({"voxwarpkit": mine, "SimpleITK Resample": theirs}, repeats)
    report(
        f"a B-spline transform (11^3 control points) from an ITK file, {size}^3, one thread",
        figures,
        "voxwarpkit",
        ">= 5x",
    )
    mine, theirs = results["voxwarpkit"], results["SimpleITK Resample"]
    difference = np.abs(mine - theirs)
    # A position within float32's rounding of the volume's faces may fall on either side of them.
    both_inside = (mine != 0) & (theirs != 0)
    print(
        f"  largest difference where both sample inside {difference[both_inside].max():.3g} on values up to 100; "
        f"{np.mean(difference > 1e-3):.2e} of voxels beyond 1e-3, {np.mean(both_inside):.4f} inside for both"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[128, 256])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--bspline-size", type=int, default=256)
    arguments = parser.parse_args()
    torch = optional("torch")
    if torch is not None:
        torch.set_num_threads(1)
    tio = optional("torchio") if torch is not None else None
    monai_transforms = optional("monai.transforms") if torch is not None else None
    sitk = optional("SimpleITK")
    print(f"{processor_model()}, {os.cpu_count()} logical cores; voxwarpkit kernel {_engine.kernel_variant()}")
    for name, module in (("torch", torch), ("torchio", tio), ("monai", optional("monai")), ("SimpleITK", sitk)):
        print(f"  {name}: {getattr(module, '__version__', None) or ('not installed' if module is None else '?')}")
    for size in arguments.sizes:
        subjects(size, arguments.repeats, tio, monai_transforms, torch)
    batches(arguments.repeats, min(arguments.sizes))
    if sitk is not None:
        bspline_file(sitk, arguments.repeats, arguments.bspline_size)
    else:
        print("\nB-spline file: SimpleITK not installed, skipped")


if __name__ == "__main__":
    main()
