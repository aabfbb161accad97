"""voxwarpkit.resample against the numpy model, scipy and transform; its errors."""

import fractions

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import engine_arguments, random_case
from support.geometry import rotation
from support.reference import import_any_reference, resample_general_reference
from support.values import values

import _voxwarpkit
import _voxwarpkit_testing as testing
import voxwarpkit
from voxwarpkit import _resample

VARIANTS = [name for name, usable in testing.kernel_variants() if usable]


def expected(image, voxel_size, matrix, kwargs):
    source = import_any_reference(image) if kwargs["interpolation"] in ("linear", "lanczos", "cubic") else image
    return resample_general_reference(source, voxel_size, matrix, **kwargs)


@pytest.mark.parametrize("seed", range(60))
def test_random_grids_types_and_matrices_equal_the_model(seed):
    rng = np.random.default_rng(seed)
    image, voxel_size, matrix, kwargs = random_case(rng)
    want = expected(image, voxel_size, matrix, kwargs)
    threads = int(rng.integers(1, 5))
    assert_same_bits(voxwarpkit.resample(image, voxel_size, matrix, threads=threads, **kwargs), want)


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("seed", range(100, 130))
def test_every_variant_gives_the_scalar_bits(variant, seed):
    image, voxel_size, matrix, kwargs = random_case(np.random.default_rng(seed))
    arguments = engine_arguments(image, voxel_size, matrix, kwargs)
    assert_same_bits(testing.resample_block(*arguments, variant), testing.resample_block(*arguments, "scalar"))


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("seed", range(130, 136))
def test_engine_resample_on_threads_gives_resample_blocks_bits(variant, seed):
    rng = np.random.default_rng(seed)
    arguments = engine_arguments(*random_case(rng))
    want = testing.resample_block(*arguments, "scalar")
    threads = int(rng.integers(1, 5))
    assert_same_bits(testing.engine_resample(variant, threads, *arguments), want)
    out = np.zeros_like(want)
    assert testing.engine_resample(variant, threads, *arguments, out) is out
    assert_same_bits(out, want)


@pytest.mark.parametrize("code", "Bhilfd")
@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_transforms_edges_give_transforms_bits(code, threads):
    rng = np.random.default_rng(ord(code))
    image = values(rng, code, (2, 9, 13, 70))[:, ::-1]
    voxel_size = np.float32([1.1, 0.9, 2.0])
    matrix = np.hstack([rotation(rng, 20), rng.uniform(-2, 2, (3, 1))]).astype(np.float32).ravel()
    want = _voxwarpkit.transform(image, voxel_size, matrix)
    edges = {"threads": threads, "edges": "transform"}
    assert_same_bits(voxwarpkit.resample(image, voxel_size, matrix, **edges), want)
    assert_same_bits(voxwarpkit.resample(image[0], voxel_size, matrix, **edges), want[0])


def test_nearest_agrees_with_scipy_away_from_ties_and_linear_inside():
    ndimage = pytest.importorskip("scipy.ndimage")
    rng = np.random.default_rng(3)
    labels = rng.integers(0, 50, (20, 30, 40)).astype(np.uint16)
    spacing, output_spacing, shape = np.array([1.0, 1.2, 2.0]), np.array([0.7, 0.9, 1.5]), (25, 31, 45)
    matrix = np.hstack([rotation(rng, 15), [[1.3], [-0.7], [0.4]]])
    # The same map in scipy's index space (z, y, x): input index = A @ output index + b.
    linear = np.diag(1 / spacing) @ matrix[:, :3] @ np.diag(output_spacing)
    offset = matrix[:, 3] / spacing
    index_matrix, index_offset = linear[::-1, ::-1], offset[::-1]
    nearest = voxwarpkit.resample(
        labels, spacing, matrix, shape=shape, output_voxel_size=output_spacing, order=0, fill=65535
    )
    assert nearest.dtype == np.uint16
    scipy_nearest = ndimage.affine_transform(
        labels, index_matrix, index_offset, output_shape=shape, order=0, mode="constant", cval=65535
    )
    grid = np.indices(shape).reshape(3, -1).T.astype(float)
    source = grid @ index_matrix.T + index_offset
    away = np.all(np.abs(source - np.round(source) - 0.5) > 1e-3, axis=1).reshape(shape)
    away &= np.all((source > 0.5) & (source < np.array(labels.shape) - 1.5), axis=1).reshape(shape)
    assert away.sum() > 1000
    np.testing.assert_array_equal(nearest[away], scipy_nearest[away])

    image = rng.random(labels.shape).astype(np.float32)
    linear_result = voxwarpkit.resample(image, spacing, matrix, shape=shape, output_voxel_size=output_spacing)
    scipy_linear = ndimage.affine_transform(image, index_matrix, index_offset, output_shape=shape, order=1)
    inside = np.all((source > 0) & (source < np.array(labels.shape) - 1), axis=1).reshape(shape)
    np.testing.assert_allclose(linear_result[inside], scipy_linear[inside], atol=2e-5)


