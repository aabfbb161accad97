"""Anti-aliasing: the Gaussian FIR's model, its agreement with scipy, its bits across threads,
chunkings and volumes, what it does to aliasing, and what it refuses."""

import math

import numpy as np
import pytest
from scipy import ndimage
from support.bits import assert_same_bits
from support.command_line import assert_one_line_error, run
from support.geometry import rotation
from support.smoothing import sigmas_of, smooth_axis, smoothed
from support.values import values, with_specials

import voxwarpkit
from voxwarpkit import _engine

INTERPOLATIONS = ["nearest", "linear", "cubic", "lanczos"]


def random_downsample(rng):
    """A rotated and scaled matrix, an input spacing and a coarser output spacing."""
    linear = rotation(rng, 40) @ np.diag(rng.uniform(0.6, 1.8, 3))
    matrix = np.hstack([linear, rng.uniform(-2, 2, (3, 1))])
    return matrix, rng.uniform(0.7, 1.3, 3), rng.uniform(1.0, 4.0, 3)


@pytest.mark.parametrize("seed", range(12))
def test_the_engine_filter_is_the_model_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    shape = (int(rng.integers(1, 3)),) + tuple(int(n) for n in rng.choice([1, 2, 3, 7, 30, 65], 3))
    data = values(rng, np.float32, shape) if seed % 3 == 0 else rng.standard_normal(shape).astype(np.float32)
    axis = seed % 3 + 1
    sigma = float(rng.choice([0.0, 1e-3, 0.3, 1.0, rng.uniform(0, 6), 20.0]))
    filtered = data.copy()
    _engine.smooth(filtered, axis, sigma, int(rng.integers(1, 5)))
    assert_same_bits(filtered, smooth_axis(data, axis, sigma))


@pytest.mark.parametrize("sigmas", [(0.5, 1.0, 0.0), (1.5, 0.75, 2.0), (3.0, 0.25, 1.25)])
def test_it_agrees_with_scipy_gaussian_filter(sigmas):
    """Within 1e-6 of the data's range, for sigmas whose radius 4 sigma is whole (scipy rounds it, we round up)."""
    image = np.random.default_rng(1).random((23, 31, 40), dtype=np.float32)
    ours = smoothed(image, sigmas)
    stack = image[np.newaxis].copy()
    for axis, sigma in zip((3, 2, 1), sigmas):
        _engine.smooth(stack, axis, sigma, 3)
    assert_same_bits(stack[0], ours)
    theirs = ndimage.gaussian_filter(image.astype(np.float64), sigmas[::-1], mode="mirror", truncate=4.0)
    np.testing.assert_allclose(stack[0], theirs, rtol=0, atol=1e-6)


@pytest.mark.parametrize("interpolation", INTERPOLATIONS)
@pytest.mark.parametrize("seed", range(3))
def test_resample_smooths_by_the_spacing_ratio_then_samples(interpolation, seed):
    """antialias=True is the model's smoothing by the model's sigmas, then the same resampling."""
    rng = np.random.default_rng(seed)
    image = values(rng, np.uint16 if seed == 0 else np.float32, (14, 17, 19))
    matrix, spacing, out_spacing = random_downsample(rng)
    kwargs = dict(shape=(6, 7, 8), output_voxel_size=out_spacing, interpolation=interpolation)
    result = voxwarpkit.resample(image, spacing, matrix, antialias=True, **kwargs)
    expected = voxwarpkit.resample(smoothed(image, sigmas_of(matrix, spacing, out_spacing)), spacing, matrix, **kwargs)
    assert result.dtype == np.float32
    assert_same_bits(result, expected)


