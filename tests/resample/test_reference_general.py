"""Properties of the generalised numpy model: blocks cut from windows, output
spacing, one matrix per volume, fill, nearest-neighbour copies and reading any
real element type."""

import struct

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import identity
from support.reference import (
    import_any_reference,
    import_reference,
    resample_reference,
)
from support.reference import (
    resample_general_reference as general,
)
from support.values import nearest_float32_of_int


def _random_case(seed, nvol=2):
    """A float32 stack with NaNs, infinities and -0.0, a spacing and a near-identity affine matrix."""
    rng = np.random.default_rng(seed)
    shape = (nvol,) + tuple(int(n) for n in rng.integers(3, 9, 3))
    image = rng.normal(scale=100, size=shape).astype(np.float32)
    spots = rng.random(shape) < 0.05
    image[spots] = rng.choice(np.float32([np.nan, np.inf, -np.inf, -0.0]), int(spots.sum()))
    spacing = rng.choice(np.float32([0.5, 1, 1.25, 2]), 3)
    linear = (np.eye(3) + rng.uniform(-0.2, 0.2, (3, 3))) * spacing[:, None] / spacing[None, :]
    matrix = np.column_stack([linear, rng.uniform(-2, 2, 3) * spacing]).ravel().astype(np.float32)
    return image, spacing, matrix


def _random_bits(dtype, shape, rng):
    """Any bit pattern of `dtype` (NaN payloads and -0.0 included), 0 or 1 for bool."""
    if dtype.kind == "b":
        return rng.random(shape) < 0.5
    return rng.integers(0, 256, shape + (dtype.itemsize,), dtype=np.uint8).view(dtype)[..., 0]


def _block(start, counts):
    return (Ellipsis,) + tuple(slice(s, s + n) for s, n in zip(start, counts))


@pytest.mark.parametrize("seed", range(6))
def test_each_volume_uses_its_own_matrix_and_spelled_out_defaults_change_nothing(seed):
    image, spacing, first = _random_case(seed)
    matrices = np.stack([first, _random_case(seed + 50)[2]])
    grid = image.shape[1:]
    result = general(image, spacing, matrices, shape=grid, output_voxel_size=spacing, source_grid=grid)
    for volume in range(2):
        assert_same_bits(result[volume], resample_reference(image[volume], spacing, matrices[volume]))


@pytest.mark.parametrize("order", [0, 1])
@pytest.mark.parametrize("seed", range(8))
def test_a_block_from_a_window_is_that_block_of_the_whole_result(seed, order):
    image, spacing, matrix = _random_case(seed)
    matrices = np.stack([matrix, _random_case(seed + 50)[2]]) if seed % 2 else matrix
    grid = np.array(image.shape[1:])
    rng = np.random.default_rng(seed)
    start = rng.integers(0, grid)
    counts = rng.integers(1, grid - start + 1)
    # source indices the block reaches: an affine map's extremes lie at the block's corners;
    # two voxels more on each side cover float32 rounding, the neighbour and the bands
    corners = np.stack(np.meshgrid(*zip(start, start + counts - 1), indexing="ij"), -1).reshape(-1, 3)
    physical = np.column_stack([corners[:, ::-1] * spacing, np.ones(8)])
    reached = np.concatenate([physical @ m.reshape(3, 4).T for m in np.reshape(matrices, (-1, 12))]) / spacing
    low = np.clip(np.floor(reached.min(0)[::-1]) - 2, 0, grid).astype(int)
    high = np.clip(np.ceil(reached.max(0)[::-1]) + 3, low, grid).astype(int)
    window = image[_block(low, high - low)]
    assert window.size < image.size

    result = general(
        window, spacing, matrices, order=order, shape=counts, out_origin=start, source_origin=low, source_grid=grid
    )
    assert_same_bits(result, general(image, spacing, matrices, order=order)[_block(start, counts)])


@pytest.mark.parametrize("order", [0, 1])
@pytest.mark.parametrize("cut", [None] + [(side, axis) for side in (0, 1) for axis in range(3)])
def test_the_window_a_block_needs(order, cut):
    # with the identity output (z, y, x) reads element (z, y, x); linear also reads the
    # next one along each axis, even at weight 0 (an infinity there makes NaN)
    image = np.random.default_rng(3).normal(size=(4, 5, 6)).astype(np.float32)
    start, counts = np.array([1, 1, 2]), np.array([2, 1, 2])
    ends = [start.copy(), start + counts + order]  # the smallest window: [low, high)
    if cut:
        ends[cut[0]][cut[1]] += 1 - 2 * cut[0]  # one element fewer at either end
    arguments = dict(order=order, shape=counts, out_origin=start, source_origin=ends[0], source_grid=image.shape)
    window = image[_block(ends[0], ends[1] - ends[0])]
    if cut:
        with pytest.raises(ValueError, match="source grid"):
            general(window, [1, 1, 1], identity(), **arguments)
    else:
        whole = general(image, [1, 1, 1], identity(), order=order)
        assert_same_bits(general(window, [1, 1, 1], identity(), **arguments), whole[_block(start, counts)])


