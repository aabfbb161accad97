"""Cubic B-spline interpolation: its prefilter against the model, its definition against scipy and
SimpleITK, and its bits on dask for any chunking."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import rotation
from support.reference import import_any_reference, prefilter_reference, resample_general_reference
from support.values import values

import voxwarpkit
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES
from voxwarpkit._engine import prefilter, resample, source_box

# The engine's codes for cubic; its edge rule is linear's only.
CUBIC = (METHOD_CODES["cubic"], EDGE_RULE_CODES["clamp"])


@pytest.mark.parametrize("axis", [1, 2, 3])
@pytest.mark.parametrize("shape", [(2, 1, 2, 3), (1, 3, 1, 40), (2, 29, 5, 2)], ids=str)
def test_a_pass_of_the_prefilter_equals_the_model(shape, axis):
    rng = np.random.default_rng(sum(shape) + axis)
    stack = values(rng, "f", shape)  # NaN and infinities
    flat = stack.reshape(-1)
    picked = rng.random(flat.size) < 0.03
    flat[picked] = rng.choice([3e38, -3e38, 1e-45], picked.sum())  # 6 x overflows float32; denormals
    picked = rng.random(flat.size) < 0.02  # signalling and negative NaNs with payloads
    flat.view(np.uint32)[picked] = rng.choice(np.uint32([0x7F800001, 0xFFC01234]), picked.sum())
    want = prefilter_reference(stack, axis)
    for threads in (1, 3):
        got = stack.copy()
        prefilter(got, axis, threads)
        assert_same_bits(got, want)


@pytest.mark.parametrize("shape", [(1, 2, 3), (5, 1, 8), (2, 9, 3, 17)], ids=str)
def test_whole_voxel_positions_give_back_the_image(shape):
    # At a fraction of 0 the weights are 1/6, 4/6, 1/6: the coefficients' only condition. A wrong
    # gain, pole or boundary leaves the image, first at its faces.
    image = np.random.default_rng(len(shape)).uniform(-100, 100, shape).astype(np.float32)
    got = voxwarpkit.resample(image, (1, 1, 1), np.eye(3, 4), interpolation="cubic")
    np.testing.assert_allclose(got, image, rtol=0, atol=1e-6 * 100)  # 13 float32 steps of 100 (seen: 2.5)


def test_values_beyond_float32_are_converted_as_by_every_blend():
    # Each rounded once to float32, overflowing to infinity, NaNs made quiet, and no warning. One
    # volume for each, as a non-finite value reaches every coefficient of its volume.
    image = np.float64([1e300, -1e300, 1e-300, 1e39, 3.4028235e38, 0]).reshape(6, 1, 1, 1) + [1.0, 2.5]
    image.view(np.uint64)[5, 0, 0, 0] = 0x7FF0000000000001  # signalling
    want = resample_general_reference(import_any_reference(image), (1, 1, 1), np.eye(3, 4).ravel(), order=3)
    assert_same_bits(voxwarpkit.resample(image, (1, 1, 1), np.eye(3, 4), order=3), want)


@pytest.mark.parametrize("seed", range(8))
def test_a_block_of_any_coefficients_equals_the_model(seed):
    # Coefficients straight to the engine: terms of 1e20 cancel in some orders of the sums and not in
    # others; NaNs with payloads and infinities show the NaN rule. The block reads only its source box,
    # which must hold every tap, mirrored or not (the model refuses to read past its window).
    rng = np.random.default_rng(seed)
    grid = tuple(int(n) for n in rng.choice([1, 2, 3, 5, 13], 3))
    coefficients = rng.choice(np.float32([1e20, -1e20, 1, -1, 0.5, 3]), (2,) + grid)
    if seed % 2:  # +-1e20 alternating: at fractions of 0.5 the sums cancel but for their rounding errors
        coefficients = (np.indices(grid).sum(axis=0) % 2 * 2e20 - 1e20 + coefficients).astype(np.float32)
    picked = rng.random(coefficients.shape) < (0.1 if seed % 4 > 1 else 0)
    specials = np.uint32([0x7F800001, 0xFFC01234, 0x7F800000, 0xFF800000])
    coefficients.view(np.uint32)[picked] = rng.choice(specials, picked.sum())
    linear = np.eye(3) / 2 if seed % 2 else rotation(rng, 40) * rng.uniform(0.5, 1.5)
    target, origin = tuple(int(n) for n in rng.integers(1, 28, 3)), tuple(int(n) for n in rng.integers(0, 4, 3))
    centre = (np.array(origin) + (np.array(target) - 1) / 2)[::-1]  # of the block, x first
    shift = (np.array(grid[::-1]) - 1) / 2 - linear @ centre + rng.uniform(-2, 2, 3)
    shift = np.round(shift * 2) / 2 if seed % 2 else shift  # fractions of 0 and 0.5 only
    matrix = np.hstack([linear, shift[:, None]]).astype(np.float32).reshape(1, 12)
    spacing = (1.0, 1.0, 1.0)
    box = source_box(grid, spacing, matrix, target, origin, spacing, *CUBIC) or ((0, 1), (0, 1), (0, 1))
    window = np.ascontiguousarray(coefficients[(slice(None),) + tuple(slice(*b) for b in box)])
    low = tuple(b[0] for b in box)
    got = resample(window, low, grid, spacing, matrix, target, origin, spacing, *CUBIC, np.float32(-7).tobytes(), 2)
    kwargs = dict(order="bspline", shape=target, out_origin=origin, source_origin=low, source_grid=grid, fill=-7.0)
    assert_same_bits(got, resample_general_reference(window, spacing, matrix[0], **kwargs))


def smooth_image(rng, shape):
    """A sum of a few low-frequency waves: smooth, so the interpolators agree up to their rounding."""
    z, y, x = np.meshgrid(*(np.arange(n) for n in shape), indexing="ij")
    image = np.zeros(shape)
    for _ in range(4):
        k = rng.uniform(-0.4, 0.4, 3)
        image += rng.uniform(0.5, 1) * np.cos(k[0] * z + k[1] * y + k[2] * x + rng.uniform(0, 6))
    return image.astype(np.float32)


def test_agrees_with_scipy_and_simpleitk_inside_the_volume():
    ndimage = pytest.importorskip("scipy.ndimage")
    sitk = pytest.importorskip("SimpleITK")
    rng = np.random.default_rng(11)
    image = smooth_image(rng, (14, 17, 19))
    linear = rotation(rng, 30) * 0.9
    centre = (np.array(image.shape[::-1]) - 1) / 2
    matrix = np.hstack([linear, (centre - linear @ centre + rng.uniform(-1, 1, 3))[:, None]])
    ours = voxwarpkit.resample(image, (1, 1, 1), matrix, interpolation="cubic", fill=np.nan)

    # scipy's index order is (z, y, x), ours (x, y, z).
    theirs = ndimage.affine_transform(
        image.astype(np.float64), linear[::-1, ::-1], matrix[::-1, 3], order=3, mode="mirror", prefilter=True
    )
    transform = sitk.AffineTransform(3)
    transform.SetMatrix(linear.ravel().tolist())
    transform.SetTranslation(matrix[:, 3].tolist())
    source = sitk.GetImageFromArray(image.astype(np.float64))
    itk = sitk.GetArrayFromImage(sitk.Resample(source, source, transform, sitk.sitkBSpline3, np.nan))

    grid = np.indices(image.shape)[::-1].reshape(3, -1)
    index = (linear @ grid + matrix[:, 3:]).reshape((3,) + image.shape)
    extent = np.array(image.shape[::-1]).reshape(3, 1, 1, 1)
    inside = ((index > -0.5 + 1e-3) & (index < extent - 0.5 - 1e-3)).all(axis=0)
    outside = ((index < -0.5 - 1e-3) | (index > extent - 0.5 + 1e-3)).any(axis=0)
    assert inside.sum() > image.size // 2 and outside.any()
    assert np.isnan(ours[outside]).all()
    tolerance = 1e-5 * np.ptp(image)
    np.testing.assert_allclose(ours[inside], theirs[inside], rtol=0, atol=tolerance)
    np.testing.assert_allclose(ours[inside], itk[inside], rtol=0, atol=tolerance)


@pytest.mark.parametrize(
    "chunks, output_chunks",
    [((1, 5, 7, 9), (1, 4, 6, 5)), ((2, 1, 30, 1), None), ((1, (3, 9), (20, 1), (2, 5, 15)), (2, 19, 1, 7))],
)
def test_any_chunking_of_a_dask_array_gives_the_in_memory_bits(chunks, output_chunks):
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(5)
    image = values(rng, "f", (2, 12, 21, 22))
    image[np.isnan(image) | np.isinf(image)] = 1.0  # a NaN or infinity would reach every coefficient
    matrices = [np.hstack([rotation(rng, 20), rng.uniform(-2, 2, (3, 1))]).ravel() for _ in range(2)]
    kwargs = dict(shape=(19, 20, 21), interpolation="cubic", fill=-3.0)
    want = voxwarpkit.resample(image, (1.0, 0.9, 1.2), np.stack(matrices), **kwargs)
    lazy = da.from_array(image, chunks=chunks)
    got = voxwarpkit.resample(lazy, (1.0, 0.9, 1.2), np.stack(matrices), chunks=output_chunks, **kwargs)
    assert_same_bits(got.compute(scheduler="threads"), want)
