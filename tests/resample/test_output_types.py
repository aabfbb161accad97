"""dtype: the blends' results written in the type asked for, each element made once from the float64 sum."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.cases import TYPES
from support.geometry import rotation
from support.output_types import RESULT_CODES, result_of_sums
from support.reference import bspline_coefficients, resample_general_reference
from support.values import values, with_specials

import _voxwarpkit_testing as testing
import voxwarpkit
from voxwarpkit._backends import request as _request
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES
from voxwarpkit._backends.cpu import result_code

VARIANTS = [name for name, usable in testing.kernel_variants() if usable]

METHODS = [("linear", "clamp"), ("linear", "transform"), ("cubic", "clamp"), ("lanczos", "clamp")]

# Values past every type's range, at its edges, ties (x.5) at zero and at the edges, and the
# non-finite ones; a NaN with a payload, to see which payload each type keeps.
SPECIAL = np.array(
    [
        np.nan,
        -np.inf,
        np.inf,
        3.0e38,
        -3.0e38,
        1.0e20,
        -1.0e20,
        0.5,
        -0.5,
        1.5,
        2.5,
        -2.5,
        127.5,
        -128.5,
        255.5,
        32767.5,
        -32768.5,
        65503.0,
        65519.0,
        65520.0,
        65535.5,
        2.0**31,
        2.0**63,
        2.0**64,
        -(2.0**63),
        1.0e-6,
        -0.0,
    ],
    dtype=np.float32,
)


def image_with_specials(rng, shape, spread=False):
    """Whole numbers around every integer type's range, with SPECIAL and a NaN payload mixed in.
    With ``spread`` (methods whose every value reads many voxels, such as a whole line for
    cubic's coefficients) only the last volume holds NaN, infinities and values past 1e5, so
    the others keep finite values."""
    image = rng.integers(-300, 70000, shape).astype(np.float32)
    small = rng.random(shape) < 0.3
    image[small] = rng.integers(-3, 4, int(small.sum()))
    spots = rng.random(shape) < 0.25
    image[spots] = rng.choice(SPECIAL, int(spots.sum()))
    if spread:
        first = image[:-1]
        first[~(np.abs(first) <= 1.0e5)] = -1.0e5
    payload_nan = np.array(0xFFA12345, np.uint32).view(np.float32)
    image[-1].flat[int(rng.integers(image[-1].size))] = payload_nan
    return image


def matrix_of(rng, extent):
    """Half- and whole-voxel shifts of the identity (exact blends: ties reach the rounding), or a
    turn about the centre with a random shift."""
    if rng.random() < 0.5:
        return np.hstack([np.eye(3), rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], (3, 1))]).ravel()
    turn = rotation(rng, 25) * rng.uniform(0.8, 1.25)
    centre = (np.array(extent[::-1]) - 1.0) / 2
    return np.hstack([turn, (centre - turn @ centre + rng.uniform(-1.5, 1.5, 3))[:, None]]).ravel()


def fill_for(rng, dtype):
    if dtype.kind == "f":
        return float(rng.choice([0.0, -0.0, 7.5, np.nan]))
    info = np.iinfo(dtype)
    return [0, int(info.min), int(info.max), 5][int(rng.integers(4))]


@pytest.mark.parametrize(("interpolation", "edges"), METHODS)
@pytest.mark.parametrize("seed", range(4))
def test_every_result_type_is_the_float64_sum_made_once_by_the_rule(interpolation, edges, seed):
    rng = np.random.default_rng(seed)
    extent = (7, 9, 21)
    image = image_with_specials(rng, (2,) + extent, spread=interpolation != "linear")
    matrix = matrix_of(rng, extent)
    shape = (6, 8, 37)
    kwargs = {"interpolation": interpolation, "edges": edges, "shape": shape}
    sums = resample_general_reference(image, (1.0, 1.0, 1.0), matrix, blend_sums=True, **kwargs)
    for code in RESULT_CODES:
        dtype = np.dtype(code)
        fill = fill_for(rng, dtype)
        want = result_of_sums(sums, dtype, np.array(fill, dtype)[()])
        got = voxwarpkit.resample(image, (1, 1, 1), matrix, fill=fill, dtype=dtype, threads=2, **kwargs)
        assert_same_bits(got, want)
        # Every kernel variant, on its own: the vector paths and the scalar one.
        request = _request.checked_request(
            image.shape,
            image.dtype,
            (1, 1, 1),
            matrix,
            threads=1,
            fill=fill,
            dtype=dtype,
            output_voxel_size=None,
            **kwargs,
        )
        # The engine reads cubic's B-spline coefficients, which resample makes first.
        source = bspline_coefficients(image) if interpolation == "cubic" else image
        arguments = (source, (0, 0, 0), extent, (1.0, 1.0, 1.0), request.matrices, shape, (0, 0, 0), (1.0, 1.0, 1.0))
        codes = (METHOD_CODES[request.interpolation], EDGE_RULE_CODES[request.edges], request.fill, None, None)
        for variant in VARIANTS:
            engine = testing.engine_resample(variant, 1, *arguments, *codes, result_code(request))
            assert_same_bits(engine, want)


def test_float32_is_the_default_bit_for_bit():
    rng = np.random.default_rng(7)
    image = image_with_specials(rng, (9, 10, 40))
    matrix = matrix_of(rng, image.shape)
    for interpolation in ("linear", "cubic", "lanczos"):
        default = voxwarpkit.resample(image, (1, 1, 1), matrix, interpolation=interpolation, fill=np.nan)
        asked = voxwarpkit.resample(image, (1, 1, 1), matrix, interpolation=interpolation, fill=np.nan, dtype="f4")
        assert_same_bits(asked, default)


@pytest.mark.parametrize("interpolation", ["linear", "cubic"])
def test_chunked_dask_results_equal_numpy_ones_for_an_integer_type(interpolation):
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(11)
    image = image_with_specials(rng, (2, 12, 14, 30))
    matrix = matrix_of(rng, image.shape[1:])
    kwargs = {"interpolation": interpolation, "dtype": np.int16, "fill": -7}
    whole = voxwarpkit.resample(image, (1, 1, 1), matrix, **kwargs)
    lazy = voxwarpkit.resample(
        da.from_array(image, chunks=(1, 5, 6, 11)), (1, 1, 1), matrix, chunks=(1, 4, 5, 9), **kwargs
    )
    assert lazy.dtype == np.int16
    assert_same_bits(lazy.compute(), whole)


@pytest.mark.parametrize(
    ("interpolation", "dtype", "fill", "message"),
    [
        ("nearest", np.int16, 0, "nearest sampling keeps the image's type float32"),
        ("label", np.float64, 0, "label sampling keeps the image's type float32"),
        ("linear", "not a type", 0, "dtype must name an integer or float type"),
        ("linear", np.bool_, 0, "dtype must be an integer type"),
        ("cubic", np.complex64, 0, "dtype must be an integer type"),
        ("linear", "U4", 0, "dtype must be an integer type"),
        ("linear", np.uint8, -1, "does not fit the result's type uint8"),
        ("lanczos", np.int8, 2.5, "is not a whole number"),
        ("linear", np.float16, 1e5, "does not fit the result's type float16"),
    ],
)
def test_dtypes_and_fills_that_cannot_be_written_are_refused(interpolation, dtype, fill, message):
    image = np.zeros((3, 4, 5), np.float32)
    with pytest.raises(ValueError, match=message):
        voxwarpkit.resample(image, (1, 1, 1), np.eye(4), interpolation=interpolation, dtype=dtype, fill=fill)


@pytest.mark.parametrize("edges", ["clamp", "transform"])
@pytest.mark.parametrize("source_code", TYPES)
def test_every_element_type_read_makes_every_result_type_by_the_rule(source_code, edges):
    """Linear reads each element type as float32 and makes each result type from the float64
    sum, on every variant: the vector paths for every pair of element and result type."""
    rng = np.random.default_rng([ord(source_code), len(edges)])
    extent = (6, 7, 40)
    image = with_specials(rng, values(rng, source_code, (2,) + extent))
    with np.errstate(over="ignore", invalid="ignore"):
        floats = image.astype(np.float32)
    matrix = matrix_of(rng, extent)
    shape = (5, 6, 45)
    kwargs = {"interpolation": "linear", "edges": edges, "shape": shape}
    sums = resample_general_reference(floats, (1.0, 1.0, 1.0), matrix, blend_sums=True, **kwargs)
    for code in RESULT_CODES:
        dtype = np.dtype(code)
        fill = fill_for(rng, dtype)
        want = result_of_sums(sums, dtype, np.array(fill, dtype)[()])
        request = _request.checked_request(
            image.shape,
            image.dtype,
            (1, 1, 1),
            matrix,
            threads=1,
            fill=fill,
            dtype=dtype,
            output_voxel_size=None,
            **kwargs,
        )
        arguments = (image, (0, 0, 0), extent, (1.0, 1.0, 1.0), request.matrices, shape, (0, 0, 0), (1.0, 1.0, 1.0))
        codes = (METHOD_CODES[request.interpolation], EDGE_RULE_CODES[request.edges], request.fill, None, None)
        for variant in VARIANTS:
            engine = testing.engine_resample(variant, 1, *arguments, *codes, result_code(request))
            assert_same_bits(engine, want)
