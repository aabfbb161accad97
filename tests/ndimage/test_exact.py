"""voxwarpkit.ndimage's bits against the independent model of its definition (support.ndimage_reference),
and the same bits on every thread count, chunking and kind of input."""

from __future__ import annotations

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.ndimage_reference import FILTER_START, affine_position, filtered_line, transform, zoom_shift_position

from voxwarpkit import ndimage

MODES = ["constant", "grid-constant", "nearest", "reflect", "grid-mirror", "mirror", "grid-wrap", "wrap"]


def random_case(seed: int, rank: int):
    rng = np.random.default_rng(seed)
    shape = tuple(int(n) for n in rng.integers(1, 7, rank))
    values = rng.uniform(-50, 50, shape)
    matrix = np.eye(rank) + rng.normal(0, 0.4, (rank, rank))
    offset = rng.normal(0, 2.0, rank)
    output_shape = tuple(int(n) for n in rng.integers(1, 7, rank))
    return rng, values, matrix, offset, output_shape


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("order", range(6))
@pytest.mark.parametrize("rank", [1, 2, 3])
def test_affine_transform_is_the_model(rank, order, mode):
    rng, values, matrix, offset, output_shape = random_case(100 * rank + 10 * order + MODES.index(mode), rank)
    for dtype in (np.float64, np.float32):
        data = values.astype(dtype)
        ours = ndimage.affine_transform(data, matrix, offset, output_shape, order=order, mode=mode, cval=1.25)
        model = transform(data, affine_position(matrix, offset), output_shape, order, mode, 1.25, data.dtype)
        assert_same_bits(ours, model)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("order", range(6))
def test_zoom_shift_and_map_coordinates_are_the_model(order, mode):
    rng, values, _, offset, _ = random_case(7 + order + 10 * MODES.index(mode), 2)
    grid_mode = mode not in ("constant", "wrap")  # which scipy warns of with grid_mode
    zoomed = ndimage.zoom(values, (1.7, 0.6), order=order, mode=mode, cval=-2.0, grid_mode=grid_mode)
    shape = values.shape
    out_shape = zoomed.shape
    less = 0 if grid_mode else 1
    factors = [(n - less) / (m - less) if m - less else 1.0 for n, m in zip(shape, out_shape)]
    position = zoom_shift_position(factors, None, grid_mode)
    model = transform(values, position, out_shape, order, mode, -2.0, values.dtype)
    assert_same_bits(zoomed, model)
    shifted = ndimage.shift(values, offset, order=order, mode=mode, cval=3.0)
    negated = [-s for s in offset]
    model = transform(values, zoom_shift_position(None, negated), shape, order, mode, 3.0, values.dtype)
    assert_same_bits(shifted, model)
    points = rng.uniform(-3, 9, (2, 5, 3))
    mapped = ndimage.map_coordinates(values, points, order=order, mode=mode, cval=0.5)
    model = transform(
        values, lambda i: list(points[(slice(None),) + i]), points.shape[1:], order, mode, 0.5, values.dtype
    )
    assert_same_bits(mapped, model)


@pytest.mark.parametrize("seed", range(12))
def test_prefilter_is_the_model_line_by_line(seed):
    """Lines are filtered in batches of several side by side: batches part full, lines along the
    last axis or a slower one, any thread count, and every line must still be the one-line model."""
    rng = np.random.default_rng(seed)
    shape = tuple(int(n) for n in rng.integers(1, 40, int(rng.integers(1, 4))))
    axis = int(rng.integers(len(shape)))
    order, mode = int(rng.integers(2, 6)), MODES[seed % len(MODES)]
    values = rng.uniform(-50, 50, shape)
    ours = ndimage.spline_filter1d(values, order, axis, mode=mode, threads=int(rng.integers(1, 4)))
    moved = np.moveaxis(values.copy(), axis, -1)
    for index in np.ndindex(*moved.shape[:-1]):
        moved[index] = filtered_line(list(moved[index]), order, FILTER_START[mode])
    assert_same_bits(ours, np.moveaxis(moved, -1, axis))


@pytest.mark.parametrize("dtype", ["B", "b", "h", "H", "i", "I", "q", "Q", "?"])
def test_integer_and_boolean_results_round_as_scipy_casts(dtype):
    rng = np.random.default_rng(3)
    values = rng.uniform(-300, 300, (5, 6))
    matrix = np.array([[0.9, 0.2], [-0.1, 1.1]])
    ours = ndimage.affine_transform(values, matrix, (0.3, -0.7), output=np.dtype(dtype), order=3, mode="nearest")
    model = transform(values, affine_position(matrix, (0.3, -0.7)), values.shape, 3, "nearest", 0.0, np.dtype(dtype))
    assert_same_bits(ours, model)