IMAGE = np.zeros((2, 4, 5, 6), np.float32)
ONES = np.ones(3)
EYE = np.eye(3, 4)


@pytest.mark.parametrize(
    "arguments, kwargs, error, message",
    [
        (([1, 2, 3], ONES, EYE), {}, TypeError, "image must be a numpy.ndarray"),
        ((IMAGE[0, 0], ONES, EYE), {}, ValueError, "3 dimensions"),
        ((IMAGE.astype(np.complex64), ONES, EYE), {}, ValueError, "element type complex64"),
        ((IMAGE, [1, 1], EYE), {}, ValueError, "voxel_size must hold 3 numbers"),
        ((IMAGE, [1, 0, 1], EYE), {}, ValueError, "voxel_size must be positive"),
        ((IMAGE, [1, np.nan, 1], EYE), {}, ValueError, "voxel_size must be positive and finite"),
        ((IMAGE, [1, 1e-50, 1], EYE), {}, ValueError, "in float32"),
        ((IMAGE, ONES, EYE), {"output_voxel_size": [1, 1, -1]}, ValueError, "output_voxel_size must be positive"),
        ((IMAGE, ONES, np.ones(11)), {}, ValueError, "got shape (11,)"),
        ((IMAGE, ONES, np.stack([EYE] * 3)), {}, ValueError, "3 matrices for an image of 2 volumes"),
        ((IMAGE[0], ONES, np.stack([EYE] * 2)), {}, ValueError, "a 3-D image takes one matrix"),
        ((IMAGE, ONES, np.eye(4) * 2), {}, ValueError, "last row of a 4x4 matrix must be 0 0 0 1"),
        ((IMAGE, ONES, EYE), {"shape": (4, 0, 3)}, ValueError, "shape must be 3 counts"),
        ((IMAGE, ONES, EYE), {"shape": (4, 3)}, ValueError, "shape must be 3 counts"),
        ((IMAGE, ONES, EYE), {"order": 2}, ValueError, "order must be 0 (nearest), 1 (linear) or 3 (cubic)"),
        ((IMAGE, ONES, EYE), {"edges": "bands"}, ValueError, "edges must be one of 'clamp', 'transform'"),
        ((IMAGE, ONES, EYE), {"fill": 1e300}, ValueError, "does not fit the result's type float32"),
        ((IMAGE, ONES, EYE), {"fill": "zero"}, TypeError, "fill must be a number"),
        ((IMAGE.astype(np.uint8), ONES, EYE), {"order": 0, "fill": 256}, ValueError, "(0 to 255)"),
        ((IMAGE.astype(np.int16), ONES, EYE), {"order": 0, "fill": 1.5}, ValueError, "not a whole number"),
        ((IMAGE.astype(bool), ONES, EYE), {"order": 0, "fill": 2}, ValueError, "bool (0 or 1)"),
        ((IMAGE, ONES, EYE), {"threads": 0}, ValueError, "threads must be at least 1"),
        ((IMAGE, ONES, EYE), {"threads": 1.5}, TypeError, "threads must be an integer"),
        ((IMAGE, ONES, EYE), {"chunks": 8}, TypeError, "apply to dask and Zarr arrays only"),
    ],
)
def test_bad_arguments_are_named(arguments, kwargs, error, message):
    before = [np.array(a, copy=True) for a in arguments]
    with pytest.raises(error) as raised:
        voxwarpkit.resample(*arguments, **kwargs)
    assert message in str(raised.value)
    for original, argument in zip(before, arguments):
        np.testing.assert_array_equal(np.asarray(argument), original)


def test_an_empty_source_axis_gives_fill_and_an_image_axis_of_2_31_elements_is_refused():
    assert_same_bits(
        voxwarpkit.resample(np.zeros((3, 0, 4), np.int8), ONES, EYE, order=0, fill=-3, shape=(2, 2, 2)),
        np.full((2, 2, 2), -3, np.int8),
    )
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(1, 1, 2**31), strides=(0, 0, 0))
    with pytest.raises(ValueError, match="image is too large: its last three axes"):
        voxwarpkit.resample(huge, ONES, EYE)


