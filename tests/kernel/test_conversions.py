"""The array <-> float buffer conversions, reached through the private test module."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.layouts import LAYOUTS
from support.reference import accepted_types, import_reference, write_reference

import _voxwarpkit_testing as testing

IMPORTERS = {1: testing.array2float, 3: testing.array2float3d, 4: testing.array2float4d}
WRITERS = {3: testing.float2array3d, 4: testing.float2array4d}
MESSAGES = {1: "Failed to convert to FLOAT", 3: "Failed to convert to FLOAT 3D", 4: "Failed to convert to FLOAT 4D"}
SHAPES = {1: (7,), 3: (3, 4, 5), 4: (2, 3, 4, 5)}
ALL_CODES = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d", "g", "F", "D"]


def awkward_values(code, shape, rng):
    """Values that probe each type's conversion: extremes, roundings, specials."""
    if code in "fdeg":
        values = rng.standard_normal(shape) * 10.0 ** rng.integers(-40, 40, shape)
        flat = values.reshape(-1)
        specials = [np.nan, np.inf, -np.inf, -0.0, 0.1, 1e40, -1e40, 1e-45, 16777217.0]
        flat[: min(len(specials), flat.size)] = specials[: flat.size]
        with np.errstate(over="ignore"):
            return values.astype(code)
    if code == "?":
        return rng.integers(0, 2, shape).astype(bool)
    if code in "FD":
        return (rng.standard_normal(shape) + 1j).astype(code)
    info = np.iinfo(code)
    values = rng.integers(info.min, info.max, shape, dtype=code, endpoint=True)
    flat = values.reshape(-1)
    extremes = [info.min, info.max, 0, min(info.max, 16777217)]
    flat[: min(4, flat.size)] = extremes[: flat.size]
    # rng.integers hands back numpy's canonical int64, whose type number is
    # that of 'l'; 'q' has a number of its own.
    return values.astype(np.dtype(code))


@pytest.mark.parametrize("axes", [1, 3, 4])
@pytest.mark.parametrize("code", ALL_CODES)
def test_importers_convert_or_reject_each_type(axes, code):
    array = awkward_values(code, SHAPES[axes], np.random.default_rng(axes))
    if code in accepted_types(axes):
        assert_same_bits(IMPORTERS[axes](array), import_reference(array, axes).reshape(-1))
    else:
        with pytest.raises(ValueError) as info:
            IMPORTERS[axes](array)
        assert str(info.value) == MESSAGES[axes]


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize(
    "axes, code", [(axes, code) for axes in (1, 3, 4) for code in "Bhilqfd" if code in accepted_types(axes)]
)
def test_importers_read_every_layout_by_logical_index(axes, layout, code):
    array = LAYOUTS[layout](awkward_values(code, SHAPES[axes], np.random.default_rng(3)))
    assert_same_bits(IMPORTERS[axes](array), import_reference(array, axes).reshape(-1))


def test_array2float_reads_axis_0_only():
    matrix = np.arange(12, dtype=np.float64).reshape(3, 4)
    assert_same_bits(testing.array2float(matrix), np.float32([0, 4, 8]))
    assert_same_bits(testing.array2float(matrix.T), np.float32([0, 1, 2, 3]))
    assert_same_bits(testing.array2float(matrix[:, :, None][::-1]), np.float32([8, 4, 0]))


@pytest.mark.parametrize(
    "code, value, expected",
    [
        ("i", 16777217, 16777216.0),
        ("B", 255, 255.0),
        ("h", -32768, -32768.0),
        ("d", 1e40, np.inf),
        ("d", -1e40, -np.inf),
        ("d", 0.1, np.float32(0.1)),
        # Direct rounding to float: just above the halfway point rounds up.
        ("l", 2**60 + 2**36 + 1, 2.0**60 + 2.0**37),
        ("l", -(2**60 + 2**36 + 1), -(2.0**60 + 2.0**37)),
        ("l", 2**60 + 2**36, 2.0**60),
        # Through a double first: the +1 is lost, the tie goes to even.
        ("q", 2**60 + 2**36 + 1, 2.0**60),
    ],
)
def test_documented_import_values(code, value, expected):
    assert_same_bits(testing.array2float(np.array([value], dtype=code)), np.float32([expected]))