@pytest.mark.parametrize("seed", range(6))
def test_threads_chunkings_and_volumes_give_the_same_bits(seed):
    """One call, any thread count, any dask chunking, and each volume alone with its own matrix."""
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(seed)
    image = with_specials(rng, rng.standard_normal((3, 15, 18, 21)).astype(np.float32))
    downsamples = [random_downsample(rng) for _ in range(3)]
    matrices = np.stack([m for m, _, _ in downsamples])
    spacing, out_spacing = downsamples[0][1], downsamples[0][2]
    interpolation = INTERPOLATIONS[seed % 4]
    kwargs = dict(shape=(7, 8, 9), output_voxel_size=out_spacing, interpolation=interpolation, antialias=True)
    one = voxwarpkit.resample(image, spacing, matrices, threads=1, **kwargs)
    assert_same_bits(voxwarpkit.resample(image, spacing, matrices, threads=5, **kwargs), one)
    chunks = tuple(int(n) for n in rng.integers(1, 12, 4))
    lazy = voxwarpkit.resample(da.from_array(image, chunks=chunks), spacing, matrices, chunks=(2, 3, 5, 4), **kwargs)
    assert_same_bits(lazy.compute(), one)
    for v in range(3):
        assert_same_bits(voxwarpkit.resample(image[v], spacing, matrices[v], **kwargs), one[v])


def grating(shape, axis, frequency):
    """A cosine of ``frequency`` cycles per voxel along ``axis`` of a (z, y, x) volume."""
    position = np.indices(shape)[axis]
    return np.cos(2 * np.pi * frequency * position).astype(np.float32)


@pytest.mark.parametrize("axis", [0, 1, 2])
@pytest.mark.parametrize("factor", [3, 4, 5])
@pytest.mark.parametrize("frequency", [0.3, 0.37, 0.45])
def test_a_fine_grating_aliases_without_antialias_and_fades_with_it(axis, factor, frequency):
    """Taking every factor-th voxel of a grating finer than the output's Nyquist frequency keeps its
    amplitude (as a false, coarser grating); smoothed first, it is left with at most the Gaussian's
    response at that frequency, exp(-2 pi^2 sigma^2 f^2), sigma = (factor - 1) / 2, away from the
    ends (the mirrored ends make a grating of another phase there)."""
    shape = [40, 40, 40]
    shape[axis] = 16 * factor
    image = grating(tuple(shape), axis, frequency)
    out_shape = tuple(n // factor if a == axis else n for a, n in enumerate(shape))
    out_spacing = [1.0, 1.0, 1.0]
    out_spacing[2 - axis] = float(factor)
    kwargs = dict(shape=out_shape, output_voxel_size=out_spacing)
    plain = voxwarpkit.resample(image, (1, 1, 1), np.eye(4), **kwargs)
    smooth = voxwarpkit.resample(image, (1, 1, 1), np.eye(4), antialias=True, **kwargs)
    sigma = (factor - 1) / 2
    response = math.exp(-2 * math.pi**2 * sigma**2 * frequency**2)
    margin = math.ceil(4 * sigma) // factor + 1
    inside = np.take(smooth, np.arange(margin, out_shape[axis] - margin), axis=axis)
    assert plain.std() >= 0.5 * image.std()
    assert inside.std() <= 1.5 * response * image.std() + 1e-4


def test_axes_sampled_no_more_coarsely_are_left_as_they_are():
    """An upsampling, or a rotation on the input's grid, reads the image unchanged (as float32)."""
    image = np.random.default_rng(3).integers(0, 4000, (9, 10, 11)).astype(np.uint16)
    quarter_turn = np.array([[0, -1, 0, 9], [1, 0, 0, 0], [0, 0, 1, 0]])
    for matrix, out_spacing in [(np.eye(4), (0.5, 0.5, 0.25)), (quarter_turn, (1, 1, 1))]:
        kwargs = dict(shape=(9, 10, 11), output_voxel_size=out_spacing, order=0)
        expected = voxwarpkit.resample(image.astype(np.float32), (1, 1, 1), matrix, **kwargs)
        assert_same_bits(voxwarpkit.resample(image, (1, 1, 1), matrix, antialias=True, **kwargs), expected)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(interpolation="label"), ValueError, "label"),
        (dict(antialias="yes"), TypeError, "antialias must be True or False"),
        (dict(output_voxel_size=(1e9, 1, 1)), ValueError, "too coarse"),
    ],
)
def test_what_antialias_refuses(kwargs, error, message):
    image = np.zeros((4, 5, 6), np.float32)
    with pytest.raises(error, match=message):
        voxwarpkit.resample(image, (1, 1, 1), np.eye(4), **{"antialias": True, **kwargs})


