"""B-spline steps: the field a leading one becomes gives its bits, its scalar kernel samples as the others
do, SimpleITK's BSplineTransform agrees to float32 precision, and bad steps are refused."""

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import rotation

import voxwarpkit as vw
from voxwarpkit._backends import bspline_fields, cpu
from voxwarpkit._backends.request import checked_request

METHODS = [("linear", "clamp"), ("linear", "transform"), ("nearest", "clamp"), ("label", "clamp")]
METHODS += [("cubic", "clamp"), ("lanczos", "clamp")]


def _image(rng, interpolation, shape):
    if interpolation in ("nearest", "label"):
        return rng.integers(0, 5, shape).astype(np.uint16)
    return rng.normal(size=shape).astype(rng.choice([np.float32, np.int16, np.float64]))


def _spline_over(rng, extent, scale=2.0):
    """A B-spline whose support covers the box ``extent`` (x, y, z) and reaches a little past it."""
    shape = tuple(int(n) for n in rng.integers(4, 8, 3))
    spacing = np.asarray(extent, float) / (np.array(shape[::-1]) - 3) * rng.uniform(1.0, 1.2, 3)
    return vw.BSpline(rng.normal(scale=scale, size=(*shape, 3)), spacing, origin=-spacing * rng.uniform(0.9, 1.1, 3))


def _matrix(rng):
    return np.hstack([rotation(rng, 12), rng.uniform(-2, 2, (3, 1))])


@pytest.mark.parametrize(("interpolation", "edges"), METHODS)
@pytest.mark.parametrize("output_voxel_size", [(1, 1, 1), (0.5, 2, 1), (0.25, 0.5, 4)])
@pytest.mark.parametrize("seed", range(3))
def test_a_leading_bspline_made_a_field_gives_the_bits_of_the_step(
    seed, output_voxel_size, interpolation, edges, monkeypatch
):
    rng = np.random.default_rng(seed)
    image = _image(rng, interpolation, (2, 9, 10, 11))
    shape = tuple(int(n) for n in rng.integers(5, 13, 3))
    spline = _spline_over(rng, np.array(shape[::-1]) * output_voxel_size)
    chain = [spline, _matrix(rng)]
    call = dict(shape=shape, output_voxel_size=output_voxel_size, interpolation=interpolation, edges=edges, fill=3)
    request = checked_request(
        image.shape, image.dtype, (1, 1, 1), chain, shape=shape, output_voxel_size=output_voxel_size, fill=3, threads=1
    )
    assert bspline_fields.field_ready(request, (0, 0, 0), shape)
    monkeypatch.setattr(bspline_fields, "SLAB_POSITIONS", int(rng.integers(1, 3 * shape[1] * shape[2])))
    slabs = vw.resample(image, (1, 1, 1), chain, threads=int(rng.integers(1, 4)), **call)
    monkeypatch.setattr(cpu, "field_ready", lambda *_: False)
    steps = vw.resample(image, (1, 1, 1), chain, threads=1, **call)
    assert_same_bits(slabs, steps)
    assert np.count_nonzero(steps != 3) > 0


@pytest.mark.parametrize("output_voxel_size", [(0.3, 1, 1), (1, 1, 1.5)])
def test_other_spacings_keep_the_step(output_voxel_size):
    rng = np.random.default_rng(5)
    spline = _spline_over(rng, (8, 8, 8))
    request = checked_request(
        (8, 8, 8),
        np.dtype(np.float32),
        (1, 1, 1),
        [spline],
        shape=(8, 8, 8),
        output_voxel_size=output_voxel_size,
        fill=0,
        threads=1,
    )
    assert not bspline_fields.field_ready(request, (0, 0, 0), (8, 8, 8))


@pytest.mark.parametrize(("interpolation", "edges"), METHODS)
@pytest.mark.parametrize("dtype", ["f", "d", "B", "h"])
def test_the_bspline_kernel_samples_as_the_vector_kernels(interpolation, edges, dtype):
    # A B-spline of zeros moves nothing, as a field of zeros does; the first runs through the B-spline
    # kernel, the second through the selected one, at the same positions (the chain is not led by the
    # B-spline, so no field replaces it).
    rng = np.random.default_rng(11)
    image = (rng.normal(size=(2, 8, 9, 10)) * 40).astype(dtype)
    if interpolation in ("nearest", "label"):
        image = (image % 4).astype(dtype)
    first, last = _matrix(rng), _matrix(rng)
    zeros = vw.BSpline(np.zeros((5, 5, 5, 3)), (8, 8, 8), origin=(-9, -9, -9))
    field = vw.Field(np.zeros((4, 4, 4, 3)), (30, 30, 30), origin=(-40, -40, -40))
    call = dict(shape=(7, 8, 9), interpolation=interpolation, edges=edges, fill=1, threads=2)
    through_spline = vw.resample(image, (1, 1.2, 0.9), [first, zeros, last], **call)
    through_field = vw.resample(image, (1, 1.2, 0.9), [first, field, last], **call)
    assert_same_bits(through_spline, through_field)


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_threads_change_no_bit(threads):
    rng = np.random.default_rng(3)
    image = rng.normal(size=(11, 12, 13)).astype(np.float32)
    chain = [_matrix(rng), _spline_over(rng, (13, 12, 11)), _matrix(rng)]
    assert_same_bits(
        vw.resample(image, (1, 1, 1), chain, threads=threads), vw.resample(image, (1, 1, 1), chain, threads=1)
    )


