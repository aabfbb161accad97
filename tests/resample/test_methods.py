"""The methods table against what the engine and resample do with each method."""

import math

import numpy as np
import pytest

import voxwarpkit
from voxwarpkit import _engine
from voxwarpkit._backends import cpu as _blocks
from voxwarpkit._backends import request as _request
from voxwarpkit._core.methods import METHODS

GRID = (20, 20, 20)


def first_read(index, method, edges):
    """The voxel a source index starts from: the nearest for nearest (half up), the first of the
    pair for the others (truncated for linear's bands; the same as the floor at these indices)."""
    if method.name == "nearest":
        return math.floor(index + 0.5)
    return math.trunc(index) if method.name == "linear" and edges == "transform" else math.floor(index)


# The voxels a position reads along each axis before and after the one it starts from (the nearest
# voxel for nearest, the first of the pair for the others), as the engine's source box widens.
REACH = {"nearest": (0, 0), "linear": (0, 1), "cubic": (1, 2), "lanczos": (2, 3), "label": (0, 1)}


@pytest.mark.parametrize("method", METHODS, ids=lambda m: m.name)
@pytest.mark.parametrize("edges", ["clamp", "transform"])
@pytest.mark.parametrize("shift", [(9.0, 9.25, 9.5), (10.75, 8.5, 7.125)])
def test_source_box_of_one_position_spans_the_reads_the_table_states(method, edges, shift):
    # One output voxel at (0, 0, 0) lands on source index `shift` (x, y, z), far from every edge.
    matrix = np.hstack([np.eye(3), np.array(shift)[:, None]])
    request = _request.checked_request(
        GRID,
        np.dtype(np.float32),
        (1.0, 1.0, 1.0),
        matrix,
        shape=(1, 1, 1),
        output_voxel_size=None,
        interpolation=method.name,
        fill=0.0,
        threads=1,
        edges=edges,
    )
    box = _blocks.source_box(GRID, request, (0, 0, 0), (1, 1, 1))
    starts = [first_read(index, method, edges) for index in shift[::-1]]  # z, y, x
    below, above = REACH[method.name]
    assert box == tuple((s - below, s + above + 1) for s in starts)


@pytest.mark.parametrize("method", METHODS, ids=lambda m: m.name)
def test_result_type_is_float32_exactly_for_the_blends(method):
    image = np.arange(4 * 5 * 6, dtype=np.int16).reshape(4, 5, 6)
    result = voxwarpkit.resample(image, (1, 1, 1), np.eye(4), interpolation=method.name)
    assert result.dtype == (np.float32 if method.blends else np.int16)
    if not method.blends:  # an identity copies every element
        np.testing.assert_array_equal(result, image)


@pytest.mark.parametrize("method", METHODS, ids=lambda m: m.name)
def test_antialias_is_refused_exactly_where_the_table_says(method):
    image = np.ones((6, 6, 6), np.uint8)
    arguments = (image, (1, 1, 1), np.diag([2.0, 2.0, 2.0, 1.0]))
    options = dict(shape=(3, 3, 3), interpolation=method.name, antialias=True)
    if method.antialias:
        assert voxwarpkit.resample(*arguments, **options).dtype == np.float32
    else:
        with pytest.raises(ValueError, match="antialias does not apply"):
            voxwarpkit.resample(*arguments, **options)


def engine_call(name, interpolation, edges):
    """_engine.resample or _engine.source_box over a small float32 grid, with these engine codes."""
    grid, spacing, matrices = (2, 3, 4), (1.0, 1.0, 1.0), np.eye(3, 4, dtype=np.float32).reshape(1, 12)
    if name == "source_box":
        return _engine.source_box(grid, spacing, matrices, grid, (0, 0, 0), spacing, interpolation, edges)
    source = np.zeros((1, *grid), np.float32)
    fill = np.float32(0).tobytes()
    return _engine.resample(
        source, (0, 0, 0), grid, spacing, matrices, grid, (0, 0, 0), spacing, interpolation, edges, fill, 1
    )


@pytest.mark.parametrize("name", ["resample", "source_box"])
@pytest.mark.parametrize(
    "codes, message",
    [
        ((-1, 1), "interpolation must be 0 (linear), 1 (nearest), 2 (label), 3 (lanczos) or 4 (cubic), got -1"),
        ((5, 1), "interpolation must be 0 (linear), 1 (nearest), 2 (label), 3 (lanczos) or 4 (cubic), got 5"),
        ((0, 2), "edges must be 0 (transform's bands) or 1 (clamp), got 2"),
        ((4, -1), "edges must be 0 (transform's bands) or 1 (clamp), got -1"),
    ],
)
def test_the_engine_refuses_codes_outside_its_enums(name, codes, message):
    with pytest.raises(ValueError) as info:
        engine_call(name, *codes)
    assert str(info.value) == message