@pytest.mark.parametrize("order", [1, 3, 5])
def test_threads_and_chunks_change_no_bit(order):
    rng = np.random.default_rng(order)
    values = rng.uniform(-1, 1, (3, 17, 19, 23)).astype(np.float32)  # a stack of three volumes
    angle = np.deg2rad(25)
    matrix = np.eye(4)
    matrix[2:, 2:] = [[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]]
    matrix[1, 3] = 0.2
    offset = (0, 1.5, -2.0, 3.0)
    one = ndimage.affine_transform(values, matrix, offset, order=order, mode="mirror", threads=1)
    for threads in (2, 3, 7):
        assert_same_bits(
            ndimage.affine_transform(values, matrix, offset, order=order, mode="mirror", threads=threads), one
        )
    for volume in range(3):  # a stack's volume is the volume transformed alone
        alone = ndimage.affine_transform(values[volume], matrix[1:, 1:], offset[1:], order=order, mode="mirror")
        assert_same_bits(one[volume], alone)
    da = pytest.importorskip("dask.array")
    for chunks in [(1, 5, 7, 9), (2, 17, 3, 23), (3, 4, 19, 6)]:
        lazy = ndimage.affine_transform(
            da.from_array(values, chunks=(1, 6, 5, 8)), matrix, offset, order=order, mode="mirror", output_chunks=chunks
        )
        assert lazy.chunks == da.core.normalize_chunks(chunks, values.shape)
        assert_same_bits(lazy.compute(), one)


def test_a_zarr_input_is_read_window_by_window_with_the_bits_of_numpy(tmp_path):
    zarr = pytest.importorskip("zarr")
    rng = np.random.default_rng(5)
    values = rng.uniform(0, 100, (12, 13, 14)).astype(np.float32)
    stored = zarr.open_array(str(tmp_path / "image.zarr"), mode="w", shape=values.shape, chunks=(5, 5, 5), dtype="f4")
    stored[...] = values
    matrix = [[1.0, 0.1, 0.0], [-0.1, 1.0, 0.05], [0.0, 0.0, 0.9]]
    lazy = ndimage.affine_transform(stored, matrix, (0.5, -1, 1), order=1, output_chunks=(4, 6, 5))
    assert_same_bits(lazy.compute(), ndimage.affine_transform(values, matrix, (0.5, -1, 1), order=1))


def test_layouts_and_byte_orders_read_the_same_values():
    rng = np.random.default_rng(9)
    values = rng.uniform(-5, 5, (8, 9, 10))
    expected = ndimage.rotate(values, 30, axes=(2, 0), order=3, mode="reflect")
    for layout in (np.asfortranarray(values), values[::-1, :, ::-1][::-1, :, ::-1], values.astype(">f8")):
        assert_same_bits(ndimage.rotate(layout, 30, axes=(2, 0), order=3, mode="reflect"), expected)
    out = np.zeros(expected.shape, dtype=">f8")
    assert ndimage.rotate(values, 30, axes=(2, 0), order=3, mode="reflect", output=out) is out
    assert_same_bits(out.astype("<f8"), expected)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda v: ndimage.affine_transform(v, np.eye(3), order=6), RuntimeError),
        (lambda v: ndimage.affine_transform(v, np.eye(3), mode="clamp"), RuntimeError),
        (lambda v: ndimage.affine_transform(v, np.eye(2)), RuntimeError),
        (lambda v: ndimage.affine_transform(v, np.eye(3), (0, 0, 0), (3, 4, 5), np.zeros((2, 2, 2))), RuntimeError),
        (lambda v: ndimage.affine_transform(v[None, None], np.eye(5) * 2), ValueError),
        (lambda v: ndimage.map_coordinates(v[None], np.zeros((4, 2))), ValueError),
        (lambda v: ndimage.shift(v, (1, 2)), RuntimeError),
        (lambda v: ndimage.zoom(v, 2, threads=0), ValueError),
        (lambda v: ndimage.affine_transform(v, np.eye(3), output_chunks=(2, 2, 2)), TypeError),
    ],
)
def test_bad_arguments_raise_and_write_nothing(call, error):
    values = np.arange(60.0).reshape(3, 4, 5)
    kept = values.copy()
    with pytest.raises(error):
        call(values)
    assert_same_bits(values, kept)
