"""The voxwarpkit package: its transform passes through unchanged, its version, its typing."""

import doctest
import importlib.metadata
import importlib.util
import runpy
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _voxwarpkit
import voxwarpkit
import voxwarpkit._backends.transform

ROOT = Path(__file__).resolve().parents[2]
SOURCE = ROOT / "python" / "voxwarpkit"
EXAMPLE = ROOT / "tests" / "typing" / "example_usage.py"

SHIFT = np.array([1, 0, 0, 0.5, 0, 1, 0, -0.25, 0, 0, 1, 0.75], dtype=np.float32)


def image(shape, dtype):
    return (np.arange(np.prod(shape)) % 251).reshape(shape).astype(dtype)


@pytest.mark.parametrize(
    "arguments",
    [
        (image((3, 4, 5), "B"), np.ones(3), SHIFT),
        (image((2, 3, 4, 5), "h"), np.array([0.5, 2.0, 1.5]), SHIFT.astype(np.float64)),
        (image((4, 3, 5), "d")[::-1, :, ::2], np.ones((3, 1)), SHIFT),
        (image((3, 4, 5), "f"), np.ones(3), SHIFT.reshape(12, 1)),
    ],
    ids=["uint8", "int16 stack", "reversed float64", "12x1 matrix"],
)
def test_transform_gives_the_native_bits(arguments):
    expected = _voxwarpkit.transform(*arguments)
    result = voxwarpkit.transform(*arguments)
    assert result.dtype == np.float32
    np.testing.assert_array_equal(result.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize(
    "arguments",
    [
        ([[[1.0]]], np.ones(3), SHIFT),
        (image((4, 5), "f"), np.ones(3), SHIFT),
        (image((3, 4, 5), "H"), np.ones(3), SHIFT),
        (image((2, 3, 4, 5), "b"), np.ones(3), SHIFT),
        (image((3, 4, 5), "f"), np.ones(2), SHIFT),
        (image((3, 4, 5), "f"), np.ones(3), SHIFT[:11]),
        (image((3, 4, 5), "f"), np.ones(3, dtype=bool), SHIFT),
        (image((3, 4, 5), "f"), np.ones(3), SHIFT.reshape(3, 4)),  # axis 0 holds 3 numbers
        (image((3, 4, 5), "f"), np.ones(3)),
    ],
    ids=[
        "list",
        "rank 2",
        "uint16",
        "int8 stack",
        "short voxel size",
        "short matrix",
        "bool voxel size",
        "3x4 matrix",
        "two arguments",
    ],
)
def test_transform_raises_what_the_native_function_raises(arguments):
    with pytest.raises(Exception) as native:
        _voxwarpkit.transform(*arguments)
    with pytest.raises(type(native.value)) as wrapped:
        voxwarpkit.transform(*arguments)
    if native.type is not TypeError:  # a wrong count names each function differently
        assert str(wrapped.value) == str(native.value)


def test_transform_takes_positional_arguments_only():
    with pytest.raises(TypeError):
        voxwarpkit.transform(image((2, 2, 2), "f"), np.ones(3), matrix=SHIFT)


def test_the_docstring_examples_hold():
    flags = doctest.NORMALIZE_WHITESPACE
    failures, tried = doctest.testmod(voxwarpkit._backends.transform, optionflags=flags)
    assert tried > 0
    assert failures == 0


def test_version_comes_from_the_installed_metadata():
    assert voxwarpkit.__version__ == importlib.metadata.version("voxwarpkit")


def test_the_installed_package_is_marked_typed():
    assert (Path(voxwarpkit.__file__).parent / "py.typed").is_file()


def test_the_typed_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    assert voxwarpkit.__version__ in capsys.readouterr().out


MISUSE = """\
import numpy as np
import numpy.typing as npt
import voxwarpkit

volume = np.zeros((2, 3, 4))
voxwarpkit.transform(volume, np.ones(3), matrix=np.zeros(12))
voxwarpkit.transform([[[1.0]]], np.ones(3), np.zeros(12))
wrong: npt.NDArray[np.float64] = voxwarpkit.transform(volume, volume, volume)
voxwarpkit.from_index(np.eye(3), 0.0, (1.0, 1.0, 1.0))
version: int = voxwarpkit.__version__
"""


def test_mypy_strict_accepts_the_example_and_catches_misuse(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    targets = [str(EXAMPLE), str(misuse)]
    if SOURCE.is_dir():  # in a source tree, check the package's own code as well
        targets.append(str(SOURCE))
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--no-color-output",
            "--no-error-summary",
            *targets,
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert not [line for line in errors if not line.startswith(str(misuse))], done.stdout
    flagged = sorted({int(line.split(":")[1]) for line in errors})
    assert flagged == [6, 7, 8, 9, 10], done.stdout


def test_the_plain_numpy_example_rotates_as_rigid_does(capsys):
    """The README's hand-built rotation (in examples/) is rigid's turn the other way round."""
    demo = runpy.run_path(str(ROOT / "examples" / "resample_demo.py"))
    shape, voxel_size = (96, 128, 128), np.float32([1.0, 1.0, 1.5])
    by_hand = demo["rotation_about_centre"](shape, voxel_size, 15.0)
    np.testing.assert_array_equal(by_hand, voxwarpkit.rigid(shape, voxel_size, rotation=(0, 0, -15)))
    demo["main"]()
    assert "shape (96, 128, 128), dtype float32" in capsys.readouterr().out
