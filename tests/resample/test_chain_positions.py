"""Chains of matrices, displacement fields and B-splines: resample's results are the model's, bit for bit.

Nearest sampling copies the voxel a position falls in, so its result depends
on the positions alone (distinct input values make every voxel choice
visible); linear sampling's weights show each position to its last bits.
"""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.chain_reference import BSplineStep, FieldStep, resample_chain
from support.geometry import rotation

import voxwarpkit as vw


def _matrix(rng, shift):
    """A float32 3x4 near the identity, row by row."""
    linear = rotation(rng, 15) * rng.uniform(0.8, 1.25)
    return np.hstack([linear, np.asarray(shift, dtype=np.float64)[:, None]]).ravel().astype(np.float32)


def _field(rng, extent):
    """A field over about the physical box ``extent`` (x, y, z), partly past it, with displacements of a few units."""
    shape = tuple(int(n) for n in rng.integers(2, 9, 3))  # (nz, ny, nx)
    spacing = (np.asarray(extent) / np.array(shape[::-1]) * rng.uniform(0.7, 1.4, 3)).astype(np.float32)
    origin = rng.uniform(-3, 3, 3).astype(np.float32)
    displacements = rng.normal(scale=1.5, size=(*shape, 3)).astype(np.float32)
    return displacements, spacing, origin


def _bspline(rng, extent):
    """A B-spline whose support covers about the physical box ``extent`` (x, y, z), with displacements of a few
    units; its control points sometimes on a grid of the output's positions, where they meet the last knot."""
    shape = tuple(int(n) for n in rng.integers(4, 9, 3))  # (nz, ny, nx)
    spacing = np.asarray(extent) / (np.array(shape[::-1]) - 3) * rng.uniform(0.8, 1.3, 3)
    if rng.random() < 0.3:
        spacing = np.ceil(spacing)
    origin = -spacing * rng.uniform(0.8, 1.2, 3)
    return rng.normal(scale=1.5, size=(*shape, 3)), spacing, origin


def _random_chain(rng, nvol, extent, warps=("field",)):
    """vw.resample's chain and, per volume, the model's steps: matrices (some per volume) and warps of the
    kinds ``warps`` lists (fields, B-splines), one at least."""
    chain, per_volume = [], [[] for _ in range(nvol)]
    kinds = ["matrix"] + list(rng.choice(["matrix", *warps], int(rng.integers(1, 4))))
    if not set(kinds) & set(warps):
        kinds.append(str(rng.choice(warps)))
    for kind in kinds:
        if kind == "bspline":
            coefficients, spacing, origin = _bspline(rng, extent)
            chain.append(vw.BSpline(coefficients, spacing, origin=origin))
            for steps in per_volume:
                steps.append(BSplineStep(coefficients, origin, spacing))
        elif kind == "field":
            displacements, spacing, origin = _field(rng, extent)
            chain.append(vw.Field(displacements, spacing, origin=origin))
            step = FieldStep(np.ascontiguousarray(np.moveaxis(displacements, 3, 0)), origin, spacing)
            for steps in per_volume:
                steps.append(step)
        elif rng.random() < 0.5:
            stack = np.stack([_matrix(rng, rng.uniform(-2, 2, 3)) for _ in range(nvol)])
            chain.append(stack)
            for steps, matrix in zip(per_volume, stack):
                steps.append(matrix)
        else:
            matrix = _matrix(rng, rng.uniform(-2, 2, 3))
            chain.append(matrix)
            for steps in per_volume:
                steps.append(matrix)
    return chain, per_volume


@pytest.mark.parametrize("warps", [("field",), ("bspline",), ("field", "bspline")])
@pytest.mark.parametrize("interpolation", ["nearest", "linear"])
@pytest.mark.parametrize("seed", range(10))
def test_chain_results_match_the_model(seed, interpolation, warps):
    rng = np.random.default_rng(seed)
    nvol = int(rng.integers(1, 4))
    extent = tuple(int(n) for n in rng.integers(3, 12, 3))  # (nz, ny, nx)
    image = rng.permutation(nvol * int(np.prod(extent))).reshape(nvol, *extent)
    image = image.astype(np.uint16 if interpolation == "nearest" else np.float32)
    voxel_size = rng.uniform(0.5, 2.0, 3).astype(np.float32)
    shape = tuple(int(n) for n in rng.integers(2, 14, 3))
    output_voxel_size = rng.uniform(0.5, 2.0, 3).astype(np.float32)
    physical = np.array(extent[::-1]) * voxel_size
    chain, per_volume = _random_chain(rng, nvol, physical, warps)

    result = vw.resample(
        image, voxel_size, chain, shape=shape, output_voxel_size=output_voxel_size, interpolation=interpolation
    )

    expected = resample_chain(image, voxel_size, per_volume, shape, output_voxel_size, interpolation)
    assert_same_bits(result, expected)
    assert np.count_nonzero(expected) > 0  # the case samples the input somewhere


@pytest.mark.parametrize("warps", [("field",), ("bspline",)])
@pytest.mark.parametrize("seed", range(3))
def test_dask_blocks_of_one_volume_give_the_bits_of_one_call(seed, warps):
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(100 + seed)
    image = rng.normal(size=(3, 7, 8, 9)).astype(np.float32)
    voxel_size = np.float32([1.0, 1.2, 0.9])
    chain, _ = _random_chain(rng, 3, np.array(image.shape[:0:-1]) * voxel_size, warps)
    chain.append(np.stack([_matrix(rng, rng.uniform(-1, 1, 3)) for _ in range(3)]))  # per volume, after a field

    whole = vw.resample(image, voxel_size, chain, shape=(6, 7, 8))
    blocks = vw.resample(
        da.from_array(image, chunks=(1, 4, 4, 4)), voxel_size, chain, shape=(6, 7, 8), chunks=(1, 3, 4, 5)
    )

    assert_same_bits(blocks.compute(), whole)