def _sitk_bspline(sitk, spline, direction=(1, 0, 0, 0, 1, 0, 0, 0, 1)):
    """SimpleITK's BSplineTransform of ``spline``'s control points (their frame taken as ITK's world)."""
    transform = sitk.BSplineTransform(3, 3)
    nz, ny, nx = spline.shape
    transform.SetFixedParameters([nx, ny, nz, *spline.origin, *spline.voxel_size, *direction])
    transform.SetParameters(np.concatenate([spline.coefficients[..., c].ravel() for c in range(3)]).tolist())
    return transform


@pytest.mark.parametrize("seed", range(4))
def test_displacements_agree_with_simpleitk_transform_point(seed):
    sitk = pytest.importorskip("SimpleITK")
    rng = np.random.default_rng(seed)
    spline = _spline_over(rng, (30, 20, 25), scale=3.0)
    transform = _sitk_bspline(sitk, spline)
    # Random points in and around the support, and the knots themselves, the last one included.
    nz, ny, nx = spline.shape
    knots = np.stack(np.meshgrid(*[np.arange(1, n - 1) for n in (nx, ny, nz)], indexing="ij"), -1).reshape(-1, 3)
    points = np.concatenate([knots * spline.voxel_size + spline.origin, rng.uniform(-8, 40, (400, 3))])
    points = points.astype(np.float32)
    ours = np.stack([_moved(spline, p) for p in points])
    theirs = np.array([transform.TransformPoint([float(v) for v in p]) for p in points])
    # Within a unit or two of float32's last place of the position.
    assert np.all(np.abs(ours - theirs) <= 2 * np.spacing(np.abs(theirs).astype(np.float32)) + 1e-6)
    assert np.any(ours != points)


def _moved(spline, point):
    """Where the B-spline step moves one float32 point, through the engine's displacements."""
    xs, ys, zs = (np.float32([v]) for v in point)
    d = bspline_fields.bspline_displacements(spline.engine_form(), xs, ys, zs).ravel()
    return np.float32(point) + d


@pytest.mark.parametrize("interpolation", ["linear", "nearest"])
def test_resampling_agrees_with_simpleitk_resample(interpolation):
    sitk = pytest.importorskip("SimpleITK")
    rng = np.random.default_rng(8)
    image = rng.random((20, 22, 24), dtype=np.float32)
    spline = _spline_over(rng, (24, 22, 20), scale=1.5)
    ours = vw.resample(image, (1, 1, 1), [spline], interpolation=interpolation)
    given = sitk.GetImageFromArray(image)
    method = sitk.sitkLinear if interpolation == "linear" else sitk.sitkNearestNeighbor
    theirs = sitk.GetArrayFromImage(sitk.Resample(given, given, _sitk_bspline(sitk, spline), method, 0.0))
    if interpolation == "linear":
        np.testing.assert_allclose(ours, theirs, atol=2e-5)
    else:  # a position within float32 rounding of a voxel boundary may pick the other voxel
        assert np.mean(ours == theirs) > 0.999


@pytest.mark.parametrize(
    ("coefficients", "voxel_size", "origin", "message"),
    [
        (np.zeros((3, 4, 4, 3)), (1, 1, 1), (0, 0, 0), "at least 4 control points"),
        (np.zeros((4, 4, 4, 2)), (1, 1, 1), (0, 0, 0), r"shape \(nz, ny, nx, 3\)"),
        (np.full((4, 4, 4, 3), np.nan), (1, 1, 1), (0, 0, 0), "finite numbers"),
        (np.full((4, 4, 4, 3), 1e300), (1, 1, 1), (0, 0, 0), "2\\*\\*120"),
        (np.zeros((4, 4, 4, 3)), (1, 0, 1), (0, 0, 0), "voxel_size must be positive"),
        (np.zeros((4, 4, 4, 3)), (1, 1), (0, 0, 0), "voxel_size must hold 3"),
        (np.zeros((4, 4, 4, 3)), (1, 1, 1), (0, np.inf, 0), "origin must be finite"),
        ([["a"]], (1, 1, 1), (0, 0, 0), "real numbers"),
    ],
)
def test_bad_bsplines_are_refused(coefficients, voxel_size, origin, message):
    with pytest.raises(ValueError, match=message):
        vw.BSpline(coefficients, voxel_size, origin=origin)


def test_what_takes_no_bspline_says_so():
    spline = vw.BSpline(np.zeros((4, 4, 4, 3)), (4, 4, 4), origin=(-4, -4, -4))
    image = np.ones((4, 4, 4), np.float32)
    with pytest.raises(ValueError, match="fuse takes chains of matrices and fields"):
        vw.fuse([image], (1, 1, 1), [[spline]], shape=(4, 4, 4), output_voxel_size=(1, 1, 1))
    with pytest.raises(ValueError, match="antialias takes matrices only"):
        vw.resample(image, (1, 1, 1), [spline], antialias=True)


@pytest.mark.parametrize(
    ("step", "message"),
    [
        ((np.zeros((4, 4, 4, 3), np.float32), (0.0, 0.0, 0.0), (1.0, 1.0, 1.0), 3), "float64 array"),
        ((np.zeros((4, 4, 4, 3)), (0.0, 0.0, 0.0), (1.0, 1.0, 1.0), 2), "order 3"),
        ((np.zeros((4, 4, 4, 3)), (0.0, 0.0, 0.0), (1.0, -1.0, 1.0), 3), "spacing positive"),
        ((np.zeros((4, 3, 4, 3)), (0.0, 0.0, 0.0), (1.0, 1.0, 1.0), 3), "at least 4 control points"),
    ],
)
def test_the_engine_refuses_bad_steps(step, message):
    positions = np.zeros(2, np.float32)
    with pytest.raises(ValueError, match=message):
        bspline_fields.bspline_displacements(step, positions, positions, positions)
