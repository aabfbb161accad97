"""What an installed voxwarpkit must do wherever it came from (sdist or wheel), with numpy alone.

Run with the environment's Python, outside the source tree, so that the installed package is the one tested.
"""

import pathlib
import subprocess
import sys

import numpy as np

import _voxwarpkit
import voxwarpkit

source = pathlib.Path(voxwarpkit.__file__).resolve()
assert "site-packages" in source.parts, f"voxwarpkit imported from {source}, not from the environment"
print("voxwarpkit", voxwarpkit.__version__, "from", source.parent)

# A shift of two voxels along x: output column i shows input column i + 2, bit for bit with nearest sampling.
image = np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6)
shift = [[1, 0, 0, 2.0], [0, 1, 0, 0], [0, 0, 1, 0]]
shifted = voxwarpkit.resample(image, (1.0, 1.0, 1.0), shift, order=0, fill=-1.0)
assert np.array_equal(shifted[..., :-2], image[..., 2:]) and np.all(shifted[..., -2:] == -1.0), shifted
# The SWIG module and the package's engine, on two threads, give the same bits.
matrix = voxwarpkit.from_homogeneous(shift)
threaded = voxwarpkit.transform(image, np.float32([1, 1, 1]), matrix, threads=2)
single = _voxwarpkit.transform(image, np.float32([1, 1, 1]), matrix)
assert np.array_equal(threaded.view(np.uint32), single.view(np.uint32))

command = pathlib.Path(sys.executable).with_name("voxwarpkit")
help_text = subprocess.run([str(command), "--help"], check=True, capture_output=True, text=True).stdout
assert "apply" in help_text and "pyramid" in help_text, help_text
print("smoke test passed")
