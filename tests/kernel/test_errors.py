"""Every way a call can fail: the exception, its message and which error wins."""

import subprocess
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _voxwarpkit

IMAGE = np.arange(60, dtype=np.float32).reshape(3, 4, 5)
VOXEL = np.ones(3, np.float32)
MATRIX = np.array([1, 0, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)


def huge(shape, dtype=np.float32):
    """A zero-stride view: any length, one element of memory."""
    return as_strided(np.zeros(1, dtype), shape=shape, strides=(0,) * len(shape))


def raises(exception, message, *args):
    with pytest.raises(exception) as info:
        _voxwarpkit.transform(*args)
    if message is not None:
        assert str(info.value) == message
    return info


@pytest.mark.parametrize("args", [(), (IMAGE,), (IMAGE, VOXEL), (IMAGE, VOXEL, MATRIX, MATRIX)])
def test_wrong_argument_count(args):
    with pytest.raises(TypeError, match="transform"):
        _voxwarpkit.transform(*args)


def test_keywords_are_refused():
    with pytest.raises(TypeError, match="keyword"):
        _voxwarpkit.transform(IMAGE, VOXEL, matrix=MATRIX)


@pytest.mark.parametrize("position, name", [(0, "image"), (1, "voxel_size"), (2, "matrix")])
@pytest.mark.parametrize("not_an_array", [None, [1.0, 2.0, 3.0], 3.0, memoryview(b"abc"), np.float32(1)])
def test_arguments_must_be_arrays(position, name, not_an_array):
    args = [IMAGE, VOXEL, MATRIX]
    args[position] = not_an_array
    message = str(raises(TypeError, None, *args).value)
    assert message.startswith(f"{name} must be a numpy.ndarray, not ")
    assert message.endswith(type(not_an_array).__name__)


def test_an_ndarray_subclass_is_an_array():
    class Tagged(np.ndarray):
        pass

    result = _voxwarpkit.transform(IMAGE.view(Tagged), VOXEL.view(Tagged), MATRIX.view(np.matrix).A1.view(Tagged))
    assert type(result) is np.ndarray


def test_a_non_array_wins_over_a_bad_image_rank():
    raises(TypeError, "matrix must be a numpy.ndarray, not list", np.zeros(3), VOXEL, [1.0])


@pytest.mark.parametrize("shape", [(), (4,), (4, 5), (1, 2, 3, 4, 5)])
def test_image_rank_must_be_3_or_4(shape):
    raises(
        ValueError, f"image must have 3 or 4 dimensions, got {len(shape)}", np.zeros(shape, np.float32), VOXEL, MATRIX
    )


@pytest.mark.parametrize(
    "shape, message",
    [
        ((2**31, 1, 1), "image is too large: axis 0 has 2147483648 elements, more than the limit of 2147483647"),
        ((1, 1, 2**31), "image is too large: axis 2 has 2147483648 elements, more than the limit of 2147483647"),
        ((2**31, 0, 1), "image is too large: axis 0 has 2147483648 elements, more than the limit of 2147483647"),
        ((2, 2**30, 1), "image is too large: it has more than 2147483647 elements"),
        ((2**16, 2**16, 2**16), "image is too large: it has more than 2147483647 elements"),
        ((2**14, 2**14, 2**14, 2**14), "image is too large: it has more than 2147483647 elements"),
    ],
)
def test_oversized_images_are_refused_before_any_buffer(shape, message):
    # Complex elements would be refused by the importer, so this also shows
    # that the size check comes first.
    for dtype in (np.float32, np.complex64):
        raises(ValueError, message, huge(shape, dtype), VOXEL, MATRIX)


@pytest.mark.skipif(
    np.lib.NumpyVersion(np.__version__) < "1.20.0", reason="numpy before 1.20 cannot make these empty arrays itself"
)
@pytest.mark.parametrize("shape", [(2**20, 2**20, 0), (0, 2**30, 2**30), (5, 0, 2**31 - 1, 7)])
def test_huge_but_empty_images_return_at_once(shape):
    result = _voxwarpkit.transform(huge(shape), VOXEL, MATRIX)
    assert result.shape == shape and result.dtype == np.float32


@pytest.mark.parametrize("rank, message", [(3, "Failed to convert to FLOAT 3D"), (4, "Failed to convert to FLOAT 4D")])
@pytest.mark.parametrize("code", ["?", "b", "H", "I", "L", "q", "Q", "e", "g", "F", "D", "O", "U3", "M8[s]"])
def test_rejected_image_types(rank, message, code):
    image = np.zeros((2,) * rank, dtype=code)
    raises(ValueError, message, image, VOXEL, MATRIX)
    # An empty image is no error whatever its type.
    empty = np.zeros((2, 0, 2) if rank == 3 else (1, 2, 0, 2), dtype=code)
    result = _voxwarpkit.transform(empty, VOXEL, MATRIX)
    assert result.shape == empty.shape and result.dtype == np.float32


def test_an_image_error_wins_over_parameter_errors():
    raises(ValueError, "Failed to convert to FLOAT 3D", IMAGE.astype(np.complex64), VOXEL[:1], MATRIX[:1])


@pytest.mark.parametrize("name, good", [("voxel_size", VOXEL), ("matrix", MATRIX)])
def test_bad_parameters(name, good):
    needed = len(good)

    def call(bad):
        args = (IMAGE, bad, MATRIX) if name == "voxel_size" else (IMAGE, VOXEL, bad)
        return raises(ValueError, None, *args)

    assert (
        str(call(np.array(1.0, np.float32)).value) == f"{name} must be an array with at least one axis, not a 0-d array"
    )
    assert (
        str(call(good[: needed - 1]).value)
        == f"{name} must hold at least {needed} numbers along axis 0, got {needed - 1}"
    )
    assert (
        str(call(np.zeros(0, np.complex64)).value) == f"{name} must hold at least {needed} numbers along axis 0, got 0"
    )
    assert str(call(np.zeros((needed, 0), np.float32)).value) == f"{name} has no elements: its axis 1 has length 0"
    assert str(call(np.zeros((needed, 2, 0), np.float32)).value) == f"{name} has no elements: its axis 2 has length 0"
    for code in ["?", "b", "H", "e", "F", "O"]:
        assert str(call(np.ones(needed, code)).value) == "Failed to convert to FLOAT"
    # A type error is reported as such even when the array is also too short.
    assert str(call(np.ones(1, "F")).value) == "Failed to convert to FLOAT"


@pytest.mark.parametrize(
    "voxel_size, matrix, message",
    [
        (np.ones(3, "F"), np.ones(12, "F"), "Failed to convert to FLOAT"),
        (np.ones(2, "f"), np.ones(12, "F"), "Failed to convert to FLOAT"),
        (np.ones(3, "F"), np.ones(11, "f"), "matrix must hold at least 12 numbers along axis 0, got 11"),
        (np.array(1.0, np.float32), np.ones(11, "f"), "matrix must hold at least 12 numbers along axis 0, got 11"),
        (np.ones(3, "F"), MATRIX, "Failed to convert to FLOAT"),
        (np.ones(1, "f"), MATRIX, "voxel_size must hold at least 3 numbers along axis 0, got 1"),
    ],
)
def test_when_both_parameters_fail_the_matrix_error_stands(voxel_size, matrix, message):
    raises(ValueError, message, IMAGE, voxel_size, matrix)


def test_a_parameter_too_long_to_allocate_is_refused():
    # 2**62 one-byte elements would need 2**64 bytes as floats: never allocated short.
    raises(MemoryError, "Failed to allocate memory in array2float", IMAGE, huge((2**62,), np.uint8), MATRIX)
    raises(MemoryError, "Failed to allocate memory in array2float", IMAGE, VOXEL, huge((2**63 - 1,), np.uint8))


CALLS = [
    (IMAGE, VOXEL, MATRIX),
    (IMAGE.astype(np.int16), VOXEL.astype(np.float64), MATRIX.astype(np.float64)),
    (IMAGE[None], VOXEL, MATRIX),
    (IMAGE.astype(np.complex64), VOXEL, MATRIX),
    (IMAGE, np.ones(3, "F"), np.ones(12, "F")),
    (IMAGE, VOXEL[:2], MATRIX),
    (IMAGE[0], VOXEL, MATRIX),
    (IMAGE, VOXEL, [1]),
]


@pytest.mark.parametrize("args", CALLS)
def test_arguments_are_left_unchanged_with_their_reference_counts(args):
    copies = [np.array(a, copy=True) if isinstance(a, np.ndarray) else list(a) for a in args]
    before = [sys.getrefcount(a) for a in args]
    for _ in range(3):
        try:
            result = _voxwarpkit.transform(*args)
        except (TypeError, ValueError):
            result = None
        if result is not None:
            assert sys.getrefcount(result) == 2  # ours, plus the call's argument
    after = [sys.getrefcount(a) for a in args]
    assert before == after
    for original, copy in zip(args, copies):
        if isinstance(original, np.ndarray):
            np.testing.assert_array_equal(original, copy)
            assert original.tobytes() == copy.tobytes()


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_import_fails_cleanly_without_numpy():
    proc = run_python(
        "import sys\n"
        "for name in [m for m in sys.modules if m == 'numpy' or m.startswith('numpy.')]:\n"
        "    del sys.modules[name]\n"
        "sys.modules['numpy'] = None\n"
        "try:\n"
        "    import _voxwarpkit\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError: numpy.core.multiarray failed to import"
    assert "numpy" in proc.stderr  # the underlying error is printed first


def test_a_call_fails_cleanly_when_numpy_became_unusable():
    proc = run_python(
        "import sys, numpy as np, _voxwarpkit\n"
        "image = np.zeros((2, 2, 2), np.float32)\n"
        "for name in [m for m in sys.modules if m.endswith('._multiarray_umath')]:\n"
        "    sys.modules[name] = None\n"
        "try:\n"
        "    _voxwarpkit.transform(image, np.ones(3), np.ones(12))\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError: numpy.core.multiarray failed to import"
    assert "_multiarray_umath" in proc.stderr


def test_import_and_exit_are_clean_when_warnings_are_errors():
    proc = subprocess.run(
        [
            sys.executable,
            "-W",
            "error",
            "-c",
            "import _voxwarpkit, numpy as np; "
            "print(_voxwarpkit.transform(np.ones((2, 2, 2)), np.ones(3), np.eye(3, 4).ravel()).sum())",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "4.0"
    assert proc.stderr == ""
