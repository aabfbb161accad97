"""transform against the independent reference, bit for bit."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.layouts import LAYOUTS
from support.reference import transform_reference

import _voxwarpkit

IDENTITY = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)
UNIT = np.ones(3, np.float32)


def check(image, voxel_size, matrix):
    result = _voxwarpkit.transform(image, voxel_size, matrix)
    assert type(result) is np.ndarray
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert_same_bits(result, transform_reference(image, voxel_size, matrix))
    return result


def translation(tx, ty=0.0, tz=0.0):
    m = IDENTITY.copy()
    m[[3, 7, 11]] = tx, ty, tz
    return m


def rotation_about_centre(shape_zyx, voxel_size, degrees_xyz, shift=(0.0, 0.0, 0.0)):
    ax, ay, az = np.deg2rad(degrees_xyz)
    rx = np.array([[1, 0, 0], [0, np.cos(ax), -np.sin(ax)], [0, np.sin(ax), np.cos(ax)]])
    ry = np.array([[np.cos(ay), 0, np.sin(ay)], [0, 1, 0], [-np.sin(ay), 0, np.cos(ay)]])
    rz = np.array([[np.cos(az), -np.sin(az), 0], [np.sin(az), np.cos(az), 0], [0, 0, 1]])
    r = rz @ ry @ rx
    centre = (np.array(shape_zyx[::-1], float) - 1) / 2 * np.asarray(voxel_size, float)
    t = centre - r @ centre + np.asarray(shift)
    return np.hstack([r, t[:, None]]).astype(np.float32).ravel()


WORKED = np.arange(36, dtype=np.float32).reshape(3, 3, 4)


@pytest.mark.parametrize(
    "translation_xyz",
    [
        (0, 0, 0),
        (0.5, 0, 0),
        (-0.5, 0, 0),
        (-1.5, 0, 0),
        (-2.5, 0, 0),
        (0.5, -1.5, 0),
        (0, 0, -0.5),
        (0, 0, -1.5),
        (0, -0.5, 0),
        (0, 2.5, 0),
        (3, 0, 0),
        (0, 0, 1.75),
    ],
)
def test_translations_of_a_small_volume(translation_xyz):
    check(WORKED, UNIT, translation(*translation_xyz))


def test_identity_keeps_the_image_but_the_double_band_voxels():
    image = np.random.default_rng(1).integers(0, 255, (5, 6, 7)).astype(np.uint8)
    result = check(image, UNIT, IDENTITY)
    bands = np.zeros(image.shape, int)
    bands[-1, :, :] += 1
    bands[:, -1, :] += 1
    bands[:, :, -1] += 1
    np.testing.assert_array_equal(result[bands < 2], image[bands < 2].astype(np.float32))
    assert not result[bands >= 2].any()


def test_an_integer_shift_equals_a_shifted_copy():
    image = np.random.default_rng(2).standard_normal((6, 7, 8)).astype(np.float32)
    result = _voxwarpkit.transform(image, np.float32([1.0, 2.0, 3.0]), translation(2.0, 2.0, -3.0))
    # x moves by 2 voxels, y by 1 (2 mm at 2 mm), z by -1 (-3 mm at 3 mm).
    np.testing.assert_array_equal(result[1:, :5, :5], image[:-1, 1:6, 2:7])


def test_a_stack_uses_each_volume_alone_with_one_matrix():
    stack = np.random.default_rng(3).standard_normal((3, 4, 5, 6)).astype(np.float32)
    matrix = rotation_about_centre(stack.shape[1:], UNIT, (5, 10, 20), (0.3, -0.2, 0.1))
    result = check(stack, UNIT, matrix)
    for vol in range(3):
        assert_same_bits(result[vol], _voxwarpkit.transform(stack[vol], UNIT, matrix))


def random_matrix(rng, shape_zyx, voxel_size, kind):
    if kind == "rotation":
        return rotation_about_centre(shape_zyx, voxel_size, rng.uniform(-30, 30, 3), rng.uniform(-1, 1, 3))
    if kind == "shear":
        m = np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3))
        return np.hstack([m, rng.uniform(-2, 2, (3, 1))]).astype(np.float32).ravel()
    if kind == "partly outside":
        m = rotation_about_centre(shape_zyx, voxel_size, rng.uniform(-10, 10, 3))
        m[[3, 7, 11]] += np.asarray(shape_zyx[::-1]) * voxel_size * 0.5
        return m
    if kind == "scaled":
        return np.float32(
            [
                rng.uniform(0.3, 2.5),
                0,
                0,
                rng.uniform(-2, 2),
                0,
                rng.uniform(0.3, 2.5),
                0,
                rng.uniform(-2, 2),
                0,
                0,
                rng.uniform(0.3, 2.5),
                rng.uniform(-2, 2),
            ]
        )
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["rotation", "shear", "partly outside", "scaled"])
@pytest.mark.parametrize("seed", range(6))
def test_random_volumes_and_matrices(kind, seed):
    rng = np.random.default_rng(seed)
    rank = 3 + seed % 2
    shape = tuple(int(n) for n in rng.integers(1, 12, 3))
    if rank == 4:
        shape = (int(rng.integers(1, 4)),) + shape
    image = (rng.standard_normal(shape) * 100).astype(np.float32)
    voxel_size = rng.uniform(0.5, 3.0, 3).astype(np.float32)
    check(image, voxel_size, random_matrix(rng, shape[-3:], voxel_size, kind))


@pytest.mark.parametrize(
    "shape",
    [
        (1, 1, 1),
        (1, 5, 6),
        (4, 1, 6),
        (4, 5, 1),
        (1, 1, 7),
        (2, 1, 1, 3),
        (0, 4, 4),
        (3, 0, 2),
        (2, 3, 0),
        (0, 2, 3, 4),
        (2, 0, 3, 4),
    ],
)
@pytest.mark.parametrize("shift", [0.0, 0.5, -0.5, -1.0, -1.5])
def test_single_voxel_and_empty_axes(shape, shift):
    image = np.arange(np.prod(shape), dtype=np.float32).reshape(shape) + 1
    check(image, UNIT, translation(shift, shift, shift))


# Source indices exactly on -2, -1, 0, n - 1 and n, and just beside them.
EDGE_SHIFTS = [-2.0, -1.0, 0.0, 3.0, 4.0, -1.9999999, -0.9999999, 2.9999998, 3.9999998, -2.0000002]


@pytest.mark.parametrize("axis", range(3))
@pytest.mark.parametrize("shift", EDGE_SHIFTS)
def test_positions_on_band_edges(axis, shift):
    image = np.random.default_rng(4).standard_normal((4, 4, 4)).astype(np.float32)
    offsets = [0.0, 0.0, 0.0]
    offsets[axis] = shift
    check(image, UNIT, translation(*offsets))


@pytest.mark.parametrize("entry", [0, 3, 5, 10, 11])
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e30, -1e30, 3e9])
def test_non_finite_and_huge_matrix_entries(entry, value):
    matrix = IDENTITY.copy()
    matrix[entry] = value
    result = check(WORKED, UNIT, matrix)
    if np.isnan(value):
        assert not result.any()


@pytest.mark.parametrize(
    "voxel_size",
    [
        (0, 1, 1),
        (1, 0, 1),
        (1, 1, 0),
        (0, 0, 0),
        (-1, 1, 1),
        (np.inf, 1, 1),
        (np.nan, 1, 1),
        (1e-42, 1, 1),
        (1e-30, 1, 1),
    ],
)
def test_degenerate_voxel_sizes(voxel_size):
    result = check(WORKED, np.float32(voxel_size), IDENTITY)
    if 0 in voxel_size or np.isnan(voxel_size).any():
        assert not result.any()


@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf, -0.0, 1e-45, 3e38])
def test_special_values_in_the_image(special):
    image = np.random.default_rng(5).standard_normal((4, 5, 6)).astype(np.float32)
    image[1, 2, 3] = special
    image[0, 0, 0] = special
    check(image, UNIT, translation(0.25, -0.5, 0.75))
    check(image, UNIT, IDENTITY)


def test_negative_zero_survives_the_identity():
    image = np.full((3, 3, 3), -0.0, np.float32)
    result = check(image, UNIT, IDENTITY)
    assert np.signbit(result[0, 0, 0])


INTEGER_RANGES = {"B": (0, 256), "h": (-32768, 32768), "i": (-(2**31), 2**31), "l": (-(2**62), 2**62)}


def values_of(code, shape, rng):
    if code in INTEGER_RANGES:
        low, high = INTEGER_RANGES[code]
        return rng.integers(low, high, shape, dtype=np.int64).astype(code)
    return (rng.standard_normal(shape) * 1e3).astype(code)


@pytest.mark.parametrize("code", ["B", "h", "i", "l", "f", "d"])
@pytest.mark.parametrize("rank", [3, 4])
def test_every_accepted_image_type(code, rank):
    rng = np.random.default_rng(6)
    shape = (5, 6, 7) if rank == 3 else (2, 5, 6, 7)
    matrix = rotation_about_centre(shape[-3:], UNIT, (0, 0, 12), (0.1, 0.2, 0.3))
    result = check(values_of(code, shape, rng), UNIT, matrix)
    assert result.dtype == np.float32 and result.shape == shape


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("code", ["B", "h", "l", "f", "d"])
def test_image_layouts(layout, code):
    rng = np.random.default_rng(7)
    image = LAYOUTS[layout](values_of(code, (2, 4, 5, 6), rng))
    matrix = rotation_about_centre((4, 5, 6), UNIT, (3, 4, 5))
    check(image, UNIT, matrix)
    check(image[1], UNIT, matrix)


def parameter_forms(values, code):
    """voxel_size or matrix numbers as arrays whose axis 0 reads as `values`."""
    column = np.asarray(values).astype(code)
    padded = np.concatenate([column, column[:2] + 7])  # extra numbers are never used
    two_d = np.stack([column, column * 0 + 99], axis=1)  # only column 0 is read
    stepped = np.repeat(column, 2)[::2]
    return {
        "1-D": column,
        "longer": padded,
        "2-D": two_d,
        "3-D": two_d[:, :, None],
        "stepped": stepped,
        "reversed": column[::-1].copy()[::-1],
        "swapped": column.astype(column.dtype.newbyteorder()),
        "fortran": np.asfortranarray(two_d),
    }


@pytest.mark.parametrize("form", ["1-D", "longer", "2-D", "3-D", "stepped", "reversed", "swapped", "fortran"])
@pytest.mark.parametrize("code", ["f", "d", "q", "l"])
def test_voxel_size_and_matrix_forms(form, code):
    scale = 1 if code in "fd" else 2  # integer matrices need whole numbers
    voxel_values = np.array([1.5, 2.0, 0.5]) * scale
    matrix_values = np.array([1, 0.5, 0, 0.5, 0, 1, 0, -1, 0.25, 0, 1, 1.5]) * scale
    voxel_size = parameter_forms(voxel_values, code)[form]
    matrix = parameter_forms(matrix_values, code)[form]
    image = np.random.default_rng(8).standard_normal((4, 5, 6)).astype(np.float32)
    check(image, voxel_size, matrix)


@pytest.mark.parametrize("shape", [(1, 1, 1), (17, 1, 9), (3, 40, 50), (2, 33, 17, 9)])
def test_rotations_with_anisotropic_spacing(shape):
    rng = np.random.default_rng(sum(shape))
    image = rng.standard_normal(shape).astype(np.float32)
    voxel_size = np.float32([1.2, 1.2, 2.5])
    check(image, voxel_size, rotation_about_centre(shape[-3:], voxel_size, (10, 0, 10), (0.3, 0.4, -0.2)))


@pytest.mark.parametrize("seed", range(4))
def test_nan_payloads_follow_one_rule(seed):
    # Distinct quiet and signalling NaN payloads and infinities of both signs
    # meet in one blend: which NaN comes out must not depend on the compiler.
    rng = np.random.default_rng(seed)
    image = rng.standard_normal((2, 6, 7, 8)).astype(np.float32)
    bits = image.view(np.uint32)
    nan = rng.random(image.shape) < 0.15
    sign = rng.integers(0, 2, nan.sum()).astype(np.uint32) << np.uint32(31)
    payload = rng.integers(1, 1 << 22, nan.sum()).astype(np.uint32)
    quiet = rng.integers(0, 2, nan.sum()).astype(np.uint32) << np.uint32(22)
    bits[nan] = sign | np.uint32(0x7F800000) | quiet | payload
    image[rng.random(image.shape) < 0.05] = np.inf
    image[rng.random(image.shape) < 0.05] = -np.inf
    check(image, UNIT, rotation_about_centre(image.shape[1:], UNIT, (4, -7, 9), (0.2, 0.1, -0.3)))
