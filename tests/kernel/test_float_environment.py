"""transform gives the same bits whatever floating-point environment the caller runs in."""

import numpy as np
import pytest
from support.bits import assert_same_bits

import _voxwarpkit
import _voxwarpkit_testing as testing

ROUNDINGS = ["nearest", "upward", "downward", "toward zero"]


def case(code="f"):
    rng = np.random.default_rng(11)
    image = (rng.standard_normal((2, 7, 8, 37)) * 1e3).astype(np.float64)
    # Subnormal floats and doubles that round to them: flush-to-zero and
    # denormals-are-zero would change every blend that reads them.
    flat = image.reshape(-1)
    flat[::5] = rng.choice([1e-39, -3e-42, 1.4e-45, 5e-324, 1e-310], flat[::5].size)
    image = image.astype(code)
    voxel_size = np.float64([1.1, 0.7, 2.3])
    a = np.deg2rad(13.0)
    matrix = np.float64([np.cos(a), -np.sin(a), 0.01, 0.37, np.sin(a), np.cos(a), 0, -0.21, 0, 0.02, 1, 0.4])
    return image, voxel_size, matrix


@pytest.mark.parametrize("code", ["f", "d"])
@pytest.mark.parametrize("rounding", ROUNDINGS)
@pytest.mark.parametrize(
    "flush_to_zero, denormals_are_zero", [(False, False), (True, False), (False, True), (True, True)]
)
def test_results_ignore_the_callers_environment(code, rounding, flush_to_zero, denormals_are_zero):
    image, voxel_size, matrix = case(code)
    expected = _voxwarpkit.transform(image, voxel_size, matrix)
    assert (expected.view(np.uint32) & 0x7F800000 == 0).any()  # subnormals do reach the output
    result, kept = testing.call_in_float_environment(
        rounding, flush_to_zero, denormals_are_zero, False, _voxwarpkit.transform, image, voxel_size, matrix
    )
    assert_same_bits(result, expected)
    assert kept, "the caller's floating-point environment was not restored"


def test_errors_restore_the_environment_too():
    image, voxel_size, _ = case()
    with pytest.raises(ValueError):
        testing.call_in_float_environment(
            "upward", True, True, False, _voxwarpkit.transform, image, voxel_size, np.ones(3)
        )
    _, kept = testing.call_in_float_environment("downward", True, False, False, lambda: None)
    assert kept


def test_an_unmasked_invalid_operation_does_not_trap():
    # inf * 0 in a blend is an invalid operation; a caller that unmasked it
    # must neither crash nor see a different result.
    image = np.zeros((3, 3, 3), np.float32)
    image[1, 1, 1] = np.inf
    args = (image, np.ones(3, np.float32), np.float32([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]))
    expected = _voxwarpkit.transform(*args)
    try:
        result, kept = testing.call_in_float_environment("nearest", False, False, True, _voxwarpkit.transform, *args)
    except NotImplementedError as reason:
        pytest.skip(str(reason))
    assert_same_bits(result, expected)
    assert kept
