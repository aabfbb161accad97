"""Linear's whole vectors of interior lanes on every kernel variant: the scalar kernel's and the reference
model's bits where spacings are powers of two (divided by their reciprocals), where 16-bit sources are read
a pair at a time, from windows and strided stacks, and where the prefetches reach past the source's ends."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.reference import import_any_reference, resample_general_reference, resample_reference
from support.values import values, with_specials

import _voxwarpkit_testing as testing
from voxwarpkit._backends import request as _request
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES

VARIANTS = [name for name, usable in testing.kernel_variants() if usable]

# Powers of two from the smallest normal float to the largest, beside spacings that are not.
POWERS = [1.0, 2.0, 0.5, 0.125, 2.0**-126, 2.0**-100, 2.0**100, 2.0**127]


def small_turn(extent_xyz, voxel_size, degrees, shift):
    """Output physical -> input physical: a turn about z then x through the centre, and a shift in voxels."""
    a, b = np.deg2rad(degrees)
    about_x = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    about_z = np.array([[np.cos(b), -np.sin(b), 0], [np.sin(b), np.cos(b), 0], [0, 0, 1]])
    turn = about_z @ about_x
    centre = (np.array(extent_xyz, float) - 1) / 2 * voxel_size
    offset = centre - turn @ centre + np.array(shift) * voxel_size
    return np.hstack([turn, offset[:, None]]).astype(np.float32).ravel()


@pytest.mark.parametrize("axis", range(3))
@pytest.mark.parametrize("power", POWERS)
@pytest.mark.parametrize("scale", ["turn", "tiny x", "huge y"])
def test_power_of_two_spacings_give_the_quotients_bits(axis, power, scale):
    """The vector kernels multiply by the exact reciprocal of a power-of-two spacing: every variant
    must give the scalar kernel's true divisions, also where the positions are subnormal (a tiny
    column of the matrix), overflow (the largest powers) or leave the source (a huge one)."""
    rng = np.random.default_rng([axis, int(np.log2(power)) + 200, len(scale)])
    image = with_specials(rng, (rng.standard_normal((2, 7, 11, 53)) * 100).astype(np.float32))
    voxel_size = np.float32([1.2, 0.75, 2.5])
    voxel_size[axis] = power
    matrix = small_turn((53, 11, 7), voxel_size.astype(float), (4.0, 3.0), (0.3, -0.2, 0.1))
    if scale == "tiny x":
        matrix[[0, 4, 8]] *= np.float32(1e-38)
    elif scale == "huge y":
        matrix[[1, 5, 9]] *= np.float32(3e30)
    want = testing.resample(image, voxel_size, matrix, "scalar")
    assert_same_bits(want, resample_reference(image, voxel_size, matrix))
    for variant in VARIANTS:
        assert_same_bits(testing.resample(image, voxel_size, matrix, variant), want)


def engine_call(variant, stack, origin, grid, matrix, shape, edges):
    """The package engine on one thread over the window `stack` at `origin` of a source of extent
    `grid` (z, y, x), spacing 1, a float32 result."""
    request = _request.checked_request(
        stack.shape,
        stack.dtype,
        (1, 1, 1),
        matrix,
        threads=1,
        shape=shape,
        output_voxel_size=None,
        edges=edges,
        fill=0.0,
    )
    arguments = (stack, origin, grid, (1.0, 1.0, 1.0), request.matrices, shape, (0, 0, 0), (1.0, 1.0, 1.0))
    codes = (METHOD_CODES[request.interpolation], EDGE_RULE_CODES[request.edges], request.fill, None, None)
    return testing.engine_resample(variant, 1, *arguments, *codes)


@pytest.mark.parametrize("edges", ["clamp", "transform"])
@pytest.mark.parametrize("code", ["H", "h", "B", "f"])
@pytest.mark.parametrize("width", [16, 31, 33, 130])
def test_interior_vectors_of_every_source_read_from_a_window(code, edges, width):
    """Whole vectors of interior lanes read their pairs where they lie: 16-bit pairs as one word each,
    at every offset (odd ones too) of a window of a larger source, with the extremes of the type,
    for rows that end mid-vector and tiles of several vectors."""
    rng = np.random.default_rng([ord(code), len(edges), width])
    grid = (12, 16, width + 8)
    whole = values(rng, code, (2,) + grid)
    if code in "Hh":
        info = np.iinfo(np.dtype(code))
        whole.reshape(-1)[rng.random(whole.size) < 0.1] = rng.choice([info.min, info.max, 0, 1, -1 % (info.max + 1)])
    origin = (1, 2, 3)
    window = np.ascontiguousarray(whole[:, 1:, 2:, 3:])
    shape = (7, 9, width)
    matrix = small_turn((width, 9, 7), 1.0, (3.0, 1.0), (4.0, 4.0, 2.5))
    want = resample_general_reference(
        import_any_reference(window),
        (1.0, 1.0, 1.0),
        matrix,
        shape=shape,
        edges=edges,
        source_origin=origin,
        source_grid=grid,
    )
    for variant in VARIANTS:
        assert_same_bits(engine_call(variant, window, origin, grid, matrix, shape, edges), want)


@pytest.mark.parametrize("code", ["H", "h", "f"])
@pytest.mark.parametrize("layout", ["reversed rows", "every other column", "misaligned"])
def test_interior_vectors_of_strided_sources(code, layout):
    """A stack whose rows run backwards, skip every other element, or start at an odd byte: each
    pair is the element at the lane's offset and the next one along x, wherever it lies."""
    rng = np.random.default_rng([ord(code), len(layout)])
    dense = values(rng, code, (2, 6, 8, 70))
    if layout == "reversed rows":
        stack = dense[..., ::-1]
    elif layout == "every other column":
        stack = np.repeat(dense, 2, axis=-1)[..., ::2]
    else:
        packed = np.zeros(dense.size * dense.itemsize + 1, np.uint8)
        stack = packed[1:].view(dense.dtype).reshape(dense.shape)
        stack[...] = dense
    matrix = small_turn((70, 8, 6), 1.0, (3.0, 2.0), (0.4, 0.3, 0.2))
    floats = import_any_reference(np.ascontiguousarray(stack))
    want = resample_general_reference(floats, (1.0, 1.0, 1.0), matrix, edges="clamp")
    for variant in VARIANTS:
        assert_same_bits(
            engine_call(variant, stack, (0, 0, 0), stack.shape[1:], matrix, stack.shape[1:], "clamp"), want
        )


