"""Runs one call through each entry of the compiled modules and prints the entries it reached.

Run in a process of its own (test_every_entry.py starts it), so that a module
that cannot be imported or an entry that crashes fails one test instead of
ending the test run. Needs numpy alone.
"""

import sys
import threading

import numpy as np

reached = set()


def note(frame, event, function):
    if event == "c_call" and getattr(function, "__module__", None) in ("voxwarpkit._engine", "_voxwarpkit"):
        reached.add(f"{function.__module__}.{function.__name__}")


import _voxwarpkit  # noqa: E402
import voxwarpkit  # noqa: E402
from voxwarpkit import _engine, ndimage  # noqa: E402

image = np.random.default_rng(0).random((6, 7, 8), dtype=np.float32)
turn = voxwarpkit.rigid(image.shape, np.float32([1, 1, 1]), rotation=(3, 0, 10))
sys.setprofile(note)
threading.setprofile(note)  # the calls that pools make on threads of their own
_voxwarpkit.transform(image, np.float32([1, 1, 1]), turn)
voxwarpkit.transform(image, np.float32([1, 1, 1]), turn, threads=2)
for interpolation in ("linear", "cubic", "lanczos", "label"):
    voxwarpkit.resample(image, (1, 1, 1), turn, shape=(5, 6, 7), interpolation=interpolation)
voxwarpkit.resample(image, (1, 1, 1), np.eye(3, 4) * 2, shape=(3, 3, 4), output_voxel_size=(2, 2, 2), antialias=True)
tiles, shift = [image, image], [np.eye(3, 4), np.eye(3, 4) + np.eye(3, 4, 3)]
voxwarpkit.fuse(tiles, (1, 1, 1), shift, shape=(6, 7, 11), output_voxel_size=(1, 1, 1))
chain = [np.eye(3, 4), voxwarpkit.Field(np.zeros((2, 2, 2, 3)), (4, 4, 4))]
voxwarpkit.fuse(tiles, (1, 1, 1), [chain, shift[1]], shape=(6, 7, 11), output_voxel_size=(1, 1, 1))
spline = voxwarpkit.BSpline(np.ones((4, 4, 4, 3)), (4, 4, 4), origin=(-4, -4, -4))
voxwarpkit.resample(image, (1, 1, 1), [spline, turn])  # led by the B-spline: its displacements as a field
voxwarpkit.resample(image, (1, 1, 1), [turn, spline])  # the B-spline kernel
_engine.kernel_variant()
ndimage.zoom(image, 1.5, order=3, mode=_engine.spline_modes()[0])
sys.setprofile(None)
threading.setprofile(None)
print("\n".join(sorted(reached)))