# Values no argument may take; each must end in ValueError or TypeError, never another error.
ODD_VALUES = [
    10**400,
    -(10**400),
    fractions.Fraction(10**400),
    float("nan"),
    float("-inf"),
    -1,
    0,
    2.5,
    True,
    1j,
    "1",
    None,
    object(),
    [],
    [1, 2],
    [[1, 2, 3]],
    [10**400] * 12,
    [2.0**200] * 3,
    np.array([]),
    np.zeros((0, 12)),
    np.array("x"),
    np.ones(12, dtype=object),
    np.float16(7),
    np.int64(2**62),
    np.uint64(2**64 - 1),
]
ARGUMENTS = ["voxel_size", "matrix", "shape", "output_voxel_size", "order", "fill", "threads", "chunks", "edges"]


@pytest.mark.parametrize("seed", range(8))
def test_random_bad_arguments_end_in_value_or_type_errors(seed):
    """On numpy arrays (even seeds) and dask arrays (odd seeds, computed too)."""
    da = pytest.importorskip("dask.array") if seed % 2 else None
    rng = np.random.default_rng(seed)
    for _ in range(60):
        image, voxel_size, matrix, kwargs = random_case(rng)
        if da is not None:
            image = da.from_array(image, chunks=tuple(max(1, n // 2) for n in image.shape))
        arguments = dict(voxel_size=voxel_size, matrix=matrix, **kwargs)
        for name in rng.choice(ARGUMENTS, int(rng.integers(1, 3)), replace=False):
            arguments[name] = ODD_VALUES[int(rng.integers(len(ODD_VALUES)))]
        try:
            result = voxwarpkit.resample(image, **arguments)
            if da is not None:
                result.compute(scheduler="sync")
        except (ValueError, TypeError):
            pass


@pytest.mark.parametrize(
    "fill, result, bits",
    [
        (2**60 + 2**36 + 1, "f", 0x5D800001),  # rounded once, not through a double
        (2**60 + 2**36, "f", 0x5D800000),  # a tie goes to the even neighbour
        (-(2**128) + 2**103 + 1, "f", 0xFF7FFFFF),  # just below the overflow point: the largest float
        (np.frombuffer(bytes.fromhex("0100807f"), "<f4")[0], "f", 0x7F800001),  # a signalling NaN kept
        (np.frombuffer(bytes.fromhex("010000000000f07f"), "<f8")[0], "d", 0x7FF0000000000001),
        (2**53 + 1, "d", 0x4340000000000000),
    ],
)
def test_fills_are_rounded_once_and_keep_their_bits(fill, result, bits):
    image = np.zeros((1, 1, 1), result)
    shifted = np.hstack([np.eye(3), [[9.0], [0.0], [0.0]]])  # nothing is sampled: every voxel is fill
    order = 1 if result == "f" else 0
    out = voxwarpkit.resample(image, ONES, shifted, order=order, fill=fill)
    assert int(out.view(f"u{out.itemsize}")[0, 0, 0]) == bits


@pytest.mark.parametrize("fill", [10**400, 2**128 - 2**103, fractions.Fraction(10**400)])
def test_fills_too_large_for_a_float_are_value_errors(fill):
    with pytest.raises(ValueError, match="does not fit the result's type float32"):
        voxwarpkit.resample(np.zeros((2, 2, 2), np.float32), ONES, EYE, fill=fill)


@pytest.mark.parametrize("seed", range(12))
def test_out_takes_every_element_of_the_result(seed, monkeypatch):
    rng = np.random.default_rng(500 + seed)
    image, voxel_size, matrix, kwargs = random_case(rng)
    want = voxwarpkit.resample(image, voxel_size, matrix, **kwargs)
    if seed % 2:  # through the blocks of a call past one job's limit
        monkeypatch.setattr(_resample, "JOB_LIMIT", max(8, want.size // 3))
    out = np.empty_like(want)
    out.view(np.uint8)[...] = 0xA5  # what the buffer held before: every element must be replaced
    assert voxwarpkit.resample(image, voxel_size, matrix, out=out, **kwargs) is out
    assert_same_bits(out, want)


@pytest.mark.parametrize(
    "make_out, error",
    [
        (lambda image: np.zeros((2, 4, 5, 7), np.float32), ValueError),  # shape
        (lambda image: np.zeros(image.shape, np.float64), ValueError),  # type
        (lambda image: np.zeros(image.shape[::-1], np.float32).T, ValueError),  # not C-contiguous
        (lambda image: image, ValueError),  # the image itself
        (lambda image: [0.0], TypeError),
    ],
    ids=["shape", "type", "layout", "overlap", "list"],
)
def test_out_that_cannot_take_the_result_is_refused(make_out, error):
    image = np.ones((2, 4, 5, 6), np.float32)
    with pytest.raises(error, match="out "):
        voxwarpkit.resample(image, ONES, EYE, out=make_out(image))
    np.testing.assert_array_equal(image, 1.0)
