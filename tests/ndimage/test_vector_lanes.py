"""The vector form of the spline path's order-1 and order-3 columns gives the scalar loop's bits:
every lane, inside and at the edges, affine and given positions, with NaN payloads, infinities,
subnormals and both zeros, in float32 and float64, on blocks of a larger output, on strided sources
and on windows that a position reaches past."""

from __future__ import annotations

import numpy as np
import pytest
from support.bits import assert_same_bits

from voxwarpkit import _engine
from voxwarpkit.ndimage._modes import MODES

if _engine.kernel_variant() != "avx512":
    pytest.skip("this processor has no AVX-512: the vector form does not run here", allow_module_level=True)


def specials(rng, shape, dtype):
    values = rng.standard_normal(shape).astype(dtype)
    flat = values.reshape(-1)
    kind = rng.integers(0, 12, flat.size)
    with np.errstate(invalid="ignore"):
        flat[kind == 0] = np.nan
        flat[kind == 1] = np.inf
        flat[kind == 2] = -np.inf
        flat[kind == 3] = np.finfo(dtype).smallest_subnormal * rng.integers(-9, 9, int((kind == 3).sum()))
        flat[kind == 4] = -0.0
    bits = values.view(f"u{values.itemsize}").reshape(-1)
    payloads = rng.integers(1, 1 << 20, int((kind == 0).sum())).astype(bits.dtype)
    bits[kind == 0] |= payloads
    return values


def run(source, target, order, matrix, shift, mode, window_origin, grid, block_origin, vectors, zoom=None):
    """The affine job of the arguments (zoom and shift with ``zoom``), into ``target``; the error it
    raises, if any."""
    try:
        _engine.spline_transform(
            source, target, 3, 3, order, MODES[mode].engine_code, 0.5, 0.0, matrix, shift, zoom, False, None,
            window_origin, grid, block_origin, vectors, 2,
        )  # fmt: skip
    except (RuntimeError, ValueError) as error:
        return f"{type(error).__name__}: {error}"
    return None


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("mode", ["constant", "nearest", "mirror", "grid-constant"])
@pytest.mark.parametrize("order", [1, 3])
@pytest.mark.parametrize("seed", range(6))
def test_vector_lanes_give_the_scalar_bits(seed, order, mode, dtype):
    rng = np.random.default_rng(seed)
    grid = tuple(int(n) for n in rng.integers(3, 30, 3))
    volumes = int(rng.integers(1, 3))
    values = specials(rng, (volumes, *grid), dtype) if seed % 2 else rng.uniform(-9, 9, (volumes, *grid))
    values = values.astype(dtype)
    if seed % 3 == 2:
        values = values[:, ::-1, :, ::-1]  # negative strides
    matrix = (np.eye(3) + rng.normal(0, 0.3, (3, 3))).ravel()
    shift = rng.normal(0, 3, 3)
    shape = tuple(int(n) for n in rng.integers(1, 40, 3))
    block_origin = tuple(int(n) for n in rng.integers(0, 5, 3))
    vector = np.zeros((volumes, *shape), dtype)
    scalar = np.zeros((volumes, *shape), dtype)
    assert run(values, vector, order, matrix, shift, mode, (0, 0, 0), grid, block_origin, True) is None
    assert run(values, scalar, order, matrix, shift, mode, (0, 0, 0), grid, block_origin, False) is None
    assert_same_bits(vector, scalar)
    # Zoom and shift, whose taps are placed axis by axis beforehand
    zoom = rng.uniform(0.3, 2.5, 3)
    for out, vectors in ((vector, True), (scalar, False)):
        assert run(values, out, order, None, shift, mode, (0, 0, 0), grid, block_origin, vectors, zoom) is None
    assert_same_bits(vector, scalar)
    # A window of the input: positions past it are reported alike, and the bits agree otherwise
    window_origin = tuple(int(n) for n in rng.integers(0, 3, 3))
    window = values[:, window_origin[0] :, window_origin[1] :, window_origin[2] :]
    window = window[:, : max(1, window.shape[1] - 2), :, : max(1, window.shape[3] - 1)]
    vector[...], scalar[...] = 0, 0
    vector_error = run(window, vector, order, matrix, shift, mode, window_origin, grid, block_origin, True)
    scalar_error = run(window, scalar, order, matrix, shift, mode, window_origin, grid, block_origin, False)
    assert vector_error == scalar_error
    if scalar_error is None:
        assert_same_bits(vector, scalar)
    # Given coordinates (map_coordinates' positions), the blocks' own, with NaN and huge ones among them
    points = rng.uniform(-3, max(grid) + 3, (3, int(rng.integers(1, 300))))
    points[:, ::7] = [np.nan, np.inf, -1e300][seed % 3]
    vector_points = np.zeros((volumes, 1, 1, points.shape[1]), dtype)
    scalar_points = np.zeros_like(vector_points)
    for out, vectors in ((vector_points, True), (scalar_points, False)):
        _engine.spline_transform(
            values, out, 3, 1, order, MODES[mode].engine_code, 0.5, 0.0, None, None, None, False, points,
            (0, 0, 0), grid, (0, 0, 0), vectors, 2,
        )  # fmt: skip
    assert_same_bits(vector_points, scalar_points)