@pytest.mark.parametrize("order", [0, 1])
@pytest.mark.parametrize("seed", range(4))
def test_doubling_the_output_spacing_takes_every_second_voxel(seed, order):
    # power-of-two factors commute with rounding, so the source indices are the same bits
    image, spacing, matrix = _random_case(seed)
    coarse = general(
        image,
        spacing,
        matrix,
        order=order,
        output_voxel_size=spacing * 2,
        shape=[(n + 1) // 2 for n in image.shape[1:]],
    )
    assert_same_bits(coarse, general(image, spacing, matrix, order=order)[:, ::2, ::2, ::2])


def test_fill_goes_exactly_where_no_case_writes():
    image, spacing, matrix = _random_case(5)
    image = np.random.default_rng(5).uniform(1, 1.01, image.shape).astype(np.float32)  # no blend is 0
    plain = resample_reference(image, spacing, matrix)
    assert (plain == 0).any() and (plain != 0).any()
    assert_same_bits(general(image, spacing, matrix, fill=-7.5), np.where(plain == 0, np.float32(-7.5), plain))


ALL_KINDS = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d"]


@pytest.mark.parametrize("kind", ALL_KINDS + [">i4", ">u8", ">e", ">f8"])
@pytest.mark.parametrize("tx", [0, 2, -3, 0.5, -0.5, -0.75, 1.49, -1.5, 5.5, 3e9, np.nan, -np.inf])
def test_nearest_translation_is_a_shifted_copy(kind, tx):
    dtype = np.dtype(kind)
    image = _random_bits(dtype, (2, 3, 4, 6), np.random.default_rng(9))
    spacing = np.float32([0.5, 2, 1])  # powers of two keep the source index x + tx exact
    shift = (1, -1, int(np.floor(tx + 0.5)) if np.isfinite(tx) else 99)  # ties go up: -0.5 reads x
    result = general(image, spacing, identity(tx * 0.5, -2, 1), order=0, fill=1)

    expected = np.full(image.shape, 1, dtype.newbyteorder("="))
    to = [slice(max(0, -t), max(0, min(n, n - t))) for t, n in zip(shift, image.shape[1:])]
    source = [slice(max(0, t), max(0, min(n, n + t))) for t, n in zip(shift, image.shape[1:])]
    expected[(Ellipsis, *to)] = image[(Ellipsis, *source)]
    assert_same_bits(result, expected)


# 2**24 + 1 -> 2**24, 2**24 + 3 -> 2**24 + 4 and 2**63 + 2**39 -> 2**63 (ties to even), 2**64 - 1 -> 2**64;
# 2**62 + 2**38 + 1 rounded twice, through a double, would give 2**62
AWKWARD_INTEGERS = [-1, 2**24 + 1, 2**24 + 3, 2**31 - 1, 2**62 + 2**38 + 1, 2**63 + 2**39, 2**64 - 1]


@pytest.mark.parametrize("kind", "?bBhHiIlLqQ")
def test_integers_import_rounded_once_to_the_nearest_float32(kind):
    low, high = (0, 1) if kind == "?" else (int(np.iinfo(kind).min), int(np.iinfo(kind).max))
    values = np.concatenate(
        [
            np.array([v for v in AWKWARD_INTEGERS + [low, high] if low <= v <= high], kind),
            np.random.default_rng(17).integers(low, high, 200, dtype=kind, endpoint=True),
        ]
    )
    expected = np.float32([nearest_float32_of_int(int(v)) for v in values])
    assert_same_bits(import_any_reference(values), expected)


def test_every_float16_widens_exactly_and_keeps_its_nan_payload():
    bits = np.arange(2**16, dtype=np.uint16)
    result = import_any_reference(bits.view(np.float16)).view(np.uint32)
    nan = (bits & 0x7C00 == 0x7C00) & (bits & 0x3FF != 0)
    exact = np.float32([struct.unpack("<e", struct.pack("<H", b))[0] for b in bits[~nan]])
    assert_same_bits(result[~nan].view(np.float32), exact)
    assert_same_bits(
        result[nan],
        (bits[nan].astype(np.uint32) & 0x8000) << 16 | 0x7F800000 | (bits[nan].astype(np.uint32) & 0x3FF) << 13,
    )


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_import_reads_any_layout_and_byte_order_by_value(kind):
    array = _random_bits(np.dtype(kind), (3, 4, 5, 2), np.random.default_rng(19))
    plain = import_any_reference(array)
    assert_same_bits(import_any_reference(array[0, 0, 0, 0, ...]), plain[0, 0, 0, 0, ...])
    swapped = array.byteswap().view(array.dtype.newbyteorder("S"))
    for cut in (lambda a: a, lambda a: a[:, ::-1, 1::2], lambda a: a.T):
        view = cut(swapped)
        assert_same_bits(import_any_reference(view), np.ascontiguousarray(cut(plain)))
        if kind in "Bhilfd":  # the typed importers read these types the same way
            assert_same_bits(import_reference(view, 4), import_any_reference(view))
            assert_same_bits(import_reference(view[..., 0], 3), import_any_reference(view[..., 0]))