@pytest.mark.parametrize("slope", [1e3, -1e3, 3e8, -3e8, 1e30])
def test_prefetches_past_the_source_change_nothing(slope):
    """Each slice of the target moves the positions by `slope` source slices (and some rows): the
    blends prefetch that far on, far outside the source, which must neither fault nor change a bit.
    The positions still sampled are on the first slices."""
    rng = np.random.default_rng(int(abs(np.log10(abs(slope)))))
    image = (rng.standard_normal((1, 5, 9, 40)) * 100).astype(np.float32)
    ones = np.ones(3, np.float32)
    matrix = np.float32([1, 0.01, 0, 0.25, 0, 1, slope / 7, 0.5, 0, 0, slope, 0.25])
    want = testing.resample(image, ones, matrix, "scalar")
    assert_same_bits(want, resample_reference(image, ones, matrix))
    for variant in VARIANTS:
        assert_same_bits(testing.resample(image, ones, matrix, variant), want)


@pytest.mark.parametrize("width", [255, 256, 257, 300, 520])
@pytest.mark.parametrize("degrees", [0.0, 9.0, 45.0])
def test_rows_longer_than_a_tile(width, degrees):
    """The vector kernels walk the target in tiles of columns: rows that end on a tile's last column,
    just past it, or in the middle of a vector of the next tile, turned about z so that the tiles'
    sides share source lines."""
    rng = np.random.default_rng([width, int(degrees)])
    image = (rng.standard_normal((2, 3, 5, width)) * 100).astype(np.float32)
    voxel_size = np.float32([1.0, 1.5, 2.0])
    matrix = small_turn((width, 5, 3), voxel_size.astype(float), (0.0, degrees), (0.25, 0.1, 0.4))
    want = testing.resample(image, voxel_size, matrix, "scalar")
    assert_same_bits(want, resample_reference(image, voxel_size, matrix))
    for variant in VARIANTS:
        assert_same_bits(testing.resample(image, voxel_size, matrix, variant), want)
