"""Checks of the numpy reference itself: worked examples, layout and type rules,
an element-by-element transcription of the kernel, and metamorphic properties."""

import struct

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import identity
from support.reference import (
    INT32_MIN,
    accepted_types,
    import_reference,
    resample_reference,
    trunc_int32,
    write_reference,
)
from support.values import nearest_float32_of_int


def f32(values):
    return np.array(values, dtype=np.float32)


def from_bits(bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


def slices(*texts):
    """A volume written slice by slice, rows separated by '/'."""
    return f32([[row.split() for row in text.split("/")] for text in texts])


def volume_0_to_35():
    return np.arange(36, dtype=np.float32).reshape(3, 3, 4)


# ---------------------------------------------------------------- resampling

IDENTITY_OUTPUT = slices(
    "0 1 2 3 / 4 5 6 7 / 8 9 10 0",
    "12 13 14 15 / 16 17 18 19 / 20 21 22 0",
    "24 25 26 0 / 28 29 30 0 / 0 0 0 0",
)
HALF_STEP_OUTPUT = slices(
    "0.5 1.5 2.5 3 / 4.5 5.5 6.5 7 / 8.5 9.5 10.5 0",
    "12.5 13.5 14.5 15 / 16.5 17.5 18.5 19 / 20.5 21.5 22.5 0",
    "24.5 25.5 26.5 0 / 28.5 29.5 30.5 0 / 0 0 0 0",
)


@pytest.mark.parametrize(
    "translation, expected",
    [
        ((0, 0, 0), IDENTITY_OUTPUT),
        ((0.5, 0, 0), HALF_STEP_OUTPUT),
        (
            (-0.5, 0, 0),
            slices(
                "-0.5 0.5 1.5 2.5 / 3.5 4.5 5.5 6.5 / 7.5 8.5 9.5 10.5",
                "11.5 12.5 13.5 14.5 / 15.5 16.5 17.5 18.5 / 19.5 20.5 21.5 22.5",
                "23.5 24.5 25.5 26.5 / 27.5 28.5 29.5 30.5 / 0 0 0 0",
            ),
        ),
        (
            (-1.5, 0, 0),
            slices(
                "0 -0.5 0.5 1.5 / 4 3.5 4.5 5.5 / 0 7.5 8.5 9.5",
                "12 11.5 12.5 13.5 / 16 15.5 16.5 17.5 / 0 19.5 20.5 21.5",
                "0 23.5 24.5 25.5 / 0 27.5 28.5 29.5 / 0 0 0 0",
            ),
        ),
        (
            (-2.5, 0, 0),
            slices(
                "0 0 -0.5 0.5 / 0 4 3.5 4.5 / 0 0 7.5 8.5",
                "0 12 11.5 12.5 / 0 16 15.5 16.5 / 0 0 19.5 20.5",
                "0 0 23.5 24.5 / 0 0 27.5 28.5 / 0 0 0 0",
            ),
        ),
        (
            (0.5, -1.5, 0),
            slices(
                "0.5 1.5 2.5 0 / -1.5 -0.5 0.5 1 / 2.5 3.5 4.5 5",
                "12.5 13.5 14.5 0 / 10.5 11.5 12.5 13 / 14.5 15.5 16.5 17",
                "0 0 0 0 / 22.5 23.5 24.5 0 / 26.5 27.5 28.5 0",
            ),
        ),
    ],
    ids=["identity", "x+0.5", "x-0.5", "x-1.5", "x-2.5", "x+0.5,y-1.5"],
)
def test_translations_of_the_small_volume(translation, expected):
    result = resample_reference(volume_0_to_35(), f32([1, 1, 1]), identity(*translation))
    assert_same_bits(result, expected)


def test_physical_translation_is_divided_by_the_voxel_size():
    result = resample_reference(volume_0_to_35(), f32([2, 1, 1]), identity(1, 0, 0))
    assert_same_bits(result, HALF_STEP_OUTPUT)


def test_a_single_slice_is_served_by_the_high_z_face():
    image = np.arange(12, dtype=np.float32).reshape(1, 3, 4)
    result = resample_reference(image, f32([1, 1, 1]), identity())
    assert_same_bits(result, slices("0 1 2 0 / 4 5 6 0 / 0 0 0 0"))


@pytest.mark.parametrize("entry", range(12))
def test_a_nan_matrix_entry_leaves_everything_zero(entry):
    matrix = identity(0.5, -0.5, 0.25)
    matrix[entry] = np.nan
    result = resample_reference(volume_0_to_35(), f32([1, 1, 1]), matrix)
    assert_same_bits(result, np.zeros((3, 3, 4), np.float32))


@pytest.mark.parametrize("axis", range(3))
@pytest.mark.parametrize("translation", [(0, 0, 0), (0.5, 0.5, 0.5)])
def test_a_zero_voxel_size_leaves_everything_zero(axis, translation):
    spacing = f32([1, 1, 1])
    spacing[axis] = 0
    result = resample_reference(volume_0_to_35(), spacing, identity(*translation))
    assert_same_bits(result, np.zeros((3, 3, 4), np.float32))


def test_an_infinite_voxel_spreads_nan_through_zero_weights():
    image = volume_0_to_35()
    image[1, 1, 1] = np.inf
    result = resample_reference(image, f32([1, 1, 1]), identity())

    neighbours = np.zeros(image.shape, bool)
    neighbours[0:2, 0:2, 0:2] = True
    neighbours[1, 1, 1] = False
    assert np.isnan(result[neighbours]).all()
    assert not np.isnan(result[~neighbours]).any()
    expected = IDENTITY_OUTPUT.copy()
    expected[1, 1, 1] = np.inf
    assert_same_bits(result[~neighbours], expected[~neighbours])


def test_each_volume_of_a_stack_uses_its_own_voxels():
    stack = np.arange(72, dtype=np.float32).reshape(2, 3, 3, 4)
    result = resample_reference(stack, f32([1, 1, 1]), identity(0.5))

    assert_same_bits(result[0], HALF_STEP_OUTPUT)
    assert_same_bits(result[1, 0], slices("36.5 37.5 38.5 39 / 40.5 41.5 42.5 43 / 44.5 45.5 46.5 0")[0])
    assert np.array_equal(result[1] == 0, result[0] == 0)
    alone = resample_reference(np.ascontiguousarray(stack[1]), f32([1, 1, 1]), identity(0.5))
    assert_same_bits(result[1], alone)


@pytest.mark.parametrize(
    "shape",
    [(0, 3, 3, 4), (2, 0, 3, 4), (2, 3, 0, 4), (2, 3, 4, 0), (0, 0, 0), (3, 0, 4)],
)
def test_empty_images_give_empty_results(shape):
    result = resample_reference(np.ones(shape, np.float32), f32([1, 1, 1]), identity())
    assert result.shape == shape
    assert result.dtype == np.float32


def test_a_rank_3_image_is_one_volume():
    image = np.random.default_rng(3).normal(size=(3, 4, 5)).astype(np.float32)
    matrix = f32([0.9, 0.1, 0, 0.3, -0.1, 1.1, 0.05, -0.4, 0, 0.2, 0.8, 0.6])
    spacing = f32([1.5, 0.75, 2])
    as_stack = resample_reference(image[np.newaxis], spacing, matrix)
    assert_same_bits(resample_reference(image, spacing, matrix), as_stack[0])


def test_the_input_is_left_unchanged():
    image = np.random.default_rng(4).normal(size=(2, 3, 4, 5)).astype(np.float32)
    before = image.copy()
    resample_reference(image, f32([1, 1, 1]), identity(0.3, -0.7, 0.2))
    assert_same_bits(image, before)


# An element-by-element transcription of the kernel with Python scalars:
# np.float32 for the single steps, Python float (binary64) for the double ones.
# It checks the vectorised masks, gathers and term tables of the reference.


def _trunc32_scalar(value):
    if not (-2147483648.0 <= value < 2147483648.0):
        return INT32_MIN
    return int(value)  # int() cuts toward zero


def _resample_one_position_at_a_time(image, spacing, matrix):
    nvol, nz, ny, nx = image.shape
    out = np.zeros(image.shape, np.float32)
    sx, sy, sz = (np.float32(s) for s in spacing[:3])
    m = [np.float32(v) for v in matrix[:12]]
    for vol in range(nvol):

        def v(k, j, i, vol=vol):
            return float(image[vol, k, j, i])

        for z in range(nz):
            for y in range(ny):
                for x in range(nx):
                    X = np.float32(x) * sx
                    Y = np.float32(y) * sy
                    Z = np.float32(z) * sz
                    I = (((m[0] * X + m[1] * Y) + m[2] * Z) + m[3]) / sx
                    J = (((m[4] * X + m[5] * Y) + m[6] * Z) + m[7]) / sy
                    K = (((m[8] * X + m[9] * Y) + m[10] * Z) + m[11]) / sz
                    x0, y0, z0 = _trunc32_scalar(I), _trunc32_scalar(J), _trunc32_scalar(K)
                    x1, y1, z1 = x0 + 1, y0 + 1, z0 + 1
                    if not (0 <= x1 <= nx and 0 <= y1 <= ny and 0 <= z1 <= nz):
                        continue
                    fx = float(I - np.float32(x0))
                    fy = float(J - np.float32(y0))
                    fz = float(K - np.float32(z0))
                    gx, gy, gz = 1.0 - fx, 1.0 - fy, 1.0 - fz
                    ix, iy, iz = x0 >= 0 and x1 < nx, y0 >= 0 and y1 < ny, z0 >= 0 and z1 < nz
                    if ix and iy and iz:
                        total = (
                            v(z0, y0, x0) * gx * gy * gz
                            + v(z0, y0, x1) * fx * gy * gz
                            + v(z0, y1, x0) * gx * fy * gz
                            + v(z0, y1, x1) * fx * fy * gz
                            + v(z1, y0, x0) * gx * gy * fz
                            + v(z1, y0, x1) * fx * gy * fz
                            + v(z1, y1, x0) * gx * fy * fz
                            + v(z1, y1, x1) * fx * fy * fz
                        )
                    elif x1 == 0 and iy and iz:
                        total = (
                            v(z0, y0, 0) * gy * gz
                            + v(z0, y1, 0) * fy * gz
                            + v(z1, y0, 0) * gy * fz
                            + v(z1, y1, 0) * fy * fz
                        )
                    elif ix and y1 == 0 and iz:
                        total = (
                            v(z0, 0, x1) * fx * gz
                            + v(z0, 0, x0) * gx * gz
                            + v(z1, 0, x0) * gx * fz
                            + v(z1, 0, x1) * fx * fz
                        )
                    elif ix and iy and z1 == 0:
                        total = (
                            v(0, y0, x1) * fx * gy
                            + v(0, y0, x0) * gx * gy
                            + v(0, y1, x0) * gx * fy
                            + v(0, y1, x1) * fx * fy
                        )
                    elif x1 == nx and iy and iz:
                        total = (
                            v(z0, y0, x0) * gy * gz
                            + v(z0, y1, x0) * fy * gz
                            + v(z1, y0, x0) * gy * fz
                            + v(z1, y1, x0) * fy * fz
                        )
                    elif ix and y1 == ny and iz:
                        total = (
                            v(z0, y0, x1) * fx * gz
                            + v(z0, y0, x0) * gx * gz
                            + v(z1, y0, x0) * gx * fz
                            + v(z1, y0, x1) * fx * fz
                        )
                    elif ix and iy and z1 == nz:
                        total = (
                            v(z0, y0, x1) * fx * gy
                            + v(z0, y0, x0) * gx * gy
                            + v(z0, y1, x0) * gx * fy
                            + v(z0, y1, x1) * fx * fy
                        )
                    else:
                        continue
                    out[vol, z, y, x] = np.float32(total)
    return out


def _random_case(seed):
    rng = np.random.default_rng(seed)
    counts = rng.choice([1, 2, 3, 4, 5, 6], 3, p=[0.1, 0.1, 0.2, 0.2, 0.2, 0.2])
    shape = (int(rng.integers(1, 3)),) + tuple(int(n) for n in counts[::-1])
    spacing = rng.choice(f32([0.5, 1, 1.25, 2, 3]), 3)
    # source index = slope * index + offset on each axis; half-voxel offsets put
    # many positions exactly on band edges, and mirrors start from the far end
    slope = rng.choice([1.0, 0.5, -1.0], 3) if seed % 2 == 0 else np.ones(3)
    offset = rng.integers(-3, 3, 3) / 2 + np.where(slope < 0, counts - 1, 0)
    if seed % 2:
        image = rng.normal(scale=1e3, size=shape).astype(np.float32)
        linear = np.eye(3) + rng.normal(scale=0.2, size=(3, 3)) * (rng.random((3, 3)) < 0.6)
        linear *= spacing[:, None] / spacing[None, :]  # mix axes in index units
    else:
        # huge values of both signs with weights of 0.5 cancel exactly, which makes
        # the order of summation visible in the result
        image = rng.choice(f32([1e30, -1e30, 1, -3, 0.1, 7]), shape)
        linear = np.diag(slope)
    specials = f32([np.inf, -np.inf, -0.0, 0.0, 3e38, -3e38, 1e-45])
    spots = rng.random(shape) < 0.1
    image[spots] = rng.choice(specials, int(spots.sum()))
    matrix = f32(np.column_stack([linear, offset * spacing]).ravel())
    return image, spacing, matrix


@pytest.mark.parametrize("seed", range(60))
def test_matches_an_element_by_element_transcription(seed):
    image, spacing, matrix = _random_case(seed)
    with np.errstate(all="ignore"):
        expected = _resample_one_position_at_a_time(image, spacing, matrix)
    result = resample_reference(image, spacing, matrix)
    # which NaN payload survives a scalar double operation is the C compiler's choice
    both_nan = np.isnan(result) & np.isnan(expected)
    assert_same_bits(np.where(both_nan, np.nan, result), np.where(both_nan, np.nan, expected))


@pytest.mark.parametrize(
    "translation",
    [(0.5, 0.5, 0.5), (-1.5, 0.5, 0.5), (0.5, -1.5, 0.5), (0.5, 0.5, -1.5)],
    ids=["interior-and-high-faces", "low-x-face", "low-y-face", "low-z-face"],
)
def test_summation_order_of_every_case(translation):
    # half-voxel weights are all equal, so +-1e30 cancel exactly in some orders of
    # summation and swallow the small values in others
    rng = np.random.default_rng(41)
    for _ in range(5):
        image = rng.choice(f32([1e30, -1e30, 1, -3, 0.1, 7]), (2, 5, 5, 5))
        expected = _resample_one_position_at_a_time(image, f32([1, 1, 1]), identity(*translation))
        assert_same_bits(resample_reference(image, f32([1, 1, 1]), identity(*translation)), expected)


def _integer_source_model(image, source_z, source_y, source_x):
    """What the kernel gives when every source index is an integer, for finite non-zero voxels.

    An axis at -1 (low band) reads index 0, at n - 1 on an axis of n reads n - 1; inside
    (0 .. n - 2) it reads that index with weight 1.  Two bands or any axis further out: 0.
    """
    nz, ny, nx = image.shape[-3:]
    sources = [np.broadcast_to(s, (nz, ny, nx)) for s in (source_z, source_y, source_x)]
    counts = (nz, ny, nx)
    inside = [(s >= 0) & (s <= n - 2) for s, n in zip(sources, counts)]
    band = [(s == -1) | (s == n - 1) for s, n in zip(sources, counts)]
    written = np.all([i | b for i, b in zip(inside, band)], axis=0)
    written &= sum(b.astype(int) for b in band) <= 1
    clipped = [np.clip(s, 0, n - 1) for s, n in zip(sources, counts)]
    gathered = image[..., clipped[0], clipped[1], clipped[2]]
    return np.where(written, gathered, np.float32(0)), written


@pytest.mark.parametrize("shift", [(0, 0, 0), (1, 0, 0), (0, -2, 1), (-1, 1, -1), (2, 2, 0), (-3, 0, 0), (0, 0, 7)])
@pytest.mark.parametrize("spacing", [(1, 1, 1), (0.5, 2, 4)])
def test_an_integer_translation_is_a_shifted_copy(shift, spacing):
    image = np.random.default_rng(11).uniform(1, 2, (2, 5, 6, 7)).astype(np.float32)
    (tx, ty, tz), (sx, sy, sz) = shift, spacing
    matrix = identity(tx * sx, ty * sy, tz * sz)  # power-of-two spacings keep I, J, K integral
    result = resample_reference(image, f32(spacing), matrix)
    z, y, x = np.indices(image.shape[1:])
    expected, written = _integer_source_model(image, z + tz, y + ty, x + tx)
    assert_same_bits(result, expected)


@pytest.mark.parametrize(
    "matrix, sources",
    [
        # input x from output y and input y from output x: a transpose of each slice
        ([0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0], lambda z, y, x, n: (z, x, y)),
        # mirror along x
        ([-1, 0, 0, 6, 0, 1, 0, 0, 0, 0, 1, 0], lambda z, y, x, n: (z, y, n[2] - 1 - x)),
        # mirror along z with a one-slice shift, y from z
        ([1, 0, 0, 0, 0, 0, 1, 0, 0, 0, -1, 3], lambda z, y, x, n: (3 - z, z, x)),
    ],
    ids=["swap-xy", "mirror-x", "mirror-z"],
)
def test_permutations_and_mirrors_move_voxels_unchanged(matrix, sources):
    image = np.random.default_rng(12).uniform(1, 2, (2, 4, 6, 7)).astype(np.float32)
    result = resample_reference(image, f32([1, 1, 1]), f32(matrix))
    z, y, x = np.indices(image.shape[1:])
    expected, written = _integer_source_model(image, *sources(z, y, x, image.shape[1:]))
    assert written.sum() > 10
    assert_same_bits(result, expected)


@pytest.mark.parametrize("unit_axis", [0, 1, 2])
def test_an_axis_of_one_voxel_is_a_high_band(unit_axis):
    shape = [3, 4, 5]
    shape[unit_axis] = 1
    image = np.random.default_rng(13).uniform(1, 2, (2, *shape)).astype(np.float32)
    result = resample_reference(image, f32([1, 1, 1]), identity())
    z, y, x = np.indices(shape)
    expected, written = _integer_source_model(image, z, y, x)
    assert written.any()
    assert_same_bits(result, expected)


@pytest.mark.parametrize("shape", [(1, 1, 5), (1, 4, 1), (3, 1, 1), (1, 1, 1)])
def test_two_axes_of_one_voxel_leave_everything_zero(shape):
    image = np.ones((2, *shape), np.float32)
    for translation in [(0, 0, 0), (-1, -1, -1), (-0.5, 0.5, -0.25)]:
        result = resample_reference(image, f32([1, 1, 1]), identity(*translation))
        assert_same_bits(result, np.zeros_like(image))


def _axis_state(index, count, margin):
    """'inside', 'low', 'high', 'outside' from a float64 source index (count >= 2), None near an edge."""
    edges = np.array([-2.0, -1.0, count - 1.0, count])
    near = (np.abs(index[..., None] - edges) < margin).any(axis=-1)
    state = np.full(index.shape, "outside", dtype=object)
    state[(index > -1) & (index < count - 1)] = "inside"
    state[(index > -2) & (index <= -1)] = "low"
    state[(index >= count - 1) & (index < count)] = "high"
    state[near] = None
    return state


@pytest.mark.parametrize("seed", range(6))
def test_a_linear_field_is_reproduced(seed):
    # trilinear blends reproduce a linear field, extrapolation included; the face
    # cases reproduce it with the band's coordinate pinned to the face
    rng = np.random.default_rng(100 + seed)
    nz, ny, nx = 6, 7, 8
    slope = rng.uniform(-3, 3, 3)

    def field(k, j, i):
        return slope[0] * i + slope[1] * j + slope[2] * k + 5.0

    image = field(*np.indices((nz, ny, nx)).astype(np.float64)).astype(np.float32)
    spacing = rng.uniform(0.5, 2.0, 3).astype(np.float32)
    linear = np.eye(3) + rng.uniform(-0.25, 0.25, (3, 3))
    shift = rng.uniform(-4, 4, 3) * spacing
    matrix = f32(np.column_stack([linear, shift]).ravel())

    result = resample_reference(image, spacing, matrix)

    a = matrix.astype(np.float64).reshape(3, 4)
    s = spacing.astype(np.float64)
    k, j, i = np.indices((nz, ny, nx)).astype(np.float64)
    physical = np.stack([i * s[0], j * s[1], k * s[2]])
    I, J, K = (np.tensordot(a[:, :3], physical, axes=1) + a[:, 3, None, None, None]) / s[:, None, None, None]
    states = [_axis_state(I, nx, 1e-3), _axis_state(J, ny, 1e-3), _axis_state(K, nz, 1e-3)]
    clear = np.all([st != None for st in states], axis=0)  # noqa: E711 (object arrays)
    inside = [st == "inside" for st in states]
    in_band = [(st == "low") | (st == "high") for st in states]
    interior = clear & inside[0] & inside[1] & inside[2]
    one_band = (
        clear & (sum(b.astype(int) for b in in_band) == 1) & np.all([inside[n] | in_band[n] for n in range(3)], axis=0)
    )
    pinned = [
        np.where(st == "low", 0.0, np.where(st == "high", n - 1.0, idx))
        for st, n, idx in zip(states, (nx, ny, nz), (I, J, K))
    ]
    unwritten = clear & ~interior & ~one_band

    assert interior.sum() > 20 and one_band.sum() > 0 and unwritten.sum() > 0
    np.testing.assert_allclose(result[interior], field(K, J, I)[interior], rtol=1e-5, atol=1e-3)
    np.testing.assert_allclose(result[one_band], field(pinned[2], pinned[1], pinned[0])[one_band], rtol=1e-5, atol=1e-3)
    assert_same_bits(result[unwritten], np.zeros(int(unwritten.sum()), np.float32))


def test_reference_rejects_a_wider_image_instead_of_rounding_it():
    with pytest.raises(TypeError):
        resample_reference(np.zeros((2, 2, 2)), f32([1, 1, 1]), identity())


# ---------------------------------------------------------------- importers

PAYLOAD_BITS = [
    0x7FC00001,
    0xFFA00005,
    0x7F800001,
    0xFFFFFFFF,
    0x80000000,
    0x7F800000,
    0xFF800000,
    0x3F800000,
    0x00000001,
]


@pytest.mark.parametrize("axes", [1, 3, 4])
def test_float32_imports_bit_for_bit(axes):
    values = from_bits(PAYLOAD_BITS * 2)
    array = values.reshape({1: (18,), 3: (2, 3, 3), 4: (2, 3, 1, 3)}[axes])
    assert_same_bits(import_reference(array, axes), array)


@pytest.mark.parametrize(
    "value, expected",
    [(1e40, np.inf), (-1e40, -np.inf), (0.1, struct.unpack("<f", struct.pack("<f", 0.1))[0])],
)
def test_float64_rounds_to_the_nearest_float32(value, expected):
    result = import_reference(np.array([value, value]), 1)
    assert_same_bits(result, f32([expected, expected]))


def test_float64_nan_stays_nan():
    assert np.isnan(import_reference(np.array([np.nan, -np.nan]), 1)).all()


@pytest.mark.parametrize("kind", ["i", "l", "q"])
def test_16777217_imports_as_16777216(kind):
    assert_same_bits(import_reference(np.array([16777217], dtype=kind), 1), f32([16777216.0]))


@pytest.mark.parametrize("kind, value", [("B", 255), ("h", -32768), ("h", 32767), ("B", 0)])
def test_narrow_integers_import_exactly(kind, value):
    result = import_reference(np.full((2, 2, 2), value, dtype=kind), 3)
    assert_same_bits(result, np.full((2, 2, 2), float(value), np.float32))


def _awkward_int64_values():
    values = [0, 1, -1, 16777217, -16777217, 2**31 - 1, -(2**31), 2**63 - 1, -(2**63)]
    for k in range(25, 63):
        ulp = 2 ** (k - 23)
        for offset in (ulp // 2, ulp // 2 + 1, ulp // 2 - 1, 3 * ulp // 2, ulp // 2 + 2 ** max(k - 53, 0) // 2 + 1):
            values += [2**k + offset, -(2**k + offset)]
    rng = np.random.default_rng(21)
    values += [int(v) for v in rng.integers(-(2**63), 2**63 - 1, 200, dtype=np.int64)]
    return [v for v in values if -(2**63) <= v < 2**63]


def test_long_rounds_once_to_float32():
    values = _awkward_int64_values()
    expected = f32([nearest_float32_of_int(v) for v in values])
    assert_same_bits(import_reference(np.array(values, dtype="l"), 1), expected)


def test_int32_rounds_once_to_float32():
    values = [v for v in _awkward_int64_values() if -(2**31) <= v < 2**31]
    values += [int(v) for v in np.random.default_rng(22).integers(-(2**31), 2**31 - 1, 300, dtype=np.int32)]
    expected = f32([nearest_float32_of_int(v) for v in values])
    assert_same_bits(import_reference(np.array(values, dtype="i"), 1), expected)


def test_longlong_rounds_through_a_double():
    values = _awkward_int64_values()
    # Python's int-to-float conversion rounds correctly to the nearest double
    expected = f32([np.float32(float(v)) for v in values])
    result = import_reference(np.array(values, dtype="q"), 1)
    assert_same_bits(result, expected)
    # the value set must contain numbers where rounding twice differs from rounding once
    assert not np.array_equal(result, import_reference(np.array(values, dtype="l"), 1))


@pytest.mark.parametrize("axes, kinds", [(1, "Bhilqfd"), (3, "Bhilfd"), (4, "Bhilfd")])
def test_accepted_types(axes, kinds):
    assert accepted_types(axes) == set(kinds)
    shape = {1: (3,), 3: (1, 2, 3), 4: (1, 1, 2, 3)}[axes]
    for kind in kinds:
        assert import_reference(np.ones(shape, dtype=kind), axes).dtype == np.float32


@pytest.mark.parametrize(
    "axes, kind, message",
    [
        (1, "?", "Failed to convert to FLOAT"),
        (1, "b", "Failed to convert to FLOAT"),
        (1, "H", "Failed to convert to FLOAT"),
        (1, "e", "Failed to convert to FLOAT"),
        (1, "L", "Failed to convert to FLOAT"),
        (3, "q", "Failed to convert to FLOAT 3D"),
        (4, "q", "Failed to convert to FLOAT 4D"),
        (3, "H", "Failed to convert to FLOAT 3D"),
        (3, "b", "Failed to convert to FLOAT 3D"),
        (4, "H", "Failed to convert to FLOAT 4D"),
        (4, "b", "Failed to convert to FLOAT 4D"),
        (3, "I", "Failed to convert to FLOAT 3D"),
        (4, "Q", "Failed to convert to FLOAT 4D"),
        (3, "D", "Failed to convert to FLOAT 3D"),
        (4, "g", "Failed to convert to FLOAT 4D"),
        (3, "O", "Failed to convert to FLOAT 3D"),
    ],
)
def test_rejected_types(axes, kind, message):
    shape = {1: (3,), 3: (1, 2, 3), 4: (1, 1, 2, 3)}[axes]
    with pytest.raises(ValueError) as caught:
        import_reference(np.zeros(shape, dtype=kind), axes)
    assert str(caught.value) == message


@pytest.mark.parametrize("kind", ["H", "?", "q", "f"])
@pytest.mark.parametrize("axes, shape", [(3, (2, 0, 5)), (4, (2, 0, 5, 1)), (1, (0, 3))])
def test_empty_arrays_import_as_empty_whatever_the_type(kind, axes, shape):
    result = import_reference(np.zeros(shape, dtype=kind), axes)
    assert result.size == 0 and result.dtype == np.float32


def _element_by_element(array):
    out = np.empty(array.shape, np.float32)
    for index in np.ndindex(array.shape):
        out[index] = array[index]
    return out


def _layouts():
    base = np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6) * np.float32(1.25) - 7
    packed = np.zeros(base.shape, dtype=np.dtype([("pad", "u1"), ("value", "<f4")], align=False))
    packed["value"] = base
    return {
        "reversed-x": base[:, :, ::-1],
        "transposed": base.T,
        "every-second-slice": base[::2],
        "strided-all": base[::-2, 1::2, ::3],
        "misaligned": packed["value"],
    }


@pytest.mark.parametrize("layout", sorted(_layouts()))
def test_any_layout_imports_in_logical_c_order(layout):
    array = _layouts()[layout]
    assert_same_bits(import_reference(array, 3), _element_by_element(array))


def test_reversed_rows_import_reversed():
    base = np.arange(24, dtype=np.int32).reshape(2, 3, 4)
    assert_same_bits(import_reference(base[:, :, ::-1], 3), import_reference(base, 3)[:, :, ::-1])


def test_every_second_element_along_axis_0():
    base = np.arange(10, dtype=np.float64)
    assert_same_bits(import_reference(base[::2], 1), f32([0, 2, 4, 6, 8]))


@pytest.mark.parametrize("kind", ["f", "d", "i"])
def test_one_axis_takes_the_first_column(kind):
    matrix = np.arange(12, dtype=kind).reshape(3, 4)
    assert_same_bits(import_reference(matrix, 1), f32([0, 4, 8]))
    shaped = np.arange(3, dtype=kind).reshape(3, 1)
    assert_same_bits(import_reference(shaped, 1), f32([0, 1, 2]))


@pytest.mark.parametrize("kind", ["f4", "f8", "i4", "i8", "i2"])
def test_swapped_byte_order_is_read_by_value(kind):
    values = np.array([1.0, -2.0, 300.0, 16777217.0, 0.0]).astype(kind)
    swapped = values.astype(np.dtype(kind).newbyteorder(">" if np.little_endian else "<"))
    assert swapped.dtype.byteorder != "="
    assert_same_bits(import_reference(swapped, 1), import_reference(values, 1))


def test_swapped_float32_keeps_nan_payloads():
    values = from_bits(PAYLOAD_BITS)
    swapped = values.view(np.uint32).byteswap().view(values.dtype.newbyteorder())
    assert_same_bits(import_reference(swapped, 1), values)


# ---------------------------------------------------------------- writers

NAN = float("nan")


@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("i", 2.9, 2),
        ("i", -2.9, -2),
        ("i", NAN, -2147483648),
        ("i", 3e9, -2147483648),
        ("i", -3e9, -2147483648),
        ("h", 40000.7, -25536),
        ("h", 65535.9, -1),
        ("h", NAN, 0),
        ("B", -1.5, 255),
        ("B", 300.9, 44),
        ("B", 256.0, 0),
        ("B", -0.7, 0),
        ("B", NAN, 0),
        ("l", 2.9, 2),
        ("l", -2.9, -2),
        ("l", NAN, -2147483648),
        ("l", 3e9, -2147483648),
    ],
)
def test_writer_values(kind, value, expected):
    result = write_reference(f32([value]), kind)
    assert_same_bits(result, np.array([expected], dtype=kind))