def test_apply_antialias_is_resample_image_antialias(tmp_path, capsys):
    nib = pytest.importorskip("nibabel")
    data = np.random.default_rng(4).random((20, 22, 18), dtype=np.float32)
    image = nib.Nifti1Image(data, np.diag([0.8, 0.8, 1.5, 1.0]))
    nib.save(image, tmp_path / "in.nii")
    status, _, err = run(
        capsys, "apply", tmp_path / "in.nii", tmp_path / "out.nii", "--voxel-size", 3, 2.5, 3, "--antialias"
    )
    assert status == 0, err
    expected = voxwarpkit.resample_image(image, voxel_size=(3, 2.5, 3), antialias=True)
    assert_same_bits(np.asanyarray(nib.load(tmp_path / "out.nii").dataobj), np.asanyarray(expected.dataobj))
    status, _, err = run(
        capsys,
        "apply",
        tmp_path / "in.nii",
        tmp_path / "label.nii",
        "--voxel-size",
        3,
        3,
        3,
        "--antialias",
        "--interpolation",
        "label",
    )
    assert_one_line_error(status, err, "label")
    assert not (tmp_path / "label.nii").exists()


LEVEL_CASES = [("linear", seed) for seed in range(8)] + [(m, seed) for m in ("nearest", "label") for seed in range(4)]


@pytest.mark.parametrize("method, seed", LEVEL_CASES)
def test_a_level_made_with_the_next_one_has_the_bits_of_the_two_calls(method, seed):
    """Level 0 and level 1 of a pyramid from the same tasks, for any block, stack or fill, are
    resample of the input and then resample of that onto level 1: with antialias for linear
    levels; by the map's own sampling, unsmoothed and in its type, for nearest and label."""
    da = pytest.importorskip("dask.array")
    from voxwarpkit._lazy.next_level import resample_and_next_level
    from voxwarpkit.pyramid import coarser, level_matrix, pyramid_levels

    rng = np.random.default_rng(seed)
    volumes = (2,) if seed % 2 else ()
    if method == "linear":
        image = with_specials(rng, rng.standard_normal(volumes + (11, 13, 17)).astype(np.float32))
    else:
        image = rng.integers(-3, 6, volumes + (11, 13, 17)).astype(rng.choice(["B", "h", "i", "q"]))
    matrix, spacing, _ = random_downsample(rng)
    matrix[:, 3] += rng.uniform(-6, 6, 3)  # some blocks read nothing: all fill
    finer = pyramid_levels(tuple(int(n) for n in rng.integers(5, 30, 3)), tuple(rng.uniform(0.5, 2, 3)))[0]
    level = coarser(finer)
    options = dict(interpolation=INTERPOLATIONS[seed % 4] if method == "linear" else method)
    options["fill"] = float(rng.choice([0.0, -3.5])) if method == "linear" else int(rng.choice([0, 7]))
    options["antialias"] = bool(seed % 3 == 0) and method == "linear"
    block = tuple(int(n) for n in rng.integers(1, 9, 3))
    chunked = da.from_array(image, chunks=(1,) * len(volumes) + tuple(int(n) for n in rng.integers(2, 12, 3)))
    lazy0, lazy1 = resample_and_next_level(chunked, spacing, matrix, finer, level, block, method, **options)
    kwargs = dict(shape=finer.shape, output_voxel_size=finer.spacing, **options)
    want0 = voxwarpkit.resample(image, spacing, matrix, **kwargs)
    if method == "linear":
        want0 = want0.astype(np.float32)
    want1 = voxwarpkit.resample(
        want0,
        finer.spacing,
        level_matrix(level, finer),
        shape=level.shape,
        output_voxel_size=level.spacing,
        interpolation=method,
        antialias=method == "linear",
    )
    assert lazy0.dtype == want0.dtype and lazy1.dtype == want1.dtype
    assert_same_bits(lazy0.compute(), want0)
    assert_same_bits(lazy1.compute(), want1)