def test_float32_payloads_pass_untouched():
    bits = np.array([0x7FC00001, 0x7F800001, 0xFFBFFFFF, 0x80000000, 0x00000001], np.uint32)
    values = bits.view(np.float32)
    assert_same_bits(testing.array2float(values), values)
    target = np.zeros((1, 1, 5), np.float32)
    assert testing.float2array3d(values, target) == 0
    assert_same_bits(target.reshape(-1), values)
    swapped = np.zeros((1, 1, 5), ">f4")
    assert testing.float2array3d(values, swapped) == 0
    assert swapped.tobytes() == values.astype(">f4").tobytes()


@pytest.mark.parametrize("axes", [1, 3, 4])
@pytest.mark.parametrize("code", ALL_CODES)
def test_empty_arrays_import_without_looking_at_the_type(axes, code):
    shape = (0,) if axes == 1 else (2, 0, 5) if axes == 3 else (2, 3, 0, 1)
    result = IMPORTERS[axes](np.zeros(shape, dtype=code))
    assert result.shape == (0,) and result.dtype == np.float32


WRITER_VALUES = np.float32(
    [
        2.9,
        -2.9,
        np.nan,
        3e9,
        -3e9,
        40000.7,
        65535.9,
        -1.5,
        300.9,
        256.0,
        -0.7,
        np.inf,
        -np.inf,
        -0.0,
        2147483520.0,
        -2147483648.0,
        1e-45,
        0.5,
        127.99,
        -32768.5,
    ]
)


@pytest.mark.parametrize("rank", [3, 4])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("code", ["B", "h", "i", "l", "f", "d"])
def test_writers_store_every_supported_type_in_every_layout(rank, layout, code):
    shape = (1, 2, 2, 5) if rank == 4 else (2, 2, 5)
    target = LAYOUTS[layout](np.full(shape, 99, dtype=code))
    assert WRITERS[rank](WRITER_VALUES, target) == 0
    expected = write_reference(WRITER_VALUES, target.dtype).reshape(shape)
    # Compare by value in native order, bits included: the target keeps its own byte order.
    actual = target.astype(target.dtype.newbyteorder("="))
    assert_same_bits(actual, expected.astype(expected.dtype.newbyteorder("=")))


@pytest.mark.parametrize(
    "code, expected",
    [
        ("i", [2, -2, -(2**31), -(2**31), -(2**31)]),
        ("h", [2, -2, 0, 0, 0, -25536, -1]),
        ("B", [2, 254, 0, 0, 0, 0x40, 0xFF, 255, 44, 0, 0]),
        ("l", [2, -2, -(2**31), -(2**31), -(2**31)]),
    ],
)
def test_documented_writer_values(code, expected):
    target = np.zeros((1, 1, len(WRITER_VALUES)), dtype=code)
    assert testing.float2array3d(WRITER_VALUES, target) == 0
    np.testing.assert_array_equal(target.reshape(-1)[: len(expected)], np.array(expected).astype(code))


@pytest.mark.parametrize("rank", [3, 4])
@pytest.mark.parametrize("code", ["?", "b", "H", "I", "L", "q", "Q", "e", "g", "F", "D"])
def test_writers_refuse_unsupported_types_and_leave_the_target(rank, code):
    shape = (2, 2, 5) if rank == 3 else (1, 2, 2, 5)
    target = np.ones(shape, dtype=code)
    before = target.tobytes()
    assert WRITERS[rank](WRITER_VALUES, target) == 1
    assert target.tobytes() == before
    assert WRITERS[rank](WRITER_VALUES, np.ones((3, 0, 4) if rank == 3 else (1, 3, 0, 4), dtype=code)) == 0


def test_a_reversed_target_holds_the_buffer_by_logical_index():
    base = np.zeros((3, 2, 2), np.float32)
    values = np.arange(12, dtype=np.float32)
    assert testing.float2array3d(values, base[::-1]) == 0
    np.testing.assert_array_equal(base, values.reshape(3, 2, 2)[::-1])
