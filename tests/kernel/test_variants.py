"""Every compiled kernel variant gives the scalar kernel's bits."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.reference import resample_reference

import _voxwarpkit_testing as testing

VARIANTS = testing.kernel_variants()
USABLE = [name for name, usable in VARIANTS if usable]


def test_the_fastest_usable_variant_is_selected():
    assert VARIANTS[-1] == ("scalar", True)
    assert testing.selected_kernel() == USABLE[0]


def run(variant, image, voxel_size, matrix):
    usable = dict(VARIANTS)[variant]
    if not usable:
        pytest.skip(f"this processor cannot run the {variant} kernel")
    return testing.resample(image, voxel_size, matrix, variant)


def random_case(rng):
    nvol = int(rng.integers(1, 4))
    # Widths and heights around the vector lengths and the tile sizes, and 1-voxel axes.
    nx = int(rng.choice([1, 2, 7, 8, 9, 15, 16, 17, 33, 63, 64, 65, 130]))
    ny, nz = (int(n) for n in rng.choice([1, 2, 3, 6, 11, 70], 2))
    image = (rng.standard_normal((nvol, nz, ny, nx)) * 100).astype(np.float32)
    voxel_size = rng.uniform(0.5, 2.5, 3).astype(np.float32)
    angles = np.deg2rad(rng.uniform(-40, 40, 3))
    cx, cy, cz = np.cos(angles)
    sx, sy, sz = np.sin(angles)
    rotation = (
        np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
        @ np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
        @ np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    )
    scale = rng.uniform(0.6, 1.6, (3, 1))
    shift = rng.uniform(-3, 3, (3, 1)) * voxel_size[:, None]
    matrix = np.hstack([rotation * scale, shift]).astype(np.float32).ravel()
    return image, voxel_size, matrix


@pytest.mark.parametrize("variant", [name for name, _ in VARIANTS if name != "scalar"])
@pytest.mark.parametrize("seed", range(12))
def test_random_volumes_and_matrices(variant, seed):
    image, voxel_size, matrix = random_case(np.random.default_rng(seed))
    expected = testing.resample(image, voxel_size, matrix, "scalar")
    assert_same_bits(run(variant, image, voxel_size, matrix), expected)
    assert_same_bits(expected, resample_reference(image, voxel_size, matrix))


BAND_SHIFTS = [-2.0, -1.5, -1.0, -0.5, 0.0, 0.25, 3.0, 3.5, 4.0, -1.9999999, -0.9999999, 2.9999998, 3.9999998]


@pytest.mark.parametrize("variant", [name for name, _ in VARIANTS])
@pytest.mark.parametrize("axis", range(3))
def test_band_edges(variant, axis):
    image = np.random.default_rng(axis).standard_normal((2, 4, 4, 4)).astype(np.float32)
    ones = np.ones(3, np.float32)
    for shift in BAND_SHIFTS:
        matrix = np.float32([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0])
        matrix[[3, 7, 11][axis]] = shift
        assert_same_bits(run(variant, image, ones, matrix), resample_reference(image, ones, matrix))


@pytest.mark.parametrize("variant", [name for name, _ in VARIANTS if name != "scalar"])
@pytest.mark.parametrize("special", ["nan payloads", "infinities", "denormals and zeros"])
def test_special_values(variant, special):
    rng = np.random.default_rng(7)
    image, voxel_size, matrix = random_case(rng)
    image = np.resize(image, (2, 9, 10, 70)).astype(np.float32)
    picked = rng.random(image.shape) < 0.1
    if special == "nan payloads":
        count = picked.sum()
        sign = rng.integers(0, 2, count).astype(np.uint32) << np.uint32(31)
        quiet = rng.integers(0, 2, count).astype(np.uint32) << np.uint32(22)
        payload = rng.integers(1, 1 << 22, count).astype(np.uint32)
        image.view(np.uint32)[picked] = sign | np.uint32(0x7F800000) | quiet | payload
    elif special == "infinities":
        image[picked] = rng.choice([np.inf, -np.inf], picked.sum())
    else:
        image[picked] = rng.choice([1e-45, -1e-40, 0.0, -0.0], picked.sum())
    expected = testing.resample(image, voxel_size, matrix, "scalar")
    assert_same_bits(run(variant, image, voxel_size, matrix), expected)


@pytest.mark.parametrize("variant", [name for name, _ in VARIANTS if name != "scalar"])
@pytest.mark.parametrize("entry", [0, 3, 5, 11])
@pytest.mark.parametrize("value", [np.nan, np.inf, 3e9, -3e9, 1e-30])
def test_degenerate_matrices(variant, entry, value):
    image = np.random.default_rng(3).standard_normal((1, 5, 6, 40)).astype(np.float32)
    matrix = np.float32([1, 0.1, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 0])
    matrix[entry] = value
    ones = np.ones(3, np.float32)
    assert_same_bits(run(variant, image, ones, matrix), testing.resample(image, ones, matrix, "scalar"))


def test_an_unknown_variant_is_refused():
    with pytest.raises(ValueError, match="no kernel variant named sse9"):
        testing.resample(np.zeros((1, 1, 1, 1), np.float32), np.ones(3, np.float32), np.ones(12, np.float32), "sse9")
