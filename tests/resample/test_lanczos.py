"""Lanczos interpolation of radius 3 against a plain model of its definition."""

import numpy as np
import pytest
from support.reference import lanczos_weights

import voxwarpkit


def test_the_weights_are_the_windowed_sinc():
    d = np.concatenate([[0.0, 0.5, 0.25], np.random.default_rng(0).random(1000)])
    plain = [np.sinc(d - k) * np.sinc((d - k) / 3) for k in range(-2, 4)]
    np.testing.assert_allclose(lanczos_weights(d), plain, rtol=0, atol=1e-12)  # numpy rounds pi * t first


@pytest.mark.parametrize("seed", range(3))
def test_lanczos_agrees_with_a_plain_model(seed):
    rng = np.random.default_rng(seed)
    image = rng.uniform(-100, 100, (7, 8, 9)).astype(np.float32)
    shift = rng.uniform(-2, 2, 3).astype(np.float32)  # voxels, along x, y, z
    matrix = np.hstack([np.eye(3), shift[:, None]])
    ours = voxwarpkit.resample(image, (1, 1, 1), matrix, interpolation="lanczos", fill=np.nan)
    # The same float32 source indices, taps clamped, weights from numpy's sinc, summed in float64.
    indices = [np.arange(n, dtype=np.float32) + s for n, s in zip(image.shape[::-1], shift)]
    axes = []
    for index, n in zip(indices, image.shape[::-1]):
        below = np.floor(index)
        taps = np.clip(below[:, None].astype(int) + np.arange(-2, 4), 0, n - 1)
        t = (index - below)[:, None].astype(np.float64) - np.arange(-2, 4)
        inside = (index >= -0.5) & (index < n - 0.5)
        axes.append((taps, np.sinc(t) * np.sinc(t / 3), inside))
    (xt, wx, xi), (yt, wy, yi), (zt, wz, zi) = axes
    volume = image.astype(np.float64)
    plain = np.einsum(
        "zc,yb,xa,zyxcba->zyx",
        wz,
        wy,
        wx,
        volume[zt[:, None, None, :, None, None], yt[None, :, None, None, :, None], xt[None, None, :, None, None, :]],
    )
    inside = zi[:, None, None] & yi[None, :, None] & xi[None, None, :]
    assert np.isnan(ours[~inside]).all()
    np.testing.assert_allclose(ours[inside], plain[inside], rtol=0, atol=1e-5 * np.ptp(image))


def test_whole_voxel_shifts_copy_the_input():
    image = np.random.default_rng(4).random((6, 7, 8), dtype=np.float32)
    shifted = voxwarpkit.resample(image, (1, 1, 1), [1, 0, 0, 2, 0, 1, 0, -1, 0, 0, 1, 0], interpolation="lanczos")
    np.testing.assert_array_equal(shifted[:, 1:, :-2], image[:, :-1, 2:])