def _write_model(value, kind):
    t = _trunc32_scalar(float(value))
    return {"i": t, "l": t, "h": (t + 32768) % 65536 - 32768, "B": t % 256}[kind]


@pytest.mark.parametrize("kind", ["B", "h", "i", "l"])
def test_integer_writers_match_a_scalar_model(kind):
    rng = np.random.default_rng(31)
    values = np.concatenate(
        [
            (rng.standard_normal(300) * 10.0 ** rng.integers(0, 12, 300)).astype(np.float32),
            f32(
                [
                    np.inf,
                    -np.inf,
                    np.nan,
                    -0.0,
                    2147483520.0,
                    2147483648.0,
                    -2147483648.0,
                    -2147483904.0,
                    0.9999999,
                    -0.9999999,
                    65535.0,
                    65536.0,
                    32768.0,
                    -32769.0,
                ]
            ),
        ]
    )
    expected = np.array([_write_model(v, kind) for v in values], dtype=kind)
    assert_same_bits(write_reference(values, kind), expected)
    assert_same_bits(trunc_int32(values), np.array([_write_model(v, "i") for v in values], np.int32))


def test_float32_target_receives_the_bits():
    values = from_bits(PAYLOAD_BITS).reshape(3, 3)
    assert_same_bits(write_reference(values, "f"), values)


def test_float64_target_receives_each_float_widened_exactly():
    bits = [0x7FC00000, 0x80000000, 0x7F800000, 0xFF800000, 0x3DCCCCCD, 0x00000001, 0x7F7FFFFF]
    values = from_bits(bits)
    expected = np.array([struct.unpack("<f", struct.pack("<I", b))[0] for b in bits])
    assert_same_bits(write_reference(values, "d"), expected)


@pytest.mark.parametrize("kind", ["q", "b", "H", "I", "L", "Q", "e", "?", "g", "D", "O"])
def test_unsupported_writer_targets(kind):
    assert write_reference(f32([1.5, 2.5]), kind) is None


# ---------------------------------------------------------------- bit comparison


@pytest.mark.parametrize(
    "actual, expected",
    [
        (f32([0.0]), f32([-0.0])),
        (from_bits([0x7FC00001]), from_bits([0x7FC00002])),
        (f32([1, 2, 3]), f32([1, 2])),
        (f32([1, 2]), np.array([1, 2], np.float64)),
        (np.array([1, 2], np.int16), np.array([1, 3], np.int16)),
        (f32([[1, 2], [3, 4]]), f32([[1, 2], [3, np.nextafter(np.float32(4), np.float32(5))]])),
    ],
    ids=["signed-zero", "nan-payload", "shape", "dtype", "int16", "one-ulp"],
)
def test_assert_same_bits_catches_differences(actual, expected):
    with pytest.raises(AssertionError):
        assert_same_bits(actual, expected)


def test_assert_same_bits_accepts_identical_bits_and_names_the_position():
    values = from_bits(PAYLOAD_BITS).reshape(3, 3)
    assert_same_bits(values, values.copy())
    assert_same_bits(values.T, np.ascontiguousarray(values.T))
    changed = values.copy()
    changed[2, 1] = 5.0
    with pytest.raises(AssertionError, match=r"\(2, 1\)"):
        assert_same_bits(changed, values)
